#include "broker/Registrations.h"

namespace dralmin {

HelloVerdict JudgeHello(std::string_view hello, rendezvous::Ports ports, bool userHasAgentThere) {
  const auto said = rendezvous::ReadHello(hello);
  if (!said) return HelloVerdict::kNotAnAgent;
  if (*said != ports) return HelloVerdict::kOtherPorts;
  return userHasAgentThere ? HelloVerdict::kTaken : HelloVerdict::kRegister;
}

}  // namespace dralmin
