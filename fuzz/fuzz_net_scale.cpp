// The networked scale's text page, from the fetched bytes to the reply the page gets.
#include <memory>

#include "devices/scale/WeightEndpoint.h"
#include "fuzz/FuzzInput.h"
#include "platform/HttpClient.h"

namespace dralmin::fuzz {
namespace {

class ScalePage final : public HttpClient {
 public:
  explicit ScalePage(std::string_view page) : page_(page) {}
  HttpResponse Get(const std::string&, const HttpTimeouts&, std::size_t maxBody) override {
    HttpResponse response;
    response.transportOk = true;
    response.status = 200;
    response.body = page_.substr(0, maxBody);
    return response;
  }
  HttpResponse Post(const std::string&, const std::vector<std::string>&, std::string_view,
                    const HttpTimeouts&, std::size_t) override {
    return {};
  }

 private:
  std::string_view page_;
};

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// sign? digits? ("." digits?)? with at least one digit, and no surplus leading zero.
bool IsPlainNumber(std::string_view text) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) text.remove_prefix(1);
  std::size_t i = 0;
  while (i < text.size() && IsDigit(text[i])) ++i;
  const std::size_t whole = i;
  std::size_t fraction = 0;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++fraction;
  }
  if (i != text.size() || whole + fraction == 0) return false;
  return whole < 2 || text[0] != '0';
}

}  // namespace
}  // namespace dralmin::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dralmin;
  using namespace dralmin::fuzz;
  const std::string_view page = AsText(data, size);

  const NetworkReading reading = SplitNetworkReading(page);
  const std::string number = NumberLiteral(reading.value);
  if (!number.empty()) Require(IsPlainNumber(number), "the value is a plain script number");

  WeightEndpoint endpoint([]() -> std::unique_ptr<Weighter> { throw ComPortException("no scale"); },
                          std::make_unique<ScalePage>(page));
  const std::string reply = endpoint.GetIpWeight("scale.invalid/weight");
  std::string_view rest = reply;
  constexpr std::string_view kHead = "DralminWeighter__callback({value: ";
  Require(rest.starts_with(kHead) && rest.ends_with("})"), "the weight form");
  rest = rest.substr(kHead.size(), rest.size() - kHead.size() - 2);
  const std::string_view value = TakeUntil(rest, ',');
  Require(IsPlainNumber(value), "the value is a plain script number");
  if (value == "0" && rest.empty()) return 0;
  Require(rest.starts_with(" counter: '") && rest.ends_with("'"), "the counter is one string");
  rest = rest.substr(11, rest.size() - 12);
  Require(IsSafeJsStringBody(rest), "the counter cannot leave its string");
  return 0;
}
