// "/print" through the running agent, the support library and a printer on loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/testkit/AgentProcess.h"
#include "tests/supportlib/FakePrinter.h"

namespace dralmin::test {
namespace {

constexpr std::string_view kHead =
    "HTTP/1.1 200 OK\r\nContent-Type: text/javascript; charset=windows-1251\r\nContent-Length: ";

class PrintAgentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { agent_ = std::make_unique<AgentProcess>(); }
  static void TearDownTestSuite() { agent_.reset(); }

  // The settings the library reads at each print, as the settings dialog saves them.
  static void UsePrinter(const std::string& address, int codePage) {
    const std::string folder = agent_->home() + "/config/Dralmin";
    std::filesystem::create_directories(folder);
    std::ofstream(folder + "/printer.conf")
        << "printerAddress=" << address << "\ncodePage=" << codePage << "\nforcePeeler=0\n";
  }

  // A form post as a browser sends it.
  static std::string Post(const std::string& xml) {
    const std::string boundary = "----WebKitFormBoundaryAbC9xyz";
    const std::string body = "--" + boundary +
                             "\r\nContent-Disposition: form-data; name=\"print_xml\"\r\n\r\n" +
                             xml + "\r\n--" + boundary + "--\r\n";
    return agent_->Exchange(
        "POST /print HTTP/1.1\r\nHost: 127.0.0.1\r\n"
        "Content-Type: multipart/form-data; boundary=" +
        boundary + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
  }

  static std::unique_ptr<AgentProcess> agent_;
};
std::unique_ptr<AgentProcess> PrintAgentTest::agent_;

TEST_F(PrintAgentTest, CyrillicLabelReachesTheNetworkPrinter) {
  FakePrinter printer;
  ASSERT_TRUE(printer.ok());
  UsePrinter(printer.address(), 1251);
  const std::string ok = "DralminPrinter__callback({result:'OK'})";
  EXPECT_EQ(Post("<label width=\"58\" height=\"40\"><text x=\"10\" y=\"10\">Хлеб \"Бородинский\""
                 "</text><qrcode x=\"200\" y=\"10\">4601</qrcode></label>"),
            std::string(kHead) + std::to_string(ok.size()) + "\r\n\r\n" + ok);
  EXPECT_EQ(printer.Job(1),
            "SIZE 58 mm,40 mm\r\nGAP 2 mm,0 mm\r\nDIRECTION 1\r\nCODEPAGE 1251\r\nCLS\r\n"
            "TEXT 10,10,\"3\",0,1,1,\"\xD5\xEB\xE5\xE1 \\[\"]\xC1\xEE\xF0\xEE\xE4\xE8\xED\xF1\xEA"
            "\xE8\xE9\\[\"]\"\r\n"
            "QRCODE 200,10,M,4,A,0,\"4601\"\r\n"
            "PRINT 1\r\n");
}

TEST_F(PrintAgentTest, DeviceFilePrinterAndUnreachablePrinter) {
  const std::string device = agent_->home() + "/lp0";
  std::ofstream(device).close();
  UsePrinter(device, 866);
  EXPECT_EQ(BodyOf(Post("<label width='20' height='10'><text x='0' y='0'>Я</text></label>")),
            "DralminPrinter__callback({result:'OK'})");
  EXPECT_EQ(ReadFile(device),
            "SIZE 20 mm,10 mm\r\nGAP 2 mm,0 mm\r\nDIRECTION 1\r\nCODEPAGE 866\r\nCLS\r\n"
            "TEXT 0,0,\"3\",0,1,1,\"\x9F\"\r\nPRINT 1\r\n");

  UsePrinter("127.0.0.1:1", 1251);
  EXPECT_EQ(BodyOf(Post("<label width='20' height='10'/>")),
            "DralminPrinter__callback({error:'printer 127.0.0.1:1 unreachable: Connection "
            "refused'})");
}

TEST_F(PrintAgentTest, NoPrintXmlPartGetsAnEmptyReply) {
  EXPECT_EQ(agent_->Exchange("POST /print HTTP/1.1\r\nContent-Type: text/plain\r\n"
                             "Content-Length: 5\r\n\r\nhello"),
            std::string(kHead) + "0\r\n\r\n");
}

}  // namespace
}  // namespace dralmin::test
