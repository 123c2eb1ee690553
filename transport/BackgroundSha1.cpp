#include "transport/BackgroundSha1.h"

#include <algorithm>
#include <cstring>
#include <system_error>

namespace velmora {

BackgroundSha1::BackgroundSha1(size_t slots, size_t slotBytes)
    : slots_(std::max<size_t>(slots, 2)),
      slotBytes_(std::max<size_t>(slotBytes, 1)),
      available_(sha1_.Available()) {}

BackgroundSha1::~BackgroundSha1() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  published_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void BackgroundSha1::AcquireSlot(std::unique_lock<std::mutex>& lock) {
  if (ring_.empty()) {
    std::vector<Slot> ring(slots_);
    for (Slot& slot : ring) slot.bytes = std::make_unique<char[]>(slotBytes_);
    ring_ = std::move(ring);
  }
  if (!thread_.joinable() && !inline_) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      inline_ = true;  // no thread to be had: the digest is computed in series
    }
  }
  if (publishedCount_ - hashedCount_ == ring_.size()) {
    // The hasher is a whole ring behind: wait until it has caught up by half
    // the ring, so that each wake-up buys many buffers' worth of work.
    spaceWanted_ = true;
    hashed_.wait(lock, [&] { return publishedCount_ - hashedCount_ <= ring_.size() / 2; });
    spaceWanted_ = false;
  }
  Slot& slot = ring_[publishedCount_ % ring_.size()];
  slot.size = 0;
  slot.endsDigest = false;
  filling_ = true;
}

void BackgroundSha1::PublishSlot(bool endsDigest) {
  Slot& slot = ring_[publishedCount_ % ring_.size()];
  slot.endsDigest = endsDigest;
  if (inline_) {
    std::string digest;
    HashSlot(slot, digest);
    std::lock_guard<std::mutex> lock(mutex_);
    if (endsDigest) digests_.push_back(std::move(digest));
    ++publishedCount_;
    ++hashedCount_;
    filling_ = false;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++publishedCount_;
    filling_ = false;
  }
  published_.notify_one();
}

void BackgroundSha1::Update(const char* data, size_t size) {
  if (!available_) return;
  while (size > 0) {
    if (!filling_) {
      std::unique_lock<std::mutex> lock(mutex_);
      AcquireSlot(lock);
    }
    // Only this thread moves publishedCount_, so it is read here unlocked.
    Slot& slot = ring_[publishedCount_ % ring_.size()];
    size_t n = std::min(size, slotBytes_ - slot.size);
    std::memcpy(slot.bytes.get() + slot.size, data, n);
    slot.size += n;
    data += n;
    size -= n;
    if (slot.size == slotBytes_) PublishSlot(false);
  }
}

size_t BackgroundSha1::Finish() {
  if (available_) {
    if (!filling_) {
      std::unique_lock<std::mutex> lock(mutex_);
      AcquireSlot(lock);
    }
    PublishSlot(true);
  }
  return finished_++;
}

std::string BackgroundSha1::HexDigest(size_t number) const {
  if (!available_ || number >= finished_) return "";
  std::unique_lock<std::mutex> lock(mutex_);
  hashed_.wait(lock, [&] { return digests_.size() > number; });
  return digests_[number];
}

void BackgroundSha1::Discard() {
  finished_ = 0;
  if (!available_) return;
  std::unique_lock<std::mutex> lock(mutex_);
  discarding_ = true;
  hashed_.wait(lock, [&] { return !busy_; });
  discarding_ = false;
  hashedCount_ = publishedCount_;
  filling_ = false;
  digests_.clear();
  sha1_.Reset();
}

void BackgroundSha1::HashSlot(const Slot& slot, std::string& digest) {
  try {
    sha1_.Update(slot.bytes.get(), slot.size);
    if (slot.endsDigest) digest = sha1_.HexDigest();
  } catch (...) {
    // Only the digest's text can fail to be allocated: that digest is "".
    digest.clear();
    sha1_.Reset();
  }
}

void BackgroundSha1::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    published_.wait(lock, [&] { return stop_ || (!discarding_ && hashedCount_ < publishedCount_); });
    if (stop_) return;
    const Slot& slot = ring_[hashedCount_ % ring_.size()];
    busy_ = true;
    lock.unlock();
    std::string digest;
    HashSlot(slot, digest);
    lock.lock();
    busy_ = false;
    bool wake = slot.endsDigest || discarding_ ||
                (spaceWanted_ && publishedCount_ - (hashedCount_ + 1) <= ring_.size() / 2);
    if (slot.endsDigest) digests_.push_back(std::move(digest));
    ++hashedCount_;
    if (wake) hashed_.notify_all();
  }
}

}  // namespace velmora
