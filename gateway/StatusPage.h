#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "replies/Request.h"

namespace dralmin {

// The path of the page that tells whoever supports the workstation what the agent sees.
inline constexpr std::string_view kStatusPath = "/agent/status";

// One fact: a name, its value and, where it helps, where the value came from or why.
struct StatusRow {
  std::string name;
  std::string value;
  std::string detail;
};

// A titled group of facts; `id` names it in the JSON form.
struct StatusSection {
  std::string id;
  std::string titleRu;
  std::string titleEn;
  std::vector<StatusRow> rows;
};

// Everything the page shows. It holds only what the agent knows of itself and its devices, never
// what a page sent or received (codes, templates, uploads, identifiers).
struct StatusReport {
  std::string version;
  std::string platform;
  std::chrono::seconds uptime{0};
  std::vector<std::string> warnings;  // what will likely fail, before it does
  std::vector<StatusSection> sections;
  std::vector<std::string> logLines;  // oldest first
  std::string iconPng;                // the agent's icon, shown at the top; may be empty
};

// The three forms of the same facts. Each shows every byte that is not UTF-8 as "\xHH" and every
// control character (C0, DEL, C1) as "\u00HH" (an escape of JSON's own there), so the JSON is
// always UTF-8 and a terminal is never driven by what a page or device sent.

std::string RenderStatusHtml(const StatusReport& report);
std::string RenderStatusJson(const StatusReport& report);
std::string RenderStatusText(const StatusReport& report);

// `text` with the same escapes as RenderStatusText, its line ends kept: what may reach a terminal.
std::string PrintableLines(std::string_view text);

// Whether the request's Host is one of the agent's own loopback addresses (the host and port of
// one of `selfOrigins`). A page whose own name was re-pointed at 127.0.0.1 sends that name.
bool StatusHostAllowed(const Request& request, const std::vector<std::string>& selfOrigins);

// Whether a request for the status page may be answered. Only a navigation the user made (or the
// page's own reload) to the agent's own address is: a Host other than its own, a request with an
// Origin header, a Sec-Fetch-Site other than "none" or "same-origin", or a Referer outside
// `selfOrigins` (the agent's own addresses) comes from a page of another site, which must not read
// what the agent sees.
bool StatusRequestAllowed(const Request& request, const std::vector<std::string>& selfOrigins);

// The complete reply: the form the Accept header asks for (JSON for "application/json", text for
// "text/plain" alone, else HTML), with headers that keep it out of frames, caches and other
// sites' scripts.
std::string StatusReply(const Request& request, const StatusReport& report);

// The refusal, with the same headers and no body.
std::string StatusRefusal();

// The page's configuration for the router.
struct StatusPage {
  std::vector<std::string> selfOrigins;
  // Builds the agent's part of the report, on the poll thread; the router adds its own sections.
  std::function<StatusReport()> collect;
};

}  // namespace dralmin
