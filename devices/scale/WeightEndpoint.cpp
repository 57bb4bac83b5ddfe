#include "devices/scale/WeightEndpoint.h"

#include <charconv>
#include <cmath>

#include "platform/Log.h"
#include "replies/Jsonp.h"

namespace dralmin {
namespace {

// The networked scale sits on the local network: a dead address must not hold the gateway, which
// serves nothing else meanwhile, for longer than this. Its page is one read of what has arrived:
// a scale that keeps the connection open once it has sent its lines is not waited for.
constexpr HttpTimeouts kNetworkScaleTimeouts{std::chrono::seconds(3), std::chrono::seconds(5),
                                             std::chrono::milliseconds(150), std::nullopt};
constexpr std::size_t kNetworkScaleBodyLimit = 1023;

std::string WeightReply(std::string_view value) {
  std::string body(kWeightCallback);
  body += "{value: ";
  body += value;
  body += "})";
  return body;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The line that starts at `from` and ends before the next LF (and a CR just before it).
std::string_view LineAt(std::string_view text, size_t from) {
  std::string_view line = text.substr(from);
  const size_t lf = line.find('\n');
  if (lf == std::string_view::npos) return line;
  line = line.substr(0, lf);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::string FormatDouble(double value) {
  // "inf" is no script: a page evaluating it fails before its callback runs.
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  // to_chars rather than "%f": a process that took its locale from the environment would
  // otherwise send "1,250000", which a page reads as two values.
  char text[400];
  const auto result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 6);
  return std::string(text, result.ptr);
}

NetworkReading SplitNetworkReading(std::string_view text) {
  // The page is read as a C string.
  text = text.substr(0, text.find('\0'));

  NetworkReading reading;
  std::string_view value = LineAt(text, 0);
  if (value.starts_with("+0")) value.remove_prefix(2);
  reading.value = value;

  const size_t first = text.find('\n');
  const size_t second = first == std::string_view::npos ? first : text.find('\n', first + 1);
  reading.counter = second == std::string_view::npos ? "0" : std::string(LineAt(text, second + 1));
  return reading;
}

std::string NumberLiteral(std::string_view value) {
  const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!value.empty() && blank(value.front())) value.remove_prefix(1);
  while (!value.empty() && blank(value.back())) value.remove_suffix(1);

  std::string_view sign;
  if (!value.empty() && (value[0] == '+' || value[0] == '-')) sign = value.substr(0, 1);
  std::string_view rest = value.substr(sign.size());
  size_t i = 0;
  while (i < rest.size() && IsDigit(rest[i])) ++i;
  std::string_view whole = rest.substr(0, i);
  size_t fractionDigits = 0;
  if (i < rest.size() && rest[i] == '.') {
    ++i;
    while (i < rest.size() && IsDigit(rest[i])) ++i, ++fractionDigits;
  }
  if (i != rest.size() || whole.size() + fractionDigits == 0) return {};

  // "007" would be read as octal and "-05.5" not at all.
  while (whole.size() > 1 && whole[0] == '0') whole.remove_prefix(1), rest.remove_prefix(1);
  std::string literal(sign);
  literal += rest;
  return literal;
}

WeightEndpoint::WeightEndpoint(ScaleFactory makeScale, std::unique_ptr<HttpClient> http)
    : makeScale_(std::move(makeScale)), http_(std::move(http)) {}

std::unique_ptr<WeightEndpoint> WeightEndpoint::ForSerialPorts(std::string_view serialPorts,
                                                               const std::atomic<bool>* stopping) {
  std::vector<std::string> ports = ScaleCandidatePorts(serialPorts);
  return std::make_unique<WeightEndpoint>(
      [ports = std::move(ports), stopping] {
        return std::make_unique<Weighter>(
            std::make_unique<NativeSerialPort>(SerialTimings{}, stopping), ports, stopping);
      },
      std::make_unique<CurlHttpClient>(stopping));
}

std::string WeightEndpoint::GetWeight() {
  try {
    if (!scale_) scale_ = makeScale_();
    return WeightReply(FormatDouble(scale_->ReadWeight()));
  } catch (const std::exception& error) {
    LogWarning("scale", std::string("weighing failed: ") + error.what());
  } catch (...) {
    LogError("scale", "weighing failed for an unknown reason");
  }
  // Whatever went wrong, the next weighing starts with a new search, which reopens the port.
  scale_.reset();
  return WeightReply("0");
}

std::string WeightEndpoint::GetIpWeight(const std::string& address) {
  const std::string url = "http://" + address;
  const HttpResponse response = http_->Get(url, kNetworkScaleTimeouts, kNetworkScaleBodyLimit);
  if (!response.transportOk) {
    LogWarning("scale", "networked scale " + url + ": " + response.error);
    return WeightReply("0");
  }

  const NetworkReading reading = SplitNetworkReading(response.body);
  // The value goes into the script unquoted, so nothing but a number may pass.
  const std::string number = NumberLiteral(reading.value);
  if (number.empty()) {
    LogWarning("scale", "networked scale " + url + " (HTTP " + std::to_string(response.status) +
                            ") sent no number in its first line");
    return WeightReply("0");
  }

  std::string body(kWeightCallback);
  body += "{value: ";
  body += number;
  body += ", counter: '";
  AppendJsString(body, reading.counter);
  body += "'})";
  return body;
}

}  // namespace dralmin
