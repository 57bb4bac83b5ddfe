#include "app/Commands.h"

#include <ostream>
#include <string>
#include <string_view>

#include "app/BrowserPolicyStore.h"
#include "app/Roles.h"
#include "app/StatusCommand.h"
#include "app/StopAgents.h"
#include "app/UsersData.h"
#include "settings/AgentSettings.h"
#include "settings/SettingsFiles.h"

namespace dralmin {
namespace {

constexpr const char* kUsage =
    "usage: dralmin-tray-agent                 the watchdog, which starts the agent\n"
    "       dralmin-tray-agent status          prints the running agent's status\n"
    "       dralmin-tray-agent browser-policies write|remove [--root FOLDER]\n"
    "       dralmin-tray-agent stop-all\n"
    "       dralmin-tray-agent remove-user-data\n"
    "       dralmin-tray-agent --help\n";

int BrowserPolicies(std::string_view action, const std::string& root, std::ostream& out,
                    std::ostream& err) {
  if (action == "remove") return RemoveBrowserPolicies(root, out, err) ? 0 : 1;
  // Browser policies hold for every user, so only the machine's settings count.
  const AgentSettings settings = LoadAgentSettings(MachineSettingsSources(), err);
  if (!settings.allowedOrigins) {
    err << "allowed_origins is not set, so every page may use the agent, and a browser policy "
           "cannot name every page: set allowed_origins for the machine first\n";
    return 1;
  }
  if (settings.allowedOrigins->empty()) {
    err << "allowed_origins names no readable origin: nothing to allow\n";
    return 1;
  }
  return WriteBrowserPolicies(*settings.allowedOrigins, root, out, err) ? 0 : 1;
}

}  // namespace

std::optional<int> RunCommand(int argc, const char* const* argv, std::ostream& out,
                              std::ostream& err) {
  if (argc < 2) return std::nullopt;
  const std::string_view command = argv[1];
  if (command == "stop-all" && argc == 2) return StopAllAgents(err);
  if (command == "remove-user-data" && argc == 2) return RemoveUsersData(out, err);
  if (command == "status" && argc == 2) {
    // The agent's port as this user's agent reads it.
    const AgentSettings settings = LoadAgentSettings(SettingsSourcesFromEnvironment(), err);
    return PrintAgentStatus(settings, out, err);
  }
  if (command == "--help" || command == "-h") {
    out << kUsage;
    return 0;
  }
  if (command != "browser-policies") {
    // The agent's own command line; anything else is a mistake, and starting the watchdog for it
    // would leave an agent running that nobody asked for.
    if (IsAgentRun(argc, argv)) return std::nullopt;
    err << "dralmin-tray-agent: unknown argument '" << command << "'\n" << kUsage;
    return 2;
  }
  std::string_view action = argc >= 3 ? argv[2] : "";
  std::string root;
  if (argc == 5 && std::string_view(argv[3]) == "--root") {
    root = argv[4];
  } else if (argc != 3) {
    action = "";
  }
  if (action != "write" && action != "remove") {
    err << kUsage;
    return 2;
  }
  return BrowserPolicies(action, root, out, err);
}

}  // namespace dralmin
