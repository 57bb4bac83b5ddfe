// The serial scale's answer to DC1, decoded alone and through a whole weighing on a fake port up
// to the reply the page gets.
#include <cmath>
#include <memory>

#include "devices/scale/WeightEndpoint.h"
#include "devices/scale/Weighter.h"
#include "fuzz/FuzzInput.h"

namespace dralmin::fuzz {
namespace {

constexpr std::uint8_t kEnq = 0x05;
constexpr char kAck = 0x06;

// A scale that acknowledges ENQ and answers DC1 with the fuzz input.
class ScriptedPort final : public SerialPort {
 public:
  explicit ScriptedPort(std::string_view answer) : answer_(answer) {}
  bool OpenPort(const std::string&) override { return true; }
  bool ClosePort() override { return true; }
  bool WriteByte(std::uint8_t byte) override {
    last_ = byte;
    return true;
  }
  bool ReadBytes(std::string& received, std::size_t count) override {
    received = last_ == kEnq ? std::string(1, kAck) : std::string(answer_.substr(0, count));
    return true;
  }
  const std::string& LastError() const override { return error_; }

 private:
  std::string_view answer_;
  std::uint8_t last_ = 0;
  std::string error_;
};

bool IsFixedNumber(std::string_view text) {
  if (text.starts_with('-')) text.remove_prefix(1);
  const auto point = text.find('.');
  if (point == std::string_view::npos || point == 0 || text.size() - point != 7) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i != point && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

}  // namespace
}  // namespace dralmin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin;
  using namespace dralmin::fuzz;
  const std::string_view answer = AsText(data, size);
  try {
    const double weight = DecodeWeightAnswer(answer);
    // The reply prints the value with "%f": a NaN would reach the page as "nan".
    Require(!std::isnan(weight), "a weight is a number");
    Require(!std::isinf(weight) || weight > 0, "the only infinite reading is the overload");
  } catch (const WeighterException&) {
  }

  WeightEndpoint endpoint(
      [answer] {
        return std::make_unique<Weighter>(std::make_unique<ScriptedPort>(answer),
                                          std::vector<std::string>{"/dev/fake"});
      },
      nullptr);
  const std::string reply = endpoint.GetWeight();
  constexpr std::string_view kHead = "DralminWeighter__callback({value: ";
  Require(reply.starts_with(kHead) && reply.ends_with("})"), "the weight form");
  const std::string_view value =
      std::string_view(reply).substr(kHead.size(), reply.size() - kHead.size() - 2);
  Require(value == "0" || value == "Infinity" || IsFixedNumber(value), "the value is in %f form or the overload's Infinity");
  return 0;
}
