// OstraSync_EvtStr: lets a host read one event string in either encoding through a record it owns.
#include <cstdlib>
#include <cstring>
#include <string>

#include "component/scrub.h"
#include "ostrasync.h"
#include "platform/text_codec.h"

namespace {

using Record = OstraSyncEventRecord;
using ostrasync::platform::MultiByteToUtf16;
using ostrasync::platform::Utf16ToMultiByte;

constexpr int kOwnsText = 1;
constexpr int kOwnsUtf16 = 2;
constexpr int kOutOfMemory = 200;
char g_empty_text[1] = {0};
ostrasync_wchar g_empty_utf16[1] = {0};

std::size_t Utf16Length(const ostrasync_wchar* s) {
  std::size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

template <typename Char>
void Release(Char* text, std::size_t length) {
  if (ostrasync::engine::Process().zero_memory.load()) {
    volatile Char* p = text;
    for (std::size_t i = 0; i < length; ++i) p[i] = 0;
  }
  std::free(text);
}

void Clear(Record* record) {
  if ((record->owned & kOwnsText) && record->text) Release(record->text, std::strlen(record->text));
  if ((record->owned & kOwnsUtf16) && record->wtext) Release(record->wtext, Utf16Length(record->wtext));
  record->text = nullptr;
  record->wtext = nullptr;
  record->error = 0;
  record->owned = 0;
}

template <typename Char>
Char* Duplicate(const Char* source, std::size_t length) {
  auto* copy = static_cast<Char*>(std::malloc((length + 1) * sizeof(Char)));
  if (copy != nullptr) {
    std::memcpy(copy, source, length * sizeof(Char));
    copy[length] = 0;
  }
  return copy;
}

void Fail(Record* record, int error) {
  Clear(record);
  record->error = error;
}

void* ReadText(Record* record) {
  if (record->text) return record->text;
  if (!record->wtext) return nullptr;
  if (record->wtext[0] == 0) return g_empty_text;
  const auto* source = reinterpret_cast<const char16_t*>(record->wtext);
  const auto code_page = static_cast<uint32_t>(record->code_page);
  uint32_t error = 0;
  const int size = Utf16ToMultiByte(code_page, source, -1, nullptr, 0, &error);
  if (size == 0) return Fail(record, static_cast<int>(error)), nullptr;
  auto* text = static_cast<char*>(std::malloc(static_cast<std::size_t>(size) + 1));
  if (text == nullptr) return Fail(record, kOutOfMemory), nullptr;
  if (Utf16ToMultiByte(code_page, source, -1, text, size, &error) == 0) {
    std::free(text);
    return Fail(record, static_cast<int>(error)), nullptr;
  }
  text[size] = 0;
  record->text = text;
  record->owned |= kOwnsText;
  return text;
}

void* ReadUtf16(Record* record) {
  if (record->wtext) return record->wtext;
  if (!record->text) return nullptr;
  if (record->text[0] == 0) return g_empty_utf16;
  const auto code_page = static_cast<uint32_t>(record->code_page);
  uint32_t error = 0;
  const int units = MultiByteToUtf16(code_page, record->text, -1, nullptr, 0, &error);
  if (units == 0) return Fail(record, static_cast<int>(error)), nullptr;
  // Two units of slack beyond the converted text and its terminator.
  auto* text = static_cast<char16_t*>(std::calloc(static_cast<std::size_t>(units) + 2, sizeof(char16_t)));
  if (text == nullptr) return Fail(record, kOutOfMemory), nullptr;
  if (MultiByteToUtf16(code_page, record->text, -1, text, units, &error) == 0) {
    std::free(text);
    return Fail(record, static_cast<int>(error)), nullptr;
  }
  record->wtext = reinterpret_cast<ostrasync_wchar*>(text);
  record->owned |= kOwnsUtf16;
  return text;
}

}  // namespace

extern "C" OSTRASYNC_API void* OstraSync_EvtStr(void* record_pointer, int operation, void* value,
                                               int encoding) {
  auto* record = static_cast<Record*>(record_pointer);
  if (record == nullptr || operation < 0 || operation > 2 || encoding < 1 || encoding > 2) return nullptr;
  const bool utf16 = encoding == 2;
  switch (operation) {
    case 0:
      if (record->error != 0) return nullptr;
      return utf16 ? ReadUtf16(record) : ReadText(record);
    case 1:
      // Always start afresh: the same address may hold a new event's text.
      Clear(record);
      if (utf16) {
        record->wtext = static_cast<ostrasync_wchar*>(value);
      } else {
        record->text = static_cast<char*>(value);
      }
      return nullptr;
    case 2: {
      // Copy before clearing, so that copying the record's own text is safe.
      if (value == nullptr) {
        Clear(record);
        return nullptr;
      }
      if (utf16) {
        const auto* source = static_cast<const ostrasync_wchar*>(value);
        ostrasync_wchar* copy = Duplicate(source, Utf16Length(source));
        if (copy == nullptr) return Fail(record, kOutOfMemory), nullptr;
        Clear(record);
        record->wtext = copy;
        record->owned = kOwnsUtf16;
      } else {
        const auto* source = static_cast<const char*>(value);
        char* copy = Duplicate(source, std::strlen(source));
        if (copy == nullptr) return Fail(record, kOutOfMemory), nullptr;
        Clear(record);
        record->text = copy;
        record->owned = kOwnsText;
      }
      return nullptr;
    }
  }
  return nullptr;
}
