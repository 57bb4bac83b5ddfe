// A serial scale for trying the agent without one. Prints the device path of its
// pseudo-terminal, then answers until interrupted; point DRALMIN_SERIAL_PORTS at the path.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "simulators/scale/ScaleSimulator.h"

namespace {

constexpr const char* kUsage =
    "usage: dralmin-scale-simulator [--weight TEXT] [--unit XX] [--fault KIND] [--record FILE]\n"
    "  --weight TEXT  weight text, up to 7 characters (default 1.250)\n"
    "  --unit XX      unit letters (default kg; lb is converted by the agent)\n"
    "  --fault KIND   none, silent, wrong-byte, f-reading or short (default none)\n"
    "  --record FILE  on exit, write every byte received to FILE\n";

bool ParseFault(const std::string& text, dralmin::ScaleSettings::Fault& fault) {
  using Fault = dralmin::ScaleSettings::Fault;
  if (text == "none")
    fault = Fault::None;
  else if (text == "silent")
    fault = Fault::Silent;
  else if (text == "wrong-byte")
    fault = Fault::WrongByte;
  else if (text == "f-reading")
    fault = Fault::FReading;
  else if (text == "short")
    fault = Fault::ShortAnswer;
  else
    return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  dralmin::ScaleSettings settings;
  std::string recordPath;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (i + 1 >= argc) {
      std::cerr << kUsage;
      return 2;
    }
    const std::string value = argv[++i];
    if (option == "--weight") {
      settings.weight = value;
    } else if (option == "--unit") {
      settings.unit = value;
    } else if (option == "--fault" && ParseFault(value, settings.fault)) {
    } else if (option == "--record") {
      recordPath = value;
    } else {
      std::cerr << kUsage;
      return 2;
    }
  }

  // Blocked before the answering thread starts, so that only sigwait sees them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  try {
    dralmin::ScaleSimulator scale(settings);
    std::cout << scale.devicePath() << std::endl;
    int signal = 0;
    sigwait(&stop, &signal);
    if (!recordPath.empty()) {
      std::ofstream(recordPath, std::ios::binary) << scale.Received();
    }
  } catch (const std::exception& error) {
    std::cerr << "dralmin-scale-simulator: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
