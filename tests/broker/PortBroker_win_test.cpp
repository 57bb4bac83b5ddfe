#include "broker/PortBroker.h"

#include <gtest/gtest.h>
// clang-format off
#include <winsock2.h>
#include <windows.h>
// clang-format on

#include <boost/asio/post.hpp>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace dralmin {
namespace {

using namespace std::chrono_literals;

// A connection to the broker's pipe that says nothing; Ended tells whether the broker has closed
// it, waiting at most `wait`.
class SilentRegistration {
 public:
  explicit SilentRegistration(const std::wstring& name) {
    // The broker makes the next instance once one is taken: until then the pipe is busy.
    for (int i = 0; i < 50 && pipe_ == INVALID_HANDLE_VALUE; ++i) {
      pipe_ = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          FILE_FLAG_OVERLAPPED, nullptr);
      if (pipe_ == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
        WaitNamedPipeW(name.c_str(), 100);
      }
    }
    event_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    overlapped_.hEvent = event_;
    if (pipe_ != INVALID_HANDLE_VALUE) ReadFile(pipe_, &byte_, 1, nullptr, &overlapped_);
  }
  ~SilentRegistration() {
    if (pipe_ != INVALID_HANDLE_VALUE) {
      CancelIoEx(pipe_, &overlapped_);
      DWORD ignored;
      GetOverlappedResult(pipe_, &overlapped_, &ignored, TRUE);
      CloseHandle(pipe_);
    }
    CloseHandle(event_);
  }
  bool Connected() const { return pipe_ != INVALID_HANDLE_VALUE; }
  bool Ended(std::chrono::milliseconds wait) {
    return WaitForSingleObject(event_, static_cast<DWORD>(wait.count())) == WAIT_OBJECT_0;
  }

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
  HANDLE event_ = nullptr;
  OVERLAPPED overlapped_{};
  char byte_ = 0;
};

// What a session may make the broker hold at its rendezvous: two registrations that have said
// nothing yet, each for two seconds.
TEST(PortBrokerWinTest, SilentRegistrationsAreBoundedPerSessionAndGivenUpAfterTwoSeconds) {
  boost::asio::io_context io(1);
  PortBroker broker(io, {8081, 8433});
  const std::string name =
      R"(\\.\pipe\dralmin-broker-test-)" + std::to_string(GetCurrentProcessId());
  std::string why;
  ASSERT_TRUE(broker.ListenAt(name, why)) << why;
  auto work = boost::asio::make_work_guard(io);
  std::thread thread([&] { io.run(); });

  const std::wstring wide(name.begin(), name.end());
  {
    SilentRegistration first(wide), second(wide), third(wide);
    EXPECT_TRUE(first.Connected() && second.Connected() && third.Connected());
    EXPECT_TRUE(third.Ended(1500ms));
    EXPECT_FALSE(first.Ended(1000ms));
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(first.Ended(5000ms));
    EXPECT_TRUE(second.Ended(1000ms));
    // Given up at two seconds from its start, of which a second or more had passed.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  }

  boost::asio::post(io, [&] {
    broker.Close();
    io.stop();
  });
  thread.join();
}

}  // namespace
}  // namespace dralmin
