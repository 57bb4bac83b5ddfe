#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "broker/BrokerProtocol.h"
#include "gateway/Sockets.h"

namespace dralmin {

// This agent's registration with the Windows port broker: connects to the service's pipe, checks
// that the port broker serves it, says which ports it serves and then takes the connections that
// the broker hands over, each duplicated for this process, on the poll thread. The broker has
// judged them (it is the system's), so they are served as they come.
class BrokerClient {
 public:
  using Serve = std::function<void(Socket socket, SharedPort port)>;

  enum class Outcome {
    kRegistered,
    kNoBroker,      // nothing at the pipe
    kNotTrusted,    // someone other than the broker serves it
    kNoAnswer,      // it does not answer as a broker
    kOtherPorts,    // the broker holds other ports
    kAlreadyThere,  // another agent of this session is registered
  };

  // `lost` is told, on the poll thread, when the broker goes.
  BrokerClient(boost::asio::io_context& poll, std::string pipe, rendezvous::Ports ports,
               Serve serve, std::function<void()> lost);
  ~BrokerClient();
  BrokerClient(const BrokerClient&) = delete;
  BrokerClient& operator=(const BrokerClient&) = delete;

  // Registers; `why` says what stood in the way when not registered. Waits at most two seconds
  // for the broker's answer.
  Outcome Register(std::string& why, rendezvous::Ports& brokerPorts);

  void Close();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace dralmin
