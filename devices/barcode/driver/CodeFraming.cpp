#include "devices/barcode/driver/CodeFraming.h"

#include <algorithm>

#include "platform/Log.h"

namespace dralmin {

void CodeBuffer::Append(std::string_view bytes) {
  const std::size_t room = kMaxCodeBytes - bytes_.size();
  const std::size_t kept = std::min(room, bytes.size());
  bytes_.append(bytes.substr(0, kept));
  cut_ += bytes.size() - kept;
}

void CodeBuffer::Finish(const CodeSink& sink) {
  if (damaged_) {
    LogWarning("barcode", source_ + ": events were lost during a scan; the code (" +
                              std::to_string(bytes_.size() + cut_) +
                              " bytes read) is discarded, scan it again");
  } else if (bytes_.find_first_not_of('\0') == std::string::npos) {
    // A line of nothing but NUL bytes (line noise, a scanner waking up) is as empty as an empty
    // line: a page would receive an empty code.
  } else {
    if (cut_ > 0) {
      LogWarning("barcode", source_ + ": a code of " + std::to_string(bytes_.size() + cut_) +
                                " bytes was cut to its first " + std::to_string(kMaxCodeBytes));
    }
    sink(bytes_);
  }
  Drop();
}

void CodeBuffer::Drop() {
  bytes_.clear();
  cut_ = 0;
  damaged_ = false;
}

void SerialFramer::Feed(std::string_view bytes, const CodeSink& sink) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find_first_of("\r\n");
    code_.Append(bytes.substr(0, end));
    if (end == std::string_view::npos) return;
    // The LF of a CR LF pair ends an empty line, which is no code.
    code_.Finish(sink);
    bytes.remove_prefix(end + 1);
  }
}

}  // namespace dralmin
