#include "engine/cpu/BlockCache.h"

#include <chrono>
#include <cstdlib>
#include <mutex>

namespace fm {
namespace {

// Sanitizer builds keep no blocks, so that every use of a released image is still caught.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlots = 0;
#else
constexpr int kSlots = 32;
#endif
constexpr size_t kMaxTotal = size_t(2) << 30;    // bytes held at most
constexpr auto kMaxAge = std::chrono::seconds(5);  // a block unused this long goes back
constexpr int kLoans = 64;  // larger blocks out on loan at once; beyond that none is lent

struct Slot {
  void* block = nullptr;
  size_t bytes = 0;
  std::chrono::steady_clock::time_point since;
};

// A block lent for a smaller request. Its holder knows only the size it asked for, so the
// real size is kept here until the block comes back; otherwise the cache would count less
// than it holds and later lend the block for requests under half its size.
struct Loan {
  void* block = nullptr;
  size_t asked = 0;
  size_t bytes = 0;
};

struct Cache {
  std::mutex lock;
  Slot slots[kSlots > 0 ? kSlots : 1];
  size_t total = 0;
  Loan loans[kLoans];

  Loan* freeLoan() {
    for (Loan& l : loans)
      if (!l.block) return &l;
    return nullptr;
  }
  // The block's real size, ending its loan; `asked` must match too, so that a loan whose block
  // was freed elsewhere cannot give a new block at the same address a size it does not have.
  size_t endLoan(void* block, size_t asked) {
    for (Loan& l : loans)
      if (l.block == block && l.asked == asked) {
        const size_t bytes = l.bytes;
        l = Loan{};
        return bytes;
      }
    return asked;
  }

  void drop(Slot& s) {
    std::free(s.block);
    total -= s.bytes;
    s = Slot{};
  }
  void dropStale(std::chrono::steady_clock::time_point now) {
    for (int i = 0; i < kSlots; ++i)
      if (slots[i].block && now - slots[i].since > kMaxAge) drop(slots[i]);
  }
};

// Never destroyed: images may be released from other objects' destructors at exit.
Cache& cache() {
  static Cache* c = new Cache;
  return *c;
}

}  // namespace

void* takeCachedBlock(size_t bytes) {
  if (kSlots == 0) return nullptr;
  Cache& c = cache();
  std::lock_guard<std::mutex> guard(c.lock);
  c.dropStale(std::chrono::steady_clock::now());
  Slot* best = nullptr;
  for (int i = 0; i < kSlots; ++i) {
    Slot& s = c.slots[i];
    // At most twice the size asked for: a small image should not pin a frame-sized block.
    if (s.block && s.bytes >= bytes && s.bytes <= 2 * bytes && (!best || s.bytes < best->bytes)) best = &s;
  }
  if (!best) return nullptr;
  if (best->bytes > bytes) {
    Loan* loan = c.freeLoan();
    if (!loan) return nullptr;
    *loan = Loan{best->block, bytes, best->bytes};
  }
  void* block = best->block;
  c.total -= best->bytes;
  *best = Slot{};
  return block;
}

bool offerCachedBlock(void* block, size_t bytes) {
  if (kSlots == 0 || !block || bytes > kMaxTotal) return false;
  Cache& c = cache();
  std::lock_guard<std::mutex> guard(c.lock);
  bytes = c.endLoan(block, bytes);
  const auto now = std::chrono::steady_clock::now();
  c.dropStale(now);
  // Make room: the oldest blocks go first.
  for (;;) {
    Slot* oldest = nullptr;
    Slot* empty = nullptr;
    for (int i = 0; i < kSlots; ++i) {
      Slot& s = c.slots[i];
      if (!s.block) empty = empty ? empty : &s;
      else if (!oldest || s.since < oldest->since) oldest = &s;
    }
    if (empty && c.total + bytes <= kMaxTotal) {
      *empty = Slot{block, bytes, now};
      c.total += bytes;
      return true;
    }
    if (!oldest) return false;
    c.drop(*oldest);
  }
}

void releaseCachedBlocks() {
  if (kSlots == 0) return;
  Cache& c = cache();
  std::lock_guard<std::mutex> guard(c.lock);
  for (int i = 0; i < kSlots; ++i)
    if (c.slots[i].block) c.drop(c.slots[i]);
}

}  // namespace fm
