// Calls OstraSync_Kelvo_Do with random method ids and random slot contents. Every slot points at
// memory that is valid for what any method may read from it (a string, a 64-bit value, or a
// buffer no longer than its cbparams length), so any crash or sanitizer report is the library's.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ostrasync.h"

namespace {

constexpr int kSlots = 8;
constexpr int kRegionBytes = 256;

int Discard(void*, int, int, void**, int*) { return 0; }

void* Component() {
  static void* component = [] {
    void* handle = OstraSync_Kelvo_Create(&Discard, nullptr, nullptr, 0);
    // Keep the log quiet and the fuzzer fast.
    char level[] = "LogLevel=0";
    void* params[2] = {level, nullptr};
    int cbparams[2] = {};
    OstraSync_Kelvo_Do(handle, OSTRASYNC_METHOD_CONFIG, 1, params, cbparams);
    return handle;
  }();
  return component;
}

class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  bool Empty() const { return pos_ >= size_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in(data, size);
  static const int kIds[] = {2003, 12003, 3, 10003, 1, 33, 10033};
  const uint8_t selector = in.Byte();
  int id = selector < 200 ? 2 + selector % 31 + (selector & 0x80 ? 10000 : 0) : kIds[selector % 7];
  if (id == 2 || id == 10002 || id == 15 || id == 10015) id = 6;  // keep activation attempts out
  const int count = in.Byte() % 4 == 0 ? in.Byte() % 10 : kSlots;

  std::vector<std::vector<char>> regions(kSlots, std::vector<char>(kRegionBytes + 2, 0));
  void* params[kSlots + 1] = {};
  int cbparams[kSlots + 1] = {};
  for (int i = 0; i < kSlots; ++i) {
    std::vector<char>& region = regions[i];
    // Fill with a NUL-terminated string, a 64-bit value or raw bytes; the last two bytes stay 0
    // so the region is always a terminated string in either encoding.
    const int used = in.Byte() % (kRegionBytes + 1);
    for (int k = 0; k < used && !in.Empty(); ++k) region[k] = static_cast<char>(in.Byte());
    // A slot is null or points at the region; a method reading an int slot takes the low bits
    // of the pointer, which is as random as any value a host may pass.
    params[i] = in.Byte() % 4 == 0 ? nullptr : region.data();
    // Lengths in bytes (or UTF-16 units for the conversion service) never exceed the region.
    const int length = static_cast<int>(in.Byte()) - 2;
    cbparams[i] = params[i] == region.data() ? (length > kRegionBytes / 2 ? kRegionBytes / 2 : length)
                                             : (length < 0 ? length : 0);
  }
  if (in.Byte() == 0xFF) {
    OstraSync_Kelvo_Do(Component(), id, count, nullptr, nullptr);
  } else {
    OstraSync_Kelvo_Do(Component(), id, count, params, cbparams);
  }
  return 0;
}
