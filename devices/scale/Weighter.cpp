#include "devices/scale/Weighter.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>

namespace dralmin {
namespace {

constexpr std::uint8_t kEnq = 0x05;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kDc1 = 0x11;
constexpr std::uint8_t kNak = 0x15;

constexpr std::size_t kSearchAnswerSize = 10;
constexpr std::size_t kAnswerSize = 128;

// Layout of the answer to DC1.
constexpr std::size_t kWeightOffset = 3;
constexpr std::size_t kWeightLength = 7;
constexpr std::size_t kUnitOffset = 10;
constexpr std::size_t kUnitLength = 2;

constexpr double kKilogramsPerPound = 0.45359237;

bool StartsWithAck(const std::string& answer) {
  return !answer.empty() && static_cast<std::uint8_t>(answer[0]) == kAck;
}

// What a device that is no scale said to ENQ.
std::string AnswerToEnq(const std::string& answer) {
  if (answer.empty()) return "no answer to ENQ";
  if (static_cast<std::uint8_t>(answer[0]) == kNak) return "NAK to ENQ";
  char text[40];
  std::snprintf(text, sizeof text, "answered 0x%02X to ENQ", static_cast<std::uint8_t>(answer[0]));
  return text;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Leading blanks, an optional sign, digits with "." as the decimal point; the number ends at the
// first character that does not fit and text without digits reads 0. Unlike atof this neither
// follows the locale nor accepts "inf", "nan" or hexadecimal forms.
double ParseWeightText(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const size_t start = i;
  size_t digits = 0;
  while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && IsDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return 0.0;
  double value = 0.0;
  std::from_chars(text.data() + start, text.data() + i, value, std::chars_format::fixed);
  return negative ? -value : value;
}

}  // namespace

std::vector<std::string> ScaleCandidatePorts(std::string_view setting) {
  std::vector<std::string> ports;
  if (setting.empty()) return DefaultSerialPorts();
  while (!setting.empty()) {
    const size_t comma = setting.find(',');
    std::string_view path = setting.substr(0, comma);
    while (!path.empty() && IsBlank(path.front())) path.remove_prefix(1);
    while (!path.empty() && IsBlank(path.back())) path.remove_suffix(1);
    if (!path.empty()) ports.emplace_back(path);
    setting = comma == std::string_view::npos ? std::string_view() : setting.substr(comma + 1);
  }
  return ports;
}

double DecodeWeightAnswer(std::string_view answer) {
  // A read that returned before the whole answer came is not a reading: its bytes at the weight
  // offsets may be anything.
  if (answer.size() < kUnitOffset + kUnitLength) {
    throw WeighterException("answer of " + std::to_string(answer.size()) +
                            " bytes is too short for a reading");
  }

  std::string_view weight = answer.substr(kWeightOffset, kWeightLength);
  // The scale's text is a C string: anything after a NUL is not part of it.
  weight = weight.substr(0, weight.find('\0'));
  if (!weight.empty() && weight[0] == 'F') return std::numeric_limits<double>::infinity();

  const double value = ParseWeightText(weight);
  const std::string_view unit = answer.substr(kUnitOffset, kUnitLength);
  const bool pounds = std::tolower(static_cast<unsigned char>(unit[0])) == 'l' &&
                      std::tolower(static_cast<unsigned char>(unit[1])) == 'b';
  return pounds ? value * kKilogramsPerPound : value;
}

Weighter::Weighter(std::unique_ptr<SerialPort> port, const std::vector<std::string>& candidates,
                   const std::atomic<bool>* stopping)
    : port_(std::move(port)) {
  FindScale(candidates, stopping);
}

Weighter::~Weighter() {
  port_->ClosePort();
}

void Weighter::FindScale(const std::vector<std::string>& candidates,
                         const std::atomic<bool>* stopping) {
  std::string answer;
  // Why each port did not do, for one line: ports that are not there only by name, together.
  std::string notes;
  std::string absent;
  const auto note = [&](const std::string& text) { notes += (notes.empty() ? "" : "; ") + text; };
  for (const std::string& path : candidates) {
    // A search of many silent ports takes seconds each; a stop ends it at once.
    if (stopping != nullptr && stopping->load()) {
      note("stopped before " + path);
      break;
    }
    portPath_ = path;
    // Opening the next candidate closes the one before.
    if (!port_->OpenPort(path)) {
      if (port_->DeviceAbsent()) {
        absent += (absent.empty() ? "" : ", ") + path;
      } else {
        const std::string& error = port_->LastError();
        note(error.empty() ? path + ": cannot open" : error);
      }
    } else if (!port_->WriteByte(kEnq) || !port_->ReadBytes(answer, kSearchAnswerSize)) {
      const std::string& error = port_->LastError();
      note(path + ": " + (error.empty() ? "no answer to ENQ" : error));
    } else if (StartsWithAck(answer)) {
      acknowledged_ = true;
      return;
    } else {
      note(path + ": " + AnswerToEnq(answer));
    }
  }
  port_->ClosePort();
  portPath_.clear();
  if (!absent.empty()) note("not there: " + absent);
  const std::size_t count = candidates.size();
  throw ComPortException("no scale on " + std::to_string(count) +
                         (count == 1 ? " port" : " ports") + (notes.empty() ? "" : ": " + notes));
}

void Weighter::Fail(const char* what) {
  std::string reason = portPath_ + ": " + what;
  if (!port_->LastError().empty()) reason += ": " + port_->LastError();
  throw ComPortException(reason);
}

double Weighter::ReadWeight() {
  std::string answer;
  if (!acknowledged_) {
    if (!port_->WriteByte(kEnq)) Fail("ENQ not sent");
    if (!port_->ReadBytes(answer, kAnswerSize)) Fail("no answer to ENQ");
    if (!StartsWithAck(answer)) throw WeighterException(portPath_ + ": " + AnswerToEnq(answer));
  }
  acknowledged_ = false;
  if (!port_->WriteByte(kDc1)) Fail("DC1 not sent");
  if (!port_->ReadBytes(answer, kAnswerSize)) Fail("no answer to DC1");
  try {
    return DecodeWeightAnswer(answer);
  } catch (const WeighterException& error) {
    throw WeighterException(portPath_ + ": " + error.what());
  }
}

}  // namespace dralmin
