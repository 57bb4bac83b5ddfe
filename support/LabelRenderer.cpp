#include "support/LabelRenderer.h"

#include <pugixml.hpp>

#include <strings.h>
#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <initializer_list>
#include <optional>

#include "support/TextEncoder.h"

namespace dralmin {
namespace {

constexpr std::string_view kLineEnd = "\r\n";

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Every attribute value lands inside a printer command, so each is checked against what the
// command accepts; anything else could end the command early or inject another one.
enum class Kind {
  Dots,         // a whole number of printer dots
  Millimetres,  // a size such as 58 or 57.5
  Count,        // a whole number from 1
  Name,         // a font or symbology name such as 3, ROMAN.TTF or EAN13
};

bool Valid(Kind kind, std::string_view value) {
  constexpr size_t kMaxDigits = 6;
  switch (kind) {
    case Kind::Dots:
      return AllDigits(value) && value.size() <= kMaxDigits;
    case Kind::Millimetres: {
      const auto point = value.find('.');
      if (point == std::string_view::npos) return AllDigits(value) && value.size() <= kMaxDigits;
      return AllDigits(value.substr(0, point)) && AllDigits(value.substr(point + 1)) &&
             value.size() <= 2 * kMaxDigits;
    }
    case Kind::Count:
      return AllDigits(value) && value.size() <= kMaxDigits &&
             value.find_first_not_of('0') != std::string_view::npos;
    case Kind::Name:
      return !value.empty() && value.size() <= 32 &&
             std::all_of(value.begin(), value.end(), [](char c) {
               return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '_' ||
                      c == '-' || c == '+';
             });
  }
  return false;
}

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

std::string ElementName(const pugi::xml_node& node) {
  return std::string("<") + node.name() + ">";
}

// Reads the attributes of one element, each checked, with the printer's default for the
// optional ones.
class Attributes {
 public:
  explicit Attributes(const pugi::xml_node& node) : node_(node) {}

  std::string Required(const char* name, Kind kind) const {
    const auto value = Find(name);
    if (!value) {
      throw LabelException(std::string("missing attribute ") + name + " of " + ElementName(node_));
    }
    return Checked(name, *value, kind);
  }

  std::string Optional(const char* name, Kind kind, const char* fallback) const {
    const auto value = Find(name);
    return value ? Checked(name, *value, kind) : fallback;
  }

  // A value from a fixed set, compared without regard to case and written as listed.
  std::string OneOf(const char* name, std::initializer_list<const char*> allowed,
                    const char* fallback) const {
    const auto value = Find(name);
    if (!value) return fallback;
    for (const char* candidate : allowed) {
      if (value->size() == std::strlen(candidate) &&
          strncasecmp(value->data(), candidate, value->size()) == 0) {
        return candidate;
      }
    }
    throw Invalid(name);
  }

 private:
  std::optional<std::string_view> Find(const char* name) const {
    const pugi::xml_attribute attribute = node_.attribute(name);
    if (!attribute) return std::nullopt;
    return Trimmed(attribute.value());
  }

  std::string Checked(const char* name, std::string_view value, Kind kind) const {
    if (!Valid(kind, value)) throw Invalid(name);
    return std::string(value);
  }

  LabelException Invalid(const char* name) const {
    return LabelException(std::string("invalid attribute ") + name + " of " + ElementName(node_));
  }

  const pugi::xml_node& node_;
};

constexpr std::initializer_list<const char*> kRotations = {"0", "90", "180", "270"};

// The text of an element as a quoted TSPL string in the printer's code page.
class TextQuoter {
 public:
  explicit TextQuoter(int codePage) : encoder_("UTF-8", CharsetOfCodePage(codePage)) {}

  std::string Quote(const pugi::xml_node& node) {
    std::string text = node.text().get();
    // A line break would end the command and start another with whatever follows.
    for (char& c : text) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    std::string quoted = "\"";
    for (const char c : encoder_.Convert(text)) {
      if (c == '"') {
        quoted += "\\[\"]";
      } else {
        quoted += c;
      }
    }
    quoted += '"';
    return quoted;
  }

 private:
  TextEncoder encoder_;
};

class Job {
 public:
  void Line(std::initializer_list<std::string_view> pieces) {
    for (const std::string_view piece : pieces) text_.append(piece);
    text_.append(kLineEnd);
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string text_;
};

void RenderElement(const pugi::xml_node& node, TextQuoter& quoter, Job& job) {
  const std::string_view name = node.name();
  const Attributes a(node);
  if (name == "text") {
    const std::string x = a.Required("x", Kind::Dots), y = a.Required("y", Kind::Dots);
    const std::string font = a.Optional("font", Kind::Name, "3");
    const std::string rotation = a.OneOf("rotation", kRotations, "0");
    const std::string xmul = a.Optional("xmul", Kind::Count, "1");
    const std::string ymul = a.Optional("ymul", Kind::Count, "1");
    job.Line({"TEXT ", x, ",", y, ",\"", font, "\",", rotation, ",", xmul, ",", ymul, ",",
              quoter.Quote(node)});
  } else if (name == "barcode") {
    const std::string x = a.Required("x", Kind::Dots), y = a.Required("y", Kind::Dots);
    const std::string type = a.Optional("type", Kind::Name, "128");
    const std::string height = a.Optional("height", Kind::Count, "80");
    const std::string readable = a.OneOf("readable", {"0", "1", "2", "3"}, "1");
    const std::string rotation = a.OneOf("rotation", kRotations, "0");
    const std::string narrow = a.Optional("narrow", Kind::Count, "2");
    const std::string wide = a.Optional("wide", Kind::Count, "2");
    job.Line({"BARCODE ", x, ",", y, ",\"", type, "\",", height, ",", readable, ",", rotation, ",",
              narrow, ",", wide, ",", quoter.Quote(node)});
  } else if (name == "qrcode") {
    const std::string x = a.Required("x", Kind::Dots), y = a.Required("y", Kind::Dots);
    const std::string ecc = a.OneOf("ecc", {"L", "M", "Q", "H"}, "M");
    const std::string cell = a.Optional("cell", Kind::Count, "4");
    const std::string rotation = a.OneOf("rotation", kRotations, "0");
    // "A": the printer picks the data mode (numeric, alphanumeric, byte) itself.
    job.Line({"QRCODE ", x, ",", y, ",", ecc, ",", cell, ",A,", rotation, ",", quoter.Quote(node)});
  } else if (name == "box") {
    const std::string x = a.Required("x", Kind::Dots), y = a.Required("y", Kind::Dots);
    const std::string xend = a.Required("xend", Kind::Dots);
    const std::string yend = a.Required("yend", Kind::Dots);
    const std::string thickness = a.Optional("thickness", Kind::Count, "2");
    job.Line({"BOX ", x, ",", y, ",", xend, ",", yend, ",", thickness});
  } else if (name == "bar") {
    const std::string x = a.Required("x", Kind::Dots), y = a.Required("y", Kind::Dots);
    const std::string width = a.Required("width", Kind::Count);
    const std::string height = a.Required("height", Kind::Count);
    job.Line({"BAR ", x, ",", y, ",", width, ",", height});
  } else {
    throw LabelException("unknown element " + ElementName(node));
  }
}

void RenderLabel(const pugi::xml_node& label, int codePage, bool forcePeeler, TextQuoter& quoter,
                 Job& job) {
  const Attributes a(label);
  const std::string width = a.Required("width", Kind::Millimetres);
  const std::string height = a.Required("height", Kind::Millimetres);
  const std::string gap = a.Optional("gap", Kind::Millimetres, "2");
  const std::string copies = a.Optional("copies", Kind::Count, "1");
  const std::string direction = a.OneOf("direction", {"0", "1"}, "1");
  job.Line({"SIZE ", width, " mm,", height, " mm"});
  job.Line({"GAP ", gap, " mm,0 mm"});
  job.Line({"DIRECTION ", direction});
  job.Line({"CODEPAGE ", std::to_string(codePage)});
  if (forcePeeler) job.Line({"SET PEEL ON"});
  job.Line({"CLS"});
  for (const pugi::xml_node& element : label.children()) {
    if (element.type() == pugi::node_element) RenderElement(element, quoter, job);
  }
  job.Line({"PRINT ", copies});
}

// The encoding named by the XML declaration, when there is one.
std::optional<std::string> DeclaredEncoding(std::string_view xml) {
  xml = Trimmed(xml);
  if (!xml.starts_with("<?xml")) return std::nullopt;
  const std::string_view declaration = xml.substr(0, xml.find("?>"));
  const auto key = declaration.find("encoding");
  if (key == std::string_view::npos) return std::nullopt;
  auto pos = declaration.find_first_not_of(" \t\r\n", key + std::strlen("encoding"));
  if (pos == std::string_view::npos || declaration[pos] != '=') return std::nullopt;
  pos = declaration.find_first_not_of(" \t\r\n", pos + 1);
  if (pos == std::string_view::npos || (declaration[pos] != '"' && declaration[pos] != '\'')) {
    return std::nullopt;
  }
  const auto end = declaration.find(declaration[pos], pos + 1);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(declaration.substr(pos + 1, end - pos - 1));
}

// The document as UTF-8. Texts handed over as C strings cannot be UTF-16 or UTF-32 whatever
// their declaration says, so only byte-oriented charsets are converted.
std::string AsUtf8(std::string_view xml) {
  const std::optional<std::string> encoding = DeclaredEncoding(xml);
  if (!encoding || strcasecmp(encoding->c_str(), "UTF-8") == 0 ||
      strncasecmp(encoding->c_str(), "UTF-16", 6) == 0 ||
      strncasecmp(encoding->c_str(), "UTF-32", 6) == 0) {
    return std::string(xml);
  }
  try {
    return TextEncoder(*encoding, "UTF-8").Convert(xml);
  } catch (const UnknownEncodingException&) {
    throw LabelException("unsupported XML encoding " + *encoding);
  }
}

}  // namespace

std::string LabelRenderer::Render(std::string_view xml) const {
  const std::string utf8 = AsUtf8(xml);
  pugi::xml_document document;
  const pugi::xml_parse_result parsed =
      document.load_buffer(utf8.data(), utf8.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    throw LabelException("XML error at offset " + std::to_string(parsed.offset) + ": " +
                         parsed.description());
  }
  const pugi::xml_node root = document.document_element();
  if (!root) throw LabelException("no label in the XML");

  TextQuoter quoter(codePage_);
  Job job;
  const std::string_view rootName = root.name();
  if (rootName == "label") {
    RenderLabel(root, codePage_, forcePeeler_, quoter, job);
  } else if (rootName == "labels") {
    bool any = false;
    for (const pugi::xml_node& label : root.children()) {
      if (label.type() != pugi::node_element) continue;
      if (std::string_view(label.name()) != "label") {
        throw LabelException("unknown element " + ElementName(label));
      }
      RenderLabel(label, codePage_, forcePeeler_, quoter, job);
      any = true;
    }
    if (!any) throw LabelException("no label in the XML");
  } else {
    throw LabelException("unknown element " + ElementName(root));
  }
  return job.Take();
}

}  // namespace dralmin
