#include "settings/SettingsFiles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>

#include "tests/testkit/Helpers.h"

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace dralmin {
namespace {

AgentSettings Defaults() {
  std::ostringstream none;
  return LoadAgentSettings({}, none);
}

void Write(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path) << text;
}

// An environment of these variables only.
std::function<std::optional<std::string>(const std::string&)> Environment(
    std::map<std::string, std::string> variables) {
  return [variables = std::move(variables)](const std::string& name) -> std::optional<std::string> {
    const auto it = variables.find(name);
    if (it == variables.end()) return std::nullopt;
    return it->second;
  };
}

TEST(AgentSettingsTest, EachBadLineIsReportedWithItsPlaceAndChangesNothing) {
  AgentSettings settings;
  std::ostringstream problems;
  ApplySettingsText(settings,
                    "\xEF\xBB\xBF# comment\n"  // a byte order mark, as Windows editors write
                    "\n"
                    "  http_port\t=  9000 \r\n"
                    "https_port 9001\n"
                    "http_prot = 1\n"
                    "colour = red\n"
                    "DRALMIN_LOG_LEVEL = debug\n"
                    "http_port = 0\n"
                    "https_port = 65536\n"
                    "https_port = 80x\n"
                    "listen_address = localhost\n"
                    "log_level = loud\n"
                    "cert_base_url = ftp://certs.example/\n"
                    "cert_base_url = https://certs.example/dist/cert",
                    "/etc/agent.conf", problems);
  EXPECT_EQ(problems.str(),
            "/etc/agent.conf:4: not a 'key = value' line\n"
            "/etc/agent.conf:5: unknown key 'http_prot' (did you mean 'http_port'?)\n"
            "/etc/agent.conf:6: unknown key 'colour'\n"
            "/etc/agent.conf:7: unknown key 'DRALMIN_LOG_LEVEL' (did you mean 'log_level'?)\n"
            "/etc/agent.conf:8: '0' is not a port number (1..65535)\n"
            "/etc/agent.conf:9: '65536' is not a port number (1..65535)\n"
            "/etc/agent.conf:10: '80x' is not a port number (1..65535)\n"
            "/etc/agent.conf:11: 'localhost' is not an IP address (127.0.0.1, 0.0.0.0, ::1, ...)\n"
            "/etc/agent.conf:12: 'loud' is not one of error, warning, info, debug\n"
            "/etc/agent.conf:13: 'ftp://certs.example/' is not an http:// or https:// address\n");
  AgentSettings expected;
  expected.httpPort = 9000;
  expected.certBaseUrl = "https://certs.example/dist/cert/";  // the file names follow a "/"
  EXPECT_EQ(settings, expected);
}

TEST(AgentSettingsTest, AllowedOriginsAreOriginsAndAMisspeltOneOpensNothing) {
  AgentSettings settings;
  std::ostringstream problems;
  ApplySettingsText(settings, "allowed_origins = HTTPS://Shop.Example:443/, http://10.1.2.3:8080",
                    "f", problems);
  EXPECT_EQ(problems.str(), "");
  EXPECT_EQ(settings.allowedOrigins,
            (std::vector<std::string>{"https://shop.example", "http://10.1.2.3:8080"}));

  ApplySettingsText(settings, "allowed_origins = https://shop.example/till, http://10.1.2.3", "f",
                    problems);
  EXPECT_EQ(settings.allowedOrigins, std::vector<std::string>{"http://10.1.2.3"});
  ApplySettingsText(settings, "allowed_origins = shop.example", "f", problems);
  EXPECT_EQ(settings.allowedOrigins, std::vector<std::string>{});  // no page at all
  EXPECT_EQ(problems.str(),
            "f:1: 'https://shop.example/till' is not a page origin (scheme://host[:port]); only "
            "the other listed origins may use the devices\n"
            "f:1: 'shop.example' is not a page origin (scheme://host[:port]); no page may use the "
            "devices\n");

  ApplySettingsText(settings, "allowed_origins =", "f", problems);
  EXPECT_EQ(settings.allowedOrigins, std::nullopt);  // every page again
}

TEST(AgentSettingsTest, SystemFileThenUserFileThenEnvironment) {
  test::TempFolder root;
  const std::string first = root.path() + "/first", second = root.path() + "/second";
  const std::string user = root.path() + "/user";
  Write(second + "/Dralmin/agent.conf", "twain_dsm = second.so\n");  // only the first one counts
  Write(first + "/Dralmin/agent.conf",
        "http_port = 1001\nhttps_port = 1002\nlisten_address = 0.0.0.0\n");
  Write(user + "/Dralmin/agent.conf", "https_port = 2002\nlisten_address = ::1\nhttp_port = x\n");
  SettingsSources sources{{root.path() + "/none", first, second},
                          user,
                          Environment({{"DRALMIN_LISTEN_ADDRESS", "127.0.0.2"},
                                       {"DRALMIN_TWAIN_DSM", ""},  // empty is unset
                                       {"DRALMIN_HTTPS_PORT", "port"}})};
  std::ostringstream problems;
  const AgentSettings settings = LoadAgentSettings(sources, problems);
  EXPECT_EQ(problems.str(), user + "/Dralmin/agent.conf:3: 'x' is not a port number (1..65535)\n" +
                                "environment DRALMIN_HTTPS_PORT: 'port' is not a port number "
                                "(1..65535)\n");
  AgentSettings expected = Defaults();
  expected.httpPort = 1001;
  expected.httpsPort = 2002;
  expected.listenAddress = "127.0.0.2";
  EXPECT_EQ(settings, expected);
}

TEST(AgentSettingsTest, InstallerValuesSitBelowTheFilesAndThePolicyAboveEverything) {
  test::TempFolder root;
  Write(root.path() + "/system/Dralmin/agent.conf", "https_port = 1002\n");
  Write(root.path() + "/user/Dralmin/agent.conf", "listen_address = ::1\n");
  SettingsSources sources{{root.path() + "/system"},
                          root.path() + "/user",
                          Environment({{"DRALMIN_LOG_LEVEL", "debug"}}),
                          {"HKLM\\Installed",
                           {{"http_port", "1001"},
                            {"HTTPS_PORT", "2001"},  // registry names are case-insensitive
                            {"scan_mode", ""},       // an empty value is not given
                            {"allowed_origins", "https://shop.example"}}},
                          {"HKLM\\Policy",
                           {{"Log_Level", "error"},
                            {"listen_address", "127.0.0.3"},
                            {"http_port", "seven"},
                            {"scan_dialog", std::nullopt},
                            {"colour", "red"}}}};
  std::ostringstream problems;
  const AgentSettings settings = LoadAgentSettings(sources, problems);
  EXPECT_EQ(problems.str(),
            "HKLM\\Policy\\http_port: 'seven' is not a port number (1..65535)\n"
            "HKLM\\Policy\\scan_dialog: not a text or number value\n"
            "HKLM\\Policy\\colour: unknown key 'colour'\n");
  AgentSettings expected = Defaults();
  expected.httpPort = 1001;              // the installer's, as nothing else sets it
  expected.httpsPort = 1002;             // the system file over the installer
  expected.listenAddress = "127.0.0.3";  // the policy over the user's file
  expected.logLevel = LogLevel::Error;   // the policy over the environment
  expected.allowedOrigins = std::vector<std::string>{"https://shop.example"};
  EXPECT_EQ(settings, expected);
  EXPECT_EQ(Describe(settings.origins.Of("listen_address")), "HKLM\\Policy\\listen_address");
  EXPECT_EQ(Describe(settings.origins.Of("http_port")), "HKLM\\Installed\\http_port");
}

#ifdef _WIN32
// On Windows the machine's file is under ProgramData and the user's in the roaming application
// data folder; the XDG variables mean nothing there.
TEST(AgentSettingsTest, TheFoldersAreProgramDataAndTheApplicationDataFolder) {
  const SettingsSources sources =
      SettingsSourcesFrom(Environment({{"PROGRAMDATA", "C:\\ProgramData"},
                                       {"APPDATA", "C:\\Users\\till\\AppData\\Roaming"},
                                       {"XDG_CONFIG_DIRS", "/opt/xdg"}}));
  EXPECT_EQ(sources.systemFolders, std::vector<std::string>{"C:\\ProgramData"});
  EXPECT_EQ(sources.userFolder, "C:\\Users\\till\\AppData\\Roaming");
}
#else
// Administrators' files are found where the XDG rules put them: /etc/xdg and ~/.config unless
// the variables name other folders, which count only when absolute.
TEST(AgentSettingsTest, TheFoldersComeFromTheXdgVariables) {
  SettingsSources sources = SettingsSourcesFrom(Environment({{"HOME", "/home/till"}}));
  EXPECT_EQ(sources.systemFolders, std::vector<std::string>{"/etc/xdg"});
  EXPECT_EQ(sources.userFolder, "/home/till/.config");

  sources = SettingsSourcesFrom(Environment({{"HOME", "/home/till"},
                                             {"XDG_CONFIG_DIRS", "/opt/xdg:etc/xdg::/etc/xdg"},
                                             {"XDG_CONFIG_HOME", "/srv/config"}}));
  EXPECT_EQ(sources.systemFolders, (std::vector<std::string>{"/opt/xdg", "/etc/xdg"}));
  EXPECT_EQ(sources.userFolder, "/srv/config");

  sources = SettingsSourcesFrom(Environment(
      {{"HOME", "/home/till"}, {"XDG_CONFIG_DIRS", ""}, {"XDG_CONFIG_HOME", "config"}}));
  EXPECT_EQ(sources.systemFolders, std::vector<std::string>{"/etc/xdg"});
  EXPECT_EQ(sources.userFolder, "/home/till/.config");
}
#endif

TEST(AgentSettingsTest, AnUnreadableFileIsReportedAndTheNextFolderServes) {
  test::TempFolder root;
  // A folder where the file should be: not read, even by root.
  std::filesystem::create_directories(root.path() + "/first/Dralmin/agent.conf");
  Write(root.path() + "/second/Dralmin/agent.conf", "http_port = 1234\n");
  std::ostringstream problems;
  const AgentSettings settings =
      LoadAgentSettings({{root.path() + "/first", root.path() + "/second"}, "", {}}, problems);
  EXPECT_EQ(problems.str(),
            root.path() + "/first/Dralmin/agent.conf: cannot be read: not a regular file\n");
  EXPECT_EQ(settings.httpPort, 1234);
}

TEST(AgentSettingsTest, AnOverlongLineIsLeftOutAndProblemsAreSaidAsText) {
  test::TempFolder root;
  const std::string path = root.path() + "/Dralmin/agent.conf";
  Write(path, "http_port = 1234\nallowed_origins = " + std::string(70000, 'o') +
                  "\nhttps_port = 4321\n\x1b[2J\x07 = 1\n");
  std::ostringstream problems;
  const AgentSettings settings = LoadAgentSettings({{}, root.path(), {}}, problems);
  EXPECT_EQ(settings.httpPort, 1234);
  EXPECT_EQ(settings.httpsPort, 4321);
  EXPECT_FALSE(settings.allowedOrigins);
  EXPECT_EQ(problems.str(), path + ":2: longer than 65536 bytes: the line is ignored\n" + path +
                                ":4: unknown key '\\x1b[2J\\x07'\n");
}

#ifndef _WIN32
TEST(AgentSettingsTest, AFifoOrDeviceIsNotReadAndDoesNotBlock) {
  test::TempFolder root;
  std::filesystem::create_directories(root.path() + "/Dralmin");
  const std::string path = root.path() + "/Dralmin/agent.conf";
  // Opened as files are, a FIFO without a writer would wait for one for good.
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::ostringstream problems;
  LoadAgentSettings({{"/nonexistent", root.path()}, "", {}}, problems);
  std::filesystem::remove(path);
  std::filesystem::create_symlink("/dev/zero", path);
  LoadAgentSettings({{}, root.path(), {}}, problems);
  EXPECT_EQ(problems.str(), path + ": cannot be read: not a regular file\n" + path +
                                ": cannot be read: not a regular file\n");
}
#endif

// The shipped file names every key with its real default, so that removing a "#" changes
// nothing until the value is edited. It is the Debian package's, with the POSIX defaults.
#ifndef _WIN32
TEST(AgentSettingsTest, TheShippedFileListsEveryKeyWithItsDefault) {
  std::ifstream file(std::string(std::getenv("DRALMIN_SOURCE_DIR")) + "/packaging/agent.conf");
  ASSERT_TRUE(file);
  const std::regex commentedSetting("#([a-z_]+) = ?(.*)");
  std::string line, uncommented;
  std::vector<std::string_view> keys;
  const std::vector<std::string_view> known = SettingKeys();
  while (std::getline(file, line)) {
    std::smatch match;
    if (!std::regex_match(line, match, commentedSetting)) {
      EXPECT_TRUE(line.empty() || line.starts_with("# ") || line == "#") << line;
      continue;
    }
    uncommented += line.substr(1) + "\n";
    const auto key = std::find(known.begin(), known.end(), match[1].str());
    ASSERT_NE(key, known.end()) << line;
    keys.push_back(*key);
  }
  EXPECT_EQ(keys, known);
  AgentSettings settings = Defaults();
  std::ostringstream problems;
  ApplySettingsText(settings, uncommented, "agent.conf", problems);
  EXPECT_EQ(problems.str(), "");
  EXPECT_EQ(settings, Defaults());
}
#endif

TEST(StoreSettingTest, ReplacesTheKeysLineOrAppendsOneAndKeepsTheRest) {
  test::TempFolder folder;
  const std::string path = folder.path() + "/agent.conf";
  std::ofstream(path) << "# scanner\nscan_mode = color\nhttp_port = 8081\n  scan_mode=gray\n";
  std::string error;
  ASSERT_TRUE(StoreSetting(path, "scan_mode", "lineart", error)) << error;
  ASSERT_TRUE(StoreSetting(path, "sane_device", "test:0", error)) << error;
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  // A later duplicate would override the stored value, so it goes.
  EXPECT_EQ(text.str(), "# scanner\nscan_mode = lineart\nhttp_port = 8081\nsane_device = test:0\n");
  AgentSettings settings;
  ApplySettingsText(settings, text.str(), path, std::cerr);
  EXPECT_EQ(settings.scanMode, ScanMode::Lineart);
  EXPECT_EQ(settings.saneDevice, "test:0");
}

TEST(AgentSettingsTest, EachKeysValueReadsBackAsTheFileWroteIt) {
  // A value other than the default for every key, so that a key added without its text fails.
  const std::map<std::string_view, std::string_view> samples = {
      {"http_port", "9081"},
      {"https_port", "9433"},
      {"listen_address", "0.0.0.0"},
      {"shared_ports", "false"},
      {"port_broker", "/run/other/broker.sock"},
      {"allowed_origins", "https://a.example, http://b:8080"},
      {"cert_base_url", "https://c.example/certs/"},
      {"serial_ports", "/dev/ttyS1,/dev/ttyUSB0"},
      {"fingerprint_sdk", "/opt/sdk.so"},
      {"twain_dsm", "/opt/dsm.so"},
      {"scan_backend", "sane"},
      {"sane_device", "test:0"},
      {"scan_dialog", "false"},
      {"scan_source", "feeder"},
      {"scan_mode", "gray"},
      {"scan_resolution", "300"},
      {"scan_keep_hours", "8"},
      {"scan_queue_mb", "256"},
      {"barcode_devices", "/dev/a, usb:0c2e:0b61"},
      {"barcode_layout", "de"},
      {"barcode_idle_ms", "80"},
      {"barcode_end", "tab"},
      {"log_level", "debug"},
  };
  AgentSettings settings;
  for (std::string_view key : SettingKeys()) {
    const auto sample = samples.find(key);
    ASSERT_NE(sample, samples.end()) << key;
    ASSERT_EQ(ApplySetting(settings, key, sample->second), std::nullopt) << key;
    EXPECT_EQ(SettingValue(settings, key), sample->second) << key;
  }
}

}  // namespace
}  // namespace dralmin
