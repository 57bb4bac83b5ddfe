// Reading the settings files and the environment in their order, and storing one value.
#include "settings/SettingsFiles.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Paths.h"
#include "settings/SettingsText.h"

namespace dralmin {
namespace {

// A settings line is a few hundred bytes; far longer ones are left out rather than held.
constexpr std::size_t kMaxLineBytes = 64 * 1024;
// What is kept of one file, and how much of it is read at most.
constexpr std::size_t kMaxKeptBytes = 1024 * 1024;
constexpr std::uint64_t kMaxReadBytes = 256ull * 1024 * 1024;

struct FileText {
  std::string text;
  std::vector<int> overlong;  // numbers of lines left empty as longer than kMaxLineBytes
  bool cut = false;           // the rest of the file was not read
};

// A file that is not there is the normal case; one that is there but unreadable is not.
bool Missing(int error) {
  return error == ENOENT || error == ENOTDIR;
}

// The text of the regular file at `path`, read in pieces; with `capped`, a line longer than
// kMaxLineBytes is left empty (so that the others keep their numbers) and reading ends at the
// limits above. nullopt when it cannot be read, with the reason in `error`, which stays empty
// when there is no such file. A FIFO or a device is not read: it would block or never end.
std::optional<FileText> ReadText(const std::string& path, bool capped, std::string& error) {
  bool notRegular = false;
  const int fd = OpenRegularFile(path, notRegular);
  if (fd < 0) {
    if (notRegular) {
      error = "not a regular file";
    } else if (!Missing(errno)) {
      error = std::strerror(errno);
    }
    return std::nullopt;
  }
  FileText file;
  std::size_t lineStart = 0;
  int line = 1;
  bool skipping = false;
  std::uint64_t read = 0;
  char buffer[64 * 1024];
  for (;;) {
    const auto count = ::read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) {
      error = std::strerror(errno);
      close(fd);
      return std::nullopt;
    }
    if (count == 0) break;
    std::string_view piece(buffer, static_cast<std::size_t>(count));
    if (!capped) {
      file.text.append(piece);
      continue;
    }
    read += piece.size();
    while (!piece.empty()) {
      const std::size_t end = piece.find('\n');
      if (!skipping) {
        file.text.append(piece.substr(0, end));
        if (file.text.size() - lineStart > kMaxLineBytes) {
          file.text.resize(lineStart);
          file.overlong.push_back(line);
          skipping = true;
        }
      }
      if (end == std::string_view::npos) break;
      file.text += '\n';
      ++line;
      lineStart = file.text.size();
      skipping = false;
      piece.remove_prefix(end + 1);
    }
    if (file.text.size() > kMaxKeptBytes || read >= kMaxReadBytes) {
      // A line cut short could mean something else: it goes too.
      file.text.resize(lineStart);
      file.cut = true;
      break;
    }
  }
  close(fd);
  return file;
}

// False when there is no such file, or it cannot be read (said on `problems`): then the next
// folder's file is looked for.
bool ApplyFile(AgentSettings& settings, const std::string& path, SettingOrigin::Kind kind,
               std::ostream& problems) {
  std::string error;
  const std::optional<FileText> file = ReadText(path, true, error);
  if (!file) {
    if (!error.empty()) problems << path << ": cannot be read: " << error << '\n';
    return false;
  }
  for (const int line : file->overlong) {
    problems << path << ':' << line << ": longer than " << kMaxLineBytes
             << " bytes: the line is ignored\n";
  }
  if (file->cut) {
    problems << path << ": longer than settings are: only its first " << file->text.size()
             << " bytes are read\n";
  }
  ApplySettingsText(settings, file->text, path, problems, kind);
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

namespace {

AgentSettings LoadSettings(const SettingsSources& sources, std::ostream& problems) {
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

}  // namespace

AgentSettings LoadAgentSettings(const SettingsSources& sources, std::ostream& problems) {
  // Problems quote what files and variables hold, which may be binary or huge: each is passed on
  // as one line of text.
  std::ostringstream said;
  AgentSettings settings = LoadSettings(sources, said);
  const std::string text = said.str();
  for (std::string_view rest = text; !rest.empty();) {
    const std::size_t end = rest.find('\n');
    problems << LogSafe(rest.substr(0, end)) << '\n';
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
  }
  return settings;
}

std::string UserSettingsPath(const SettingsSources& sources) {
  if (sources.userFolder.empty()) return {};
  return sources.userFolder + "/" + std::string(kSettingsFile);
}

bool StoreSetting(const std::string& path, std::string_view key, std::string_view value,
                  std::string& error) {
  // Read whole, as every line of it is written back.
  std::string reason;
  std::optional<FileText> file = ReadText(path, false, reason);
  if (!file) {
    if (!reason.empty()) {
      error = path + ": cannot be read: " + reason;
      return false;
    }
    file.emplace();
  }
  const std::string out = WithLine(file->text, key, std::string(key) + " = " + std::string(value));
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
