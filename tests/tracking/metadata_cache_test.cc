// Checks the metadata cache: key order, subtree removal and rename, partial updates, the lock
// flags, its log lines, and concurrent use.
#include "tracking/metadata_cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace ostrasync::tracking {
namespace {

MetadataCacheItem Item(std::u16string name, uint32_t attributes = 0, uint64_t size = 0) {
  MetadataCacheItem item;
  item.item_name = std::move(name);
  item.attributes = attributes;
  item.size = size;
  item.creation_time = 11;
  item.last_access_time = 12;
  item.last_write_time = 13;
  return item;
}

void PutAll(MetadataCache& cache, std::initializer_list<std::u16string_view> folders,
            std::initializer_list<std::u16string_view> files) {
  for (std::u16string_view path : folders) {
    cache.PutItem(path, Item(std::u16string(path.substr(path.rfind(u'\\') + 1)), kFolderAttribute));
  }
  for (std::u16string_view path : files) {
    cache.PutItem(path, Item(std::u16string(path.substr(path.rfind(u'\\') + 1)), 0, path.size()));
  }
}

using Keys = std::vector<std::u16string>;

TEST(MetadataCacheTest, KeysAreOrderedByLengthThenCaseSensitiveUnits) {
  MetadataCache cache;
  PutAll(cache, {u"\\D"}, {u"\\a", u"\\A", u"\\D\\x", u"\\d\\x", u"\\zz", u"\\D!"});
  EXPECT_EQ(cache.Keys(), (Keys{u"\\A", u"\\D", u"\\a", u"\\D!", u"\\zz", u"\\D\\x", u"\\d\\x"}));

  // Case matters for lookups and for subtrees alike.
  ASSERT_TRUE(cache.RemoveCacheItem(u"\\a", false));
  EXPECT_TRUE(cache.NoItemInCache(u"\\a"));
  EXPECT_FALSE(cache.RemoveCacheItem(u"\\d", true));
  EXPECT_TRUE(cache.RemoveCacheItem(u"\\D", true));
  EXPECT_EQ(cache.Keys(), (Keys{u"\\A", u"\\D!", u"\\zz", u"\\d\\x"}));
  cache.ClearCache();
  EXPECT_EQ(cache.Count(), 0u);
}

TEST(MetadataCacheTest, RecursiveRemoveTakesTheWholeSubtreeAndNoSibling) {
  MetadataCache cache;
  PutAll(cache, {u"\\", u"\\C", u"\\D", u"\\D\\sub"},
         {u"\\D\\x", u"\\D\\sub\\y", u"\\Dx", u"\\D!", u"\\D.txt", u"\\C\\z", u"\\E"});
  EXPECT_TRUE(cache.RemoveCacheItem(u"\\D", true));
  EXPECT_EQ(cache.Keys(), (Keys{u"\\", u"\\C", u"\\E", u"\\D!", u"\\Dx", u"\\C\\z", u"\\D.txt"}));

  // Without the flag only the item itself goes.
  PutAll(cache, {u"\\F"}, {u"\\F\\x"});
  EXPECT_TRUE(cache.RemoveCacheItem(u"\\F", false));
  EXPECT_FALSE(cache.NoItemInCache(u"\\F\\x"));
}

TEST(MetadataCacheTest, FolderRenameMovesTheSubtreeUnchanged) {
  MetadataCache cache;
  PutAll(cache, {u"\\D", u"\\D\\sub"}, {u"\\D\\x", u"\\D\\sub\\y", u"\\Dx", u"\\D!"});
  ASSERT_TRUE(cache.SetLocked(u"\\D\\x", true));
  const auto before = cache.GetItemCopy(u"\\D\\sub\\y");

  const auto moved = cache.RenameCacheItem(u"\\D", u"\\Folder");
  ASSERT_TRUE(moved.has_value());
  EXPECT_EQ(moved->item_name, u"Folder");
  EXPECT_TRUE(moved->IsFolder());
  EXPECT_EQ(cache.GetItemCopy(u"\\Folder"), moved);
  EXPECT_EQ(cache.Keys(), (Keys{u"\\D!", u"\\Dx", u"\\Folder", u"\\Folder\\x", u"\\Folder\\sub",
                                u"\\Folder\\sub\\y"}));
  EXPECT_EQ(cache.GetItemCopy(u"\\Folder\\sub\\y"), before);  // children keep their names
  EXPECT_EQ(cache.GetLocked(u"\\Folder\\x"), true);
}

TEST(MetadataCacheTest, RenameOverAnExistingFolderDropsItsWholeSubtreeFirst) {
  MetadataCache cache;
  PutAll(cache, {u"\\D", u"\\E", u"\\E\\deep"},
         {u"\\D\\x", u"\\E\\x", u"\\E\\old", u"\\E\\deep\\z", u"\\E!"});
  cache.PutItem(u"\\D\\x", Item(u"x", 0, 42));

  ASSERT_TRUE(cache.RenameCacheItem(u"\\D", u"\\E").has_value());
  // No stale child of the old \E survives, and the clashing child is the moved one.
  EXPECT_EQ(cache.Keys(), (Keys{u"\\E", u"\\E!", u"\\E\\x"}));
  EXPECT_EQ(cache.GetItemCopy(u"\\E\\x")->size, 42u);

  // A file renamed over a folder leaves nothing of the folder behind.
  PutAll(cache, {}, {u"\\f"});
  ASSERT_TRUE(cache.RenameCacheItem(u"\\f", u"\\E").has_value());
  EXPECT_EQ(cache.Keys(), (Keys{u"\\E", u"\\E!"}));
  EXPECT_FALSE(cache.GetItemCopy(u"\\E")->IsFolder());
}

TEST(MetadataCacheTest, ImpossibleRenamesChangeNothing) {
  MetadataCache cache;
  PutAll(cache, {u"\\D", u"\\D\\sub"}, {u"\\D\\sub\\y", u"\\T"});
  const Keys all = cache.Keys();

  EXPECT_FALSE(cache.RenameCacheItem(u"\\missing", u"\\T").has_value());  // \T survives
  EXPECT_FALSE(cache.RenameCacheItem(u"\\D", u"\\D\\sub\\D").has_value());
  EXPECT_FALSE(cache.RenameCacheItem(u"\\D\\sub", u"\\D").has_value());
  EXPECT_EQ(cache.Keys(), all);

  // Renaming a path onto itself keeps the record instead of dropping it as the destination.
  EXPECT_EQ(cache.RenameCacheItem(u"\\D", u"\\D")->item_name, u"D");
  EXPECT_EQ(cache.Keys(), all);
}

TEST(MetadataCacheTest, UpdateOverwritesOnlyTheKnownValues) {
  MetadataCache cache;
  PutAll(cache, {}, {u"\\f"});
  ASSERT_TRUE(cache.UpdateCacheItem(u"\\f", -1, 99, 0, 0, 0));
  EXPECT_EQ(cache.GetItemCopy(u"\\f"), Item(u"f", 0, 99));
  ASSERT_TRUE(cache.UpdateCacheItem(u"\\f", 0x100002, 5, 21, 0, 23));
  MetadataCacheItem expected = Item(u"f", 0x100002, 5);
  expected.creation_time = 21;
  expected.last_write_time = 23;
  EXPECT_EQ(cache.GetItemCopy(u"\\f"), expected);
  EXPECT_FALSE(cache.UpdateCacheItem(u"\\F", 0, 1, 1, 1, 1));
  EXPECT_EQ(cache.GetItemAttributes(u"\\F"), std::nullopt);
}

TEST(MetadataCacheTest, NewRecordsStartUnlockedAndReplaceOldOnes) {
  std::vector<std::u16string> lines;
  MetadataCache cache([&](int level, std::u16string_view format,
                          std::initializer_list<engine::LogArg> args) {
    EXPECT_EQ(level, 4);
    lines.push_back(engine::FormatLogMessage(format, args));
  });
  PutAll(cache, {}, {u"\\f"});
  EXPECT_TRUE(cache.SetLocked(u"\\f", true));
  EXPECT_TRUE(cache.MarkCreateFailed(u"\\f"));
  EXPECT_EQ(cache.GetLocked(u"\\f"), true);
  EXPECT_TRUE(cache.GetItemCopy(u"\\f")->create_failed);
  EXPECT_FALSE(cache.SetLocked(u"\\g", true));

  cache.AddNewItemToCache(u"\\f", u"f", 0x2, 7, 1, 2, 3);
  MetadataCacheItem expected = Item(u"f", 0x2, 7);
  expected.creation_time = 1;
  expected.last_access_time = 2;
  expected.last_write_time = 3;
  EXPECT_EQ(cache.GetItemCopy(u"\\f"), expected);  // with both flags clear

  EXPECT_TRUE(cache.NoItemInCache(u"\\g"));
  EXPECT_EQ(lines, (std::vector<std::u16string>{
                       u"AddNewItemToCache LocalPath(\\f), ItemName(f)",
                       u"  Attributes(2), Size(7)",
                       u"  CreationTime(1), LastAccessTime(2), LastWriteTime(3)",
                       u"NoItemInCache check for '\\g'",
                       u"NoItemInCache check for '\\g', result: true"}));
}

// Verify that readers never see a half-renamed folder record and that concurrent subtree moves
// and single-item writes lose nothing.
TEST(MetadataCacheTest, ConcurrentReadersAndWritersSeeWholeRecords) {
  MetadataCache cache;
  constexpr int kMovers = 3;
  constexpr int kChildren = 20;
  auto folder = [](int mover, bool renamed) {
    return std::u16string(u"\\m") + char16_t(u'0' + mover) + (renamed ? u"b" : u"a");
  };
  for (int m = 0; m < kMovers; ++m) {
    cache.PutItem(folder(m, false), Item(folder(m, false).substr(1), kFolderAttribute));
    for (int c = 0; c < kChildren; ++c) {
      cache.PutItem(folder(m, false) + u"\\c" + char16_t(u'A' + c), Item(u"c"));
    }
  }

  std::atomic<bool> stop{false};
  std::atomic<int> faults{0};
  std::vector<std::thread> writers;
  for (int m = 0; m < kMovers; ++m) {
    writers.emplace_back([&, m] {
      for (int round = 0; round < 300; ++round) {  // an even count brings each folder home
        if (!cache.RenameCacheItem(folder(m, round % 2 == 1), folder(m, round % 2 == 0))) faults++;
        const std::u16string file = folder(m, false) + u"w" + char16_t(u'a' + round % 26);
        cache.AddNewItemToCache(file, file.substr(1), 0, round, 1, 1, 1);
        if (!cache.UpdateCacheItem(file, -1, round + 1, 0, 0, 0)) faults++;
        cache.RemoveCacheItem(file, true);
      }
    });
  }
  std::thread reader([&] {
    while (!stop.load()) {
      for (int m = 0; m < kMovers; ++m) {
        for (bool renamed : {false, true}) {
          const auto item = cache.GetItemCopy(folder(m, renamed));
          if (item && u"\\" + item->item_name != folder(m, renamed)) faults++;
        }
      }
    }
  });
  for (std::thread& thread : writers) thread.join();
  stop = true;
  reader.join();

  EXPECT_EQ(faults.load(), 0);
  EXPECT_EQ(cache.Count(), static_cast<std::size_t>(kMovers * (kChildren + 1)));
  for (int m = 0; m < kMovers; ++m) EXPECT_FALSE(cache.NoItemInCache(folder(m, false) + u"\\cA"));
}

}  // namespace
}  // namespace ostrasync::tracking
