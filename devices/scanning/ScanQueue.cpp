#include "devices/scanning/ScanQueue.h"

#include <cstdio>
#include <utility>

#include "devices/scanning/CDIB.h"
#include "devices/scanning/JpegEncoder.h"
#include "platform/MessageBox.h"

namespace dralmin {

ScanQueue::ScanQueue(MessageBox& messages) : messages_(messages) {}

void ScanQueue::OnScannedImage(TW_HANDLE dib) {
  JpegResult jpeg;
  {
    // The block stays the caller's until this returns, so the rows are encoded where they are.
    CDIB page;
    // A refused page is told, and the encoder's failure follows it.
    if (!page.ViewHandle(dib)) messages_.Show(page.Refusal(), "Error");
    jpeg = EncodeJpeg(page);
  }
  if (jpeg.failure != 0) {
    char text[48];
    std::snprintf(text, sizeof(text), "Jpeg convertion error: 0x%08X", jpeg.failure);
    messages_.Show(text, "Error");
    jpeg.bytes.clear();
  }
  Append(std::move(jpeg.bytes));
}

void ScanQueue::Append(std::string jpeg) {
  std::lock_guard lock(mutex_);
  pages_.push_back(std::move(jpeg));
}

std::optional<std::string> ScanQueue::TakeFront() {
  std::lock_guard lock(mutex_);
  if (pages_.empty()) return std::nullopt;
  std::string page = std::move(pages_.front());
  pages_.pop_front();
  return page;
}

void ScanQueue::ReturnFront(std::string jpeg) {
  std::lock_guard lock(mutex_);
  pages_.push_front(std::move(jpeg));
}

bool ScanQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return pages_.empty();
}

std::size_t ScanQueue::Size() const {
  std::lock_guard lock(mutex_);
  return pages_.size();
}

void ScanQueue::SetKey(std::string key) {
  std::lock_guard lock(mutex_);
  key_ = std::move(key);
}

std::string ScanQueue::Key() const {
  std::lock_guard lock(mutex_);
  return key_;
}

}  // namespace dralmin
