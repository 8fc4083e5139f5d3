// OstraSync_Stream: forwards stream operations to a host object laid out as a table of virtual
// operations (slots 0-1 unused, 2 destructor(flags), 3 error text, 4 error code, 5 unused,
// 6-13 stream operations 1 to 8), each called with the object as its first argument.
#include <cstdint>
#include <cstring>

#include "ostrasync.h"

namespace {

struct ArgumentBlock {
  void* pointer;
  int value;
};

constexpr int kDestructorSlot = 2, kErrorTextSlot = 3, kErrorCodeSlot = 4, kFirstStreamSlot = 6;
constexpr char kInvalidStream[] = "Invalid stream pointer.";

template <typename Result, typename... Args>
Result Call(void* stream, int slot, Args... args) {
  void* const* table = *static_cast<void* const* const*>(stream);
  auto* operation = reinterpret_cast<Result (*)(void*, Args...)>(table[slot]);
  return operation(stream, args...);
}

template <typename Result, typename... Args>
Result StreamOp(void* stream, int number, Args... args) {
  return Call<Result>(stream, kFirstStreamSlot + number - 1, args...);
}

int NullStream(int operation, void* result) {
  switch (operation) {
    case 504:
      return 0;
    case 505:
      if (result == nullptr) return -1;
      *static_cast<uint8_t*>(result) = 0;
      return 0;
    case 508:
      if (result == nullptr) return -1;
      *static_cast<const char**>(result) = kInvalidStream;
      return 0;
    case 509:
      if (result == nullptr) return -1;
      *static_cast<int*>(result) = -1;
      return 0;
  }
  return -1;
}

}  // namespace

extern "C" OSTRASYNC_API int OstraSync_Stream(void* stream, int operation, void* args, void* result) {
  if (stream == nullptr) return NullStream(operation, result);
  auto* block = static_cast<ArgumentBlock*>(args);
  // Operations that read the argument block or write the result refuse a null one.
  switch (operation) {
    case 500:
    case 501:
      if (block == nullptr || result == nullptr) return -1;
      return StreamOp<int>(stream, operation == 500 ? 4 : 5, block->pointer, block->value, result);
    case 502:
      if (block == nullptr || block->pointer == nullptr || result == nullptr) return -1;
      return StreamOp<int>(stream, 6, *static_cast<const int64_t*>(block->pointer), block->value, result);
    case 503:
      return StreamOp<int>(stream, 7);
    case 504:
      (void)StreamOp<int>(stream, 8);
      Call<void>(stream, kDestructorSlot, 1);
      return 0;
    case 505: {
      if (block == nullptr || result == nullptr) return -1;
      int first;
      std::memcpy(&first, block, sizeof first);
      *static_cast<uint8_t*>(result) = static_cast<uint8_t>(StreamOp<int>(stream, 1, first));
      return 0;
    }
    case 506:
      if (result == nullptr) return -1;
      *static_cast<int64_t*>(result) = StreamOp<int64_t>(stream, 2);
      return 0;
    case 507:
      if (block == nullptr || block->pointer == nullptr) return -1;
      return StreamOp<int>(stream, 3, *static_cast<const int64_t*>(block->pointer));
    case 508:
      if (result == nullptr) return -1;
      *static_cast<const char**>(result) = Call<const char*>(stream, kErrorTextSlot);
      return 0;
    case 509:
      if (result == nullptr) return -1;
      *static_cast<int*>(result) = Call<int>(stream, kErrorCodeSlot);
      return 0;
  }
  return 0;
}
