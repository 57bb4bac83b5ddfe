// A serial scale for trying the agent without one. Prints the device path of its
// pseudo-terminal, then answers until interrupted; point DRALMIN_SERIAL_PORTS at the path.
#include <fstream>
#include <iostream>
#include <string>

#include "simulators/SimulatorMain.h"
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
  const auto exitCode = dralmin::simulators::ParseOptions(
      argc, argv, kUsage, [&](const std::string& option, const std::string& value) {
        if (option == "--weight") {
          settings.weight = value;
        } else if (option == "--unit") {
          settings.unit = value;
        } else if (option == "--fault") {
          return ParseFault(value, settings.fault);
        } else if (option == "--record") {
          recordPath = value;
        } else {
          return false;
        }
        return true;
      });
  if (exitCode) return *exitCode;

  // Before the answering thread starts, so that it leaves the signals to the wait below.
  dralmin::simulators::StopRequest stop;
  try {
    dralmin::ScaleSimulator scale(settings);
    std::cout << scale.devicePath() << std::endl;
    stop.Wait();
    if (!recordPath.empty()) {
      std::ofstream(recordPath, std::ios::binary) << scale.Received();
    }
  } catch (const std::exception& error) {
    std::cerr << "dralmin-scale-simulator: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
