// dralmin-twain-worker32.exe: the 32-bit program that loads the 32-bit TWAIN manager
// (TWAIN_32.DLL) and its drivers for the 64-bit agent, which cannot load them. Started by the
// agent with its standard input and output as the only handles it inherits; it reads commands
// there and answers with the frames of WorkerProtocol.h. Its manager and the source's window live
// on its main thread, whose message loop offers every message to the session as the agent's does.
// It ends when the agent closes the pipe.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "devices/scanning/CTwain.h"
#include "devices/scanning/SourceManagerLibrary.h"
#include "devices/scanning/worker/WorkerProtocol.h"
#include "platform/Log.h"
#include "platform/MemoryHandle.h"

namespace dralmin {
namespace {

using worker::EncodeFrame;
using worker::FrameType;

constexpr wchar_t kClassName[] = L"DralminTwainWorker";
constexpr UINT kCommandMessage = WM_APP + 1;  // wParam: the command's FrameType
constexpr UINT kPipeEndedMessage = WM_APP + 2;
static_assert(CTwain::kMaxListedSources <= 64, "the protocol carries at most 64 names");

// The pipe to the agent. Frames are written whole under a lock: the main thread's replies and
// pages, and log lines from either thread.
class Pipe final : public worker::ByteSource {
 public:
  Pipe(HANDLE input, HANDLE output) : input_(input), output_(output) {}

  std::size_t ReadExactly(void* data, std::size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      DWORD got = 0;
      if (!ReadFile(input_, static_cast<char*>(data) + done, static_cast<DWORD>(size - done), &got,
                    nullptr) ||
          got == 0) {
        break;
      }
      done += got;
    }
    return done;
  }

  void Send(FrameType type, std::string_view payload = {}) {
    const std::string frame = EncodeFrame(type, payload);
    std::lock_guard lock(mutex_);
    std::size_t done = 0;
    while (done < frame.size()) {
      DWORD wrote = 0;
      if (!WriteFile(output_, frame.data() + done, static_cast<DWORD>(frame.size() - done), &wrote,
                     nullptr)) {
        return;  // the agent is gone: the reading thread sees the pipe end and ends this program
      }
      done += wrote;
    }
  }

 private:
  HANDLE input_;
  HANDLE output_;
  std::mutex mutex_;
};

Pipe* gPipe = nullptr;

// The agent's answer to the last page: whether it kept it.
class PageAnswers {
 public:
  void Expect() {
    std::lock_guard lock(mutex_);
    answer_.reset();
  }
  void Give(bool kept) {
    std::lock_guard lock(mutex_);
    answer_ = kept;
    changed_.notify_all();
  }
  void End() {
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }
  // Waits for the answer; false when the pipe ends first.
  bool Wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return ended_ || answer_.has_value(); });
    return answer_.value_or(false);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<bool> answer_;
  bool ended_ = false;
};

class Worker final : public TwainOwner {
 public:
  Worker(HWND window, std::unique_ptr<SourceManagerLibrary> manager)
      : window_(window), twain_(*this, std::move(manager)) {}

  TW_HANDLE Window() const override { return window_; }

  // Sends the page as the source gave it and waits for the agent to take it.
  bool OnScannedImage(TW_HANDLE dib) override {
    const std::size_t size = MemorySize(dib);
    if (size > worker::kMaxPageBytes || size < worker::kMinPageBytes) {
      LogWarning("scanning", "a page of " + std::to_string(size) +
                                 " bytes is more or less than the agent takes from this worker");
      return false;
    }
    answers_.Expect();
    gPipe->Send(FrameType::kPage,
                std::string_view(static_cast<const char*>(LockMemory(dib)), size));
    UnlockMemory(dib);
    pagesSent_ = true;
    return answers_.Wait();
  }

  void Offer(const MSG& message) {
    twain_.ProcessMessage(PlatformMessage{message.hwnd, PlatformMessage::kNative, &message});
    if (pagesSent_ && !twain_.Transferring()) {
      pagesSent_ = false;
      gPipe->Send(FrameType::kRunEnded);
    }
  }

  void Run(FrameType command) {
    // The selection dialog runs a loop of its own, in which the next command may arrive.
    if (busy_) {
      if (command == FrameType::kAcquire) {
        gPipe->Send(FrameType::kAcquireFailed, "the scanner choice is still open");
      } else if (command == FrameType::kListSources) {
        gPipe->Send(FrameType::kSources);
      }
      return;
    }
    busy_ = true;
    switch (command) {
      case FrameType::kListSources:
        gPipe->Send(FrameType::kSources,
                    worker::EncodeNames(twain_.ListSources().value_or(std::vector<std::string>{})));
        break;
      case FrameType::kSelectSource: {
        const bool chosen = twain_.SelectSource();
        gPipe->Send(FrameType::kSelection,
                    worker::EncodeFlag(chosen && twain_.LastReturnCode() == TWRC_SUCCESS));
        break;
      }
      case FrameType::kAcquire:
        // CTwain said why when it could not start.
        gPipe->Send(twain_.Acquire() ? FrameType::kAcquireStarted : FrameType::kAcquireFailed);
        break;
      default:
        break;
    }
    busy_ = false;
  }

  PageAnswers& Answers() { return answers_; }
  bool Loaded() const { return twain_.IsLoaded(); }

 private:
  HWND window_;
  CTwain twain_;
  PageAnswers answers_;
  bool pagesSent_ = false;
  bool busy_ = false;
};

// Null once the main loop has ended, while the reading thread may still wait on the pipe.
std::atomic<Worker*> gWorker = nullptr;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (Worker* worker = gWorker; message == kCommandMessage && worker != nullptr) {
    worker->Run(static_cast<FrameType>(wParam));
    return 0;
  }
  if (message == kPipeEndedMessage) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

HWND MakeWindow() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = kClassName;
  if (RegisterClassExW(&windowClass) == 0) return nullptr;
  // Never shown: the parent of the manager's and the source's windows. Without a display (Wine
  // without X) only a message-only window can be made; it still takes the manager's notices.
  HWND window = CreateWindowExW(0, kClassName, L"Dralmin TWAIN worker", WS_POPUP, 0, 0, 0, 0,
                                nullptr, nullptr, instance, nullptr);
  if (window == nullptr) {
    window = CreateWindowExW(0, kClassName, L"Dralmin TWAIN worker", 0, 0, 0, 0, 0, HWND_MESSAGE,
                             nullptr, instance, nullptr);
  }
  return window;
}

// Reads the agent's commands: the answer to a page is given to the waiting main thread at once
// (it does not take messages meanwhile), every other command is posted to the window.
void ReadCommands(HWND window) {
  for (;;) {
    std::string error;
    const std::optional<worker::Frame> frame = worker::ReadFrame(*gPipe, error);
    if (!frame) {
      if (!error.empty()) LogError("worker", "the agent's pipe: " + error);
      break;
    }
    Worker* worker = gWorker;
    if (worker == nullptr) return;
    if (frame->type == FrameType::kPageTaken) {
      const std::optional<bool> kept = worker::DecodeFlag(frame->payload, error);
      worker->Answers().Give(kept.value_or(false));
      continue;
    }
    PostMessageW(window, kCommandMessage, static_cast<WPARAM>(frame->type), 0);
  }
  if (Worker* worker = gWorker; worker != nullptr) worker->Answers().End();
  PostMessageW(window, kPipeEndedMessage, 0, 0);
}

}  // namespace

// The log of CTwain and of this program goes to the agent, which writes it to its own log.
bool LogEnabled(LogLevel) {
  return true;  // the agent applies its level
}

void Log(LogLevel level, std::string_view component, std::string_view message, LogReach) {
  if (gPipe == nullptr) return;
  gPipe->Send(FrameType::kLog,
              worker::EncodeLog(static_cast<int>(level),
                                std::string(component) + ": " + std::string(message)));
}

}  // namespace dralmin

int main(int argc, char** argv) {
  using namespace dralmin;
  // The pipe is taken away from the standard handles, so that a driver's own output cannot get
  // into the frames.
  // The C library's standard streams own the standard handles, and reopening them closes those:
  // the pipe's ends are copies of them.
  const HANDLE self = GetCurrentProcess();
  HANDLE input = nullptr, output = nullptr;
  if (!DuplicateHandle(self, GetStdHandle(STD_INPUT_HANDLE), self, &input, 0, FALSE,
                       DUPLICATE_SAME_ACCESS) ||
      !DuplicateHandle(self, GetStdHandle(STD_OUTPUT_HANDLE), self, &output, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    return 2;
  }
  std::freopen("NUL", "r", stdin);
  std::freopen("NUL", "w", stdout);
  SetStdHandle(STD_INPUT_HANDLE, nullptr);
  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  Pipe pipe(input, output);
  gPipe = &pipe;

  const HWND window = MakeWindow();
  if (window == nullptr) {
    LogError("worker", "cannot create its window: error " + std::to_string(GetLastError()));
    return 1;
  }
  // The manager's name may be given for tests; the system's 32-bit manager otherwise.
  const std::string name = argc > 1 ? argv[1] : "TWAIN_32.DLL";
  auto manager = std::make_unique<DlopenSourceManagerLibrary>(name);
  // A probe for the reason: the session loads it again itself, and without it every scan fails.
  if (manager->Load() == nullptr) LogError("worker", "no TWAIN manager: " + manager->error());
  manager->Unload();
  std::thread reader;
  {
    Worker session(window, std::move(manager));
    gWorker = &session;
    pipe.Send(FrameType::kReady);
    reader = std::thread([window] { ReadCommands(window); });
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
      // Every message goes to the source first, then to its own handling, as in the agent.
      session.Offer(message);
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    gWorker = nullptr;
  }
  // The loop ends when the pipe does, or when a driver quits it: the reader may still wait then,
  // and ends with the process.
  reader.detach();
  ExitProcess(0);
}
