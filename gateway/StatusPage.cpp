#include "gateway/StatusPage.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "replies/OriginPolicy.h"

namespace dralmin {
namespace {

// Headers of every status reply: no CORS header (so no other site's script may read it), no
// frame, no cache, no script at all, and no use as another site's script or image.
constexpr std::string_view kStatusHeaders =
    "Cache-Control: no-store\r\n"
    "X-Frame-Options: DENY\r\n"
    "Content-Security-Policy: default-src 'none'; img-src data:; style-src 'unsafe-inline'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'none'\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "Cross-Origin-Resource-Policy: same-origin\r\n"
    "Referrer-Policy: no-referrer\r\n";

// How one code point or stray byte is shown.
enum class Form { kText, kHtml, kJson };

// The length of the valid UTF-8 sequence at the start of `text` and its code point; 0 when the
// first byte starts none (a stray continuation byte, an overlong form, a surrogate, past U+10FFFF
// or cut short).
std::size_t Utf8Sequence(std::string_view text, char32_t& point) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned lead = byte(0);
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, minimum = 0x80, point = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, minimum = 0x800, point = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, minimum = 0x10000, point = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    point = point << 6 | (byte(i) & 0x3F);
  }
  if (point < minimum || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF)) return 0;
  return length;
}

// C0, DEL and C1: a terminal acts on them (C1 includes the single-byte CSI), a reader sees
// nothing.
bool IsControl(char32_t point) {
  return point < 0x20 || (point >= 0x7F && point <= 0x9F);
}

// Appends `text` in the given form. Every byte that is not valid UTF-8 is shown as "\xHH" and
// every control character as "\u00HH" (in JSON its standard escape), so that what a page or a
// device sent can neither make the JSON undecodable nor drive the reader's terminal.
void AppendShown(std::string& out, std::string_view text, Form form) {
  char escape[12];
  while (!text.empty()) {
    char32_t point = 0;
    const std::size_t length = Utf8Sequence(text, point);
    if (length == 0) {
      std::snprintf(escape, sizeof escape, "\\\\x%02x", static_cast<unsigned char>(text[0]));
      out += form == Form::kJson ? escape : escape + 1;
      text.remove_prefix(1);
      continue;
    }
    if (IsControl(point) || (form == Form::kJson && point == '<')) {
      // "<" as well in JSON, so that the text can never close a script element.
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(point));
      out += escape;
    } else if (form == Form::kHtml &&
               std::string_view("<>&\"'").find(text[0]) != std::string_view::npos) {
      static constexpr std::string_view kEntities[] = {"&lt;", "&gt;", "&amp;", "&quot;", "&#39;"};
      out += kEntities[std::string_view("<>&\"'").find(text[0])];
    } else if (form == Form::kJson && (point == '"' || point == '\\')) {
      out += '\\';
      out += text[0];
    } else {
      out += text.substr(0, length);
    }
    text.remove_prefix(length);
  }
}

void AppendHtml(std::string& out, std::string_view text) {
  AppendShown(out, text, Form::kHtml);
}

void AppendJson(std::string& out, std::string_view text) {
  out += '"';
  AppendShown(out, text, Form::kJson);
  out += '"';
}

std::string Shown(std::string_view text) {
  std::string out;
  AppendShown(out, text, Form::kText);
  return out;
}

std::string Base64(std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = std::min<size_t>(3, bytes.size() - i);
    uint32_t word = 0;
    for (size_t k = 0; k < 3; ++k) {
      word = word << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
    }
    for (size_t k = 0; k < 4; ++k) {
      out += k <= n ? kDigits[(word >> (18 - 6 * k)) & 63] : '=';
    }
  }
  return out;
}

std::string Uptime(std::chrono::seconds uptime) {
  const long long total = uptime.count();
  char text[48];
  std::snprintf(text, sizeof text, "%lldd %02lld:%02lld:%02lld", total / 86400, total / 3600 % 24,
                total / 60 % 60, total % 60);
  return text;
}

bool IsLoopbackSelf(const std::string& origin, const std::vector<std::string>& selfOrigins) {
  return std::find(selfOrigins.begin(), selfOrigins.end(), origin) != selfOrigins.end();
}

}  // namespace

bool StatusHostAllowed(const Request& request, const std::vector<std::string>& selfOrigins) {
  if (!request.host) return false;
  // Host names are compared without regard to case; the port is part of the agent's address.
  std::string host(*request.host);
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return IsLoopbackSelf("http://" + host, selfOrigins) ||
         IsLoopbackSelf("https://" + host, selfOrigins);
}

bool StatusRequestAllowed(const Request& request, const std::vector<std::string>& selfOrigins) {
  // A name of another site re-pointed at 127.0.0.1 reaches the agent with that name as its Host
  // and no Origin: only the agent's own loopback names read the page.
  if (!StatusHostAllowed(request, selfOrigins)) return false;
  // Browsers send Origin on every request a page's script makes across origins and on posts; a
  // navigation typed by the user carries none.
  if (request.origin) return false;
  if (request.fetchSite && *request.fetchSite != "none" && *request.fetchSite != "same-origin") {
    return false;
  }
  if (request.referer) {
    const std::optional<std::string> origin = OriginOfUrl(*request.referer);
    if (!origin || !IsLoopbackSelf(*origin, selfOrigins)) return false;
  }
  return true;
}

std::string RenderStatusHtml(const StatusReport& report) {
  std::string out;
  out.reserve(16384);
  out +=
      "<!DOCTYPE html>\n<html lang=\"ru\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<title>Состояние агента / Agent status</title>\n<style>\n"
      "body{font:14px sans-serif;margin:1em 2em;color:#222}"
      "h1{font-size:20px;display:flex;align-items:center;gap:.5em}"
      "h2{font-size:16px;margin-top:1.5em;border-bottom:1px solid #ccc}"
      "table{border-collapse:collapse}td,th{padding:2px 12px 2px 0;text-align:left;"
      "vertical-align:top}th{font-weight:normal;color:#555}"
      ".warn{background:#fff3cd;border:1px solid #e0c060;padding:4px 8px;margin:4px 0}"
      "pre{font-size:12px;background:#f6f6f6;padding:8px;overflow-x:auto}"
      "</style>\n</head>\n<body>\n<h1>";
  if (!report.iconPng.empty()) {
    out += "<img alt=\"\" width=\"32\" height=\"32\" src=\"data:image/png;base64,";
    out += Base64(report.iconPng);
    out += "\">";
  }
  out += "Состояние агента / Agent status</h1>\n<table>\n<tr><th>Версия / Version</th><td>";
  AppendHtml(out, report.version);
  out += "</td></tr>\n<tr><th>Платформа / Platform</th><td>";
  AppendHtml(out, report.platform);
  out += "</td></tr>\n<tr><th>Время работы / Uptime</th><td>";
  out += Uptime(report.uptime);
  out += "</td></tr>\n</table>\n";

  if (!report.warnings.empty()) {
    out += "<h2>Предупреждения / Warnings</h2>\n";
    for (const std::string& warning : report.warnings) {
      out += "<div class=\"warn\">";
      AppendHtml(out, warning);
      out += "</div>\n";
    }
  }
  for (const StatusSection& section : report.sections) {
    out += "<h2 id=\"";
    AppendHtml(out, section.id);
    out += "\">";
    AppendHtml(out, section.titleRu);
    out += " / ";
    AppendHtml(out, section.titleEn);
    out += "</h2>\n<table>\n";
    for (const StatusRow& row : section.rows) {
      out += "<tr><th>";
      AppendHtml(out, row.name);
      out += "</th><td>";
      AppendHtml(out, row.value);
      out += "</td><td>";
      AppendHtml(out, row.detail);
      out += "</td></tr>\n";
    }
    if (section.rows.empty()) out += "<tr><td>—</td></tr>\n";
    out += "</table>\n";
  }
  out += "<h2>Журнал / Log</h2>\n<pre>";
  for (const std::string& line : report.logLines) {
    AppendHtml(out, line);
    out += '\n';
  }
  out += "</pre>\n</body>\n</html>\n";
  return out;
}

std::string RenderStatusJson(const StatusReport& report) {
  std::string out;
  out.reserve(16384);
  out += "{\"version\":";
  AppendJson(out, report.version);
  out += ",\"platform\":";
  AppendJson(out, report.platform);
  out += ",\"uptimeSeconds\":" + std::to_string(report.uptime.count());
  out += ",\"warnings\":[";
  for (size_t i = 0; i < report.warnings.size(); ++i) {
    if (i > 0) out += ',';
    AppendJson(out, report.warnings[i]);
  }
  out += "]";
  for (const StatusSection& section : report.sections) {
    out += ',';
    AppendJson(out, section.id);
    out += ":[";
    for (size_t i = 0; i < section.rows.size(); ++i) {
      const StatusRow& row = section.rows[i];
      out += i > 0 ? ",{\"name\":" : "{\"name\":";
      AppendJson(out, row.name);
      out += ",\"value\":";
      AppendJson(out, row.value);
      out += ",\"detail\":";
      AppendJson(out, row.detail);
      out += '}';
    }
    out += ']';
  }
  out += ",\"log\":[";
  for (size_t i = 0; i < report.logLines.size(); ++i) {
    if (i > 0) out += ',';
    AppendJson(out, report.logLines[i]);
  }
  out += "]}\n";
  return out;
}

std::string RenderStatusText(const StatusReport& report) {
  std::string out = "Dralmin Tray Agent " + Shown(report.version) + " (" + Shown(report.platform) +
                    "), up " + Uptime(report.uptime) + "\n";
  for (const std::string& warning : report.warnings) out += "WARNING: " + Shown(warning) + "\n";
  for (const StatusSection& section : report.sections) {
    out += "\n" + Shown(section.titleEn) + ":\n";
    for (const StatusRow& row : section.rows) {
      out += "  " + Shown(row.name) + ": " + Shown(row.value);
      if (!row.detail.empty()) out += " (" + Shown(row.detail) + ")";
      out += '\n';
    }
  }
  out += "\nLog:\n";
  for (const std::string& line : report.logLines) out += "  " + Shown(line) + "\n";
  return out;
}

std::string PrintableLines(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t end = text.find('\n'); !text.empty(); end = text.find('\n')) {
    AppendShown(out, text.substr(0, end), Form::kText);
    if (end == std::string_view::npos) break;
    out += '\n';
    text.remove_prefix(end + 1);
  }
  return out;
}

std::string StatusReply(const Request& request, const StatusReport& report) {
  const std::string_view accept = request.accept.value_or("");
  std::string_view type = "text/html; charset=utf-8";
  std::string body;
  if (accept.find("application/json") != std::string_view::npos) {
    type = "application/json; charset=utf-8";
    body = RenderStatusJson(report);
  } else if (accept.find("text/plain") != std::string_view::npos &&
             accept.find("text/html") == std::string_view::npos) {
    type = "text/plain; charset=utf-8";
    body = RenderStatusText(report);
  } else {
    body = RenderStatusHtml(report);
  }
  std::string reply = "HTTP/1.1 200 OK\r\nContent-Type: ";
  reply += type;
  reply += "\r\n";
  reply += kStatusHeaders;
  reply += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  reply += body;
  return reply;
}

std::string StatusRefusal() {
  std::string reply = "HTTP/1.1 403 Forbidden\r\n";
  reply += kStatusHeaders;
  reply += "Content-Length: 0\r\n\r\n";
  return reply;
}

}  // namespace dralmin
