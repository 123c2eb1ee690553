// SHA-1 digests computed on a thread of their own, beside the code that
// produces the bytes: Update copies the bytes into a small ring of buffers
// and returns, the hashing thread takes the filled buffers in order. The
// producer waits only when the ring is full (the hasher is behind by the
// whole ring) and when it asks for a digest. Memory stays at the ring's
// size, whatever the number of bytes.
//
// One object gives a sequence of digests: the bytes added up to a Finish
// are the first digest, those up to the next Finish the second, and so on,
// until Discard starts the sequence again. Without libcrypto's SHA-1
// (Sha1::Available) every digest is the empty text and no thread starts.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transport/Sha1.h"

namespace velmora {

class BackgroundSha1 {
 public:
  // All members are called from one thread, the producer's.
  //
  // The ring: `slots` buffers of `slotBytes` each (at least 2 and 1). No
  // memory and no thread until the first byte arrives.
  explicit BackgroundSha1(size_t slots = 8, size_t slotBytes = 128 * 1024);
  // Drops the bytes not hashed yet and joins the thread. Never throws.
  ~BackgroundSha1();
  BackgroundSha1(const BackgroundSha1&) = delete;
  BackgroundSha1& operator=(const BackgroundSha1&) = delete;

  // False when libcrypto's SHA-1 cannot be had.
  bool Available() const noexcept { return available_; }

  // Adds the next bytes of the current digest. They are copied, so the
  // caller may reuse `data` at once. Waits only when every buffer of the
  // ring is still to be hashed, and then until half of them are free again.
  // Raises std::bad_alloc when the ring cannot be allocated.
  void Update(const char* data, size_t size);
  // Ends the current digest and returns its number in the sequence (0 for
  // the first since construction or Discard). The next Update begins the
  // following digest.
  size_t Finish();
  // The digest numbered `number` as 40 lower-case hexadecimal digits,
  // waiting until the hashing thread has computed it. "" when libcrypto is
  // unavailable or failed, and for a number that Finish has not returned
  // since the last Discard.
  std::string HexDigest(size_t number) const;
  // Drops every byte not hashed yet and every digest, and starts the
  // sequence again. Waits at most for the buffer being hashed now.
  void Discard();

 private:
  struct Slot {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
    bool endsDigest = false;  // the last bytes of a digest
  };

  // Waits (with `lock` held) for a free buffer and makes it the one being
  // filled; starts the thread at the first call.
  void AcquireSlot(std::unique_lock<std::mutex>& lock);
  // Hands the buffer being filled to the hashing thread.
  void PublishSlot(bool endsDigest);
  // Hashes one buffer: on the hashing thread, or on the caller's when no
  // thread could be started.
  void HashSlot(const Slot& slot, std::string& digest);
  void Run();

  const size_t slots_;
  const size_t slotBytes_;
  Sha1 sha1_;  // used by the hashing thread, or under the lock while it is idle
  const bool available_;
  std::vector<Slot> ring_;  // allocated at the first byte

  mutable std::mutex mutex_;
  mutable std::condition_variable hashed_;     // a buffer was hashed or a digest is ready
  mutable std::condition_variable published_;  // a buffer is waiting, or stop
  // Buffers handed over and hashed so far (both only grow; the buffer of
  // number n is ring_[n % ring_.size()]).
  uint64_t publishedCount_ = 0;
  uint64_t hashedCount_ = 0;
  bool filling_ = false;      // the producer holds ring_[publishedCount_ % size]
  bool busy_ = false;         // the hashing thread works on a buffer outside the lock
  bool spaceWanted_ = false;  // the producer waits for the ring to be half free
  bool discarding_ = false;   // Discard waits for the hashing thread to be idle
  bool stop_ = false;
  size_t finished_ = 0;               // digests ended by Finish since Discard
  std::vector<std::string> digests_;  // digests computed since Discard, in order
  std::thread thread_;
  bool inline_ = false;  // no thread could be started: hash on the producer's
};

}  // namespace velmora
