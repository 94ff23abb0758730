// The entry points that g++ -fsanitize=thread puts before every load and
// store of the code it compiles, given here in place of ThreadSanitizer's
// runtime, which is never linked: loads and stores go to the race check's
// recorder, which keeps those of a checked block's shared memory; atomic
// operations are performed, and recorded as atomic. Only the race check's
// test program links this library, and this file itself is not
// instrumented.
#include <cstddef>
#include <cstdint>

#include "race_check.h"

using cpu_device::race::kAtomic;
using cpu_device::race::kRead;
using cpu_device::race::kWrite;
using cpu_device::race::record;

extern "C" {

void __tsan_init() { cpu_device::race::instrumented = true; }
void __tsan_func_entry(void *) {}
void __tsan_func_exit() {}

#define CPU_DEVICE_PLAIN(n)                                                          \
  void __tsan_read##n(void *a) { record(a, n, kRead); }                              \
  void __tsan_write##n(void *a) { record(a, n, kWrite); }                            \
  void __tsan_unaligned_read##n(const void *a) { record(a, n, kRead); }              \
  void __tsan_unaligned_write##n(void *a) { record(a, n, kWrite); }                  \
  void __tsan_volatile_read##n(void *a) { record(a, n, kRead); }                     \
  void __tsan_volatile_write##n(void *a) { record(a, n, kWrite); }
CPU_DEVICE_PLAIN(1)
CPU_DEVICE_PLAIN(2)
CPU_DEVICE_PLAIN(4)
CPU_DEVICE_PLAIN(8)
CPU_DEVICE_PLAIN(16)
#undef CPU_DEVICE_PLAIN

void __tsan_read_range(void *a, unsigned long size) { record(a, size, kRead); }
void __tsan_write_range(void *a, unsigned long size) { record(a, size, kWrite); }
void __tsan_vptr_read(void **p) { record(p, sizeof *p, kRead); }
void __tsan_vptr_update(void **p, void *) { record(p, sizeof *p, kWrite); }

// Every order is performed as sequentially consistent: never weaker than
// the one asked for.
#define CPU_DEVICE_ATOMIC(n, T)                                                                  \
  T __tsan_atomic##n##_load(const volatile T *a, int) {                                          \
    record(const_cast<const T *>(a), sizeof(T), kAtomic);                                        \
    return __atomic_load_n(a, __ATOMIC_SEQ_CST);                                                 \
  }                                                                                              \
  void __tsan_atomic##n##_store(volatile T *a, T v, int) {                                       \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    __atomic_store_n(a, v, __ATOMIC_SEQ_CST);                                                    \
  }                                                                                              \
  T __tsan_atomic##n##_exchange(volatile T *a, T v, int) {                                       \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_exchange_n(a, v, __ATOMIC_SEQ_CST);                                          \
  }                                                                                              \
  T __tsan_atomic##n##_fetch_add(volatile T *a, T v, int) {                                      \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_fetch_add(a, v, __ATOMIC_SEQ_CST);                                           \
  }                                                                                              \
  T __tsan_atomic##n##_fetch_sub(volatile T *a, T v, int) {                                      \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_fetch_sub(a, v, __ATOMIC_SEQ_CST);                                           \
  }                                                                                              \
  T __tsan_atomic##n##_fetch_and(volatile T *a, T v, int) {                                      \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_fetch_and(a, v, __ATOMIC_SEQ_CST);                                           \
  }                                                                                              \
  T __tsan_atomic##n##_fetch_or(volatile T *a, T v, int) {                                       \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_fetch_or(a, v, __ATOMIC_SEQ_CST);                                            \
  }                                                                                              \
  T __tsan_atomic##n##_fetch_xor(volatile T *a, T v, int) {                                      \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_fetch_xor(a, v, __ATOMIC_SEQ_CST);                                           \
  }                                                                                              \
  T __tsan_atomic##n##_fetch_nand(volatile T *a, T v, int) {                                     \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_fetch_nand(a, v, __ATOMIC_SEQ_CST);                                          \
  }                                                                                              \
  int __tsan_atomic##n##_compare_exchange_strong(volatile T *a, T *c, T v, int, int) {           \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_compare_exchange_n(a, c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);      \
  }                                                                                              \
  int __tsan_atomic##n##_compare_exchange_weak(volatile T *a, T *c, T v, int, int) {             \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    return __atomic_compare_exchange_n(a, c, v, true, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);       \
  }                                                                                              \
  T __tsan_atomic##n##_compare_exchange_val(volatile T *a, T c, T v, int, int) {                 \
    record(const_cast<T *>(a), sizeof(T), kAtomic);                                              \
    __atomic_compare_exchange_n(a, &c, v, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);            \
    return c;                                                                                    \
  }
CPU_DEVICE_ATOMIC(8, std::uint8_t)
CPU_DEVICE_ATOMIC(16, std::uint16_t)
CPU_DEVICE_ATOMIC(32, std::uint32_t)
CPU_DEVICE_ATOMIC(64, std::uint64_t)
#undef CPU_DEVICE_ATOMIC

void __tsan_atomic_thread_fence(int) { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
void __tsan_atomic_signal_fence(int) { __atomic_signal_fence(__ATOMIC_SEQ_CST); }

}  // extern "C"
