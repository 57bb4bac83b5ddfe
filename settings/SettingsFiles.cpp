// Reading the settings files and the environment in their order, and storing one value.
#include "settings/SettingsFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>

#include "platform/Files.h"
#include "platform/Paths.h"
#include "settings/SettingsText.h"

namespace dralmin {
namespace {

// The whole file; nullopt with errno set when it cannot be read. A folder of that name opens,
// then fails to read.
std::optional<std::string> ReadText(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
  const int error = std::ferror(file) ? errno : 0;
  std::fclose(file);
  if (error != 0) {
    errno = error;
    return std::nullopt;
  }
  return text;
}

// A file that is not there is the normal case; one that is there but unreadable is not.
bool Missing(int error) {
  return error == ENOENT || error == ENOTDIR;
}

// False when there is no such file, or it cannot be read (said on `problems`): then the next
// folder's file is looked for.
bool ApplyFile(AgentSettings& settings, const std::string& path, SettingOrigin::Kind kind,
               std::ostream& problems) {
  const std::optional<std::string> text = ReadText(path);
  if (!text) {
    if (!Missing(errno)) problems << path << ": cannot be read: " << std::strerror(errno) << '\n';
    return false;
  }
  ApplySettingsText(settings, *text, path, problems, kind);
  return true;
}

std::string EnvironmentName(std::string_view key) {
  std::string name = "DRALMIN_";
  for (char c : key) name += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  return name;
}

// `text` with the line of `key` set to `line` (a later duplicate, which would override it,
// removed), or `line` appended.
std::string WithLine(std::string_view text, std::string_view key, const std::string& line) {
  std::string out;
  bool replaced = false;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    const std::string_view current = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    const std::string_view trimmed = Trim(current);
    const size_t equals = trimmed.find('=');
    const bool same = !trimmed.empty() && trimmed.front() != '#' &&
                      equals != std::string_view::npos && Trim(trimmed.substr(0, equals)) == key;
    if (same && replaced) continue;
    out += same ? line : std::string(current);
    out += '\n';
    replaced = replaced || same;
  }
  if (!replaced) out += line + '\n';
  return out;
}

void ApplyRegistry(AgentSettings& settings, const RegistrySettings& layer,
                   SettingOrigin::Kind kind, std::ostream& problems) {
  for (const RegistryValue& value : layer.values) {
    const std::string where = layer.origin + "\\" + value.name;
    if (!value.text) {
      problems << where << ": not a text or number value\n";
      continue;
    }
    const std::string_view text = Trim(*value.text);
    if (text.empty()) continue;
    // Registry names are case-insensitive: HTTP_PORT is http_port there.
    std::string key;
    for (char c : value.name) key += c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    if (auto error = ApplySetting(settings, key, text, SettingOrigin{kind, where, 0})) {
      problems << where << ": " << *error << '\n';
    }
  }
}

void AddMachineLayers(SettingsSources& sources) {
  // The installer is this 32-bit program's own; Group Policy writes the system's native registry.
  sources.installed = {MachineKeyName(kInstalledSettingsKey),
                       ReadMachineValues(kInstalledSettingsKey, RegistryView::kOwn)};
  sources.policy = {MachineKeyName(kPolicySettingsKey),
                    ReadMachineValues(kPolicySettingsKey, RegistryView::kNative)};
}

}  // namespace

void ApplySettingsText(AgentSettings& settings, std::string_view text, const std::string& path,
                       std::ostream& problems, SettingOrigin::Kind kind) {
  // Editors on Windows start a UTF-8 file with a byte order mark.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  int number = 0;
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    const std::string_view line = Trim(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const size_t equals = line.find('=');
    const std::string_view key = Trim(line.substr(0, equals));
    if (equals == std::string_view::npos || key.empty()) {
      problems << path << ':' << number << ": not a 'key = value' line\n";
      continue;
    }
    const SettingOrigin origin{kind, path, number};
    if (auto error = ApplySetting(settings, key, Trim(line.substr(equals + 1)), origin)) {
      problems << path << ':' << number << ": " << *error << '\n';
    }
  }
}

AgentSettings LoadAgentSettings(const SettingsSources& sources, std::ostream& problems) {
  AgentSettings settings;
  settings.certBaseUrl = DefaultCertBaseUrl();
  ApplyRegistry(settings, sources.installed, SettingOrigin::Kind::Installer, problems);
  for (const std::string& folder : sources.systemFolders) {
    const std::string path = folder + "/" + std::string(kSettingsFile);
    if (ApplyFile(settings, path, SettingOrigin::Kind::SystemFile, problems)) break;
  }
  if (const std::string path = UserSettingsPath(sources); !path.empty()) {
    ApplyFile(settings, path, SettingOrigin::Kind::UserFile, problems);
  }
  if (sources.environment) {
    for (std::string_view key : SettingKeys()) {
      const std::string name = EnvironmentName(key);
      const std::optional<std::string> value = sources.environment(name);
      if (!value || value->empty()) continue;
      const SettingOrigin origin{SettingOrigin::Kind::Environment, name, 0};
      if (auto error = ApplySetting(settings, key, Trim(*value), origin)) {
        problems << "environment " << name << ": " << *error << '\n';
      }
    }
  }
  ApplyRegistry(settings, sources.policy, SettingOrigin::Kind::Policy, problems);
  return settings;
}

std::string UserSettingsPath(const SettingsSources& sources) {
  if (sources.userFolder.empty()) return {};
  return sources.userFolder + "/" + std::string(kSettingsFile);
}

bool StoreSetting(const std::string& path, std::string_view key, std::string_view value,
                  std::string& error) {
  std::optional<std::string> text = ReadText(path);
  if (!text) {
    if (!Missing(errno)) {
      error = path + ": cannot be read: " + std::strerror(errno);
      return false;
    }
    text.emplace();
  }
  const std::string out = WithLine(*text, key, std::string(key) + " = " + std::string(value));
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  switch (WriteFileWhole(path, out)) {
    case WriteFailure::kNone:
      return true;
    case WriteFailure::kReplace:
      error = path + ": cannot be replaced: " + std::strerror(errno);
      return false;
    default:
      error = path + ": cannot be written: " + std::strerror(errno);
      return false;
  }
}

SettingsSources SettingsSourcesFromEnvironment() {
  SettingsSources sources = SettingsSourcesFrom(EnvironmentVariable);
  AddMachineLayers(sources);
  return sources;
}

SettingsSources MachineSettingsSources() {
  SettingsSources sources = SettingsSourcesFromEnvironment();
  sources.userFolder.clear();
  sources.environment = nullptr;
  return sources;
}

SettingsSources SettingsSourcesFrom(VariableReader variable) {
  ConfigFolders folders = ConfigFoldersFrom(variable);
  return {std::move(folders.system), std::move(folders.user), std::move(variable), {}, {}};
}

}  // namespace dralmin
