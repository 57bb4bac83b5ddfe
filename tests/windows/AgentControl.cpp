// A helper of agent_smoke.py, run under Wine (whose tasklist lists nothing):
//   dralmin-agent-control pids      one line "PID PARENT" for each running dralmin-tray-agent.exe
//   dralmin-agent-control stop PID  asks that process to end as its watchdog would, through its
//                                   named stop event; status 1 when it has none
//   dralmin-agent-control ask PORT  sends its standard input to 127.0.0.1:PORT and writes the
//                                   reply that comes back (30 s at most): a page's
//                                   request from a Windows program, which the port broker can
//                                   tell the session of (under Wine a Linux program has none)
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>
// clang-format on
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/StopEvent_win.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "pids") == 0) {
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "cannot list the processes (error %lu)\n", GetLastError());
      return 1;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
      if (_wcsicmp(entry.szExeFile, L"dralmin-tray-agent.exe") == 0) {
        std::printf("%lu %lu\n", entry.th32ProcessID, entry.th32ParentProcessID);
      }
    }
    CloseHandle(snapshot);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "stop") == 0) {
    const HANDLE stop = dralmin::OpenStopEvent(std::strtoul(argv[2], nullptr, 10));
    if (stop == nullptr) {
      std::fprintf(stderr, "process %s has no stop event\n", argv[2]);
      return 1;
    }
    SetEvent(stop);
    CloseHandle(stop);
    return 0;
  }
  if (argc == 3 && std::strcmp(argv[1], "ask") == 0) {
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    std::string request;
    char chunk[4096];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0;) {
      request.append(chunk, got);
    }
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<u_short>(std::strtoul(argv[2], nullptr, 10)));
    const DWORD timeout = 30000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        send(s, request.data(), static_cast<int>(request.size()), 0) !=
            static_cast<int>(request.size())) {
      std::fprintf(stderr, "cannot reach port %s (error %d)\n", argv[2], WSAGetLastError());
      return 1;
    }
    // One reply: up to the end of its body, as its Content-Length says, or until the close.
    std::string reply;
    for (int got; (got = recv(s, chunk, sizeof chunk, 0)) > 0;) {
      reply.append(chunk, static_cast<std::size_t>(got));
      const std::size_t head = reply.find("\r\n\r\n");
      const std::size_t length = reply.find("Content-Length: ");
      if (head != std::string::npos && length != std::string::npos && length < head &&
          reply.size() >= head + 4 + std::strtoul(reply.c_str() + length + 16, nullptr, 10)) {
        break;
      }
    }
    std::fwrite(reply.data(), 1, reply.size(), stdout);
    closesocket(s);
    return 0;
  }
  std::fputs("usage: dralmin-agent-control pids | stop PID | ask PORT\n", stderr);
  return 2;
}
