// The race check's recorder. Kernels compiled with GCC's ThreadSanitizer
// instrumentation (and no ThreadSanitizer runtime) call race_hooks.cpp on
// every load and store; while a checked block runs, the accesses that fall
// in its worker's shared memory are recorded here, per byte and per barrier
// interval. A block's shared memory is its worker's thread-local storage of
// the kernel's module (`__shared__` is `static thread_local`), so every
// `__shared__` variable is seen, whatever its type, without a change to the
// kernels' source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <cuda_runtime.h>

namespace cpu_device::race {

// Set by the hooks' initialiser: this program has instrumented kernels.
extern bool instrumented;

enum Access : unsigned char { kRead, kWrite, kAtomic };

// Who touched one byte in the current interval, in 8 bytes so that the
// cells of a double are one cache line: its plain writer, and up to two
// other users, each with the ways it touched the byte. A third user need not
// be kept: any access that conflicts with it conflicts with one of the two,
// or it would have conflicted with them itself. Thread t is kept as t + 1,
// so that 0 is no one (block threads are at most 1024).
struct Cell {
  std::uint16_t epoch = 0, writer = 0;
  std::uint16_t users[2] = {0, 0};
};
constexpr std::uint16_t kThreadBits = 0x07ff, kReadBit = 0x0800, kAtomicBit = 0x1000;

inline bool Same(const Cell &a, const Cell &b) {
  return a.epoch == b.epoch && a.writer == b.writer && a.users[0] == b.users[0] &&
         a.users[1] == b.users[1];
}

// The first race of a block: `first` touched the byte before `second`.
struct Race {
  std::uint64_t block = 0;  // linear index, to keep the lowest of a launch
  uint3 block_index{};
  unsigned int interval = 0;  // barriers the block had passed
  std::size_t offset = 0;     // into the module's thread-local storage
  Access first_kind = kRead, second_kind = kRead;
  unsigned int first = 0, second = 0;  // linear thread indices
};

class Worker;
// The recorder of the block this thread runs now; null outside checked
// blocks, and for the rest of a launch once this worker has found a race.
extern thread_local Worker *active;

// One worker's recorder, for the launch and block it runs.
class Worker {
 public:
  // The kernel's module's thread-local storage on this worker.
  void begin_launch(const void *kernel);
  void begin_block(std::uint64_t linear, uint3 index);
  void barrier_released() {
    ++interval_;
    next_epoch();
  }
  void end_block() { active = nullptr; }
  // This launch's first race on this worker, in its lowest block.
  bool raced() const { return raced_; }
  const Race &race() const { return race_; }

  void record(const void *address, std::size_t bytes, Access kind);

 private:
  void next_epoch();
  // Records one byte's access by thread `t` (kept as t + 1); false if it
  // conflicts with another thread's.
  bool touch(std::size_t offset, Cell &c, std::uint16_t t, Access kind);
  void conflict(std::size_t offset, Access first_kind, unsigned int first, Access second_kind,
                unsigned int second);

  std::uintptr_t base_ = 0;
  std::size_t size_ = 0;
  std::vector<Cell> shadow_;
  std::uint16_t epoch_ = 0;
  unsigned int interval_ = 0;
  std::uint64_t block_ = 0;
  uint3 block_index_{};
  bool raced_ = false;
  Race race_;
};

Worker &worker();

inline bool Worker::touch(std::size_t offset, Cell &c, std::uint16_t t, Access kind) {
  if (c.epoch != epoch_) c = Cell{epoch_};
  if (c.writer != 0 && c.writer != t) {
    conflict(offset, kWrite, c.writer - 1u, kind, t - 1u);
    return false;
  }
  // The ways of the other users that this access conflicts with.
  const std::uint16_t against = kind == kWrite ? kReadBit | kAtomicBit
                                : kind == kRead ? kAtomicBit : kReadBit;
  for (std::uint16_t u : c.users)
    if (u != 0 && (u & kThreadBits) != t && (u & against) != 0) {
      conflict(offset, (u & kReadBit) != 0 && kind != kRead ? kRead : kAtomic,
               (u & kThreadBits) - 1u, kind, t - 1u);
      return false;
    }
  if (kind == kWrite) {
    c.writer = t;
    return true;
  }
  const std::uint16_t mine = t | (kind == kRead ? kReadBit : kAtomicBit);
  for (std::uint16_t &u : c.users)
    if (u == 0 || (u & kThreadBits) == t) {
      u |= mine;
      break;
    }
  return true;
}

inline void Worker::record(const void *address, std::size_t bytes, Access kind) {
  // Below the base, the difference wraps to a huge offset.
  const std::size_t offset = reinterpret_cast<std::uintptr_t>(address) - base_;
  if (offset >= size_) return;
  if (bytes > size_ - offset) bytes = size_ - offset;
  const auto t = static_cast<std::uint16_t>(
      threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z) + 1);
  // The bytes of one value mostly share their history: a byte whose cell is
  // the first one's before the access gets the first one's after it.
  Cell *cells = shadow_.data() + offset;
  const Cell before = cells[0];
  if (!touch(offset, cells[0], t, kind)) return;
  const Cell after = cells[0];
  for (std::size_t i = 1; i < bytes; ++i) {
    if (Same(cells[i], before)) cells[i] = after;
    else if (!touch(offset + i, cells[i], t, kind)) return;
  }
}

inline void record(const void *address, std::size_t bytes, Access kind) {
  if (Worker *w = active) w->record(address, bytes, kind);
}

// The message of a race in `kernel`, whose blocks have `block_dim` threads.
std::string describe(const Race &race, const void *kernel, dim3 block_dim);

}  // namespace cpu_device::race
