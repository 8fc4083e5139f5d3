// Tests of the Windows platform against the real system (Wine in CI): files and folders, change
// notifications, the shell, and the cloud-files calls both without cldapi.dll and over stand-in
// entry points that check what reaches Windows.

#include "platform/windows/platform_windows.h"

#include "platform/system_info.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace ostrasync::platform {
namespace {

using namespace cfapi;

constexpr HResult kModNotFound = static_cast<HResult>(0x8007007E);
constexpr HResult kProcNotFound = static_cast<HResult>(0x8007007F);
constexpr HResult kEAbort = static_cast<HResult>(0x80004004);

// A fresh folder under the temporary folder, removed with its contents afterwards.
class TempFolder {
 public:
  TempFolder() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = GetTempPathW(MAX_PATH + 1, base);
    path_.assign(reinterpret_cast<const char16_t*>(base), length);
    if (!path_.empty() && path_.back() == u'\\') path_.pop_back();
    path_ += u"\\ostrasync-" + Number(GetCurrentProcessId()) + u"-" + Number(counter_++);
    CreateDirectoryW(Wide(path_), nullptr);
  }
  ~TempFolder() { RemoveTree(path_); }
  const std::u16string& path() const { return path_; }
  std::u16string operator/(const std::u16string& name) const { return path_ + u"\\" + name; }

 private:
  static std::u16string Number(unsigned value) {
    const std::string text = std::to_string(value);
    return std::u16string(text.begin(), text.end());
  }
  static void RemoveTree(const std::u16string& folder) {
    WIN32_FIND_DATAW found;
    const HANDLE search = FindFirstFileW(Wide(folder + u"\\*"), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::u16string name = reinterpret_cast<const char16_t*>(found.cFileName);
        if (name == u"." || name == u"..") continue;
        const std::u16string child = folder + u"\\" + name;
        SetFileAttributesW(Wide(child), FILE_ATTRIBUTE_NORMAL);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(child);
        } else {
          DeleteFileW(Wide(child));
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(Wide(folder));
  }
  static inline unsigned counter_ = 0;
  std::u16string path_;
};

void WriteFileBytes(const std::u16string& path, const std::vector<uint8_t>& bytes) {
  const HANDLE file = CreateFileW(Wide(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  CloseHandle(file);
}

bool CldApiPresent() {
  const HMODULE module = LoadLibraryExW(L"cldapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr) FreeLibrary(module);
  return module != nullptr;
}

// A handle made by some other platform; the Windows calls must refuse it, not misuse it.
class ForeignHandle final : public FileHandle {
 public:
  const std::u16string& path() const override { return path_; }

 private:
  std::u16string path_ = u"C:\\elsewhere";
};

OpenRequest ReadRequest(uint32_t extra_flags = 0) {
  OpenRequest request;
  request.desired_access = access::kGenericRead | access::kWriteAttributes;
  request.share_mode = share::kRead | share::kWrite | share::kDelete;
  request.flags_and_attributes = extra_flags;
  return request;
}

// ---- File system ----

TEST(WindowsFileSystem, CreatesListsRenamesAndRemovesItems) {
  TempFolder temp;
  const auto fs = NewWindowsFileSystem();
  const std::u16string folder = temp / u"folder";
  ASSERT_EQ(fs->MakeFolder(folder), 0u);
  EXPECT_EQ(fs->MakeFolder(folder), win32::kAlreadyExists);
  bool empty = false;
  ASSERT_EQ(fs->IsFolderEmpty(folder, &empty), 0u);
  EXPECT_TRUE(empty);
  EXPECT_NE(fs->IsFolderEmpty(folder + u"\\gone", &empty), 0u);
  WriteFileBytes(folder + u"\\a.txt", {1, 2, 3});
  WriteFileBytes(folder + u"\\b.txt", {4});
  ASSERT_EQ(fs->IsFolderEmpty(folder, &empty), 0u);
  EXPECT_FALSE(empty);

  std::vector<FindData> entries;
  ASSERT_EQ(fs->Find(folder + u"\\*", &entries), 0u);
  std::vector<std::u16string> names;
  for (const FindData& entry : entries) names.push_back(entry.name);
  EXPECT_EQ(names.size(), 4u);  // ".", "..", a.txt, b.txt
  for (const FindData& entry : entries) {
    if (entry.name != u"a.txt") continue;
    EXPECT_EQ(entry.file_size, 3);
    EXPECT_EQ(entry.attributes & attr::kDirectory, 0u);
    EXPECT_EQ(entry.reparse_tag, 0u);
    EXPECT_NE(entry.last_write_time, 0u);
  }
  EXPECT_EQ(fs->Find(folder + u"\\nothing*", &entries), win32::kFileNotFound);
  EXPECT_TRUE(entries.empty());

  uint32_t attributes = 0;
  ASSERT_EQ(fs->WriteAttributes(folder + u"\\a.txt", attr::kHidden), 0u);
  ASSERT_EQ(fs->ReadAttributes(folder + u"\\a.txt", &attributes), 0u);
  EXPECT_NE(attributes & attr::kHidden, 0u);
  const Win32Error missing = fs->ReadAttributes(folder + u"\\gone.txt", &attributes);
  EXPECT_TRUE(missing == win32::kFileNotFound || missing == win32::kPathNotFound) << missing;
  EXPECT_EQ(attributes, attr::kInvalid);

  EXPECT_EQ(fs->Rename(folder + u"\\a.txt", folder + u"\\b.txt", false), win32::kAlreadyExists);
  ASSERT_EQ(fs->Rename(folder + u"\\a.txt", folder + u"\\b.txt", true), 0u);
  EXPECT_EQ(fs->ReadAttributes(folder + u"\\a.txt", &attributes), win32::kFileNotFound);

  EXPECT_EQ(fs->RemoveFolder(folder), win32::kDirNotEmpty);
  ASSERT_EQ(fs->RemoveFile(folder + u"\\b.txt"), 0u);
  EXPECT_EQ(fs->RemoveFile(folder + u"\\b.txt"), win32::kFileNotFound);
  ASSERT_EQ(fs->RemoveFolder(folder), 0u);
  EXPECT_EQ(fs->ReadAttributes(folder, &attributes), win32::kFileNotFound);
}

// Verify that a path with a NUL inside never reaches Windows, which would act on the part before it.
TEST(WindowsFileSystem, RefusesPathsWithEmbeddedNul) {
  TempFolder temp;
  const auto fs = NewWindowsFileSystem();
  WriteFileBytes(temp / u"keep", {1});
  const std::u16string cut = temp / std::u16string(u"keep\0.tmp", 9);
  EXPECT_EQ(fs->RemoveFile(cut), win32::kInvalidName);
  EXPECT_EQ(fs->Rename(cut, temp / u"moved", false), win32::kInvalidName);
  FileHandlePtr file;
  EXPECT_EQ(fs->Open(cut, ReadRequest(), &file), win32::kInvalidName);
  EXPECT_EQ(file, nullptr);
  uint32_t attributes = 0;
  EXPECT_EQ(fs->ReadAttributes(temp / u"keep", &attributes), 0u);
}

TEST(WindowsFileSystem, ReadsAtOffsetsAndReportsInformation) {
  TempFolder temp;
  const auto fs = NewWindowsFileSystem();
  std::vector<uint8_t> content(10000);
  for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<uint8_t>(i * 7);
  WriteFileBytes(temp / u"data.bin", content);
  WriteFileBytes(temp / u"other.bin", {1});

  for (const uint32_t flags : {0u, open_flag::kOverlapped}) {
    SCOPED_TRACE(flags);
    FileHandlePtr file;
    ASSERT_EQ(fs->Open(temp / u"data.bin", ReadRequest(flags), &file), 0u);
    EXPECT_EQ(file->path(), temp / u"data.bin");
    std::vector<uint8_t> buffer(100);
    uint32_t read = 0;
    ASSERT_EQ(fs->ReadAt(*file, 5000, buffer, &read), 0u);
    ASSERT_EQ(read, 100u);
    EXPECT_EQ(std::memcmp(buffer.data(), content.data() + 5000, 100), 0);
    ASSERT_EQ(fs->ReadAt(*file, 9990, buffer, &read), 0u);
    EXPECT_EQ(read, 10u);
    EXPECT_EQ(std::memcmp(buffer.data(), content.data() + 9990, 10), 0);
    EXPECT_EQ(fs->ReadAt(*file, 20000, buffer, &read), 0u);
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(fs->ReadAt(*file, -4096, buffer, &read), win32::kInvalidParameter);
  }

  FileHandlePtr file, again, other;
  ASSERT_EQ(fs->Open(temp / u"data.bin", ReadRequest(), &file), 0u);
  ASSERT_EQ(fs->Open(temp / u"data.bin", ReadRequest(), &again), 0u);
  ASSERT_EQ(fs->Open(temp / u"other.bin", ReadRequest(), &other), 0u);
  int64_t size = 0;
  ASSERT_EQ(fs->FileSize(*file, &size), 0u);
  EXPECT_EQ(size, 10000);
  FileInformation info, info_again, info_other;
  ASSERT_EQ(fs->ReadInformation(*file, &info), 0u);
  ASSERT_EQ(fs->ReadInformation(*again, &info_again), 0u);
  ASSERT_EQ(fs->ReadInformation(*other, &info_other), 0u);
  EXPECT_EQ(info.file_size, 10000);
  EXPECT_EQ(info.link_count, 1u);
  EXPECT_NE(info.file_index, 0u);
  EXPECT_EQ(info.file_index, info_again.file_index);
  EXPECT_NE(info.file_index, info_other.file_index);
  EXPECT_EQ(info.volume_serial, info_other.volume_serial);

  // Zero fields are left alone; the one time given is written.
  FsMetadata basic;
  basic.last_write_time = 132000000000000000ull;  // 2019-04-15
  ASSERT_EQ(fs->WriteBasicInformation(*file, basic), 0u);
  FileInformation written;
  ASSERT_EQ(fs->ReadInformation(*file, &written), 0u);
  EXPECT_EQ(written.last_write_time, basic.last_write_time);
  // Wine derives creation times from the Linux file's own times, so they move with the write time.
  if (!RunningUnderWine()) {
    EXPECT_EQ(written.creation_time, info.creation_time);
  }
  EXPECT_EQ(written.attributes, info.attributes);

  ForeignHandle foreign;
  EXPECT_EQ(fs->ReadInformation(foreign, &info), win32::kInvalidParameter);
  EXPECT_EQ(fs->FileSize(foreign, &size), win32::kInvalidParameter);
}

TEST(WindowsFileSystem, LongPathExpandsShortNames) {
  TempFolder temp;
  const auto fs = NewWindowsFileSystem();
  const std::u16string long_name = temp / u"A folder with a long name";
  ASSERT_EQ(fs->MakeFolder(long_name), 0u);
  wchar_t short_name[MAX_PATH];
  const DWORD length = GetShortPathNameW(Wide(long_name), short_name, MAX_PATH);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, static_cast<DWORD>(MAX_PATH));
  std::u16string expanded;
  ASSERT_EQ(fs->LongPath(std::u16string(reinterpret_cast<const char16_t*>(short_name), length), &expanded), 0u);
  // The temporary folder's own parents may be given in short form too, so only the end is compared.
  EXPECT_TRUE(expanded.ends_with(u"\\A folder with a long name")) << expanded.size();
  EXPECT_EQ(fs->LongPath(temp / u"missing", &expanded), win32::kFileNotFound);
}

// ---- Change notifications ----

TEST(WindowsChangeNotifier, ReportsAddRenameAndRemove) {
  const auto notifier = NewWindowsChangeNotifier();
  TempFolder temp;
  std::unique_ptr<ChangeStream> stream;
  if (!ExtendedChangeNotificationsAvailable()) {
    EXPECT_EQ(notifier->Watch(temp.path(), &stream), 127u);
    EXPECT_EQ(stream, nullptr);
    GTEST_SKIP() << "ReadDirectoryChangesExW is missing on this system (Wine lacks it); only the clean refusal "
                    "was checked";
  }
  const Win32Error missing = notifier->Watch(temp / u"missing", &stream);
  EXPECT_TRUE(missing == win32::kFileNotFound || missing == win32::kPathNotFound) << missing;
  EXPECT_EQ(stream, nullptr);

  ASSERT_EQ(notifier->Watch(temp.path(), &stream), 0u);
  ASSERT_EQ(stream->Issue(), 0u);
  WriteFileBytes(temp / u"new.txt", {1, 2});
  ASSERT_TRUE(MoveFileExW(Wide(temp / u"new.txt"), Wide(temp / u"renamed.txt"), 0));
  ASSERT_TRUE(DeleteFileW(Wide(temp / u"renamed.txt")));

  std::vector<std::pair<uint32_t, std::u16string>> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  auto saw = [&](uint32_t action, const std::u16string& name) {
    for (const auto& change : seen) {
      if (change.first == action && change.second == name) return true;
    }
    return false;
  };
  while (!saw(file_action::kRemoved, u"renamed.txt") && std::chrono::steady_clock::now() < deadline) {
    std::vector<ChangeRecord> records;
    const Win32Error result = stream->Wait(200, &records);
    if (result == win32::kWaitTimeout) continue;
    ASSERT_EQ(result, 0u);
    for (const ChangeRecord& record : records) seen.emplace_back(record.action, record.name);
    ASSERT_EQ(stream->Issue(), 0u);
  }
  EXPECT_TRUE(saw(file_action::kAdded, u"new.txt"));
  EXPECT_TRUE(saw(file_action::kRenamedOldName, u"new.txt"));
  EXPECT_TRUE(saw(file_action::kRenamedNewName, u"renamed.txt"));
  EXPECT_TRUE(saw(file_action::kRemoved, u"renamed.txt"));
  // The stream goes with a request still pending; its buffer must outlive the request.
  ASSERT_EQ(stream->Issue(), 0u);
  stream.reset();
}

// Builds FILE_NOTIFY_EXTENDED_INFORMATION chains byte by byte at the offsets Windows uses.
class ChainBuilder {
 public:
  // Appends a record; returns its offset.
  size_t Add(uint32_t action, const std::u16string& name, int64_t file_id) {
    const size_t at = bytes_.size();
    const size_t size = (84 + name.size() * 2 + 7) & ~size_t{7};
    bytes_.resize(at + size, 0);
    Put<uint32_t>(at + 4, action);
    Put<int64_t>(at + 48, 1234);  // FileSize
    Put<uint32_t>(at + 56, 0x20);
    Put<int64_t>(at + 64, file_id);
    Put<int64_t>(at + 72, 99);
    Put<uint32_t>(at + 80, static_cast<uint32_t>(name.size() * 2));
    std::memcpy(bytes_.data() + at + 84, name.data(), name.size() * 2);
    if (last_ != kNone) Put<uint32_t>(last_, static_cast<uint32_t>(at - last_));
    last_ = at;
    return at;
  }
  template <typename T>
  void Put(size_t offset, T value) {
    std::memcpy(bytes_.data() + offset, &value, sizeof(T));
  }
  std::span<const uint8_t> bytes(size_t cut = 0) const { return {bytes_.data(), bytes_.size() - cut}; }

 private:
  static constexpr size_t kNone = ~size_t{0};
  std::vector<uint8_t> bytes_;
  size_t last_ = kNone;
};

TEST(ChangeRecordParsing, ReadsAChainOfRecords) {
  ChainBuilder chain;
  chain.Add(file_action::kRenamedOldName, u"old name.txt", 7);
  chain.Add(file_action::kRenamedNewName, u"sub\\new.txt", 7);
  std::vector<ChangeRecord> records;
  ASSERT_TRUE(ParseChangeRecords(chain.bytes(), &records));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].action, file_action::kRenamedOldName);
  EXPECT_EQ(records[0].name, u"old name.txt");
  EXPECT_EQ(records[1].name, u"sub\\new.txt");
  EXPECT_EQ(records[1].file_id, 7);
  EXPECT_EQ(records[1].parent_file_id, 99);
  EXPECT_EQ(records[1].file_size, 1234);
  EXPECT_EQ(records[1].attributes, 0x20u);
}

// Verify that no malformed chain makes the parser read past the bytes it was given.
TEST(ChangeRecordParsing, RefusesChainsThatRunPastTheBytes) {
  std::vector<ChangeRecord> records;
  {
    ChainBuilder chain;
    chain.Add(file_action::kAdded, u"a.txt", 1);
    chain.Put<uint32_t>(80, 4000);  // name longer than the record
    EXPECT_FALSE(ParseChangeRecords(chain.bytes(), &records));
  }
  {
    ChainBuilder chain;
    chain.Add(file_action::kAdded, u"a.txt", 1);
    chain.Put<uint32_t>(80, 3);  // half a character
    EXPECT_FALSE(ParseChangeRecords(chain.bytes(), &records));
  }
  {
    ChainBuilder chain;
    chain.Add(file_action::kAdded, u"a.txt", 1);
    chain.Put<uint32_t>(0, 96);  // a next record that is not there
    EXPECT_FALSE(ParseChangeRecords(chain.bytes(), &records));
  }
  {
    ChainBuilder chain;
    chain.Add(file_action::kAdded, u"a.txt", 1);
    chain.Add(file_action::kRemoved, u"b.txt", 2);
    chain.Put<uint32_t>(0, 8);  // the next record would overlap this one
    EXPECT_FALSE(ParseChangeRecords(chain.bytes(), &records));
  }
  {
    ChainBuilder chain;
    chain.Add(file_action::kAdded, u"a.txt", 1);
    chain.Add(file_action::kRemoved, u"b.txt", 2);
    EXPECT_FALSE(ParseChangeRecords(chain.bytes(20), &records));  // second record cut short
    EXPECT_TRUE(records.empty());
  }
  EXPECT_FALSE(ParseChangeRecords({}, &records));
}

// ---- Cloud files without cldapi.dll ----

TEST(WindowsCloudFiles, FailsCleanlyWithoutCldApi) {
  if (CldApiPresent()) GTEST_SKIP() << "cldapi.dll is present; the missing-library answers cannot be observed";
  TempFolder temp;
  const auto cloud = NewWindowsCloudFiles();
  EXPECT_EQ(cloud->RegisterSyncRoot(temp.path(), {}, {}, 0), kModNotFound);
  SyncRootInfo info;
  info.provider_name = u"untouched";
  EXPECT_EQ(cloud->GetSyncRootInfo(temp.path(), &info), kModNotFound);
  EXPECT_EQ(info.provider_name, u"untouched");
  int64_t key = -1;
  const CallbackRegistration none[] = {{cf::kCallbackNone, nullptr}};
  EXPECT_EQ(cloud->ConnectSyncRoot(temp.path(), none, nullptr, 0, &key), kModNotFound);
  EXPECT_EQ(key, -1);
  OperationArgs args;
  EXPECT_EQ(cloud->Execute(OperationInfo{}, &args), kModNotFound);
  std::vector<PlaceholderCreateEntry> entries(1);
  entries[0].relative_name = u"a";
  EXPECT_EQ(cloud->CreatePlaceholders(temp.path(), entries, 0, nullptr), kModNotFound);
  ForeignHandle file;
  EXPECT_EQ(cloud->SetPinState(file, cf::kPinned, 0), kModNotFound);
  EXPECT_EQ(cloud->PlaceholderStateFromFindData(FindData{}), cf::kStateInvalid);
}

TEST(WindowsCloudFiles, AFolderIsNoSyncRoot) {
  if (!CldApiPresent()) GTEST_SKIP() << "cldapi.dll is missing on this system (Wine has none); real cloud-files calls "
                                        "cannot run";
  TempFolder temp;
  const auto cloud = NewWindowsCloudFiles();
  SyncRootInfo info;
  info.provider_name = u"untouched";
  EXPECT_EQ(cloud->GetSyncRootInfo(temp.path(), &info), HResultFromWin32(win32::kCloudFileNotUnderSyncRoot));
  EXPECT_EQ(info.provider_name, u"untouched");
  EXPECT_TRUE(FAILED(cloud->UnregisterSyncRoot(temp.path())));
}

// ---- Cloud files over stand-in entry points ----

// What the stand-ins saw, and what they answer.
struct Seen {
  CF_CALLBACK_REGISTRATION table[16] = {};
  LPCVOID context = nullptr;
  HRESULT answer = S_OK;
  CF_OPERATION_INFO info = {};
  CF_OPERATION_PARAMETERS params = {};
  std::vector<std::u16string> names;
  CallbackInfo callback_info;
  CallbackArgs callback_args;
  cf::CallbackType callback_type = cf::kCallbackNone;
  int calls = 0;
};
Seen g_seen;

HRESULT WINAPI FakeConnect(LPCWSTR, const CF_CALLBACK_REGISTRATION* table, LPCVOID context, CF_CONNECT_FLAGS,
                           CF_CONNECTION_KEY* key) {
  ++g_seen.calls;
  for (int i = 0; i < 16; ++i) {
    g_seen.table[i] = table[i];
    if (table[i].Type == CF_CALLBACK_TYPE_NONE) break;
  }
  g_seen.context = context;
  if (SUCCEEDED(g_seen.answer)) key->Internal = 77;
  return g_seen.answer;
}

HRESULT WINAPI FakeDisconnect(CF_CONNECTION_KEY) { return g_seen.answer; }

// Answers a placeholder batch as Windows does when it stops at the second entry.
void AnswerBatch(CF_PLACEHOLDER_CREATE_INFO* infos, DWORD count, DWORD* processed) {
  for (DWORD i = 0; i < count; ++i) g_seen.names.emplace_back(reinterpret_cast<const char16_t*>(infos[i].RelativeFileName));
  infos[0].Result = S_OK;
  infos[0].CreateUsn = 500;
  infos[1].Result = HResultFromWin32(win32::kAlreadyExists);
  *processed = 2;
}

HRESULT WINAPI FakeExecute(const CF_OPERATION_INFO* info, CF_OPERATION_PARAMETERS* params) {
  ++g_seen.calls;
  g_seen.info = *info;
  g_seen.params = *params;
  if (info->Type == CF_OPERATION_TYPE_TRANSFER_PLACEHOLDERS) {
    AnswerBatch(params->TransferPlaceholders.PlaceholderArray, params->TransferPlaceholders.PlaceholderCount,
                &params->TransferPlaceholders.EntriesProcessed);
  }
  return g_seen.answer;
}

HRESULT WINAPI FakeCreatePlaceholders(LPCWSTR, CF_PLACEHOLDER_CREATE_INFO* infos, DWORD count, CF_CREATE_FLAGS,
                                      PDWORD processed) {
  ++g_seen.calls;
  AnswerBatch(infos, count, processed);
  return g_seen.answer;
}

void Handler(cf::CallbackType type, const CallbackInfo& info, const CallbackArgs& args) {
  g_seen.callback_type = type;
  g_seen.callback_info = info;
  g_seen.callback_args = args;
}

CldApi FakeApi() {
  g_seen = Seen{};
  CldApi api;
  api.CfConnectSyncRoot = &FakeConnect;
  api.CfDisconnectSyncRoot = &FakeDisconnect;
  api.CfExecute = &FakeExecute;
  api.CfCreatePlaceholders = &FakeCreatePlaceholders;
  return api;
}

TEST(WindowsCloudFilesConversion, ConnectRegistersOneTrampolinePerHandledTypeAndConvertsCallbacks) {
  const auto cloud = NewWindowsCloudFiles(FakeApi());
  int host_context = 0;
  const CallbackRegistration callbacks[] = {{cf::kFetchData, &Handler},
                                            {cf::kValidateData, nullptr},
                                            {cf::kCancelFetchData, &Handler},
                                            {cf::kNotifyRename, &Handler},
                                            {cf::kCallbackNone, nullptr}};
  int64_t key = 0;
  ASSERT_EQ(cloud->ConnectSyncRoot(u"C:\\root", callbacks, &host_context, 0, &key), S_OK);
  EXPECT_EQ(key, 77);
  ASSERT_EQ(g_seen.table[0].Type, CF_CALLBACK_TYPE_FETCH_DATA);
  ASSERT_EQ(g_seen.table[1].Type, CF_CALLBACK_TYPE_VALIDATE_DATA);
  EXPECT_EQ(g_seen.table[1].Callback, nullptr);
  ASSERT_EQ(g_seen.table[2].Type, CF_CALLBACK_TYPE_CANCEL_FETCH_DATA);
  ASSERT_EQ(g_seen.table[3].Type, CF_CALLBACK_TYPE_NOTIFY_RENAME);
  EXPECT_EQ(g_seen.table[4].Type, CF_CALLBACK_TYPE_NONE);
  EXPECT_EQ(g_seen.table[4].Callback, nullptr);
  EXPECT_NE(g_seen.table[0].Callback, g_seen.table[2].Callback);
  EXPECT_NE(g_seen.context, &host_context);  // the connection's own record, not the host's context

  const uint8_t identity[] = {9, 8, 7};
  CF_PROCESS_INFO process = {};
  process.StructSize = sizeof(process);
  process.ProcessId = 4321;
  process.ImagePath = L"C:\\app.exe";
  CF_CALLBACK_INFO info = {};
  info.StructSize = sizeof(info);
  info.ConnectionKey.Internal = 77;
  info.CallbackContext = const_cast<LPVOID>(g_seen.context);
  info.FileIdentity = identity;
  info.FileIdentityLength = sizeof(identity);
  info.NormalizedPath = L"\\root\\a.txt";
  info.TransferKey.QuadPart = 555;
  info.ProcessInfo = &process;
  info.RequestKey.QuadPart = 666;
  CF_CALLBACK_PARAMETERS params = {};
  params.FetchData.RequiredFileOffset.QuadPart = 4096;
  params.FetchData.RequiredLength.QuadPart = 8192;
  params.FetchData.OptionalLength.QuadPart = 100;
  g_seen.table[0].Callback(&info, &params);
  EXPECT_EQ(g_seen.callback_type, cf::kFetchData);
  EXPECT_EQ(g_seen.callback_info.callback_context, &host_context);
  EXPECT_EQ(g_seen.callback_info.connection_key, 77);
  EXPECT_EQ(g_seen.callback_info.normalized_path, u"\\root\\a.txt");
  EXPECT_EQ(std::vector<uint8_t>(g_seen.callback_info.file_identity.begin(), g_seen.callback_info.file_identity.end()),
            std::vector<uint8_t>(identity, identity + 3));
  EXPECT_EQ(g_seen.callback_info.transfer_key, 555);
  EXPECT_EQ(g_seen.callback_info.request_key, 666);
  EXPECT_EQ(g_seen.callback_info.process_id, 4321u);
  EXPECT_EQ(g_seen.callback_info.process_image_path, u"C:\\app.exe");
  EXPECT_EQ(g_seen.callback_args.required_file_offset, 4096);
  EXPECT_EQ(g_seen.callback_args.required_length, 8192);
  EXPECT_EQ(g_seen.callback_args.optional_length, 100);

  // The older, shorter callback record has no request key; nothing past its end is read.
  info.StructSize = offsetof(CF_CALLBACK_INFO, RequestKey);
  info.ProcessInfo = nullptr;
  params = {};
  params.Cancel.FetchData.FileOffset.QuadPart = 12288;
  params.Cancel.FetchData.Length.QuadPart = 4096;
  g_seen.table[2].Callback(&info, &params);
  EXPECT_EQ(g_seen.callback_type, cf::kCancelFetchData);
  EXPECT_EQ(g_seen.callback_info.request_key, 0);
  EXPECT_EQ(g_seen.callback_info.process_id, 0u);
  EXPECT_EQ(g_seen.callback_args.cancel_file_offset, 12288);
  EXPECT_EQ(g_seen.callback_args.cancel_length, 4096);

  params = {};
  params.Rename.TargetPath = L"\\root\\b.txt";
  g_seen.table[3].Callback(&info, &params);
  EXPECT_EQ(g_seen.callback_args.target_path, u"\\root\\b.txt");

  EXPECT_EQ(cloud->DisconnectSyncRoot(key), S_OK);
}

TEST(WindowsCloudFilesConversion, FailedConnectLeavesTheKeyAndBadTablesAreRefused) {
  const auto cloud = NewWindowsCloudFiles(FakeApi());
  g_seen.answer = HResultFromWin32(win32::kCloudFileAlreadyConnected);
  const CallbackRegistration callbacks[] = {{cf::kFetchData, &Handler}, {cf::kCallbackNone, nullptr}};
  int64_t key = -1;
  EXPECT_EQ(cloud->ConnectSyncRoot(u"C:\\root", callbacks, nullptr, 0, &key), g_seen.answer);
  EXPECT_EQ(key, -1);
  const CallbackRegistration twice[] = {{cf::kFetchData, &Handler}, {cf::kFetchData, &Handler}};
  const CallbackRegistration unknown[] = {{static_cast<cf::CallbackType>(13), &Handler}};
  g_seen.calls = 0;
  EXPECT_EQ(cloud->ConnectSyncRoot(u"C:\\root", twice, nullptr, 0, &key), kEInvalidArg);
  EXPECT_EQ(cloud->ConnectSyncRoot(u"C:\\root", unknown, nullptr, 0, &key), kEInvalidArg);
  EXPECT_EQ(g_seen.calls, 0);
}

TEST(WindowsCloudFilesConversion, ExecuteSizesEachOperationAsWindowsExpects) {
  const auto cloud = NewWindowsCloudFiles(FakeApi());
  const uint8_t data[4096] = {};
  OperationInfo info;
  info.type = cf::kTransferData;
  info.connection_key = 77;
  info.transfer_key = 555;
  info.request_key = 9;
  OperationArgs args;
  args.buffer = data;
  args.offset = 8192;
  args.length = 4096;
  args.completion_status = ntstatus::kCloudFileUnsuccessful;
  ASSERT_EQ(cloud->Execute(info, &args), S_OK);
  EXPECT_EQ(g_seen.info.StructSize, 48u);
  EXPECT_EQ(g_seen.info.ConnectionKey.Internal, 77);
  EXPECT_EQ(g_seen.info.TransferKey.QuadPart, 555);
  EXPECT_EQ(g_seen.info.RequestKey.QuadPart, 9);
  EXPECT_EQ(g_seen.params.ParamSize, 40u);
  EXPECT_EQ(g_seen.params.TransferData.Buffer, data);
  EXPECT_EQ(g_seen.params.TransferData.Offset.QuadPart, 8192);
  EXPECT_EQ(g_seen.params.TransferData.Length.QuadPart, 4096);
  EXPECT_EQ(g_seen.params.TransferData.CompletionStatus, ntstatus::kCloudFileUnsuccessful);

  info.struct_size = 32;
  info.type = cf::kAckDelete;
  ASSERT_EQ(cloud->Execute(info, &args), S_OK);
  EXPECT_EQ(g_seen.info.StructSize, 32u);
  EXPECT_EQ(g_seen.params.ParamSize, 16u);
  info.type = cf::kAckData;
  ASSERT_EQ(cloud->Execute(info, &args), S_OK);
  EXPECT_EQ(g_seen.params.ParamSize, 32u);

  g_seen.calls = 0;
  info.struct_size = 40;
  EXPECT_EQ(cloud->Execute(info, &args), kEInvalidArg);
  info.struct_size = 48;
  info.type = 8;
  EXPECT_EQ(cloud->Execute(info, &args), kEInvalidArg);
  EXPECT_EQ(g_seen.calls, 0);
}

// Verify that each entry of a batch reports its own fate, and that entries Windows never reached
// do not read as created.
TEST(WindowsCloudFilesConversion, PlaceholderBatchesReportEachEntry) {
  const auto cloud = NewWindowsCloudFiles(FakeApi());
  auto batch = [] {
    std::vector<PlaceholderCreateEntry> entries(3);
    entries[0].relative_name = u"one";
    entries[1].relative_name = u"two";
    entries[2].relative_name = u"three";
    return entries;
  };
  std::vector<PlaceholderCreateEntry> entries = batch();
  g_seen.answer = HResultFromWin32(win32::kAlreadyExists);
  uint32_t processed = 0;
  EXPECT_EQ(cloud->CreatePlaceholders(u"C:\\root", entries, cf::kCreateStopOnError, &processed), g_seen.answer);
  EXPECT_EQ(g_seen.names, (std::vector<std::u16string>{u"one", u"two", u"three"}));
  EXPECT_EQ(processed, 2u);
  EXPECT_EQ(entries[0].result, S_OK);
  EXPECT_EQ(entries[0].create_usn, 500);
  EXPECT_EQ(entries[1].result, HResultFromWin32(win32::kAlreadyExists));
  EXPECT_EQ(entries[2].result, kEAbort);

  entries = batch();
  g_seen.names.clear();
  OperationInfo info;
  info.type = cf::kTransferPlaceholders;
  OperationArgs args;
  args.placeholders = entries;
  args.placeholder_total_count = 3;
  EXPECT_EQ(cloud->Execute(info, &args), g_seen.answer);
  EXPECT_EQ(g_seen.params.ParamSize, 40u);
  EXPECT_EQ(g_seen.params.TransferPlaceholders.PlaceholderCount, 3u);
  EXPECT_EQ(g_seen.params.TransferPlaceholders.PlaceholderTotalCount.QuadPart, 3);
  EXPECT_EQ(args.entries_processed, 2u);
  EXPECT_EQ(entries[1].result, HResultFromWin32(win32::kAlreadyExists));
  EXPECT_EQ(entries[2].result, kEAbort);

  // A name cut by a NUL would create a different placeholder; nothing reaches Windows.
  entries = batch();
  entries[1].relative_name = std::u16string(u"tw\0o", 4);
  g_seen.calls = 0;
  EXPECT_EQ(cloud->CreatePlaceholders(u"C:\\root", entries, 0, &processed), kEInvalidArg);
  EXPECT_EQ(g_seen.calls, 0);
}

TEST(WindowsCloudFilesConversion, MissingEntryPointsAndForeignHandlesAreRefused) {
  const auto cloud = NewWindowsCloudFiles(FakeApi());
  EXPECT_EQ(cloud->UnregisterSyncRoot(u"C:\\root"), kProcNotFound);
  EXPECT_EQ(cloud->ReportProviderProgress(77, 1, 10, 5), kProcNotFound);

  CldApi api = FakeApi();
  api.CfSetPinState = [](HANDLE, CF_PIN_STATE, CF_SET_PIN_FLAGS, LPOVERLAPPED) -> HRESULT { return S_OK; };
  const auto with_pin = NewWindowsCloudFiles(api);
  ForeignHandle foreign;
  EXPECT_EQ(with_pin->SetPinState(foreign, cf::kPinned, 0), kEInvalidArg);
}

// ---- Shell, services and the platform ----

TEST(WindowsShell, SetLastSyncErrorAnswersWithoutDisturbingTheCallersApartment) {
  TempFolder temp;
  WriteFileBytes(temp / u"marked.txt", {1});
  const auto shell = NewWindowsShell();
  // Whatever this system's shell supports, the call answers; on Windows it succeeds.
  const HResult marked = shell->SetLastSyncError(temp / u"marked.txt", true);
  const HResult cleared = shell->SetLastSyncError(temp / u"marked.txt", false);
  if (!RunningUnderWine()) {
    EXPECT_EQ(marked, S_OK);
    EXPECT_EQ(cleared, S_OK);
  }
  EXPECT_EQ(shell->SetLastSyncError(std::u16string(u"C:\\a\0b", 6), true), kEInvalidArg);

  // A thread already in a single-threaded apartment stays in it.
  ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
  static_cast<void>(shell->SetLastSyncError(temp / u"marked.txt", true));
  EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
  CoUninitialize();
  CoUninitialize();
}

TEST(WindowsPlatform, DefaultPlatformIsOneObjectOverTheSystem) {
  Platform& platform = DefaultPlatform();
  EXPECT_EQ(&platform, &DefaultPlatform());
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const uint64_t expected = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  const uint64_t reported = platform.system().NowFileTime();
  EXPECT_LT(reported > expected ? reported - expected : expected - reported, 10000000u);  // within a second
  EXPECT_EQ(platform.system().CurrentThreadId(), GetCurrentThreadId());
  const std::u16string text = platform.system().MessageText(2);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), u'\n');
}

}  // namespace
}  // namespace ostrasync::platform

