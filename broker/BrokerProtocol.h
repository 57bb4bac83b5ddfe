#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dralmin {

// The ports that can be shared, and the tag that goes with a connection passed on from each.
enum class SharedPort : std::uint8_t { kPlain = 'p', kSecure = 's' };

// What an agent and whoever holds the ports (the port broker, or another user's agent) say at
// the rendezvous. The agent connects and says which ports it serves; the holder answers once,
// and from then on sends connections only, each a tag byte with the connection's descriptor.
// The holder knows the agent's user from the kernel, never from what the agent says.
namespace rendezvous {

inline constexpr std::string_view kMagic = "DTA1";

struct Ports {
  std::uint16_t http = 0;
  std::uint16_t https = 0;
  bool operator==(const Ports&) const = default;
};

enum class Answer : char {
  kRegistered = 'o',         // connections of the agent's user come from now on
  kAlreadyRegistered = 'b',  // another agent of that user is registered and still there
  kOtherPorts = 'p',         // the holder serves other ports (given in the answer)
};

inline constexpr std::size_t kHelloSize = kMagic.size() + 4;
inline constexpr std::size_t kAnswerSize = kMagic.size() + 1 + 4;

std::string Hello(Ports ports);
std::optional<Ports> ReadHello(std::string_view bytes);
std::string AnswerBytes(Answer answer, Ports ports);
struct Answered {
  Answer answer;
  Ports ports;
};
std::optional<Answered> ReadAnswer(std::string_view bytes);

// The abstract name at which an agent that holds the ports itself takes other agents'
// registrations. Anyone may bind a free name, so a registering agent checks that whoever is
// there is the user who listens on the port.
std::string AgentRendezvous(std::uint16_t httpPort);

}  // namespace rendezvous
}  // namespace dralmin
