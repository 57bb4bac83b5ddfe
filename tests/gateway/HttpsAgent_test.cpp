// The HTTPS port of the running agent, with certificates made here and a distribution server on
// loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/testkit/AgentProcess.h"

namespace dralmin::test {
namespace {

using namespace std::chrono_literals;

class HttpsAgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dist_ = root_.path() + "/www/dist/cert";
    std::filesystem::create_directories(dist_);
    const std::string d = root_.path();
    // A CA, and a server certificate for localhost signed by it.
    const std::string script =
        "set -e; cd " + d +
        "; "
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
        "-subj /CN=TestCA -keyout ca.key -out ca.crt 2>/dev/null; "
        "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost "
        "-keyout server.key -out server.csr 2>/dev/null; "
        "printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > ext; "
        "openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -days 2 "
        "-extfile ext -out server.crt 2>/dev/null";
    ASSERT_EQ(RunCommand(script).status, 0);
    Publish("7", d + "/server.crt", d + "/server.key");

    distPort_ = FreePort();
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"python3", "-m", "http.server", std::to_string(distPort_),
                                 "--bind", "127.0.0.1", "--directory", root_.path() + "/www"});
    ASSERT_TRUE(WaitFor([&] { return Socket(distPort_).ok(); }, 10s));
  }

  void Publish(const std::string& version, const std::string& cert, const std::string& key) {
    std::filesystem::copy_file(cert, dist_ + "/" + version + ".crt.txt",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(key, dist_ + "/" + version + ".key.txt",
                               std::filesystem::copy_options::overwrite_existing);
    std::ofstream(dist_ + "/last") << version << "\r\n";  // a line end the agent must trim
  }

  std::vector<std::string> Env(const std::string& home) const {
    return {"DRALMIN_CERT_BASE_URL=http://127.0.0.1:" + std::to_string(distPort_) + "/dist/cert/",
            "XDG_CONFIG_HOME=" + home + "/config", "XDG_DATA_HOME=" + home + "/data"};
  }

  CommandResult Curl(uint16_t port, const std::string& path) const {
    return RunCommand("curl -s -i --max-time 5 --cacert " + root_.path() +
                      "/ca.crt https://localhost:" + std::to_string(port) + path);
  }

  TempFolder root_;
  TempFolder home_;
  std::string dist_;
  uint16_t distPort_ = 0;
  std::unique_ptr<ChildProcess> server_;
};

TEST_F(HttpsAgentTest, FirstStartFetchesTheCertificateAndServesHttps) {
  {
    AgentProcess agent(Env(home_.path()));
    ASSERT_TRUE(WaitFor([&] { return Socket(agent.httpsPort()).ok(); }, 5s));
    const CommandResult reply = Curl(agent.httpsPort(), "/barcode");
    EXPECT_EQ(reply.status, 0);
    EXPECT_EQ(reply.output,
              "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\n"
              "Content-Length: 0\r\n\r\n");
    EXPECT_TRUE(std::filesystem::exists(home_.path() + "/data/Veltrana/7.crt"));
    EXPECT_TRUE(std::filesystem::exists(home_.path() + "/data/Veltrana/7.key"));
    std::ifstream version(home_.path() + "/config/Veltrana/CertVersion");
    std::string text;
    version >> text;
    EXPECT_EQ(text, "7");

    // Plain HTTP or garbage on the TLS port costs that connection only.
    Socket plain(agent.httpsPort());
    ASSERT_TRUE(plain.Send("GET /barcode HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(plain.WaitClosed(5s));
    Socket stalled(agent.httpsPort());  // connects and never says hello
    EXPECT_EQ(Curl(agent.httpsPort(), "/weight").status, 0);
    EXPECT_EQ(agent.Get("/weight"), "DralminWeighter__callback({value: 0})");
  }

  // Restart with the server gone: HTTPS is served from the stored version.
  server_->Kill();
  AgentProcess restarted(Env(home_.path()));
  ASSERT_TRUE(WaitFor([&] { return Socket(restarted.httpsPort()).ok(); }, 5s));
  EXPECT_EQ(Curl(restarted.httpsPort(), "/barcode").status, 0);
}

TEST_F(HttpsAgentTest, NoCertificateAnywhereServesPlainHttpOnly) {
  server_->Kill();
  AgentProcess agent(Env(home_.path()));
  EXPECT_EQ(agent.Get("/barcode"), "");
  EXPECT_FALSE(Socket(agent.httpsPort()).ok());
}

TEST_F(HttpsAgentTest, BrokenStoredCertificateDoesNotStopTheAgent) {
  std::filesystem::create_directories(home_.path() + "/config/Veltrana");
  std::filesystem::create_directories(home_.path() + "/data/Veltrana");
  std::ofstream(home_.path() + "/config/Veltrana/CertVersion") << "3";
  std::ofstream(home_.path() + "/data/Veltrana/3.crt") << "not a certificate";
  std::ofstream(home_.path() + "/data/Veltrana/3.key") << "not a key";
  // The agent's own, as it writes them: its user's alone.
  namespace fs = std::filesystem;
  fs::permissions(home_.path() + "/data/Veltrana", fs::perms::owner_all);
  for (const char* file : {"/data/Veltrana/3.crt", "/data/Veltrana/3.key"}) {
    fs::permissions(home_.path() + file, fs::perms::owner_read | fs::perms::owner_write);
  }
  std::filesystem::remove(dist_ + "/last");  // the server has no answer this time

  AgentProcess agent(Env(home_.path()));
  EXPECT_EQ(agent.Get("/barcode"), "");  // port 8081 serves
  // The stored files are found broken beside the running gateway, and forgotten.
  const std::string version = home_.path() + "/config/Veltrana/CertVersion";
  EXPECT_TRUE(WaitFor([&] { return !std::filesystem::exists(version); }, 10s));
  EXPECT_FALSE(Socket(agent.httpsPort()).ok());
}

}  // namespace
}  // namespace dralmin::test
