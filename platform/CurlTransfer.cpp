#include "platform/CurlTransfer.h"

#include <memory>

namespace dralmin {
namespace {

struct MultiDeleter {
  void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};

}  // namespace

CURLcode PerformTransfer(CURL* easy, const std::function<bool()>& stop) {
  const std::unique_ptr<CURLM, MultiDeleter> multi(curl_multi_init());
  if (!multi) return CURLE_OUT_OF_MEMORY;
  return PerformTransfer(multi.get(), easy, stop);
}

CURLcode PerformTransfer(CURLM* multi, CURL* easy, const std::function<bool()>& stop) {
  if (curl_multi_add_handle(multi, easy) != CURLM_OK) return CURLE_OUT_OF_MEMORY;
  CURLcode result = CURLE_OK;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      result = CURLE_RECV_ERROR;
      break;
    }
    if (running == 0) {
      int left = 0;
      const CURLMsg* message = curl_multi_info_read(multi, &left);
      result = message != nullptr && message->msg == CURLMSG_DONE ? message->data.result
                                                                  : CURLE_RECV_ERROR;
      break;
    }
    if (stop && stop()) {
      result = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_multi_poll(multi, nullptr, 0, kTransferSliceMs, nullptr);
  }
  curl_multi_remove_handle(multi, easy);
  return result;
}

}  // namespace dralmin
