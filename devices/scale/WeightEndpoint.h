#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devices/scale/Weighter.h"
#include "platform/HttpClient.h"

namespace dralmin {

// The weight in printf "%f" form ("1.250000", "-1.200000"), whatever the process locale; an
// infinite weight (an overloaded scale) as the script literal "Infinity".
std::string FormatDouble(double value);

// What the networked scale's text page gives a page: the first line as `value` (a leading "+0"
// dropped) and the third line as `counter` ("0" when there are fewer than two line feeds).
struct NetworkReading {
  std::string value;
  std::string counter;
};
NetworkReading SplitNetworkReading(std::string_view text);

// `value` as a script number literal, or empty when it is not a plain decimal number (optional
// sign, digits, optional fraction). Surplus leading zeros are dropped, as "-00.5" is not valid
// script.
std::string NumberLiteral(std::string_view value);

// The "/weight" and "/ip_weight/" endpoints. Poll thread only.
class WeightEndpoint {
 public:
  // Creates a reader by searching the ports; throws when no scale answers.
  using ScaleFactory = std::function<std::unique_ptr<Weighter>()>;

  WeightEndpoint(ScaleFactory makeScale, std::unique_ptr<HttpClient> http);

  // The scale searched on `serialPorts` (comma-separated; empty: the usual names), through the
  // termios port, and the libcurl client. Once `*stopping` is true, a serial weighing or port
  // search and a networked reading are cancelled.
  static std::unique_ptr<WeightEndpoint> ForSerialPorts(std::string_view serialPorts,
                                                        const std::atomic<bool>* stopping);

  // Weighs on the serial scale, creating the reader first when there is none; any failure drops
  // the reader, answers value 0 and is said on standard error.
  std::string GetWeight();
  // Reads the networked scale at "http://" + address.
  std::string GetIpWeight(const std::string& address);

  bool HasScale() const { return scale_ != nullptr; }
  // The port of the scale found, or empty while none is.
  std::string ScalePort() const { return scale_ ? scale_->portPath() : std::string(); }

 private:
  ScaleFactory makeScale_;
  std::unique_ptr<HttpClient> http_;
  std::unique_ptr<Weighter> scale_;
};

}  // namespace dralmin
