// The metadata cache: one map of records under one re-entrant lock, ordered so that each folder's
// subtree is a single run of keys.
#include "tracking/metadata_cache.h"

#include <algorithm>
#include <utility>

namespace ostrasync::tracking {
namespace {

constexpr char16_t kSeparator = u'\\';

constexpr std::u16string_view kLogAddNewItem = u"AddNewItemToCache LocalPath(%s), ItemName(%s)";
constexpr std::u16string_view kLogAddNewItemSize = u"  Attributes(%x), Size(%I64u)";
constexpr std::u16string_view kLogAddNewItemTimes =
    u"  CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)";
constexpr std::u16string_view kLogNoItemCheck = u"NoItemInCache check for '%s'";
constexpr std::u16string_view kLogNoItemResult = u"NoItemInCache check for '%s', result: %s";

// True when `key` names an item strictly inside the folder `folder`. The root `\` already ends
// with the separator, so everything else is below it.
bool IsBelow(std::u16string_view key, std::u16string_view folder) {
  if (key.size() <= folder.size() || !key.starts_with(folder)) return false;
  return (!folder.empty() && folder.back() == kSeparator) || key[folder.size()] == kSeparator;
}

std::u16string_view LastComponent(std::u16string_view path) {
  const std::size_t separator = path.rfind(kSeparator);
  return separator == std::u16string_view::npos ? path : path.substr(separator + 1);
}

}  // namespace

bool MetadataCache::SubtreeLess::operator()(std::u16string_view a, std::u16string_view b) const {
  const std::size_t common = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (a[i] == b[i]) continue;
    const auto rank = [](char16_t unit) {
      return unit == kSeparator ? 0u : static_cast<uint32_t>(unit) + 1;
    };
    return rank(a[i]) < rank(b[i]);
  }
  return a.size() < b.size();
}

MetadataCache::MetadataCache(LogFunction log) : log_(std::move(log)) {}

void MetadataCache::AddNewItemToCache(std::u16string_view local_path, std::u16string_view item_name,
                                      uint32_t attributes, uint64_t size, uint64_t creation_time,
                                      uint64_t last_access_time, uint64_t last_write_time) {
  if (log_) {
    log_(4, kLogAddNewItem, {local_path, item_name});
    log_(4, kLogAddNewItemSize, {attributes, size});
    log_(4, kLogAddNewItemTimes, {creation_time, last_access_time, last_write_time});
  }
  MetadataCacheItem item;
  item.item_name = item_name;
  item.size = size;
  item.creation_time = creation_time;
  item.last_access_time = last_access_time;
  item.last_write_time = last_write_time;
  item.attributes = attributes;
  PutItem(local_path, std::move(item));
}

void MetadataCache::PutItem(std::u16string_view path, MetadataCacheItem item) {
  std::lock_guard lock(mutex_);
  const auto it = items_.lower_bound(path);
  if (it != items_.end() && it->first == path) {
    it->second = std::move(item);
  } else {
    items_.emplace_hint(it, std::u16string(path), std::move(item));
  }
}

bool MetadataCache::NoItemInCache(std::u16string_view path) {
  if (log_) log_(4, kLogNoItemCheck, {path});
  bool absent;
  {
    std::lock_guard lock(mutex_);
    absent = !items_.contains(path);
  }
  if (log_) log_(4, kLogNoItemResult, {path, absent ? u"true" : u"false"});
  return absent;
}

std::optional<MetadataCacheItem> MetadataCache::GetItemCopy(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(path);
  if (it == items_.end()) return std::nullopt;
  return it->second;
}

std::optional<uint32_t> MetadataCache::GetItemAttributes(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(path);
  if (it == items_.end()) return std::nullopt;
  return it->second.attributes;
}

bool MetadataCache::UpdateCacheItem(std::u16string_view path, int32_t attributes, uint64_t size,
                                    uint64_t creation_time, uint64_t last_access_time,
                                    uint64_t last_write_time) {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(path);
  if (it == items_.end()) return false;
  MetadataCacheItem& item = it->second;
  item.size = size;
  // A negative attribute value and zero times mean "unknown here, keep what is cached".
  if (attributes >= 0) item.attributes = static_cast<uint32_t>(attributes);
  if (creation_time > 0) item.creation_time = creation_time;
  if (last_access_time > 0) item.last_access_time = last_access_time;
  if (last_write_time > 0) item.last_write_time = last_write_time;
  return true;
}

MetadataCache::Map::iterator MetadataCache::EraseBelow(Map::iterator first,
                                                       std::u16string_view path) {
  while (first != items_.end() && IsBelow(first->first, path)) first = items_.erase(first);
  return first;
}

bool MetadataCache::RemoveCacheItem(std::u16string_view path, bool recursive) {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(path);
  if (it == items_.end()) return false;
  if (recursive && it->second.IsFolder()) EraseBelow(std::next(it), path);
  items_.erase(it);
  return true;
}

std::optional<MetadataCacheItem> MetadataCache::RenameCacheItem(std::u16string_view old_path,
                                                                std::u16string_view new_path) {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(old_path);
  if (it == items_.end()) return std::nullopt;
  if (old_path == new_path) {
    // Dropping the destination first would drop the item itself; a rename onto itself keeps it.
    it->second.item_name = LastComponent(new_path);
    return it->second;
  }
  if (IsBelow(new_path, old_path) || IsBelow(old_path, new_path)) return std::nullopt;

  // Clear the destination and its subtree. Neither path lies below the other, so this never
  // touches the records being moved, and afterwards no moved key can collide with one left over.
  auto destination = items_.lower_bound(new_path);
  if (destination != items_.end() && destination->first == new_path) {
    destination = items_.erase(destination);
  }
  EraseBelow(destination, new_path);

  // Move the nodes themselves: each record keeps its storage and only its key is rewritten.
  const bool folder = it->second.IsFolder();
  auto next = std::next(it);
  auto node = items_.extract(it);
  node.key().replace(0, old_path.size(), new_path);
  node.mapped().item_name = LastComponent(new_path);
  MetadataCacheItem moved = node.mapped();
  auto last = items_.insert(std::move(node)).position;
  if (folder) {
    // The children come out in key order, and swapping the common prefix keeps that order, so
    // each one belongs directly after the one moved before it; the hint makes each insertion
    // cost constant time instead of a search.
    while (next != items_.end() && IsBelow(next->first, old_path)) {
      auto child = items_.extract(next++);
      child.key().replace(0, old_path.size(), new_path);
      last = items_.insert(std::next(last), std::move(child));
    }
  }
  return moved;
}

std::optional<bool> MetadataCache::GetLocked(std::u16string_view path) const {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(path);
  if (it == items_.end()) return std::nullopt;
  return it->second.locked;
}

bool MetadataCache::SetLocked(std::u16string_view path, bool locked) {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(path);
  if (it == items_.end()) return false;
  it->second.locked = locked;
  return true;
}

bool MetadataCache::MarkCreateFailed(std::u16string_view path) {
  std::lock_guard lock(mutex_);
  const auto it = items_.find(path);
  if (it == items_.end()) return false;
  it->second.create_failed = true;
  return true;
}

void MetadataCache::ClearCache() {
  std::lock_guard lock(mutex_);
  items_.clear();
}

std::size_t MetadataCache::Count() const {
  std::lock_guard lock(mutex_);
  return items_.size();
}

std::vector<std::u16string> MetadataCache::Keys() const {
  std::vector<std::u16string> keys;
  {
    std::lock_guard lock(mutex_);
    keys.reserve(items_.size());
    for (const auto& entry : items_) keys.push_back(entry.first);
  }
  std::sort(keys.begin(), keys.end(), KeyLess());
  return keys;
}

std::unique_lock<std::recursive_mutex> MetadataCache::HoldLock() const {
  return std::unique_lock(mutex_);
}

}  // namespace ostrasync::tracking
