#include "devices/scanning/ScanEndpoint.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>

#include "devices/scanning/ScanQueue.h"
#include "platform/HttpClient.h"
#include "platform/MessageBox.h"
#include "replies/PercentDecode.h"
#include "tests/testkit/Helpers.h"

namespace dralmin {
namespace {

using ::testing::ElementsAre;

TEST(ParseScanRequestTest, SplitsKeyFieldAndAddress) {
  ScanRequest r = ParseScanRequest("42/file/host:8080/up/load?a=%2541");
  EXPECT_EQ(r.key, "42");
  EXPECT_EQ(r.field, "file");
  EXPECT_EQ(r.address, "host:8080/up/load?a=%41");  // decoded once more here

  r = ParseScanRequest("nokey");
  EXPECT_EQ(r.key + r.field + r.address, "");
  r = ParseScanRequest("/k/f/a");
  EXPECT_EQ(r.key + r.field + r.address, "");

  // No second "/": the field is the rest and the address is the whole rest, decoded.
  r = ParseScanRequest("k%2541f");
  EXPECT_EQ(r.key, "");
  r = ParseScanRequest("k/f%2541");
  EXPECT_EQ(r.key, "k");
  EXPECT_EQ(r.field, "f%2541");
  EXPECT_EQ(r.address, "k/f%41");
}

TEST(ParseUploadAddressTest, HostPortAndPath) {
  UploadAddress a = ParseUploadAddress("files.test:8080/upload?x=1");
  EXPECT_EQ(a.host, "files.test");
  EXPECT_EQ(a.port, 8080);
  EXPECT_EQ(a.path, "/upload?x=1");

  a = ParseUploadAddress("files.test/u");
  EXPECT_EQ(a.port, 80);
  EXPECT_EQ(a.host, "files.test");

  EXPECT_EQ(ParseUploadAddress("files.test:/u").port, 0);
  EXPECT_EQ(ParseUploadAddress("files.test:abc/u").port, 0);
  EXPECT_EQ(ParseUploadAddress("files.test:12ab/u").port, 12);
  EXPECT_EQ(ParseUploadAddress(":80/u").host, ":80");  // a colon in first place is no port

  a = ParseUploadAddress("/only/path");
  EXPECT_EQ(a.host + a.path, "");
  EXPECT_EQ(a.port, 0);
  EXPECT_EQ(ParseUploadAddress("noslash").host, "");

  a = ParseUploadAddress("[::1]:19001/x");
  EXPECT_EQ(a.host, "[::1]");
  EXPECT_EQ(a.port, 19001);
  EXPECT_EQ(ParseUploadAddress("[fe80::1]/x").port, 80);
  EXPECT_EQ(ParseUploadAddress("[::1]x/x").refusal, "not an IPv6 address in brackets");
  EXPECT_EQ(ParseUploadAddress("[a.example]/x").refusal, "not an IPv6 address in brackets");
  EXPECT_EQ(ParseUploadAddress("user@h/x").refusal, "user info (user@host) is not taken");

  EXPECT_EQ(UploadUrl(ParseUploadAddress("h:0/p")), "http://h/p");
  EXPECT_EQ(UploadUrl(ParseUploadAddress("h/p")), "http://h:80/p");
}

TEST(UploadBodyTest, ExactBytes) {
  EXPECT_EQ(UploadBoundary(123456), "-------------------------123456");
  EXPECT_EQ(UploadBoundary(-5), "--------------------------5");  // after ~24.8 days of uptime
  const std::string jpeg("\xFF\xD8\x00\xFF\xD9", 5);
  const std::string body = BuildUploadBody(jpeg, "file", "--B");
  EXPECT_EQ(body,
            std::string("\r\n----B\r\n"
                        "Content-Disposition: form-data; name=\"file\";filename=\"scan.jpg\"\r\n"
                        "Content-Type: image/jpeg\r\n\r\n") +
                jpeg + "\r\n----B--\r\n" + std::string(1, '\0'));
}

class FakeHttp : public HttpClient {
 public:
  struct Post {
    std::string url;
    std::vector<std::string> headers;
    std::string body;
  };
  std::vector<Post> posts;
  std::vector<HttpResponse> answers;  // one per post, in order
  HttpTimeouts lastTimeouts;

  HttpResponse Get(const std::string&, const HttpTimeouts&, std::size_t) override { return {}; }
  HttpResponse Post(const std::string& url, const std::vector<std::string>& headers,
                    std::string_view body, const HttpTimeouts& timeouts,
                    std::size_t maxBody) override {
    posts.push_back({url, headers, std::string(body)});
    lastTimeouts = timeouts;
    HttpResponse answer = answers.at(posts.size() - 1);
    answer.body.resize(std::min(answer.body.size(), maxBody));
    return answer;
  }
};

class RecordingMessages : public MessageBox {
 public:
  std::vector<std::string> shown;
  void Show(const std::string& text, const std::string& caption) override {
    shown.push_back(caption + ": " + text);
  }
};

// A scanner whose scan stays under way until the test ends it; a start meanwhile is refused.
class FakeSession : public ScanSession, public ScanSessionProvider {
 public:
  bool busy = false;
  bool Acquire() override {
    if (busy) return false;
    busy = true;
    return true;
  }
  bool Busy() const override { return busy; }
  void SelectSource() override {}
  ScanSession& GetScanSession() override { return *this; }
};

HttpResponse Ok(std::string body) {
  return HttpResponse{true, 200, std::move(body), {}};
}

class ScanEndpointTest : public ::testing::Test {
 protected:
  test::TempFolder folder;
  RecordingMessages messages;
  ScanQueue queue{messages, folder.path()};
  FakeHttp http;
  FakeSession sessions;
  ScanEndpoint endpoint{sessions, queue, http, messages, [] { return 77; }};

  // A collection while `key` is the scan key.
  std::string GetScan(const std::string& rest, const std::string& key) {
    queue.SetKey(key);
    return endpoint.GetScan(rest);
  }
};

TEST_F(ScanEndpointTest, UploadsEveryPageInOrderAndEmptiesTheQueue) {
  queue.Append("page1");
  queue.Append("page2");
  queue.Append("page3");
  http.answers = {Ok("7"), Ok("8"), Ok("9\0tail")};
  EXPECT_EQ(GetScan("42/file/127.0.0.1:9000/up", "42"), "DralminScan__callback_42({ids:'7,8,9'})");
  EXPECT_TRUE(queue.Empty());
  ASSERT_EQ(http.posts.size(), 3u);
  EXPECT_EQ(http.posts[0].url, "http://127.0.0.1:9000/up");
  ASSERT_EQ(http.posts[0].headers.size(), 2u);
  EXPECT_EQ(http.posts[0].headers[0],
            "Content-Type: multipart/form-data; boundary=-------------------------77");
  EXPECT_THAT(http.posts[0].headers[1], ::testing::StartsWith("Idempotency-Key: page-0000000001-"));
  EXPECT_EQ(http.posts[1].body, BuildUploadBody("page2", "file", "-------------------------77"));
}

TEST_F(ScanEndpointTest, AStartRefusedWhileAScanIsUnderWayKeepsThatScansKey) {
  endpoint.StartScan("A");
  queue.Append("page of A");
  endpoint.StartScan("B");
  EXPECT_THAT(messages.shown, ElementsAre("Error: Error start scan"));
  EXPECT_EQ(endpoint.GetScan("B/file/h/u"), "");
  http.answers = {Ok("1"), Ok("2")};
  EXPECT_EQ(endpoint.GetScan("A/file/h/u"), "DralminScan__callback_A({ids:'1'})");

  // Once it has ended, the next scan takes the key, and pages still waiting go out under it.
  queue.Append("late page of A");
  sessions.busy = false;
  endpoint.StartScan("C");
  EXPECT_EQ(endpoint.GetScan("A/file/h/u"), "");
  EXPECT_EQ(endpoint.GetScan("C/file/h/u"), "DralminScan__callback_C({ids:'2'})");
}

TEST_F(ScanEndpointTest, WrongKeyOrNothingQueuedTouchesNothing) {
  EXPECT_EQ(GetScan("42/file/h/u", "42"), "");  // empty queue
  queue.Append("page");
  EXPECT_EQ(GetScan("41/file/h/u", "42"), "");
  EXPECT_EQ(GetScan("nothing", "42"), "");
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_TRUE(http.posts.empty());
  // Before any scan the key is empty, and only a rest without a key matches it; such a rest has
  // no address either, so nothing is sent and the page stays.
  EXPECT_EQ(GetScan("/file/h/u", ""),
            "DralminScan__callback_({ids:'', error:'no upload address'})");
  EXPECT_EQ(queue.Size(), 1u);
  EXPECT_TRUE(http.posts.empty());
}

TEST_F(ScanEndpointTest, AFailedUploadKeepsThatPageAndTheRest) {
  queue.Append("page1");
  queue.Append("page2");
  queue.Append("page3");
  http.answers = {Ok("7"), HttpResponse{true, 500, "<h1>Server Error</h1>", {}}};
  EXPECT_EQ(GetScan("k/file/h/u", "k"),
            "DralminScan__callback_k({ids:'7', error:'upload refused with HTTP status 500'})");
  EXPECT_EQ(queue.Size(), 2u);

  http.answers.push_back(HttpResponse{false, 0, {}, "Connection refused"});
  EXPECT_EQ(GetScan("k/file/h/u", "k"),
            "DralminScan__callback_k({ids:'', error:'upload failed: Connection refused'})");

  http.answers.push_back(Ok("8"));
  http.answers.push_back(Ok("9"));
  EXPECT_EQ(GetScan("k/file/h/u", "k"), "DralminScan__callback_k({ids:'8,9'})");
  EXPECT_TRUE(queue.Empty());
  // The kept pages were sent again in their order, each under the identity it had.
  EXPECT_EQ(http.posts[3].body, BuildUploadBody("page2", "file", "-------------------------77"));
  EXPECT_EQ(http.posts[4].body, BuildUploadBody("page3", "file", "-------------------------77"));
  EXPECT_EQ(http.posts[3].headers[1], http.posts[1].headers[1]);
  EXPECT_EQ(http.posts[3].headers[1], http.posts[2].headers[1]);
  EXPECT_NE(http.posts[4].headers[1], http.posts[3].headers[1]);
}

TEST_F(ScanEndpointTest, RedirectsTakeThePageAndAPermanentRefusalDropsOnlyThatPage) {
  for (const char* page : {"page1", "page2", "page3", "page4"}) queue.Append(page);
  http.answers = {HttpResponse{true, 303, "7", {}}, HttpResponse{true, 413, "too large", {}}};
  const std::string reply = GetScan("k/file/h/u", "k");
  ASSERT_EQ(http.posts.size(), 2u);
  // Named by its Idempotency-Key (gtest's regular expressions on Windows have no classes).
  const std::string refused = http.posts[1].headers.at(1).substr(17);
  EXPECT_EQ(refused.rfind("page-0000000002-", 0), 0u) << refused;
  EXPECT_EQ(reply, "DralminScan__callback_k({ids:'7', error:'page " + refused +
                       ": upload refused with HTTP status 413; it was deleted'})");
  EXPECT_EQ(queue.Size(), 2u);

  // Too many requests and a timeout may pass: the page stays.
  http.answers.push_back(HttpResponse{true, 429, {}, {}});
  http.answers.push_back(HttpResponse{true, 408, {}, {}});
  EXPECT_EQ(GetScan("k/file/h/u", "k"),
            "DralminScan__callback_k({ids:'', error:'upload refused with HTTP status 429'})");
  EXPECT_EQ(GetScan("k/file/h/u", "k"),
            "DralminScan__callback_k({ids:'', error:'upload refused with HTTP status 408'})");
  http.answers.push_back(Ok("9"));
  http.answers.push_back(HttpResponse{true, 204, {}, {}});
  EXPECT_EQ(GetScan("k/file/h/u", "k"), "DralminScan__callback_k({ids:'9,'})");
  EXPECT_TRUE(queue.Empty());
  ASSERT_EQ(http.posts.size(), 6u);
  EXPECT_EQ(http.posts[2].body, BuildUploadBody("page3", "file", "-------------------------77"));
  EXPECT_EQ(http.posts[5].body, BuildUploadBody("page4", "file", "-------------------------77"));
}

// Each page a receiver refuses for good is named by its own identifier (its Idempotency-Key) in
// the reply and in a line of its own, so that two lost pages can be told apart.
TEST_F(ScanEndpointTest, EachRefusedPageIsNamedByItsOwnIdentifier) {
  queue.Append("page1");
  queue.Append("page2");
  const std::string first = queue.Front()->Id();
  http.answers = {HttpResponse{true, 404, {}, {}}, HttpResponse{true, 404, {}, {}}};
  ::testing::internal::CaptureStderr();
  const std::string replies = GetScan("k/f/h/u", "k") + GetScan("k/f/h/u", "k");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(queue.Empty());
  const std::string second = http.posts.at(1).headers.at(1).substr(17);
  ASSERT_NE(first, second);
  for (const std::string& id : {first, second}) {
    const std::string why = "page " + id + ": upload refused with HTTP status 404; it was deleted";
    EXPECT_THAT(replies, ::testing::HasSubstr(why));
    EXPECT_THAT(log, ::testing::HasSubstr("upload to h/u: " + why + "\n"));
  }
  EXPECT_EQ(http.posts.at(0).headers.at(1), "Idempotency-Key: " + first);
}

// A page's upload address may carry a token in its query: the log keeps only the path.
TEST_F(ScanEndpointTest, TheLogKeepsNoQueryOfTheUploadAddress) {
  queue.Append("page");
  http.answers = {HttpResponse{true, 500, {}, {}}};
  ::testing::internal::CaptureStderr();
  GetScan(PercentDecode("k/f/shop.example:8080/upload%3Ftoken=SECRET-TOKEN"), "k");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, ::testing::HasSubstr("upload to shop.example:8080/upload?(query left out): "));
  EXPECT_THAT(log, ::testing::Not(::testing::HasSubstr("SECRET")));
  EXPECT_EQ(http.posts.at(0).url, "http://shop.example:8080/upload?token=SECRET-TOKEN");
}

// A damaged page is not sent and is named in the reply; the pages after it still go.
TEST_F(ScanEndpointTest, ADamagedPageIsSkippedAndTheRestGo) {
  queue.Append("page1");
  queue.Append("page2");
  queue.Append("page3");
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder.path())) {
    if (entry.path().extension() == ".jpg") files.push_back(entry.path().string());
  }
  std::sort(files.begin(), files.end());
  std::filesystem::resize_file(files.at(1), 40);
  http.answers = {Ok("1"), Ok("3")};
  ::testing::internal::CaptureStderr();
  const std::string reply = GetScan("k/f/h/u", "k");
  ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(reply, ::testing::StartsWith(
                         "DralminScan__callback_k({ids:'1,3', error:'page page-0000000002-"));
  EXPECT_THAT(reply, ::testing::EndsWith(
                         " was not sent: it is neither a page of this agent nor a whole JPEG'})"));
  EXPECT_EQ(http.posts.size(), 2u);
  EXPECT_TRUE(queue.Empty());
}

#ifndef _WIN32
// With every descriptor taken (idle connections, say), a page cannot be opened: it stays queued
// with the pages after it, and goes once a descriptor is free.
TEST_F(ScanEndpointTest, APageThatCannotBeOpenedStaysQueued) {
  queue.Append("page1");
  queue.Append("page2");
  http.answers = {Ok("1"), Ok("2")};
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  queue.SetKey("k");
  ::testing::internal::CaptureStderr();  // its file is opened before the descriptors run out
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> held;
  for (int fd = dup(0); fd >= 0; fd = dup(0)) held.push_back(fd);
  const std::string reply = endpoint.GetScan("k/f/h/u");
  for (const int fd : held) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(reply, ::testing::HasSubstr("{ids:'', error:'page page-0000000001-"));
  EXPECT_THAT(reply, ::testing::HasSubstr("could not be read (it cannot be opened: Too many open "
                                          "files); it stays queued'})"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_EQ(queue.Size(), 2u);
  EXPECT_TRUE(http.posts.empty());
  EXPECT_EQ(GetScan("k/f/h/u", "k"), "DralminScan__callback_k({ids:'1,2'})");
}
#endif

TEST_F(ScanEndpointTest, KeysThatCouldBreakOutOfTheCallbackNameAreRefused) {
  queue.Append("page");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(GetScan("a(1)/f/h/u", "a(1)"), "");
  EXPECT_EQ(GetScan("\xD0\x96/f/h/u", "\xD0\x96"), "");
  EXPECT_THAT(::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("the key may hold only ASCII letters, digits, _ and $"));
  EXPECT_TRUE(http.posts.empty());
  http.answers = {Ok("1")};
  EXPECT_EQ(GetScan("$Key_09/f/h/u", "$Key_09"), "DralminScan__callback_$Key_09({ids:'1'})");
}

TEST_F(ScanEndpointTest, FieldNamesAndAddressesThatWouldChangeWhatIsSentAreRefused) {
  queue.Append("page");
  ::testing::internal::CaptureStderr();
  for (const char* rest : {"k/f%22%3B%20filename%3D%22evil.php/h/u", "k/f%0D%0AX-A: 1/h/u",
                           "k/f%5C/h/u", "k/f%00/h/u", "k/f%7F/h/u"}) {
    EXPECT_EQ(GetScan(PercentDecode(rest), "k"), "") << rest;
  }
  EXPECT_EQ(GetScan("k/f/127.0.0.1:19001@127.0.0.1:9/x", "k"), "");
  EXPECT_EQ(GetScan("k/f/[::1/x", "k"), "");
  const std::string log = ::testing::internal::GetCapturedStderr();
  EXPECT_THAT(log, ::testing::HasSubstr(
                       "the field name may not hold quotes, backslashes or control characters"));
  EXPECT_THAT(log, ::testing::HasSubstr("user info (user@host) is not taken"));
  EXPECT_THAT(log, ::testing::HasSubstr("not an IPv6 address in brackets"));
  EXPECT_TRUE(http.posts.empty());
  EXPECT_EQ(queue.Size(), 1u);

  http.answers = {Ok("1")};
  EXPECT_EQ(GetScan("k/f'1/[::1]:19001/x", "k"), "DralminScan__callback_k({ids:'1'})");
  EXPECT_EQ(http.posts.at(0).url, "http://[::1]:19001/x");
}

// A receiver that stops answering holds every endpoint of the agent only for seconds.
TEST_F(ScanEndpointTest, UploadsAreBoundedInTime) {
  queue.Append("page");
  http.answers = {Ok("1")};
  GetScan("k/f/h/u", "k");
  EXPECT_EQ(http.lastTimeouts.connect, std::chrono::seconds(3));
  EXPECT_EQ(http.lastTimeouts.total, std::chrono::seconds(60));
  ASSERT_TRUE(http.lastTimeouts.lowSpeed.has_value());
  EXPECT_EQ(http.lastTimeouts.lowSpeed->bytesPerSecond, 1024);
  EXPECT_EQ(http.lastTimeouts.lowSpeed->time, std::chrono::seconds(10));
}

TEST_F(ScanEndpointTest, EmptyPagesAreReportedAndLeaveAnEmptyIdentifier) {
  queue.Append("");
  queue.Append("page");
  queue.Append("");
  http.answers = {Ok("5")};
  EXPECT_EQ(GetScan("k/f/h/u", "k"), "DralminScan__callback_k({ids:'5,'})");
  EXPECT_THAT(messages.shown, ElementsAre("Start upload error: streamSize == 0",
                                          "Start upload error: streamSize == 0"));
  EXPECT_EQ(http.posts.size(), 1u);
}

TEST_F(ScanEndpointTest, ServerAnswersAreEscapedAndCut) {
  queue.Append("a");
  queue.Append("b");
  http.answers = {Ok("x'});alert(1)//"), Ok(std::string(20000, '1'))};
  const std::string body = GetScan("k/f/h/u", "k");
  EXPECT_EQ(body,
            "DralminScan__callback_k({ids:'x\\'});alert(1)//," + std::string(10239, '1') + "'})");
}

}  // namespace
}  // namespace dralmin
