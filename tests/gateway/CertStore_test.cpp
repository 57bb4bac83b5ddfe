#include "gateway/CertStore.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <future>
#include <map>
#include <set>

#include "gateway/GatewayStartup.h"
#include "gateway/GatewayThread.h"
#include "platform/Paths.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using test::PrivateUserProfile;

// Answers "last" from a table; anything else is unreachable.
class FakeServer : public HttpClient {
 public:
  std::optional<HttpResponse> last;
  int asked = 0;
  HttpResponse Get(const std::string& url, const HttpTimeouts&, std::size_t maxBody) override {
    ++asked;
    EXPECT_EQ(url, "http://certs.test/dist/cert/last");
    HttpResponse response = last.value_or(HttpResponse{false, 0, {}, "unreachable"});
    response.body.resize(std::min(response.body.size(), maxBody));
    return response;
  }
  HttpResponse Post(const std::string&, const std::vector<std::string>&, std::string_view,
                    const HttpTimeouts&, std::size_t) override {
    ADD_FAILURE() << "no POST expected";
    return {};
  }
};

HttpResponse Answer(std::string body, long status = 200) {
  return HttpResponse{true, status, std::move(body), {}};
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

constexpr const char* kMakerKey = "Veltrana";
constexpr const char* kVersionValue = "CertVersion";

class CertStoreTest : public ::testing::Test {
 protected:
  // Downloads succeed by writing the URL into the file, unless the URL is in `failing`.
  CertStore::Downloader Downloader() {
    return [this](const std::string& url, const std::string& path, std::string& error) {
      downloads.push_back(url);
      if (failing.count(url) != 0) {
        error = "refused " + url;
        return false;
      }
      WriteFile(path, url);
      return true;
    };
  }

  // The installed version as it is stored: a file, or the registry value on Windows.
  std::string StoredVersion() const { return home_.RawUserValue(kMakerKey, kVersionValue); }
  void StoreVersion(const std::string& bytes) const {
    home_.SetRawUserValue(kMakerKey, kVersionValue, bytes);
  }
  std::string Data(const std::string& name) const {
    return home_.dataHome() + kFolderSeparator + kMakerKey + kFolderSeparator + name;
  }

  // Runs a gateway with the HTTPS start of `store` beside it until that start is over; the HTTPS
  // port it opened, 0 for none.
  static uint16_t StartHttps(CertStore& store, HttpsStatus* status = nullptr) {
    class Handler : public RequestHandler {
      std::string HandleRequest(const Request&) override { return {}; }
    } handler;
    GatewaySettings settings;
    settings.httpPort = 0;
    settings.httpsPort = 0;
    std::promise<uint16_t> httpsPort;
    GatewayThread gateway([&] { return std::make_unique<GatewayServer>(settings, handler); },
                          [](const std::string& what) { ADD_FAILURE() << what; },
                          [&](GatewayServer& server, const std::atomic<bool>& stopping) {
                            ProvideHttps(server, store, stopping, status);
                            httpsPort.set_value(server.HttpsPort());
                          });
    return httpsPort.get_future().get();
  }

  PrivateUserProfile home_;
  FakeServer server;
  std::vector<std::string> downloads;
  std::set<std::string> failing;
  const std::string base = "http://certs.test/dist/cert/";
};

TEST_F(CertStoreTest, FirstStartInstallsTheServersVersion) {
  server.last = Answer("7");
  CertStore store(base, server, Downloader());
  EXPECT_EQ(store.version(), "");
  store.UpdateCertificate();
  EXPECT_EQ(store.version(), "7");
  EXPECT_THAT(downloads, ::testing::ElementsAre(base + "7.crt.txt", base + "7.key.txt"));
  EXPECT_EQ(ReadFile(Data("7.crt")), base + "7.crt.txt");
  EXPECT_EQ(ReadFile(Data("7.key")), base + "7.key.txt");
  EXPECT_EQ(StoredVersion(), "7");

  // The next start reads it back and downloads nothing for the same answer.
  downloads.clear();
  CertStore again(base, server, Downloader());
  EXPECT_EQ(again.version(), "7");
  again.UpdateCertificate();
  EXPECT_TRUE(downloads.empty());
}

TEST_F(CertStoreTest, AnyDifferentAnswerCountsAsNewer) {
  server.last = Answer("7");
  CertStore store(base, server, Downloader());
  store.UpdateCertificate();
  server.last = Answer("6");
  store.UpdateCertificate();
  EXPECT_EQ(store.version(), "6");
  EXPECT_EQ(StoredVersion(), "6");
}

TEST_F(CertStoreTest, AFailedDownloadKeepsTheInstalledVersion) {
  server.last = Answer("7");
  CertStore store(base, server, Downloader());
  store.UpdateCertificate();

  server.last = Answer("8");
  failing.insert(base + "8.key.txt");
  store.UpdateCertificate();
  EXPECT_EQ(store.version(), "7");
  EXPECT_EQ(StoredVersion(), "7");

  failing = {base + "9.crt.txt"};
  server.last = Answer("9");
  downloads.clear();
  store.UpdateCertificate();
  EXPECT_THAT(downloads, ::testing::ElementsAre(base + "9.crt.txt"));  // the key is not tried
  EXPECT_EQ(store.version(), "7");
}

TEST_F(CertStoreTest, NoUsableAnswerChangesNothingAndEachFailureIsSaid) {
  CertStore store(base, server, Downloader());
  ::testing::internal::CaptureStderr();
  store.UpdateCertificate();  // unreachable
  server.last = Answer("");
  store.UpdateCertificate();
  server.last = Answer("Not Found", 404);
  store.UpdateCertificate();
  server.last = Answer("../../x");
  store.UpdateCertificate();
  server.last = Answer("8");
  failing.insert(base + "8.crt.txt");
  store.UpdateCertificate();
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(store.version(), "");
  EXPECT_THAT(downloads, ::testing::ElementsAre(base + "8.crt.txt"));
  EXPECT_EQ(server.asked, 5);
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 5) << said;
  EXPECT_THAT(said, ::testing::HasSubstr("cannot fetch " + base + "last: unreachable\n"));
  EXPECT_THAT(said, ::testing::HasSubstr(base + "last answered HTTP 404\n"));
  EXPECT_THAT(said,
              ::testing::HasSubstr("version 8 not installed: refused " + base + "8.crt.txt\n"));
}

TEST_F(CertStoreTest, VersionTextMustBeAPlainToken) {
  EXPECT_EQ(CertStore::CleanVersion("7"), "7");
  EXPECT_EQ(CertStore::CleanVersion(" 2024.1-rc_2\r\n"), "2024.1-rc_2");
  EXPECT_EQ(CertStore::CleanVersion("\n"), "");
  EXPECT_EQ(CertStore::CleanVersion("../../x"), "");
  EXPECT_EQ(CertStore::CleanVersion(".hidden"), "");
  EXPECT_EQ(CertStore::CleanVersion("a/b"), "");
  EXPECT_EQ(CertStore::CleanVersion("a b"), "");
  EXPECT_EQ(CertStore::CleanVersion(std::string("7\0x", 3)), "");
  EXPECT_EQ(CertStore::CleanVersion(std::string(128, '1')), "");
  EXPECT_EQ(CertStore::CleanVersion(std::string(127, '1')), std::string(127, '1'));
}

TEST_F(CertStoreTest, StoredVersionIsReadUpToItsNul) {
  CertStore store(base, server, Downloader());
  store.WriteCertVersion("12");
  EXPECT_EQ(store.ReadCertVersion(), "12");
  StoreVersion(std::string("13\0junk", 7));
  EXPECT_EQ(store.ReadCertVersion(), "13");
  StoreVersion(std::string(200, '4'));
  EXPECT_EQ(store.ReadCertVersion(), "");
  store.Forget();
  EXPECT_EQ(store.ReadCertVersion(), "");
}

// Stored version whose files are gone: this start serves plain HTTP, the version is forgotten so
// that the next start fetches the files again, and nothing loops.
TEST_F(CertStoreTest, StoredVersionWithoutFilesFallsBackToPlainHttp) {
  CertStore store(base, server, Downloader());
  store.WriteCertVersion("5");
  CertStore restarted(base, server, Downloader());
  ASSERT_EQ(restarted.version(), "5");

  EXPECT_EQ(StartHttps(restarted), 0);
  EXPECT_EQ(restarted.version(), "");
  EXPECT_EQ(restarted.ReadCertVersion(), "");
}

#ifndef _WIN32
// A folder another user could have made first, or files open to others, are not taken.
TEST_F(CertStoreTest, CertificateFilesThatAreNotThisUsersAloneAreNotTaken) {
  CertStore installed(base, server, Downloader());
  installed.WriteCertVersion("5");
  CertStore store(base, server, Downloader());
  ASSERT_EQ(store.version(), "5");
  WriteFile(store.CertFilePath("5"), "certificate");
  WriteFile(store.KeyFilePath("5"), "key");
  const std::string folder = FolderOf(store.CertFilePath("5"));
  HttpsStatus status;
  // The folder open to others; then the files, written as any program writes them (0644).
  for (const mode_t mode : {0755, 0700}) {
    ASSERT_EQ(chmod(folder.c_str(), mode), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(StartHttps(store, &status), 0);
    const std::string log = ::testing::internal::GetCapturedStderr();
    const std::string why =
        mode == 0755
            ? "the folder " + folder + " cannot be used: other users may use it (mode 0755)"
            : store.CertFilePath("5") + " is not taken: other users may use it (mode 0644)";
    EXPECT_THAT(log, ::testing::HasSubstr("HTTPS is off for this run: " + why));
    EXPECT_EQ(status.Get().text, "off: " + why);
    EXPECT_FALSE(status.Get().on);
  }
  EXPECT_EQ(store.version(), "5");  // kept: the files are not fetched into that folder again
}
#endif

}  // namespace
}  // namespace dralmin
