// Two users' agents on the same ports, each user's pages reaching that user's own agent. Needs
// root, to create the users (and remove them).

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "tests/testkit/AgentProcess.h"
#include "tests/testkit/Helpers.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;

// A user of its own for the test, removed with its files on destruction.
class TestUser {
 public:
  explicit TestUser(const std::string& name) : name_(name) {
    RunCommand("userdel " + name_ + " 2>/dev/null");
    created_ =
        RunCommand("useradd --system --no-create-home --shell /usr/sbin/nologin " + name_).status ==
        0;
    if (const passwd* entry = created_ ? getpwnam(name_.c_str()) : nullptr) {
      uid_ = entry->pw_uid;
      gid_ = entry->pw_gid;
    }
    home_ = folder_.path() + "/home";
    std::filesystem::create_directories(home_);
    RunCommand("chmod 755 " + folder_.path() + " && chown -R " + name_ + " " + home_);
  }
  ~TestUser() {
    if (created_) RunCommand("userdel " + name_);
  }
  bool ok() const { return created_ && uid_ != 0; }
  const std::string& home() const { return home_; }

  // `argv` as this user, with the environment `env` (NAME=VALUE) added.
  std::vector<std::string> As(std::vector<std::string> env, std::vector<std::string> argv) const {
    std::vector<std::string> command{"setpriv",
                                     "--reuid=" + std::to_string(uid_),
                                     "--regid=" + std::to_string(gid_),
                                     "--clear-groups",
                                     "env",
                                     "HOME=" + home_};
    command.insert(command.end(), env.begin(), env.end());
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
  }
  std::string Shell(const std::vector<std::string>& argv) const {
    std::string line;
    for (const std::string& arg : argv) line += "'" + arg + "' ";
    return line;
  }

 private:
  std::string name_;
  TempFolder folder_;
  std::string home_;
  bool created_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
};

// Asks /weight twice on one connection over plain HTTP, then twice on one HTTPS connection, as
// a process of the user; prints each body on a line, or the error.
constexpr const char* kClient = R"(
import http.client, ssl, sys
port, secure, cafile = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
out = []
try:
    for connection in (http.client.HTTPConnection("127.0.0.1", port, timeout=10),
                       http.client.HTTPSConnection("127.0.0.1", secure, timeout=10,
                           context=ssl.create_default_context(cafile=cafile))):
        for _ in range(2):
            connection.request("GET", "/weight")
            out.append(connection.getresponse().read().decode())
except Exception as error:
    out.append("error: %s" % type(error).__name__)
print("\n".join(out))
)";

class SharedPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "creating users for this test needs root";
    if (RunCommand("command -v useradd && command -v setpriv").status != 0) {
      GTEST_SKIP() << "useradd or setpriv is missing";
    }
    const std::string d = certs_.path();
    const std::string script =
        "set -e; cd " + d +
        "; mkdir -p www/dist/cert; "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=TestCA -keyout ca.key -out ca.crt 2>/dev/null; "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost "
        "-keyout server.key -out server.csr 2>/dev/null; "
        "printf 'subjectAltName=IP:127.0.0.1\\n' > ext; "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out www/dist/cert/1.crt.txt 2>/dev/null; "
        "cp server.key www/dist/cert/1.key.txt; echo 1 > www/dist/cert/last; chmod -R a+rX .";
    ASSERT_EQ(RunCommand(script).status, 0);
    distPort_ = FreePort();
    dist_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"python3", "-m", "http.server", std::to_string(distPort_),
                                 "--bind", "127.0.0.1", "--directory", d + "/www"});
    ASSERT_TRUE(WaitFor([&] { return Socket(distPort_).ok(); }, 10s));
    port_ = FreePort();
    httpsPort_ = FreePort();
  }

  // The user's own scale, with its weight, and that user's agent on the shared ports.
  std::unique_ptr<ChildProcess> StartAgent(const TestUser& user, const std::string& weight,
                                           std::vector<std::unique_ptr<ChildProcess>>& scales) {
    const std::string ptyFile = user.home() + "/scale-path";
    scales.push_back(std::make_unique<ChildProcess>(
        user.As({}, {"sh", "-c",
                     std::string("exec '") + DRALMIN_SCALE_SIMULATOR + "' --weight " + weight +
                         " > " + ptyFile})));
    std::string pty;
    EXPECT_TRUE(WaitFor([&] { return !!std::getline(std::ifstream(ptyFile), pty); }, 10s));
    const std::string h = user.home();
    return std::make_unique<ChildProcess>(user.As(
        {"XDG_RUNTIME_DIR=" + h, "XDG_CONFIG_HOME=" + h + "/config",
         "XDG_CONFIG_DIRS=" + h + "/system-config", "XDG_DATA_HOME=" + h + "/data",
         "DRALMIN_HTTP_PORT=" + std::to_string(port_),
         "DRALMIN_HTTPS_PORT=" + std::to_string(httpsPort_),
         "DRALMIN_CERT_BASE_URL=http://127.0.0.1:" + std::to_string(distPort_) + "/dist/cert/",
         "DRALMIN_SERIAL_PORTS=" + pty},
        {AgentPath(), "run"}));
  }

  // What a process of `user` is answered, one body a line.
  std::string Weights(const TestUser& user) {
    return RunCommand(
               user.Shell(user.As({}, {"python3", "-c", kClient, std::to_string(port_),
                                       std::to_string(httpsPort_), certs_.path() + "/ca.crt"})))
        .output;
  }

  static std::string Twice(const std::string& weight) {
    const std::string body = "DralminWeighter__callback({value: " + weight + "})";
    return body + "\n" + body + "\n" + body + "\n" + body + "\n";
  }

  TempFolder certs_;
  uint16_t distPort_ = 0;
  std::unique_ptr<ChildProcess> dist_;
  uint16_t port_ = 0;
  uint16_t httpsPort_ = 0;
};

TEST_F(SharedPortsTest, EachUsersPagesReachThatUsersAgent) {
  const std::string tag = std::to_string(getpid());
  TestUser first("dralmin-a" + tag), second("dralmin-b" + tag), third("dralmin-c" + tag);
  ASSERT_TRUE(first.ok() && second.ok() && third.ok());
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto firstAgent = StartAgent(first, "1.100", scales);
  auto secondAgent = StartAgent(second, "2.200", scales);

  // Both serve once each has its certificate; the first agent holds the ports.
  ASSERT_TRUE(WaitFor([&] { return Weights(first) == Twice("1.100000"); }, 20s)) << Weights(first);
  ASSERT_TRUE(WaitFor([&] { return Weights(second) == Twice("2.200000"); }, 20s))
      << Weights(second);

  // A user without an agent gets the connection closed, not another user's answer.
  const std::string refused = Weights(third);
  EXPECT_TRUE(refused == "error: RemoteDisconnected\n" ||
              refused == "error: ConnectionResetError\n")
      << refused;

  // The holder ends; the other agent takes the ports over.
  firstAgent->Kill();
  const auto ended = std::chrono::steady_clock::now();
  ASSERT_TRUE(WaitFor([&] { return Weights(second) == Twice("2.200000"); }, 5s));
  EXPECT_LT(std::chrono::steady_clock::now() - ended, 2s);
}

// Holds the ports as another user's agent would, and hands the waiting agent a connection of
// its own user's; prints what the connection is answered (nothing: it was dropped).
constexpr const char* kImpostor = R"(
import array, socket, sys, time
port, owner = int(sys.argv[1]), sys.argv[2]
ports = socket.socket()
ports.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ports.bind(("127.0.0.1", port))
ports.listen()
place = "\0dralmin-tray-agent/%s/%d" % (owner, port)
deadline = time.monotonic() + 20
while True:
    waiting = socket.socket(socket.AF_UNIX)
    try:
        waiting.connect(place)
        break
    except OSError:
        if time.monotonic() > deadline: sys.exit("no agent waits")
        time.sleep(0.05)
client = socket.create_connection(("127.0.0.1", port))
accepted, _ = ports.accept()
waiting.sendmsg([b"p"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [accepted.fileno()]))])
waiting.close()
accepted.close()
client.settimeout(10)
client.sendall(b"GET /weight HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
try:
    print("answer: %r" % client.recv(4096))
except ConnectionResetError:
    print("answer: reset")
)";

TEST_F(SharedPortsTest, AnAgentDropsAConnectionOfAnotherUserHandedToIt) {
  const std::string tag = std::to_string(getpid());
  TestUser owner("dralmin-d" + tag), impostor("dralmin-e" + tag);
  ASSERT_TRUE(owner.ok() && impostor.ok());
  const std::string result = impostor.home() + "/result";
  ChildProcess handing(impostor.As(
      {}, {"sh", "-c",
           impostor.Shell({"python3", "-c", kImpostor, std::to_string(port_),
                           std::to_string(getpwnam(("dralmin-d" + tag).c_str())->pw_uid)}) +
               "> " + result + " 2>&1"}));
  ASSERT_TRUE(WaitFor(
      [&] { return RunCommand("ss -ltn | grep -q ':" + std::to_string(port_) + " '").status == 0; },
      10s));
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto agent = StartAgent(owner, "1.100", scales);
  std::string answer;
  ASSERT_TRUE(WaitFor([&] { return !!std::getline(std::ifstream(result), answer); }, 20s));
  EXPECT_TRUE(answer == "answer: b''" || answer == "answer: reset") << answer;
}

}  // namespace
}  // namespace dralmin::test
