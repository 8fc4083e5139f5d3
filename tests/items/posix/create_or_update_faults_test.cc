// Every OS call of creating, updating and listing an item failing in turn: the failure is
// reported as 0x21000041 with the OS's code and a log line saying where, the pin, the cache and
// the pending entries say what is on disk, and no task is left behind.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <functional>

#include "items/placeholder_flags.h"
#include "items_host.h"
#include "platform/testing/fault_injecting_platform.h"

namespace ostrasync::testing {
namespace {

namespace fs = std::filesystem;
namespace flag = items::placeholder_flag;
using platform::testing::FaultInjectingPlatform;
using platform::testing::FaultRule;
using platform::testing::FaultRun;
using platform::testing::ForEachFaultPoint;
using tracking::PendingOpType;

constexpr uint32_t kInjected = platform::win32::kAccessDenied;
constexpr uint32_t kInjectedHResult = 0x80070005;

// The lines that say where a failure came from; one of them must be in the log.
const char* const kExplanations[] = {
    "Placeholder create/update failed for", "Placeholder create/update finished for", "Failed to get attributes for",
    "Failed to check if local file is newer", "Failed to remove pinned attribute", "Failed to get excluded state",
    "Failed to get the placeholder state",
};

// One active component over a fault-injecting emulation, for a whole sweep: each fault point
// works on items of its own (every name holds "Qx7", which the rule matches on).
class CreateOrUpdateFaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host_.Start()); }

  // Runs `act` once per fault point on the items `prepare` made for that point, then `check`.
  void Sweep(const std::function<void(const std::string& dir)>& prepare,
             const std::function<int(const std::string& dir)>& act,
             const std::function<void(const std::string& dir, int result)>& check) {
    FaultRule rule;
    rule.path_contains = u"Qx7";
    rule.win32 = kInjected;
    int result = 0;
    std::string dir;
    const int runs = ForEachFaultPoint(
        rule,
        [&](const FaultRun& run) {
          dir = "\\Qx7dir" + std::to_string(run.point);
          fs::create_directory(host_.Posix(dir));
          prepare(dir);
          (void)host_.OsLastError();  // reading it resets it
          host_.ClearLog();
          const int before = faults_.injected_count();
          faults_.ClearCalls();
          faults_.AddRule(run.rule);
          result = act(dir);
          faults_.ClearRules();
          return faults_.injected_count() > before;
        },
        [&](const FaultRun& run, bool injected) {
          std::string where = "nothing";
          for (const auto& call : faults_.calls()) {
            if (call.injected) where = call.operation;
          }
          SCOPED_TRACE("fault point " + std::to_string(run.point) + ", failing " + where);
          if (!injected) {
            EXPECT_EQ(result, 0) << host_.LastErrorText();
          } else if (result != 0) {
            EXPECT_EQ(result, OSTRASYNC_ERR_OS_CALL);
            const uint32_t os_error = host_.OsLastError();
            if (!host_.Logged("Failed to get the placeholder state")) {
              EXPECT_TRUE(os_error == kInjected || os_error == kInjectedHResult) << std::hex << os_error;
            }
            bool explained = false;
            for (const char* line : kExplanations) explained = explained || host_.Logged(line);
            EXPECT_TRUE(explained);
          }
          EXPECT_EQ(engine().task_registry().Count(), 0u);
          check(dir, result);
        },
        200);
    EXPECT_GT(runs, 3);
  }

  engine::SyncEngine& engine() { return host_.engine(); }
  std::u16string Wide(const std::string& text) { return platform::Utf8ToUtf16(text); }
  bool TakePendingUpdate(const std::string& path, bool folder) {
    return engine().pending_operations().CheckPendingOrRemove(Wide(path), PendingOpType::kUpdate, folder);
  }
  // A cached item exists on disk, and one made by a create is cached; nothing awaits the echo of
  // an item that was never made.
  void ExpectCacheAndPendingMatchDisk(const std::string& path, bool folder) {
    const bool on_disk = fs::exists(host_.Posix(path));
    EXPECT_EQ(engine().metadata_cache().GetItemCopy(Wide(path)).has_value(), on_disk) << path;
    if (!on_disk) {
      EXPECT_FALSE(TakePendingUpdate(path, folder)) << path;
    }
  }

  TempTree tree_;
  EmulatedPlatform base_{tree_.state()};
  FaultInjectingPlatform faults_{base_};
  ItemsHost host_{faults_, tree_, &base_};
};

TEST_F(CreateOrUpdateFaultsTest, CreateFile) {
  Sweep([](const std::string&) {},
        [&](const std::string& dir) {
          return host_.Item(OSTRASYNC_METHOD_CREATE_FILE, (dir + "\\Qx7file.txt").c_str(), 0, 100);
        },
        [&](const std::string& dir, int result) {
          const std::string path = dir + "\\Qx7file.txt";
          ExpectCacheAndPendingMatchDisk(path, false);
          if (result == 0) {
            const ItemState file = host_.Look(path);
            EXPECT_TRUE(file.placeholder() && file.in_sync());
            EXPECT_EQ(file.identity(), Wide(path));
          }
        });
}

// The method looks for the name once; a file the user makes there after that look, just before
// the placeholder would be made, is kept as it is, the method fails, and the file stays the
// user's: no record of the host's item, no pending echo.
TEST_F(CreateOrUpdateFaultsTest, CreateFileLooksOnceAndKeepsAFileMadeJustBeforeItsCreation) {
  fs::create_directory(host_.Posix("\\Qx7race"));
  const std::string path = "\\Qx7race\\Qx7file.txt";
  FaultRule rule;
  rule.operation = "CloudFiles.CreatePlaceholders";
  rule.path_contains = u"Qx7race";
  rule.before_call = [&] { std::ofstream(host_.Posix(path)) << "the user's"; };
  faults_.ClearCalls();
  faults_.AddRule(rule);
  const int result = host_.Item(OSTRASYNC_METHOD_CREATE_FILE, path.c_str(), 0, 100);
  faults_.ClearRules();
  EXPECT_EQ(result, OSTRASYNC_ERR_OS_CALL);
  int looks = 0;
  for (const auto& call : faults_.calls()) {
    if (call.operation == "CloudFiles.CreatePlaceholders") break;
    looks += call.operation == "FileSystem.ReadAttributes";
  }
  EXPECT_EQ(looks, 1);
  std::ifstream in(host_.Posix(path));
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(content, "the user's");
  EXPECT_FALSE(host_.Look(path).placeholder());
  // The user's file is not the create's echo: nothing waits to swallow its change, and the cache
  // does not hold the host's item for it.
  EXPECT_FALSE(TakePendingUpdate(path, false));
  EXPECT_FALSE(engine().metadata_cache().GetItemCopy(Wide(path)).has_value());
}

TEST_F(CreateOrUpdateFaultsTest, CreateFolder) {
  Sweep([](const std::string&) {},
        [&](const std::string& dir) {
          return host_.Item(OSTRASYNC_METHOD_CREATE_FOLDER, (dir + "\\Qx7sub").c_str(), OSTRASYNC_ATTR_HIDDEN);
        },
        [&](const std::string& dir, int result) {
          const std::string path = dir + "\\Qx7sub";
          ExpectCacheAndPendingMatchDisk(path, true);
          if (result == 0) {
            const ItemState folder = host_.Look(path);
            EXPECT_TRUE(folder.placeholder() && folder.in_sync());
            EXPECT_NE(folder.attributes & platform::attr::kHidden, 0u);
            EXPECT_EQ(folder.find.creation_time, static_cast<uint64_t>(kCreated));
          }
        });
}

TEST_F(CreateOrUpdateFaultsTest, UpdateOfAPinnedFileThatStaysPinned) {
  tracking::MetadataCacheItem known;
  known.item_name = u"Qx7pin.txt";
  known.size = 4;
  known.attributes = OSTRASYNC_ATTR_PINNED;
  Sweep(
      [&](const std::string& dir) {
        host_.MakeHydratedPlaceholder(dir + "\\Qx7pin.txt", "data", true);
        engine().metadata_cache().PutItem(Wide(dir + "\\Qx7pin.txt"), known);
      },
      [&](const std::string& dir) {
        return host_.Item(OSTRASYNC_METHOD_UPDATE_FILE, (dir + "\\Qx7pin.txt").c_str(), OSTRASYNC_ATTR_PINNED, 7);
      },
      [&](const std::string& dir, int result) {
        const std::string path = dir + "\\Qx7pin.txt";
        const ItemState file = host_.Look(path);
        // Only a refused attempt to put the pin back can lose it.
        if (!host_.Logged("Failed to set file attributes (2)")) {
          EXPECT_TRUE(file.pinned());
        }
        const auto cached = engine().metadata_cache().GetItemCopy(Wide(path));
        ASSERT_TRUE(cached.has_value());
        if (result == 0) {
          EXPECT_TRUE(file.in_sync());
          EXPECT_EQ(file.find.file_size, 7);
          EXPECT_EQ(cached->size, 7u);
        } else if (file.find.file_size == 4) {
          EXPECT_EQ(*cached, known) << "the cache changes only with the placeholder";
          EXPECT_EQ(host_.ReadFile(path), "data");
        }
        EXPECT_FALSE(TakePendingUpdate(path, false));
      });
}

TEST_F(CreateOrUpdateFaultsTest, ListingOverANewerLocalFile) {
  Sweep([&](const std::string& dir) { host_.MakeHydratedPlaceholder(dir + "\\Qx7new.txt", "edited", false); },
        [&](const std::string& dir) {
          items::ListedItem item;
          item.name = u"Qx7new.txt";
          item.size = 3;
          item.last_write_time = 131000000000000000;  // older than the local edit
          return engine().placeholder_manager()->ListItem(Wide(dir), item, flag::kFromListing | flag::kMarkSynced);
        },
        [&](const std::string& dir, int) {
          EXPECT_EQ(host_.ReadFile(dir + "\\Qx7new.txt"), "edited") << "the local edit is never overwritten";
        });
}

}  // namespace
}  // namespace ostrasync::testing
