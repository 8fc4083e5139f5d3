// The pending-operation table: five maps of paths the host is changing, one lock each, with
// entries that are consumed by their echo, taken back on failure or dropped when too old.
#include "tracking/pending_operations.h"

#include <utility>

namespace ostrasync::tracking {
namespace {

constexpr char16_t kSeparator = u'\\';

constexpr std::u16string_view kLogAddPending = u"AddPending Path(%s), IsDir(%s), OpType(%d)";
constexpr std::u16string_view kLogCheckPending =
    u"CheckPendingOrRemove Path(%s), IsDir(%s), OpType(%d)";
constexpr std::u16string_view kLogRemoveAll = u"RemoveAll Path(%s), OpType(%d)";

const char16_t* BoolWord(bool value) { return value ? u"true" : u"false"; }

std::u16string KeyOf(std::u16string_view path, bool is_dir) {
  std::u16string key(path);
  if (is_dir && (key.empty() || key.back() != kSeparator)) key.push_back(kSeparator);
  return key;
}

}  // namespace

PendingOperations::PendingOperations(const std::atomic<bool>& enabled,
                                     std::function<uint64_t()> now_ms, uint64_t max_age_ms,
                                     LogFunction log)
    : enabled_(enabled), now_ms_(std::move(now_ms)), max_age_ms_(max_age_ms), log_(std::move(log)) {}

bool PendingOperations::ValidType(PendingOpType type) {
  const int32_t value = static_cast<int32_t>(type);
  return value >= 0 && value < kTypeCount;
}

bool PendingOperations::Expired(const Entry& entry, uint64_t now) const {
  // A clock set back must not make an entry young again for as long as the clock moved, or a
  // leftover entry could outlive its bound; the age is the distance either way.
  const uint64_t age = now >= entry.recorded_ms ? now - entry.recorded_ms : entry.recorded_ms - now;
  return age >= max_age_ms_;
}

bool PendingOperations::AddPending(std::u16string_view path, PendingOpType type, bool is_dir) {
  if (log_) log_(4, kLogAddPending, {path, BoolWord(is_dir), static_cast<int32_t>(type)});
  if (!enabled_.load() || !ValidType(type)) return false;
  std::u16string key = KeyOf(path, is_dir);
  const uint64_t now = now_ms_();
  Table& table = TableOf(type);
  std::lock_guard lock(table.mutex);
  Entry& entry = table.entries[std::move(key)];
  // An entry that expired unconsumed must not lend its count to the new operation: only the new
  // echo is awaited.
  if (Expired(entry, now)) entry.count = 0;
  ++entry.count;
  entry.recorded_ms = now;
  return true;
}

bool PendingOperations::CheckPendingOrRemove(std::u16string_view path, PendingOpType type,
                                             bool is_dir) {
  if (log_) log_(4, kLogCheckPending, {path, BoolWord(is_dir), static_cast<int32_t>(type)});
  if (!enabled_.load() || !ValidType(type)) return false;
  const std::u16string key = KeyOf(path, is_dir);
  const uint64_t now = now_ms_();
  Table& table = TableOf(type);
  std::lock_guard lock(table.mutex);

  if (auto it = table.entries.find(key); it != table.entries.end()) {
    if (!Expired(it->second, now)) {
      if (type == PendingOpType::kUpdate && --it->second.count > 0) return true;
      table.entries.erase(it);
      return true;
    }
    table.entries.erase(it);
  }

  // Ancestors in folder form, nearest first, stopping before the root: a pending operation on
  // the root would otherwise swallow every change in the sync root.
  std::u16string_view rest(key);
  if (!rest.empty() && rest.back() == kSeparator) rest.remove_suffix(1);
  for (std::size_t separator = rest.rfind(kSeparator);
       separator != std::u16string_view::npos && separator > 0;
       separator = rest.rfind(kSeparator)) {
    const std::u16string_view ancestor = std::u16string_view(key).substr(0, separator + 1);
    rest = rest.substr(0, separator);
    const auto it = table.entries.find(ancestor);
    if (it == table.entries.end()) continue;
    if (!Expired(it->second, now)) return true;
    table.entries.erase(it);
  }
  return false;
}

bool PendingOperations::RemoveAll(std::u16string_view path, PendingOpType type) {
  if (log_) log_(4, kLogRemoveAll, {path, static_cast<int32_t>(type)});
  if (!ValidType(type)) return false;
  Table& table = TableOf(type);
  std::lock_guard lock(table.mutex);
  if (auto it = table.entries.find(path); it != table.entries.end()) {
    table.entries.erase(it);
    return true;
  }
  if (auto it = table.entries.find(KeyOf(path, true)); it != table.entries.end()) {
    table.entries.erase(it);
    return true;
  }
  return false;
}

bool PendingOperations::CancelPending(std::u16string_view path, PendingOpType type, bool is_dir) {
  if (!ValidType(type)) return false;
  const std::u16string key = KeyOf(path, is_dir);
  Table& table = TableOf(type);
  std::lock_guard lock(table.mutex);
  const auto it = table.entries.find(key);
  if (it == table.entries.end()) return false;
  if (--it->second.count == 0) table.entries.erase(it);
  return true;
}

void PendingOperations::RemoveExpired() {
  const uint64_t now = now_ms_();
  for (Table& table : tables_) {
    std::lock_guard lock(table.mutex);
    std::erase_if(table.entries, [&](const auto& item) { return Expired(item.second, now); });
  }
}

void PendingOperations::Clear() {
  for (Table& table : tables_) {
    std::lock_guard lock(table.mutex);
    table.entries.clear();
  }
}

}  // namespace ostrasync::tracking
