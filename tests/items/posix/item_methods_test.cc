// CreateFile, CreateFolder, UpdateFile and UpdateFolder through the exports on the Linux
// emulation, and listed items through the placeholder manager: what ends up on disk, in the
// metadata cache and in the pending-operation table.
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "items/placeholder_flags.h"
#include "items_host.h"
#include "platform/posix/placeholder_xattrs.h"
#include "platform/posix/windows_attributes.h"

namespace ostrasync::engine {
// Reaches the create routine that listing and change tracking call, below the methods' checks.
class SyncEngineTestPeer {
 public:
  static int CreateFileInt(SyncEngine& engine, std::u16string_view path, uint32_t attributes, int64_t size,
                           uint32_t flags) {
    return engine.CreateFileInt(path, attributes, size, 0, 0, 0, flags);
  }
};
}  // namespace ostrasync::engine

namespace ostrasync::testing {
namespace {

namespace fs = std::filesystem;
namespace attr = platform::attr;
namespace flag = items::placeholder_flag;
using tracking::PendingOpType;

constexpr int kCreateFile = OSTRASYNC_METHOD_CREATE_FILE;
constexpr int kCreateFolder = OSTRASYNC_METHOD_CREATE_FOLDER;
constexpr int kUpdateFile = OSTRASYNC_METHOD_UPDATE_FILE;
constexpr int kUpdateFolder = OSTRASYNC_METHOD_UPDATE_FOLDER;
constexpr int64_t kOlder = 131000000000000000;  // 2016, before anything written here
constexpr int64_t kLater = 140000000000000000;  // 2044, after it

class ItemMethodsTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(host().Start()); }
  ItemsHost& host() { return world_.host; }
  engine::SyncEngine& engine() { return host().engine(); }
  // Consumes the path's pending Update entry, if there is one.
  bool TakePendingUpdate(const std::u16string& path, bool folder) {
    return engine().pending_operations().CheckPendingOrRemove(path, PendingOpType::kUpdate, folder);
  }
  int List(const std::u16string& name, int64_t size, int64_t written, uint32_t attributes = 0) {
    items::ListedItem item;
    item.name = name;
    item.size = size;
    item.creation_time = kCreated;
    item.last_access_time = kAccessed;
    item.last_write_time = static_cast<uint64_t>(written);
    item.attributes = attributes;
    return engine().placeholder_manager()->ListItem(u"\\", item, flag::kFromListing | flag::kMarkSynced);
  }
  // Every path below the temporary tree's folder (which holds the root), for before/after checks.
  std::set<std::string> Tree() {
    std::set<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(world_.tree.path())) paths.insert(entry.path());
    return paths;
  }

  ItemsWorld world_;
};

TEST_F(ItemMethodsTest, CreatedPlaceholdersCarryTheHostsValues) {
  fs::create_directory(host().Posix("\\docs"));
  ASSERT_EQ(host().Item(kCreateFolder, "\\docs\\sub", OSTRASYNC_ATTR_HIDDEN), 0) << host().LastErrorText();
  ASSERT_EQ(host().Item(kCreateFile, "\\docs\\a.txt", OSTRASYNC_ATTR_READ_ONLY, 5000), 0) << host().LastErrorText();

  const ItemState file = host().Look("\\docs\\a.txt");
  ASSERT_TRUE(file.placeholder());
  EXPECT_FALSE(file.hydrated()) << "the content stays at the host until it is read";
  EXPECT_TRUE(file.in_sync());
  EXPECT_EQ(file.identity(), u"\\docs\\a.txt");
  EXPECT_EQ(file.info.identity.size(), (11u + 1) * 2) << "the identity ends with its NUL";
  EXPECT_EQ(file.find.file_size, 5000);
  EXPECT_EQ(file.find.creation_time, static_cast<uint64_t>(kCreated));
  EXPECT_EQ(file.find.last_write_time, static_cast<uint64_t>(kWritten));
  EXPECT_NE(file.attributes & attr::kReadOnly, 0u);
  EXPECT_FALSE(file.pinned());

  const ItemState folder = host().Look("\\docs\\sub");
  ASSERT_TRUE(folder.placeholder());
  EXPECT_NE(folder.attributes & attr::kDirectory, 0u);
  EXPECT_NE(folder.attributes & attr::kHidden, 0u);
  EXPECT_TRUE(folder.in_sync());
  EXPECT_EQ(folder.identity(), u"\\docs\\sub");
  EXPECT_EQ(folder.find.creation_time, static_cast<uint64_t>(kCreated));
  EXPECT_EQ(folder.find.last_write_time, static_cast<uint64_t>(kWritten));

  const auto cached = engine().metadata_cache().GetItemCopy(u"\\docs\\a.txt");
  ASSERT_TRUE(cached.has_value());
  EXPECT_EQ(cached->item_name, u"a.txt");
  EXPECT_EQ(cached->size, 5000u);
  EXPECT_EQ(cached->attributes, static_cast<uint32_t>(OSTRASYNC_ATTR_READ_ONLY));
  EXPECT_EQ(engine().metadata_cache().GetItemAttributes(u"\\docs\\sub"),
            static_cast<uint32_t>(OSTRASYNC_ATTR_FOLDER | OSTRASYNC_ATTR_HIDDEN));
}

TEST_F(ItemMethodsTest, PinnedItemsArePinnedAndTheMethodNamesTheKind) {
  // An empty file is complete as soon as it exists, so pinning it needs nothing from the host.
  ASSERT_EQ(host().Item(kCreateFile, "\\kept.txt", OSTRASYNC_ATTR_PINNED, 0), 0) << host().LastErrorText();
  EXPECT_TRUE(host().Look("\\kept.txt").pinned());
  EXPECT_TRUE(host().Look("\\kept.txt").in_sync());
  ASSERT_EQ(host().Item(kCreateFolder, "\\kept", OSTRASYNC_ATTR_PINNED), 0) << host().LastErrorText();
  EXPECT_TRUE(host().Look("\\kept").pinned());
  ASSERT_EQ(host().Item(kCreateFile, "\\both.txt", OSTRASYNC_ATTR_PINNED | OSTRASYNC_ATTR_UNPINNED, 0), 0);
  EXPECT_EQ(host().Look("\\both.txt").attributes & (attr::kPinned | attr::kUnpinned), 0u) << "both ask for neither";

  ASSERT_EQ(host().Item(kCreateFile, "\\notafolder", OSTRASYNC_ATTR_FOLDER, 3), 0);
  EXPECT_EQ(host().Look("\\notafolder").attributes & attr::kDirectory, 0u);
  EXPECT_EQ(host().Look("\\notafolder").find.file_size, 3);
}

TEST_F(ItemMethodsTest, UpdateFileDehydratesAndRewritesTheMetadata) {
  host().MakeHydratedPlaceholder("\\report.txt", "hello world", false);
  ASSERT_TRUE(host().Look("\\report.txt").hydrated());

  ASSERT_EQ(host().Item(kUpdateFile, "\\report.txt", OSTRASYNC_ATTR_HIDDEN, 42), 0) << host().LastErrorText();
  ItemState file = host().Look("\\report.txt");
  EXPECT_FALSE(file.hydrated());
  EXPECT_TRUE(file.in_sync());
  EXPECT_EQ(file.find.file_size, 42);
  EXPECT_EQ(file.find.creation_time, static_cast<uint64_t>(kCreated));
  EXPECT_NE(file.attributes & attr::kHidden, 0u);
  EXPECT_EQ(file.identity(), u"\\report.txt");

  // Dates at or before 1970 are "not given": the file keeps its own.
  ASSERT_EQ(host().Item(kUpdateFile, "\\report.txt", 0, 42, 0x019DB1DED53E8000, 1, 0), 0);
  EXPECT_EQ(host().Look("\\report.txt").find.creation_time, static_cast<uint64_t>(kCreated));
  EXPECT_FALSE(TakePendingUpdate(u"\\report.txt", false)) << "the method takes back its own entry";
}

TEST_F(ItemMethodsTest, UpdateFileLeavesTheServersTimesOrTheFilesOwnThroughTheDehydration) {
  // What a program sees with stat (access, write) and what the placeholder's record keeps (creation).
  struct Times {
    uint64_t accessed, written, created;
  };
  auto times_of = [&](const std::string& relative) {
    struct stat st {};
    EXPECT_EQ(stat(host().Posix(relative).c_str(), &st), 0);
    platform::xattrs::BasicRecord basic;
    const std::string posix = host().Posix(relative);
    EXPECT_EQ(platform::xattrs::ReadBasic(platform::xattrs::Target::Path(posix), &basic), 0);
    return Times{platform::FileTimeFromTimespec(st.st_atim), platform::FileTimeFromTimespec(st.st_mtim),
                 basic.creation_time};
  };
  auto expect_times = [&](const std::string& relative, const Times& expected) {
    const Times times = times_of(relative);
    EXPECT_EQ(times.accessed, expected.accessed) << relative;
    EXPECT_EQ(times.written, expected.written) << relative;
    EXPECT_EQ(times.created, expected.created) << relative;
    EXPECT_EQ(host().Look(relative).find.last_write_time, expected.written) << relative;
  };

  // The server's file changed: its new size and times arrive, and the local copy goes.
  host().MakeHydratedPlaceholder("\\changed.txt", "the server's old content", false);
  ASSERT_EQ(host().Item(kUpdateFile, "\\changed.txt", 0, 42, kCreated, kAccessed, kWritten), 0)
      << host().LastErrorText();
  EXPECT_FALSE(host().Look("\\changed.txt").hydrated());
  EXPECT_EQ(host().Look("\\changed.txt").find.file_size, 42);
  expect_times("\\changed.txt", {kAccessed, kWritten, kCreated});

  // Without times the file keeps the ones it had, whatever the new size.
  host().MakeHydratedPlaceholder("\\same.txt", "content", false);
  const Times old{kOlder + 1, kOlder + 2, kOlder + 3};
  {
    platform::OpenRequest writer;
    writer.desired_access = platform::access::kWriteAttributes;
    platform::FileHandlePtr handle;
    ASSERT_EQ(world_.platform.file_system().Open(host().Full("\\same.txt"), writer, &handle), 0u);
    platform::FsMetadata basic;
    basic.creation_time = old.created;
    basic.last_access_time = old.accessed;
    basic.last_write_time = old.written;
    ASSERT_EQ(world_.platform.file_system().WriteBasicInformation(*handle, basic), 0u);
  }
  ASSERT_EQ(host().Item(kUpdateFile, "\\same.txt", 0, 4096 + 1, 0, 0, 0), 0) << host().LastErrorText();
  EXPECT_FALSE(host().Look("\\same.txt").hydrated());
  EXPECT_EQ(host().Look("\\same.txt").find.file_size, 4096 + 1);
  expect_times("\\same.txt", old);
}

TEST_F(ItemMethodsTest, UpdateKeepsAPinOnlyWhenTheNewAttributesHoldIt) {
  host().MakeHydratedPlaceholder("\\dropped.txt", "data", true);
  host().MakeHydratedPlaceholder("\\kept.txt", "data", true);
  ASSERT_TRUE(host().Look("\\dropped.txt").pinned());

  ASSERT_EQ(host().Item(kUpdateFile, "\\dropped.txt", 0, 4), 0) << host().LastErrorText();
  EXPECT_FALSE(host().Look("\\dropped.txt").pinned());
  EXPECT_FALSE(host().Look("\\dropped.txt").hydrated());
  ASSERT_EQ(host().Item(kUpdateFile, "\\kept.txt", OSTRASYNC_ATTR_PINNED, 4), 0) << host().LastErrorText();
  EXPECT_TRUE(host().Look("\\kept.txt").pinned());
  EXPECT_TRUE(host().Look("\\kept.txt").in_sync());
}

TEST_F(ItemMethodsTest, UpdateFolderRewritesDatesAndAttributes) {
  ASSERT_EQ(host().Item(kCreateFolder, "\\f", 0), 0);
  // An item held by an Office lock file stays held after the update.
  ASSERT_TRUE(engine().metadata_cache().SetLocked(u"\\f", true));
  ASSERT_EQ(host().Item(kUpdateFolder, "\\f", OSTRASYNC_ATTR_HIDDEN, 0, kAccessed, kAccessed, kAccessed), 0)
      << host().LastErrorText();
  const ItemState folder = host().Look("\\f");
  EXPECT_NE(folder.attributes & attr::kHidden, 0u);
  EXPECT_EQ(folder.find.creation_time, static_cast<uint64_t>(kAccessed));
  EXPECT_EQ(folder.find.last_write_time, static_cast<uint64_t>(kAccessed));
  EXPECT_TRUE(folder.in_sync());
  EXPECT_EQ(engine().metadata_cache().GetItemCopy(u"\\f")->last_write_time, static_cast<uint64_t>(kAccessed));
  EXPECT_EQ(engine().metadata_cache().GetLocked(u"\\f"), true);
}

TEST_F(ItemMethodsTest, KeysTakeTheSpellingOnDiskAndTheIdentityTheHosts) {
  fs::create_directory(host().Posix("\\Docs"));
  ASSERT_EQ(host().Item(kCreateFile, "\\DOCS\\a.txt", 0, 1), 0) << host().LastErrorText();
  EXPECT_TRUE(host().Look("\\Docs\\a.txt").placeholder());
  EXPECT_EQ(host().Look("\\Docs\\a.txt").identity(), u"\\DOCS\\a.txt");
  EXPECT_TRUE(engine().metadata_cache().GetItemCopy(u"\\Docs\\a.txt").has_value());
  EXPECT_TRUE(TakePendingUpdate(u"\\Docs\\a.txt", false)) << "the echo is reported in the spelling on disk";
}

TEST_F(ItemMethodsTest, ListingConvertsAPlainFileInPlace) {
  host().WriteFile("\\plain.txt", "local content");
  ASSERT_EQ(List(u"plain.txt", 13, kWritten), 0);
  const ItemState file = host().Look("\\plain.txt");
  ASSERT_TRUE(file.placeholder());
  EXPECT_TRUE(file.hydrated());
  EXPECT_TRUE(file.in_sync());
  EXPECT_EQ(file.identity(), u"\\plain.txt");
  EXPECT_EQ(host().ReadFile("\\plain.txt"), "local content");

  // Asked to keep it on the device, the converted file is pinned too.
  host().WriteFile("\\kept.txt", "keep");
  ASSERT_EQ(List(u"kept.txt", 4, kWritten, OSTRASYNC_ATTR_PINNED), 0);
  EXPECT_TRUE(host().Look("\\kept.txt").pinned());

  EXPECT_EQ(List(u"..", 0, kWritten), OSTRASYNC_ERR_INVALID_ITEM_NAME);
  EXPECT_EQ(List(u"a:b", 0, kWritten), OSTRASYNC_ERR_INVALID_ITEM_NAME);
}

TEST_F(ItemMethodsTest, ANewerLocalFileGoesToTheHostInsteadOfBeingOverwritten) {
  host().MakeHydratedPlaceholder("\\newer.txt", "edited locally", false);

  ASSERT_EQ(List(u"newer.txt", 3, kOlder), 0);
  ASSERT_EQ(host().Updates().size(), 1u);
  const UpdateEvent update = host().Updates().front();
  EXPECT_EQ(update.path, "\\newer.txt");
  EXPECT_NE(update.change_flags & OSTRASYNC_CHANGE_CONTENT, 0);
  EXPECT_EQ(update.size, 14);
  EXPECT_EQ(host().ReadFile("\\newer.txt"), "edited locally");
  EXPECT_TRUE(host().Look("\\newer.txt").hydrated());
  EXPECT_TRUE(host().Look("\\newer.txt").in_sync()) << "the host took the local version";
  EXPECT_EQ(engine().task_registry().Count(), 0u);

  // A host that fails the upload leaves the file out of sync, and no task behind.
  host().set_update_answer(OSTRASYNC_ERR_BACKEND);
  EXPECT_EQ(List(u"newer.txt", 3, kOlder), OSTRASYNC_ERR_OS_CALL);
  EXPECT_FALSE(host().Look("\\newer.txt").in_sync());
  EXPECT_EQ(host().ReadFile("\\newer.txt"), "edited locally");
  EXPECT_EQ(engine().task_registry().Count(), 0u);

  // One that takes it over keeps its task, marked as asynchronous, for its FinalizeTask.
  host().set_update_answer(OSTRASYNC_ERR_PENDING);
  EXPECT_EQ(List(u"newer.txt", 3, kOlder), 0);
  EXPECT_EQ(engine().task_registry().Count(), 1u);
  EXPECT_EQ(engine().task_registry().PendingAsyncCount(), 1u);

  // The pin of a newer file stays: nothing is taken from it before the check.
  host().MakeHydratedPlaceholder("\\pinned.txt", "edited and pinned", true);
  ASSERT_EQ(List(u"pinned.txt", 3, kOlder, OSTRASYNC_ATTR_PINNED), 0);
  EXPECT_TRUE(host().Look("\\pinned.txt").pinned());
  EXPECT_EQ(host().Updates().size(), 4u);

  // A file another program is writing is left for a later pass, untouched.
  host().MakeHydratedPlaceholder("\\busy.txt", "being written", false);
  {
    platform::OpenRequest writer;
    writer.desired_access = platform::access::kGenericWrite;
    writer.share_mode = 0;
    platform::FileHandlePtr held;
    ASSERT_EQ(world_.platform.file_system().Open(host().Full("\\busy.txt"), writer, &held), 0u);
    EXPECT_EQ(List(u"busy.txt", 3, kOlder), 0);
    EXPECT_TRUE(host().Logged("The file is locked by another process. Skip it."));
  }
  EXPECT_EQ(host().ReadFile("\\busy.txt"), "being written");
  EXPECT_EQ(host().Updates().size(), 4u);

  // An older local file is simply updated.
  host().MakeHydratedPlaceholder("\\older.txt", "old", false);
  ASSERT_EQ(List(u"older.txt", 3, kLater), 0);
  EXPECT_EQ(host().Updates().size(), 4u);
  EXPECT_EQ(host().Look("\\older.txt").find.last_write_time, static_cast<uint64_t>(kLater));
}

TEST_F(ItemMethodsTest, BadInputIsRefusedBeforeAnythingIsTouched) {
  host().WriteFile("\\local.txt", "mine");
  fs::create_directory(host().Posix("\\folder"));
  tracking::MetadataCacheItem known;
  known.item_name = u"local.txt";
  known.size = 4;
  engine().metadata_cache().PutItem(u"\\local.txt", known);
  const std::set<std::string> before = Tree();

  struct Case {
    int method;
    const char* path;
    int attributes;
    int64_t size;
    int64_t date;
    int code;
  };
  const Case cases[] = {
      {kCreateFile, nullptr, 0, 0, kCreated, OSTRASYNC_ERR_INVALID_PARAMETER},
      {kCreateFile, "", 0, 0, kCreated, OSTRASYNC_ERR_INVALID_PARAMETER},
      {kCreateFolder, "\\", 0, 0, kCreated, OSTRASYNC_ERR_INVALID_PARAMETER},
      {kCreateFile, "\\new.txt", -1, 0, kCreated, OSTRASYNC_ERR_INVALID_ITEM_ATTRIBUTES},
      {kCreateFile, "\\new.txt", 0x1, 0, kCreated, OSTRASYNC_ERR_INVALID_ITEM_ATTRIBUTES},
      {kCreateFolder, "\\new", 0x80, 0, kCreated, OSTRASYNC_ERR_INVALID_ITEM_ATTRIBUTES},
      {kCreateFile, "\\new.txt", 0, -1, kCreated, OSTRASYNC_ERR_INVALID_ITEM_PROPERTY},
      {kCreateFolder, "\\new", 0, 0, -1, OSTRASYNC_ERR_INVALID_ITEM_PROPERTY},
      {kUpdateFile, "\\missing.txt", 0, 0, kCreated, OSTRASYNC_ERR_INVALID_PARAMETER},
      {kUpdateFile, "\\folder", 0, 0, kCreated, OSTRASYNC_ERR_INVALID_PARAMETER},
      {kUpdateFolder, "\\local.txt", 0, 0, kCreated, OSTRASYNC_ERR_INVALID_PARAMETER},
      {kCreateFile, "\\local.txt", 0, 99, kCreated, OSTRASYNC_ERR_ITEM_EXISTS},
      {kCreateFolder, "\\folder", 0, 0, kCreated, OSTRASYNC_ERR_ITEM_EXISTS},
  };
  for (const Case& c : cases) {
    const std::string label = std::string(c.path ? c.path : "(null)") + " method " + std::to_string(c.method);
    EXPECT_EQ(host().Item(c.method, c.path, c.attributes, c.size, c.date), c.code) << label;
    if (c.code == OSTRASYNC_ERR_INVALID_PARAMETER && c.method != kUpdateFile && c.method != kUpdateFolder) {
      EXPECT_EQ(host().LastErrorText(), "The LocalPath parameter could not be parsed") << label;
    }
  }
  EXPECT_EQ(Tree(), before);
  EXPECT_EQ(engine().metadata_cache().GetItemCopy(u"\\local.txt"), known) << "a refused create keeps the record";
  EXPECT_EQ(engine().metadata_cache().Count(), 1u);
  for (const char16_t* path : {u"\\new.txt", u"\\missing.txt", u"\\local.txt"}) {
    EXPECT_FALSE(TakePendingUpdate(path, false));
  }
  EXPECT_FALSE(TakePendingUpdate(u"\\folder", true));
  EXPECT_FALSE(TakePendingUpdate(u"\\new", true));
}

TEST_F(ItemMethodsTest, ARefusedCreateKeepsTheRecordOfTheItemThere) {
  host().WriteFile("\\there.txt", "data");
  tracking::MetadataCacheItem known;
  known.item_name = u"there.txt";
  known.size = 4;
  engine().metadata_cache().PutItem(u"\\there.txt", known);
  using engine::SyncEngineTestPeer;
  EXPECT_EQ(SyncEngineTestPeer::CreateFileInt(engine(), u"\\there.txt", 0, 99, flag::kMarkSynced | flag::kMustNotExist),
            OSTRASYNC_ERR_ITEM_EXISTS);
  EXPECT_EQ(SyncEngineTestPeer::CreateFileInt(engine(), u"\\there.txt", 0, 99, flag::kMarkSynced | flag::kRetrieve),
            OSTRASYNC_ERR_INVALID_PARAMETER);
  EXPECT_TRUE(host().Logged("Invalid combination of flags"));
  EXPECT_EQ(engine().metadata_cache().GetItemCopy(u"\\there.txt"), known);
  EXPECT_EQ(host().ReadFile("\\there.txt"), "data");
}

TEST_F(ItemMethodsTest, MethodsNeedAnActiveEngine) {
  ItemsWorld idle;
  EXPECT_EQ(idle.host.Item(kCreateFile, "\\a.txt", 0), 21);
  EXPECT_EQ(idle.host.LastErrorText(), "The sync operation is not active");
  EXPECT_EQ(idle.host.Item(kUpdateFolder, "\\a", 0), 21);
  EXPECT_FALSE(fs::exists(idle.host.Posix("\\a.txt")));
}

// Methods this version does not carry out must not claim success for work that was not done.
TEST_F(ItemMethodsTest, MethodsNotAvailableYetAreRefusedWhileActive) {
  ASSERT_EQ(host().Item(kCreateFile, "\\kept.txt", 0), 0);
  std::string path = "\\kept.txt";
  EXPECT_EQ(host().Do(OSTRASYNC_METHOD_DELETE_FILE, {path.data()}), OSTRASYNC_ERR_OPERATION_DENIED);
  EXPECT_EQ(host().LastErrorText(), "Operation denied");
  EXPECT_EQ(host().Do(OSTRASYNC_METHOD_PIN_FILE, {path.data()}), OSTRASYNC_ERR_OPERATION_DENIED);
  EXPECT_TRUE(fs::exists(host().Posix("\\kept.txt")));
}

TEST_F(ItemMethodsTest, AFailedCreateLeavesNeitherRecordNorPendingEntry) {
  EXPECT_EQ(host().Item(kCreateFile, "\\missing\\a.txt", 0, 1), OSTRASYNC_ERR_OS_CALL);
  EXPECT_TRUE(host().Logged("Placeholder create/update failed for '\\missing\\a.txt'"));
  EXPECT_NE(host().OsLastError(), 0u);
  EXPECT_FALSE(engine().metadata_cache().GetItemCopy(u"\\missing\\a.txt").has_value());
  EXPECT_FALSE(TakePendingUpdate(u"\\missing\\a.txt", false)) << "no echo will ever consume it";
}

TEST_F(ItemMethodsTest, TraversalAttemptsChangeNothingOnDisk) {
  const fs::path outside = fs::path(world_.tree.path()).parent_path();
  const std::string probe = "ostrasync_escape_probe";
  const std::set<std::string> before = Tree();
  const std::string attempts[] = {
      "\\..\\" + probe,         "\\..\\..\\" + probe, "\\sub\\..\\..\\" + probe, probe, "..\\" + probe,
      "\\sub/..\\..\\" + probe, "/..\\" + probe,      "\\" + probe + ":stream",   "\\..",  "\\.",
      "\\...",                  "\\" + probe + ".",   "\\" + probe + " ",        "\\.. \\" + probe,
      "\\sub\\\\" + probe,      "\\sub\\",
  };
  for (const std::string& path : attempts) {
    for (int method : {kCreateFolder, kCreateFile, kUpdateFolder, kUpdateFile}) {
      EXPECT_EQ(host().Item(method, path.c_str(), 0), OSTRASYNC_ERR_INVALID_PARAMETER) << path << " " << method;
      EXPECT_EQ(host().LastErrorText(), "The LocalPath parameter could not be parsed") << path;
    }
  }
  EXPECT_EQ(Tree(), before);
  EXPECT_FALSE(fs::exists(outside / probe));
  EXPECT_FALSE(fs::exists(outside.parent_path() / probe));
  EXPECT_FALSE(fs::exists(world_.tree.root() + probe)) << "a path without its backslash names the root's sibling";
  EXPECT_EQ(engine().metadata_cache().Count(), 0u);
}

}  // namespace
}  // namespace ostrasync::testing
