// The library as a C or foreign-function caller sees it: nothing but dralmin.h.
#include "support/dralmin.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/testkit/Helpers.h"
#include "tests/supportlib/CannedHttpServer.h"
#include "tests/supportlib/FakePrinter.h"

namespace dralmin {
namespace {

using test::ReadFile;

class LibraryTest : public ::testing::Test {
 protected:
  LibraryTest() {
    // No printing system answers there, whatever runs on this machine.
    test::SetEnvironment("CUPS_SERVER", files_.path() + "/no-cups.sock");
  }

  static void Save(const char* address, int32_t codePage, uint8_t peeler) {
    const PrinterSettings settings{address, codePage, peeler};
    dralmin_SaveSettings(&settings);
  }

  test::PrivateUserProfile profile_;
  test::TempFolder files_;
};

TEST_F(LibraryTest, SettingsRoundTrip) {
  PrinterSettings settings{nullptr, 0, 7};
  dralmin_GetSettings(&settings);
  ASSERT_NE(settings.printerAddress, nullptr);
  EXPECT_STREQ(settings.printerAddress, "");
  EXPECT_EQ(settings.codePage, 1251);
  EXPECT_EQ(settings.forcePeeler, 0);

  std::string address = "192.168.0.40:9100";
  Save(address.c_str(), 866, 1);
  address.assign(address.size(), 'x');  // the caller's text is only valid during the call
  dralmin_GetSettings(&settings);
  EXPECT_STREQ(settings.printerAddress, "192.168.0.40:9100");
  EXPECT_EQ(settings.codePage, 866);
  EXPECT_EQ(settings.forcePeeler, 1);
  EXPECT_EQ(ReadFile(profile_.configHome() + "/Dralmin/printer.conf"),
            "printerAddress=192.168.0.40:9100\ncodePage=866\nforcePeeler=1\n");

  Save(nullptr, 437, 2);
  dralmin_GetSettings(&settings);
  EXPECT_STREQ(settings.printerAddress, "");
  EXPECT_EQ(settings.codePage, 1251);
  EXPECT_EQ(settings.forcePeeler, 1);

  dralmin_GetSettings(nullptr);
  dralmin_SaveSettings(nullptr);
}

TEST_F(LibraryTest, LabelReachesTheNetworkPrinterAsTspl) {
  test::FakePrinter printer;
  ASSERT_TRUE(printer.ok());
  Save(printer.address().c_str(), 1251, 0);
  const char* answer = dralmin_PrintFromXML(
      "<label width=\"58\" height=\"40\" copies=\"2\">"
      "<text x=\"20\" y=\"30\">Молоко 3,2%</text><barcode x=\"20\" y=\"80\">4601234567890</barcode>"
      "</label>");
  EXPECT_STREQ(answer, "DralminPrinter__callback({result:'OK'})");
  EXPECT_EQ(printer.Job(1),
            "SIZE 58 mm,40 mm\r\nGAP 2 mm,0 mm\r\nDIRECTION 1\r\nCODEPAGE 1251\r\nCLS\r\n"
            "TEXT 20,30,\"3\",0,1,1,\"\xCC\xEE\xEB\xEE\xEA\xEE 3,2%\"\r\n"
            "BARCODE 20,80,\"128\",80,1,0,2,2,\"4601234567890\"\r\n"
            "PRINT 2\r\n");
}

// Printer device files are POSIX only: on Windows a local printer is reached through the spooler.
#ifndef _WIN32
TEST_F(LibraryTest, LabelToADeviceFile) {
  const std::string device = files_.path() + "/lp0";
  std::ofstream(device).close();
  Save(device.c_str(), 866, 1);
  EXPECT_STREQ(
      dralmin_PrintFromXML("<label width='30' height='20'><text x='1' y='1'>Я</text></label>"),
      "DralminPrinter__callback({result:'OK'})");
  EXPECT_EQ(ReadFile(device),
            "SIZE 30 mm,20 mm\r\nGAP 2 mm,0 mm\r\nDIRECTION 1\r\nCODEPAGE 866\r\nSET PEEL ON\r\n"
            "CLS\r\nTEXT 1,1,\"3\",0,1,1,\"\x9F\"\r\nPRINT 1\r\n");
}
#endif

TEST_F(LibraryTest, FailuresAreErrorAnswers) {
  Save("127.0.0.1:1", 1251, 0);
  const std::string label = "<label width='30' height='20'/>";
  EXPECT_EQ(std::string(dralmin_PrintFromXML(label.c_str())),
            "DralminPrinter__callback({error:'printer 127.0.0.1:1 unreachable: " +
                test::ConnectionRefusedText() + "'})");
  EXPECT_STREQ(dralmin_PrintFromXML("<label"),
               "DralminPrinter__callback({error:'XML error at offset 5: Error parsing start "
               "element tag'})");
  EXPECT_STREQ(dralmin_PrintFromXML(nullptr),
               "DralminPrinter__callback({error:'no label description'})");
  Save("", 1251, 0);
  EXPECT_STREQ(dralmin_PrintFromXML(label.c_str()),
               "DralminPrinter__callback({error:'no local printer'})");
}

TEST_F(LibraryTest, DownloadFile) {
  test::CannedHttpServer server(
      {{"/dist/cert/7.key.txt", test::CannedHttpServer::Reply(200, "KEY")}});
  const std::string path = files_.path() + "/7.key";
  EXPECT_EQ(dralmin_DownloadFile(server.Url("/dist/cert/7.key.txt").c_str(), path.c_str()), 1);
  EXPECT_EQ(ReadFile(path), "KEY");
  EXPECT_EQ(dralmin_DownloadFile(server.Url("/dist/cert/8.key.txt").c_str(), path.c_str()), 0);
  EXPECT_EQ(ReadFile(path), "KEY");
  EXPECT_EQ(dralmin_DownloadFile(nullptr, path.c_str()), 0);
  EXPECT_EQ(dralmin_DownloadFile("http://127.0.0.1:1/", nullptr), 0);
}

}  // namespace
}  // namespace dralmin
