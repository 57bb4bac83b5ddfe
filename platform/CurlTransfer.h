#pragma once

#include <curl/curl.h>

#include <functional>

namespace dralmin {

// Runs the transfer of `easy` as curl_easy_perform does, but asks `stop` between slices of at
// most kTransferSlice, so that a stop request or a caller's own rule (a peer that keeps its page
// open) ends a transfer within a fraction of a second. Returns CURLE_ABORTED_BY_CALLBACK when
// `stop` ended it.
CURLcode PerformTransfer(CURL* easy, const std::function<bool()>& stop);

// The same through the caller's multi handle, whose connection cache keeps a connection the peer
// left open for the next transfer through it.
CURLcode PerformTransfer(CURLM* multi, CURL* easy, const std::function<bool()>& stop);

inline constexpr int kTransferSliceMs = 50;

}  // namespace dralmin
