#include "support/FileDownload.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform/CurlTransfer.h"
#include "platform/Files.h"

namespace dralmin {
namespace {

struct EasyDeleter {
  void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

struct Target {
  int fd;
  bool failed = false;
};

size_t WriteToFile(char* data, size_t size, size_t count, void* userData) {
  auto* target = static_cast<Target*>(userData);
  size_t left = size * count;
  while (left > 0) {
    const ssize_t written = write(target->fd, data, left);
    if (written < 0) {
      if (errno == EINTR) continue;
      target->failed = true;
      return 0;  // makes curl stop with a write error
    }
    data += written;
    left -= static_cast<size_t>(written);
  }
  return size * count;
}

long Milliseconds(std::chrono::milliseconds value) {
  return static_cast<long>(value.count());
}

}  // namespace

bool DownloadFile(const std::string& url, const std::string& path, const DownloadLimits& limits,
                  std::string* error) {
  auto fail = [&](const std::string& what) {
    if (error != nullptr) *error = what;
    return false;
  };
  static std::once_flag curlReady;
  std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });

  std::string temporary;
  Target target{CreateFileBeside(path, temporary)};
  if (target.fd < 0)
    return fail("cannot create a file beside " + path + ": " + std::strerror(errno));

  const std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  CURLcode result = CURLE_FAILED_INIT;
  char curlError[CURL_ERROR_SIZE] = "";
  if (easy) {
    CURL* e = easy.get();
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(e, CURLOPT_MAXREDIRS, 5L);
    curl_easy_setopt(e, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, Milliseconds(limits.connect));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, Milliseconds(limits.total));
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(e, CURLOPT_LOW_SPEED_TIME,
                     std::max(1L, static_cast<long>(limits.stalled.count() / 1000)));
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, curlError);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, WriteToFile);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, &target);
    result = PerformTransfer(
        e, [&limits] { return limits.cancelled != nullptr && limits.cancelled->load(); });
  }
  const bool stored = !target.failed && SyncFile(target.fd);
  const bool closed = close(target.fd) == 0;
  if (result != CURLE_OK || !stored || !closed) {
    RemoveFile(temporary);
    if (result != CURLE_OK) {
      if (result == CURLE_ABORTED_BY_CALLBACK) return fail("download of " + url + " cancelled");
      return fail("download of " + url +
                  " failed: " + (curlError[0] != '\0' ? curlError : curl_easy_strerror(result)));
    }
    return fail("cannot write " + temporary + ": " + std::strerror(errno));
  }
  if (!PutInPlace(temporary, path)) {
    const std::string reason = std::strerror(errno);
    RemoveFile(temporary);
    return fail("cannot replace " + path + ": " + reason);
  }
  return true;
}

}  // namespace dralmin
