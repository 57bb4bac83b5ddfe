#include "broker/BrokerProtocol.h"

namespace dralmin::rendezvous {
namespace {

void PutPorts(std::string& out, Ports ports) {
  for (const std::uint16_t port : {ports.http, ports.https}) {
    out += static_cast<char>(port >> 8);
    out += static_cast<char>(port & 0xff);
  }
}

Ports GetPorts(std::string_view bytes) {
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
  return {static_cast<std::uint16_t>(byte(0) << 8 | byte(1)),
          static_cast<std::uint16_t>(byte(2) << 8 | byte(3))};
}

}  // namespace

std::string Hello(Ports ports) {
  std::string out(kMagic);
  PutPorts(out, ports);
  return out;
}

std::optional<Ports> ReadHello(std::string_view bytes) {
  if (bytes.size() != kHelloSize || bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  return GetPorts(bytes.substr(kMagic.size()));
}

std::string AnswerBytes(Answer answer, Ports ports) {
  std::string out(kMagic);
  out += static_cast<char>(answer);
  PutPorts(out, ports);
  return out;
}

std::optional<Answered> ReadAnswer(std::string_view bytes) {
  if (bytes.size() != kAnswerSize || bytes.substr(0, kMagic.size()) != kMagic) return std::nullopt;
  const auto answer = static_cast<Answer>(bytes[kMagic.size()]);
  if (answer != Answer::kRegistered && answer != Answer::kAlreadyRegistered &&
      answer != Answer::kOtherPorts) {
    return std::nullopt;
  }
  return Answered{answer, GetPorts(bytes.substr(kMagic.size() + 1))};
}

std::string AgentRendezvous(std::uint16_t httpPort) {
  return std::string(1, '\0') + "dralmin-tray-agent/" + std::to_string(httpPort);
}

}  // namespace dralmin::rendezvous
