// Two users' agents on the same ports, each user's pages reaching that user's own agent. Needs
// root, to create the users (and remove them).

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

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
  const std::string& name() const { return name_; }
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
host = sys.argv[4] if len(sys.argv) > 4 else "127.0.0.1"
out = []
try:
    for connection in (http.client.HTTPConnection(host, port, timeout=10),
                       http.client.HTTPSConnection(host, secure, timeout=10,
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
        "printf 'subjectAltName=IP:127.0.0.1,IP:::1\\n' > ext; "
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
    RunCommand("chmod 755 " + brokerDir_.path());
    brokerSocket_ = brokerDir_.path() + "/broker.sock";
  }

  // The port broker on the test's ports, as root, as the system would start it.
  std::unique_ptr<ChildProcess> StartBroker() {
    auto broker = std::make_unique<ChildProcess>(std::vector<std::string>{
        DRALMIN_PORT_BROKER, "--http-port", std::to_string(port_), "--https-port",
        std::to_string(httpsPort_), "--socket", brokerSocket_});
    EXPECT_TRUE(WaitFor([&] { return RunCommand("test -S " + brokerSocket_).status == 0; }, 10s));
    return broker;
  }

  // The user's own scale, with its weight, and that user's agent on the shared ports.
  std::unique_ptr<ChildProcess> StartAgent(const TestUser& user, const std::string& weight,
                                           std::vector<std::unique_ptr<ChildProcess>>& scales,
                                           bool withBroker = false) {
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
         "DRALMIN_SERIAL_PORTS=" + pty,
         "DRALMIN_PORT_BROKER=" + (withBroker ? brokerSocket_ : brokerDir_.path() + "/none")},
        {AgentPath(), "run"}));
  }

  // What a process of `user` is answered, one body a line.
  std::string Weights(const TestUser& user, const std::string& host = "127.0.0.1") {
    return RunCommand(user.Shell(user.As(
                          {}, {"python3", "-c", kClient, std::to_string(port_),
                               std::to_string(httpsPort_), certs_.path() + "/ca.crt", host})))
        .output;
  }

  // Runs `script` with `args` as a process of `user`, its output in the user's file `name`.
  std::unique_ptr<ChildProcess> Run(const TestUser& user, const char* script,
                                    std::vector<std::string> args, const std::string& name) {
    std::vector<std::string> argv{"python3", "-c", script};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(
        user.As({}, {"sh", "-c", user.Shell(argv) + "> " + user.home() + "/" + name + " 2>&1"}));
  }

  static std::string Read(const TestUser& user, const std::string& name) {
    std::ifstream file(user.home() + "/" + name);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }

  static std::string Twice(const std::string& weight) {
    const std::string body = "DralminWeighter__callback({value: " + weight + "})";
    return body + "\n" + body + "\n" + body + "\n" + body + "\n";
  }

  TempFolder certs_;
  TempFolder brokerDir_;
  std::string brokerSocket_;
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
  // `localhost` may be either address: the holder holds both.
  EXPECT_EQ(Weights(second, "::1"), Twice("2.200000"));

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

// Holds the port and its rendezvous as another user's agent would, takes the waiting agent's
// registration and hands it a connection of its own user's; prints what the connection is
// answered (nothing: it was dropped).
constexpr const char* kImpostor = R"(
import array, socket, struct, sys
port, secure = int(sys.argv[1]), int(sys.argv[2])
ports = socket.socket()
ports.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
ports.bind(("127.0.0.1", port))
ports.listen()
place = socket.socket(socket.AF_UNIX)
place.bind("\0dralmin-tray-agent/%d" % port)
place.listen()
print("ready", flush=True)
agent, _ = place.accept()
agent.settimeout(10)
hello = agent.recv(8)
agent.sendall(b"DTA1o" + struct.pack(">HH", port, secure))
client = socket.create_connection(("127.0.0.1", port))
accepted, _ = ports.accept()
agent.sendmsg([b"p"], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, array.array("i", [accepted.fileno()]))])
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
  auto handing =
      Run(impostor, kImpostor, {std::to_string(port_), std::to_string(httpsPort_)}, "result");
  ASSERT_TRUE(WaitFor([&] { return Read(impostor, "result").starts_with("ready\n"); }, 10s));
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto agent = StartAgent(owner, "1.100", scales);
  ASSERT_TRUE(
      WaitFor([&] { return Read(impostor, "result").find("answer") != std::string::npos; }, 20s))
      << Read(impostor, "result");
  const std::string result = Read(impostor, "result");
  EXPECT_TRUE(result == "ready\nanswer: b''\n" || result == "ready\nanswer: reset\n") << result;
}

// Tries to take the port on both loopback addresses, as a user's own program would; prints
// what each bind did.
constexpr const char* kTaker = R"(
import socket, sys
port = int(sys.argv[1])
for family, host in ((socket.AF_INET, "127.0.0.1"), (socket.AF_INET6, "::1")):
    s = socket.socket(family)
    try:
        s.bind((host, port))
        print(host, "taken")
    except OSError as error:
        print(host, "refused")
)";

TEST_F(SharedPortsTest, TheBrokerPassesEachUsersConnectionsOnBothLoopbacksAndLetsNoneTakeThem) {
  const std::string tag = std::to_string(getpid());
  TestUser first("dralmin-f" + tag), second("dralmin-g" + tag), third("dralmin-h" + tag);
  ASSERT_TRUE(first.ok() && second.ok() && third.ok());
  auto broker = StartBroker();
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto firstAgent = StartAgent(first, "1.100", scales, true);
  auto secondAgent = StartAgent(second, "2.200", scales, true);
  ASSERT_TRUE(WaitFor([&] { return Weights(first) == Twice("1.100000"); }, 20s)) << Weights(first);
  ASSERT_TRUE(WaitFor([&] { return Weights(second) == Twice("2.200000"); }, 20s));
  // `localhost` may be either address: both reach the user's own agent.
  EXPECT_EQ(Weights(first, "::1"), Twice("1.100000"));
  EXPECT_EQ(Weights(second, "::1"), Twice("2.200000"));
  const std::string refused = Weights(third);
  EXPECT_TRUE(refused == "error: RemoteDisconnected\n" ||
              refused == "error: ConnectionResetError\n")
      << refused;
  EXPECT_EQ(RunCommand(third.Shell(third.As({}, {"python3", "-c", kTaker, std::to_string(port_)})))
                .output,
            "127.0.0.1 refused\n::1 refused\n");
}

// Asks /weight on a new connection again and again for `seconds`, printing each body or
// "error" on a line.
constexpr const char* kAsker = R"(
import http.client, sys, time
port, seconds = int(sys.argv[1]), float(sys.argv[2])
end = time.monotonic() + seconds
while time.monotonic() < end:
    try:
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
        c.request("GET", "/weight")
        print(c.getresponse().read().decode(), flush=True)
    except Exception:
        print("error", flush=True)
        time.sleep(0.01)
)";

// One GET /weight on a new connection, its body or "error".
constexpr const char* kOnce = R"(
import http.client, sys
try:
    c = http.client.HTTPConnection("127.0.0.1", int(sys.argv[1]), timeout=5)
    c.request("GET", "/weight")
    print(c.getresponse().read().decode())
except Exception:
    print("error")
)";

TEST_F(SharedPortsTest, AfterABrokerRestartAgentsAreServedAgainAtOnceAndNeverCrossed) {
  constexpr const char* kFirst = "DralminWeighter__callback({value: 1.100000})";
  constexpr const char* kSecond = "DralminWeighter__callback({value: 2.200000})";
  const std::string tag = std::to_string(getpid());
  TestUser first("dralmin-i" + tag), second("dralmin-j" + tag);
  ASSERT_TRUE(first.ok() && second.ok());
  auto broker = StartBroker();
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto firstAgent = StartAgent(first, "1.100", scales, true);
  auto secondAgent = StartAgent(second, "2.200", scales, true);
  ASSERT_TRUE(WaitFor([&] { return Weights(first) == Twice("1.100000"); }, 20s));
  ASSERT_TRUE(WaitFor([&] { return Weights(second) == Twice("2.200000"); }, 20s));

  auto asking = Run(first, kAsker, {std::to_string(port_), "6"}, "answers");
  std::this_thread::sleep_for(500ms);
  kill(broker->pid(), SIGTERM);
  ASSERT_TRUE(WaitFor(
      [&] {
        return kill(broker->pid(), 0) != 0 ||
               RunCommand("ss -ltn | grep -q ':" + std::to_string(port_) + " '").status != 0;
      },
      10s));
  broker = StartBroker();
  // Both agents are registered again within a second of the broker's start.
  const auto started = std::chrono::steady_clock::now();
  const auto served = [&](const TestUser& user, const std::string& body) {
    return RunCommand(user.Shell(user.As({}, {"python3", "-c", kOnce, std::to_string(port_)})))
               .output == body + "\n";
  };
  ASSERT_TRUE(WaitFor([&] { return served(first, kFirst) && served(second, kSecond); }, 10s));
  EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
  ASSERT_TRUE(
      WaitFor([&] { return waitpid(asking->pid(), nullptr, WNOHANG) == asking->pid(); }, 20s));
  std::istringstream answers(Read(first, "answers"));
  int own = 0;
  for (std::string line; std::getline(answers, line);) {
    if (line == kFirst) {
      ++own;
    } else {
      EXPECT_EQ(line, "error");
    }
  }
  EXPECT_GT(own, 0);
}

// Holds many connections to the broker's rendezvous without saying anything, renewing them
// before the broker gives up on them, for `seconds`.
constexpr const char* kCrowd = R"(
import socket, sys, time
path, seconds = sys.argv[1], float(sys.argv[2])
end = time.monotonic() + seconds
held = []
while time.monotonic() < end:
    for s in held: s.close()
    held = []
    for _ in range(64):
        s = socket.socket(socket.AF_UNIX)
        try:
            s.connect(path)
            held.append(s)
        except OSError:
            pass
    print("held", len(held), flush=True)
    time.sleep(1)
)";

TEST_F(SharedPortsTest, IdleConnectionsToTheRendezvousShutNoOtherUserOut) {
  const std::string tag = std::to_string(getpid());
  TestUser victim("dralmin-k" + tag), crowd("dralmin-l" + tag);
  ASSERT_TRUE(victim.ok() && crowd.ok());
  auto broker = StartBroker();
  auto crowding = Run(crowd, kCrowd, {brokerSocket_, "15"}, "crowd");
  ASSERT_TRUE(WaitFor([&] { return Read(crowd, "crowd").find("held") != std::string::npos; }, 5s));
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto agent = StartAgent(victim, "1.100", scales, true);
  ASSERT_TRUE(WaitFor([&] { return Weights(victim) == Twice("1.100000"); }, 10s));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(Weights(victim), Twice("1.100000")) << i;
}

// Listens at the abstract names an agent uses or once used: the one where an agent that holds
// the ports takes registrations, and one named after the victim's user.
constexpr const char* kSquatter = R"(
import socket, sys, time
places = []
for name in ("\0dralmin-tray-agent/" + sys.argv[1],
             "\0dralmin-tray-agent/%s/%s" % (sys.argv[2], sys.argv[1])):
    place = socket.socket(socket.AF_UNIX)
    place.bind(name)
    place.listen()
    places.append(place)
print("squatting", flush=True)
time.sleep(60)
)";

TEST_F(SharedPortsTest, ASquatterOfTheRendezvousKeepsNoAgentFromStartingOrServing) {
  const std::string tag = std::to_string(getpid());
  TestUser victim("dralmin-m" + tag), squatter("dralmin-n" + tag);
  ASSERT_TRUE(victim.ok() && squatter.ok());
  auto squatting = Run(
      squatter, kSquatter,
      {std::to_string(port_), std::to_string(getpwnam(victim.name().c_str())->pw_uid)}, "squat");
  ASSERT_TRUE(WaitFor([&] { return Read(squatter, "squat") == "squatting\n"; }, 5s));
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto agent = StartAgent(victim, "1.100", scales);
  ASSERT_TRUE(WaitFor([&] { return Weights(victim) == Twice("1.100000"); }, 20s))
      << Weights(victim);
}

// Accepts connections and answers none of them: a networked scale that hangs.
constexpr const char* kHangingScale = R"(
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", int(sys.argv[1])))
s.listen()
held = []
while True:
    held.append(s.accept()[0])
)";

TEST_F(SharedPortsTest, ARequestTheHoldingAgentWaitsOnHoldsUpNoOtherUser) {
  const std::string tag = std::to_string(getpid());
  TestUser holder("dralmin-o" + tag), other("dralmin-p" + tag);
  ASSERT_TRUE(holder.ok() && other.ok());
  std::vector<std::unique_ptr<ChildProcess>> scales;
  auto holderAgent = StartAgent(holder, "1.100", scales);
  ASSERT_TRUE(WaitFor([&] { return Weights(holder) == Twice("1.100000"); }, 20s));
  auto otherAgent = StartAgent(other, "2.200", scales);
  ASSERT_TRUE(WaitFor([&] { return Weights(other) == Twice("2.200000"); }, 20s));

  const uint16_t scalePort = FreePort();
  auto scale = Run(holder, kHangingScale, {std::to_string(scalePort)}, "scale");
  ASSERT_TRUE(WaitFor([&] { return Socket(scalePort).ok(); }, 5s));
  // The holder's poll thread waits some seconds on the scale that does not answer.
  ChildProcess slow(holder.As({}, {"curl", "-s", "-m", "20",
                                   "http://127.0.0.1:" + std::to_string(port_) +
                                       "/ip_weight/127.0.0.1:" + std::to_string(scalePort) + "/"}));
  std::this_thread::sleep_for(500ms);
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(Weights(other), Twice("2.200000"));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
}

}  // namespace
}  // namespace dralmin::test
