// Where the emulation keeps an item's basic fields (stored attribute bits, pin state, creation
// time): inside a placeholder's own record, apart for a plain item, and still readable from
// placeholders written with the older layout that kept them apart.
#include <sys/stat.h>
#include <sys/xattr.h>

#include <unistd.h>

#include <cstring>

#include "emulated_fixture.h"

namespace ostrasync::platform::testing {
namespace {

constexpr uint64_t kCreated = 132200000000000000;  // 2019-12-01
constexpr char kBasicName[] = "user.ostrasync.basic";
constexpr char kPlaceholderName[] = "user.ostrasync.placeholder";
constexpr char kRangesName[] = "user.ostrasync.ranges";

void Put(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The user.* attribute names of `path`, the byte-range record left out.
std::vector<std::string> Records(const std::string& path) {
  char names[1024];
  const ssize_t n = llistxattr(path.c_str(), names, sizeof names);
  EXPECT_GE(n, 0) << path;
  std::vector<std::string> out;
  for (const char* name = names; n > 0 && name < names + n; name += std::strlen(name) + 1) {
    if (std::strncmp(name, "user.", 5) == 0 && std::strcmp(name, kRangesName) != 0) out.push_back(name);
  }
  return out;
}

class PlaceholderRecords : public EmulatedTest {
 protected:
  FileInformation Information(const std::string& name) {
    FileHandlePtr file = OpenItem(In(name));
    FileInformation info;
    EXPECT_EQ(fs_->ReadInformation(*file, &info), 0u);
    return info;
  }
  PlaceholderInfo Placeholder(const std::string& name) {
    FileHandlePtr file = OpenItem(In(name));
    PlaceholderInfo info;
    EXPECT_EQ(cloud_->GetPlaceholderInfo(*file, cf::kPlaceholderInfoStandard, &info), kSOk);
    return info;
  }
};

TEST_F(PlaceholderRecords, ANewPlaceholderIsOneRecordThatHoldsItsBasicFields) {
  ASSERT_EQ(Register(), kSOk);
  PlaceholderCreateEntry entry;
  entry.relative_name = u"new.bin";
  entry.metadata.file_size = 4096;
  entry.metadata.creation_time = kCreated;
  entry.metadata.attributes = attr::kHidden | attr::kPinned;
  entry.identity = {'n'};
  ASSERT_EQ(cloud_->CreatePlaceholders(Root(), std::span(&entry, 1), 0, nullptr), kSOk);
  ASSERT_EQ(entry.result, kSOk);

  EXPECT_EQ(Records(root_ + "/new.bin"), std::vector<std::string>{kPlaceholderName});
  const FileInformation info = Information("new.bin");
  EXPECT_EQ(info.creation_time, kCreated);
  EXPECT_TRUE(info.attributes & attr::kHidden);
  EXPECT_TRUE(info.attributes & attr::kPinned);
  EXPECT_TRUE(info.attributes & attr::kReparsePoint);
  EXPECT_EQ(Placeholder("new.bin").pin_state, cf::kPinned);
}

TEST_F(PlaceholderRecords, AnOlderLayoutPlaceholderKeepsItsFieldsAndMovesThemInAtItsNextWrite) {
  ASSERT_EQ(Register(), kSOk);
  const std::string path = root_ + "/old.bin";
  std::ofstream(path) << "";
  ASSERT_EQ(truncate(path.c_str(), 8192), 0);
  // As the older layout wrote them: the basic fields apart, the placeholder record without them.
  std::vector<uint8_t> basic{1};
  Put(&basic, attr::kHidden, 4);
  Put(&basic, cf::kPinned, 4);
  Put(&basic, kCreated, 8);
  std::vector<uint8_t> placeholder{1};
  Put(&placeholder, 0x1, 4);  // in sync
  Put(&placeholder, 8192, 8);
  Put(&placeholder, 7, 8);
  Put(&placeholder, 2, 4);
  placeholder.insert(placeholder.end(), {'o', 'l'});
  ASSERT_EQ(lsetxattr(path.c_str(), kBasicName, basic.data(), basic.size(), 0), 0);
  ASSERT_EQ(lsetxattr(path.c_str(), kPlaceholderName, placeholder.data(), placeholder.size(), 0), 0);

  FileInformation info = Information("old.bin");
  EXPECT_EQ(info.creation_time, kCreated);
  EXPECT_TRUE(info.attributes & attr::kHidden);
  EXPECT_TRUE(info.attributes & attr::kPinned);
  PlaceholderInfo placeholder_info = Placeholder("old.bin");
  EXPECT_EQ(placeholder_info.pin_state, cf::kPinned);
  EXPECT_EQ(placeholder_info.in_sync_state, cf::kInSync);
  EXPECT_EQ(placeholder_info.identity, (std::vector<uint8_t>{'o', 'l'}));

  // A change of the placeholder record alone still keeps every basic field, now in one record.
  {
    FileHandlePtr file = OpenItem(In("old.bin"), access::kGenericRead | access::kGenericWrite);
    ASSERT_EQ(cloud_->SetInSyncState(*file, cf::kNotInSync, 0, nullptr), kSOk);
  }
  EXPECT_EQ(Records(path), std::vector<std::string>{kPlaceholderName});
  info = Information("old.bin");
  EXPECT_EQ(info.creation_time, kCreated);
  EXPECT_TRUE(info.attributes & attr::kHidden);
  placeholder_info = Placeholder("old.bin");
  EXPECT_EQ(placeholder_info.pin_state, cf::kPinned);
  EXPECT_EQ(placeholder_info.in_sync_state, cf::kNotInSync);
}

TEST_F(PlaceholderRecords, AnOlderLayoutPlaceholderTakesBasicChangesIntoItsRecord) {
  ASSERT_EQ(Register(), kSOk);
  const std::string path = root_ + "/old";
  std::ofstream(path) << "";
  std::vector<uint8_t> basic{1};
  Put(&basic, attr::kSystem, 4);
  Put(&basic, cf::kUnpinned, 4);
  Put(&basic, kCreated, 8);
  std::vector<uint8_t> placeholder{1};
  Put(&placeholder, 0, 4);
  Put(&placeholder, 0, 8);
  Put(&placeholder, 1, 8);
  Put(&placeholder, 0, 4);
  ASSERT_EQ(lsetxattr(path.c_str(), kBasicName, basic.data(), basic.size(), 0), 0);
  ASSERT_EQ(lsetxattr(path.c_str(), kPlaceholderName, placeholder.data(), placeholder.size(), 0), 0);

  FileHandlePtr file = OpenItem(In("old"), access::kGenericRead | access::kGenericWrite);
  FsMetadata hidden;
  hidden.attributes = attr::kHidden | attr::kUnpinned;
  ASSERT_EQ(fs_->WriteBasicInformation(*file, hidden), 0u);
  EXPECT_EQ(Records(path), std::vector<std::string>{kPlaceholderName});
  const FileInformation info = Information("old");
  EXPECT_EQ(info.creation_time, kCreated);
  EXPECT_TRUE(info.attributes & attr::kHidden);
  EXPECT_FALSE(info.attributes & attr::kSystem);
  EXPECT_EQ(Placeholder("old").pin_state, cf::kUnpinned);
}

TEST_F(PlaceholderRecords, ABasicChangeSurvivesThePlaceholderWriteThatFollowsIt) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("f.bin", 4096), kSOk);
  FileHandlePtr file = OpenItem(In("f.bin"), access::kGenericRead | access::kGenericWrite);
  // An update that changes the creation time and attributes and then writes the placeholder
  // record must not put back the fields it read before.
  FsMetadata metadata;
  metadata.creation_time = kCreated;
  metadata.attributes = attr::kHidden;
  metadata.file_size = 4096;
  ASSERT_EQ(cloud_->UpdatePlaceholder(*file, &metadata, {}, {}, cf::kUpdateMarkInSync), kSOk);
  ASSERT_EQ(cloud_->SetPinState(*file, cf::kPinned, 0), kSOk);
  ASSERT_EQ(cloud_->SetInSyncState(*file, cf::kNotInSync, 0, nullptr), kSOk);
  const FileInformation info = Information("f.bin");
  EXPECT_EQ(info.creation_time, kCreated);
  EXPECT_TRUE(info.attributes & attr::kHidden);
  EXPECT_EQ(Placeholder("f.bin").pin_state, cf::kPinned);
  EXPECT_EQ(Records(root_ + "/f.bin"), std::vector<std::string>{kPlaceholderName});
}

TEST_F(PlaceholderRecords, AnUpdateThatChangesNothingWritesNothingAndANewSizeKeepsTheTimesGiven) {
  ASSERT_EQ(Register(), kSOk);
  ASSERT_EQ(MakeFile("f.bin", 4096), kSOk);
  const std::string path = root_ + "/f.bin";
  FileHandlePtr file = OpenItem(In("f.bin"), access::kGenericRead | access::kGenericWrite);
  const uint8_t identity[] = {'a'};
  FsMetadata metadata;
  metadata.creation_time = kCreated;
  metadata.last_access_time = metadata.last_write_time = kCreated + 10000000;
  metadata.attributes = attr::kHidden;
  metadata.file_size = 4096;
  ASSERT_EQ(cloud_->UpdatePlaceholder(*file, &metadata, identity, {}, cf::kUpdateMarkInSync), kSOk);
  struct stat before;
  ASSERT_EQ(lstat(path.c_str(), &before), 0);
  std::vector<uint8_t> record_before(256);
  record_before.resize(static_cast<size_t>(
      lgetxattr(path.c_str(), kPlaceholderName, record_before.data(), record_before.size())));

  // The same values again, as a listing confirming what is there sends them: no write at all.
  ASSERT_EQ(cloud_->UpdatePlaceholder(*file, &metadata, identity, {}, cf::kUpdateMarkInSync), kSOk);
  struct stat after;
  ASSERT_EQ(lstat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_ctim.tv_sec, before.st_ctim.tv_sec);
  EXPECT_EQ(after.st_ctim.tv_nsec, before.st_ctim.tv_nsec);
  std::vector<uint8_t> record_after(256);
  record_after.resize(static_cast<size_t>(
      lgetxattr(path.c_str(), kPlaceholderName, record_after.data(), record_after.size())));
  EXPECT_EQ(record_after, record_before);

  // A new size moves the file's times, so the times given are written even though the file had
  // them before.
  metadata.file_size = 8192;
  ASSERT_EQ(cloud_->UpdatePlaceholder(*file, &metadata, {}, {}, 0), kSOk);
  const FileInformation info = Information("f.bin");
  EXPECT_EQ(info.file_size, 8192);
  EXPECT_EQ(info.last_write_time, metadata.last_write_time);
  EXPECT_EQ(info.last_access_time, metadata.last_access_time);
  EXPECT_EQ(info.creation_time, kCreated);
}

TEST_F(PlaceholderRecords, ABasicRecordLeftBesideAPlaceholderRecordIsNotRead) {
  // What an interrupted move back to a plain item leaves when the placeholder changes afterwards.
  ASSERT_EQ(Register(), kSOk);
  PlaceholderCreateEntry entry;
  entry.relative_name = u"f.bin";
  entry.metadata.creation_time = kCreated;
  entry.metadata.attributes = attr::kHidden;
  entry.identity = {'f'};
  ASSERT_EQ(cloud_->CreatePlaceholders(Root(), std::span(&entry, 1), 0, nullptr), kSOk);
  std::vector<uint8_t> stale{1};
  Put(&stale, attr::kSystem, 4);
  Put(&stale, cf::kUnpinned, 4);
  Put(&stale, kCreated + 1, 8);
  const std::string path = root_ + "/f.bin";
  ASSERT_EQ(lsetxattr(path.c_str(), kBasicName, stale.data(), stale.size(), 0), 0);

  const FileInformation info = Information("f.bin");
  EXPECT_EQ(info.creation_time, kCreated);
  EXPECT_TRUE(info.attributes & attr::kHidden);
  EXPECT_FALSE(info.attributes & attr::kSystem);
  EXPECT_EQ(Placeholder("f.bin").pin_state, cf::kPinUnspecified);
}

TEST_F(PlaceholderRecords, BasicFieldsMoveWhenAnItemBecomesAPlaceholderAndBack) {
  std::ofstream(root_ + "/plain") << "abc";
  {
    FileHandlePtr file = OpenItem(In("plain"), access::kGenericRead | access::kGenericWrite);
    FsMetadata metadata;
    metadata.creation_time = kCreated;
    metadata.attributes = attr::kHidden;
    ASSERT_EQ(fs_->WriteBasicInformation(*file, metadata), 0u);
  }
  ASSERT_EQ(fs_->WriteAttributes(Root(), attr::kDirectory | attr::kSystem), 0u);
  EXPECT_EQ(Records(root_ + "/plain"), std::vector<std::string>{kBasicName});
  EXPECT_EQ(Records(root_), std::vector<std::string>{kBasicName});

  // Registering makes the root a placeholder; converting does the file.
  ASSERT_EQ(Register(), kSOk);
  {
    FileHandlePtr file = OpenItem(In("plain"));
    const uint8_t id[] = {'p'};
    ASSERT_EQ(cloud_->ConvertToPlaceholder(*file, id, cf::kConvertMarkInSync), kSOk);
  }
  EXPECT_EQ(Records(root_ + "/plain"), std::vector<std::string>{kPlaceholderName});
  FileInformation info = Information("plain");
  EXPECT_EQ(info.creation_time, kCreated);
  EXPECT_TRUE(info.attributes & attr::kHidden);
  uint32_t attributes = 0;
  ASSERT_EQ(fs_->ReadAttributes(Root(), &attributes), 0u);
  EXPECT_TRUE(attributes & attr::kSystem);
  EXPECT_TRUE(attributes & attr::kReparsePoint);

  // Unregistering makes the root plain again, and its fields go back to a record of their own.
  ASSERT_EQ(cloud_->UnregisterSyncRoot(Root()), kSOk);
  ASSERT_EQ(fs_->ReadAttributes(Root(), &attributes), 0u);
  EXPECT_TRUE(attributes & attr::kSystem);
  EXPECT_FALSE(attributes & attr::kReparsePoint);
  std::vector<std::string> left = Records(root_);
  EXPECT_EQ(left, std::vector<std::string>{kBasicName});
}

}  // namespace
}  // namespace ostrasync::platform::testing
