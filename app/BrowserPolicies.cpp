#include "app/BrowserPolicies.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QString>
#include <algorithm>
#include <charconv>

namespace dralmin {
namespace {

QJsonArray Strings(const std::vector<std::string>& items) {
  QJsonArray array;
  for (const std::string& item : items) array.append(QString::fromStdString(item));
  return array;
}

std::optional<QJsonObject> ParseObject(std::string_view text, std::string& error) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return QJsonObject();
  QJsonParseError parse;
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray(text.data(), static_cast<qsizetype>(text.size())), &parse);
  if (parse.error != QJsonParseError::NoError || !document.isObject()) {
    error = parse.error != QJsonParseError::NoError ? parse.errorString().toStdString() +
                                                          " at byte " + std::to_string(parse.offset)
                                                    : "not a JSON object";
    return std::nullopt;
  }
  return document.object();
}

std::string Text(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Indented).toStdString();
}

constexpr char kFirefoxPolicy[] = "LocalNetworkAccess";
constexpr char kFirefoxList[] = "SkipDomains";

}  // namespace

std::vector<std::string> OriginHosts(const std::vector<std::string>& origins) {
  std::vector<std::string> hosts;
  for (const std::string& origin : origins) {
    const size_t start = origin.find("://");
    if (start == std::string::npos) continue;
    std::string_view host = std::string_view(origin).substr(start + 3);
    // The port follows the last ":" unless that is inside an IPv6 address's brackets.
    if (const size_t colon = host.rfind(':');
        colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
      host = host.substr(0, colon);
    }
    if (std::find(hosts.begin(), hosts.end(), host) == hosts.end()) hosts.emplace_back(host);
  }
  return hosts;
}

std::string ChromiumPolicyJson(const std::vector<std::string>& origins) {
  QJsonObject policies;
  for (std::string_view name : kChromiumPolicies) {
    policies.insert(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())),
                    Strings(origins));
  }
  return Text(policies);
}

std::optional<std::string> AddFirefoxDomains(std::string_view existing,
                                             const std::vector<std::string>& hosts,
                                             std::vector<std::string>& added, std::string& error) {
  std::optional<QJsonObject> file = ParseObject(existing, error);
  if (!file) return std::nullopt;
  QJsonObject policies = file->value("policies").toObject();
  QJsonObject access = policies.value(kFirefoxPolicy).toObject();
  QJsonArray domains = access.value(kFirefoxList).toArray();
  added.clear();
  for (const std::string& host : hosts) {
    const QString domain = QString::fromStdString(host);
    if (domains.contains(domain)) continue;
    domains.append(domain);
    added.push_back(host);
  }
  access.insert(kFirefoxList, domains);
  policies.insert(kFirefoxPolicy, access);
  file->insert("policies", policies);
  return Text(*file);
}

std::optional<std::string> RemoveFirefoxDomains(std::string_view existing,
                                                const std::vector<std::string>& hosts, bool& empty,
                                                std::string& error) {
  std::optional<QJsonObject> file = ParseObject(existing, error);
  if (!file) return std::nullopt;
  QJsonObject policies = file->value("policies").toObject();
  QJsonObject access = policies.value(kFirefoxPolicy).toObject();
  QJsonArray domains = access.value(kFirefoxList).toArray();
  for (const std::string& host : hosts) {
    const QString domain = QString::fromStdString(host);
    for (qsizetype i = domains.size() - 1; i >= 0; --i) {
      if (domains.at(i).toString() == domain) domains.removeAt(i);
    }
  }
  if (domains.isEmpty()) {
    access.remove(kFirefoxList);
  } else {
    access.insert(kFirefoxList, domains);
  }
  if (access.isEmpty()) {
    policies.remove(kFirefoxPolicy);
  } else {
    policies.insert(kFirefoxPolicy, access);
  }
  if (policies.isEmpty()) {
    file->remove("policies");
  } else {
    file->insert("policies", policies);
  }
  empty = file->isEmpty();
  return Text(*file);
}

std::vector<RegistryListPolicy> RegistryBrowserPolicies(const std::vector<std::string>& origins,
                                                        bool firefox) {
  std::vector<RegistryListPolicy> lists;
  for (const char* browser : {"SOFTWARE\\Policies\\Google\\Chrome", "SOFTWARE\\Policies\\Microsoft\\Edge"}) {
    for (std::string_view name : kChromiumPolicies) {
      lists.push_back({std::string(browser) + "\\" + std::string(name), origins});
    }
  }
  if (firefox) {
    lists.push_back({"SOFTWARE\\Policies\\Mozilla\\Firefox\\LocalNetworkAccess\\SkipDomains",
                     OriginHosts(origins)});
  }
  return lists;
}

std::vector<std::pair<std::string, std::string>> NumberedAdditions(
    const std::vector<RegistryValue>& existing, const std::vector<std::string>& items) {
  unsigned highest = 0;
  for (const RegistryValue& value : existing) {
    unsigned number = 0;
    const char* end = value.name.data() + value.name.size();
    if (const auto [last, ec] = std::from_chars(value.name.data(), end, number);
        ec == std::errc() && last == end) {
      highest = std::max(highest, number);
    }
  }
  std::vector<std::pair<std::string, std::string>> additions;
  for (const std::string& item : items) {
    const bool listed = std::any_of(existing.begin(), existing.end(), [&](const RegistryValue& v) {
      return v.text == item;
    });
    if (!listed) additions.emplace_back(std::to_string(++highest), item);
  }
  return additions;
}

namespace {

constexpr std::pair<WrittenPolicy::Kind, std::string_view> kKindNames[] = {
    {WrittenPolicy::Kind::kFolder, "folder"}, {WrittenPolicy::Kind::kFile, "file"},
    {WrittenPolicy::Kind::kFirefoxDomain, "domain"}, {WrittenPolicy::Kind::kKey, "key"},
    {WrittenPolicy::Kind::kValue, "value"}};

}  // namespace

std::string FormatRecord(const std::vector<WrittenPolicy>& written) {
  std::string text;
  for (const WrittenPolicy& item : written) {
    for (const auto& [kind, name] : kKindNames) {
      if (kind == item.kind) text += name;
    }
    text += '\t' + item.where + '\t' + item.name + '\t' + item.data + '\n';
  }
  return text;
}

std::vector<WrittenPolicy> ParseRecord(std::string_view text) {
  std::vector<WrittenPolicy> written;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    std::vector<std::string_view> fields;
    for (size_t tab; (tab = line.find('\t')) != std::string_view::npos; line.remove_prefix(tab + 1)) {
      fields.push_back(line.substr(0, tab));
    }
    fields.push_back(line);
    if (fields.size() != 4) continue;
    for (const auto& [kind, name] : kKindNames) {
      if (name == fields[0]) {
        written.push_back({kind, std::string(fields[1]), std::string(fields[2]),
                           std::string(fields[3])});
      }
    }
  }
  return written;
}

}  // namespace dralmin
