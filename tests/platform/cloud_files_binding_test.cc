// Tests of the cloud-files binding over the recording fake: what reaches the OS, what is logged,
// how handles and connection contexts live and die, and what the callback adapters hand over.
#include "platform/cloud_files_binding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing/recording_platform.h"

namespace ostrasync::platform {
namespace {

using testing::RecordedCall;
using testing::RecordingLog;
using testing::RecordingPlatform;
using Line = RecordingLog::Line;

constexpr char16_t kRoot[] = u"C:\\Cloud";
constexpr char16_t kFile[] = u"C:\\Cloud\\a.txt";
constexpr char16_t kDir[] = u"C:\\Cloud\\docs";
constexpr HResult kInUse = HResultFromWin32(win32::kCloudFileInUse);

Line Trace(std::u16string text) { return {kBindingTraceLevel, std::move(text)}; }
Line Error(std::u16string text) { return {kBindingErrorLevel, std::move(text)}; }

// What the engine's dispatcher saw of one callback: the values are read back as text while the
// set is still alive, since the adapter frees it when the dispatcher returns.
struct Delivery {
  cf::CallbackType type;
  std::u16string path;
  bool has_set = false;
  std::map<std::u16string, std::u16string> values;
};

struct DispatchRecorder {
  std::mutex mutex;
  std::vector<Delivery> deliveries;  // guarded by mutex
  std::function<void()> during;      // runs inside the dispatcher, when set

  static void Dispatch(void* engine, cf::CallbackType type, const CallbackInfo& info, CallbackParameters* set) {
    auto* self = static_cast<DispatchRecorder*>(engine);
    Delivery delivery{type, info.normalized_path, set != nullptr, {}};
    if (set != nullptr) {
      for (const char16_t* name :
           {u"Flags", u"OptionalFileOffset", u"OptionalLength", u"RequiredFileOffset", u"RequiredLength",
            u"LastDehydrationReason", u"LastDehydrationTime", u"Pattern", u"FileOffset", u"Length", u"Reason",
            u"TargetPath", u"SourcePath"}) {
        std::u16string text;
        if (set->ReadString(name, &text) == kSOk) delivery.values[name] = text;
      }
    }
    if (self->during) self->during();
    std::lock_guard lock(self->mutex);
    self->deliveries.push_back(std::move(delivery));
  }
  std::vector<Delivery> Take() {
    std::lock_guard lock(mutex);
    return std::exchange(deliveries, {});
  }
};

class CloudFilesBindingTest : public ::testing::Test {
 protected:
  ConnectionContext* Connect(uint32_t open_close = 0, uint32_t delete_rename = 0) {
    ConnectRootRequest request;
    request.path = kRoot;
    request.dispatcher = &DispatchRecorder::Dispatch;
    request.engine = &recorder_;
    request.connect_flags = cf::kConnectRequireProcessInfo | cf::kConnectRequireFullFilePath;
    request.open_close_notifications = open_close;
    request.delete_rename_notifications = delete_rename;
    EXPECT_EQ(binding_.ConnectPlaceholderRoot(&request), kSOk);
    return request.context;
  }
  HResult Disconnect(ConnectionContext* context) {
    DisconnectRootRequest request;
    request.context = context;
    return binding_.DisconnectPlaceholderRoot(&request);
  }
  static CallbackInfo InfoFor(const char16_t* path) {
    CallbackInfo info;
    info.normalized_path = path;
    return info;
  }

  RecordingPlatform fake_;
  RecordingLog log_;
  DispatchRecorder recorder_;
  CloudFilesBinding binding_{fake_, log_};
};

TEST_F(CloudFilesBindingTest, MalformedRecordsAreRefusedWithoutAnyCall) {
  const int contexts = ConnectionContext::LiveContextsForTest();
  ConvertRequest short_record;
  short_record.path = kFile;
  short_record.size -= 1;
  PlaceholderInfoRequest no_output;
  no_output.path = kFile;
  ConnectRootRequest no_dispatcher;
  no_dispatcher.path = kRoot;
  CreatePlaceholderRequest no_name;
  no_name.base_directory = kRoot;
  RegisterRootRequest no_provider;
  no_provider.path = kRoot;
  ExecuteActionRequest no_set;
  PlaceholderRangeRequest no_path;
  EXPECT_EQ(binding_.ConvertToPlaceholder(nullptr), kEInvalidArg);
  EXPECT_EQ(binding_.ConvertToPlaceholder(&short_record), kEInvalidArg);
  EXPECT_EQ(binding_.GetPlaceholderInfo(&no_output), kEInvalidArg);
  EXPECT_EQ(binding_.ConnectPlaceholderRoot(&no_dispatcher), kEInvalidArg);
  EXPECT_EQ(no_dispatcher.context, nullptr);
  EXPECT_EQ(binding_.CreatePlaceholder(&no_name), kEInvalidArg);
  EXPECT_EQ(binding_.RegisterPlaceholderRoot(&no_provider), kEInvalidArg);
  EXPECT_EQ(binding_.ExecutePlaceholderAction(&no_set), kEInvalidArg);
  EXPECT_EQ(binding_.HydratePlaceholder(&no_path), kEInvalidArg);
  EXPECT_EQ(binding_.DehydratePlaceholder(&no_path), kEInvalidArg);
  EXPECT_EQ(binding_.UpdatePlaceholder(nullptr), kEInvalidArg);
  EXPECT_EQ(binding_.SetPlaceholderStates(nullptr), kEInvalidArg);
  EXPECT_EQ(binding_.SetItemSyncErrorState(nullptr), kEInvalidArg);
  EXPECT_EQ(binding_.DisconnectPlaceholderRoot(nullptr), kEInvalidArg);
  EXPECT_EQ(binding_.UnregisterPlaceholderRoot(nullptr), kEInvalidArg);
  EXPECT_EQ(binding_.ReportProviderProgress(nullptr), kEInvalidArg);
  EXPECT_EQ(binding_.GetPlaceholderState(nullptr), cf::kStateInvalid);
  EXPECT_TRUE(fake_.calls().empty());
  EXPECT_TRUE(log_.lines().empty());
  EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts);
}

// One operation on one item, for the checks every such operation shares.
struct ItemCase {
  const char* name;
  std::string os_call;
  bool adds_normal_attribute;
  std::function<HResult(CloudFilesBinding&, const char16_t*)> run;
};

std::vector<ItemCase> ItemCases() {
  return {
      {"ConvertToPlaceholder", "CloudFiles.ConvertToPlaceholder", false,
       [](CloudFilesBinding& b, const char16_t* path) {
         ConvertRequest r;
         r.path = path;
         return b.ConvertToPlaceholder(&r);
       }},
      {"UpdatePlaceholder", "CloudFiles.UpdatePlaceholder", true,
       [](CloudFilesBinding& b, const char16_t* path) {
         UpdatePlaceholderRequest r;
         r.path = path;
         return b.UpdatePlaceholder(&r);
       }},
      {"HydratePlaceholder", "CloudFiles.HydratePlaceholder", true,
       [](CloudFilesBinding& b, const char16_t* path) {
         PlaceholderRangeRequest r;
         r.path = path;
         return b.HydratePlaceholder(&r);
       }},
      {"DehydratePlaceholder", "CloudFiles.DehydratePlaceholder", true,
       [](CloudFilesBinding& b, const char16_t* path) {
         PlaceholderRangeRequest r;
         r.path = path;
         return b.DehydratePlaceholder(&r);
       }},
      {"GetPlaceholderInfo", "CloudFiles.GetPlaceholderInfo", false,
       [](CloudFilesBinding& b, const char16_t* path) {
         PlaceholderInfo info;
         PlaceholderInfoRequest r;
         r.path = path;
         r.info = &info;
         return b.GetPlaceholderInfo(&r);
       }},
      {"SetPlaceholderStates", "CloudFiles.SetPinState", false,
       [](CloudFilesBinding& b, const char16_t* path) {
         PlaceholderStatesRequest r;
         r.path = path;
         r.which = kSetPinState;
         return b.SetPlaceholderStates(&r);
       }},
  };
}

TEST(CloudFilesBindingItems, EachItemIsOpenedAsTheOsNeedsAndAlwaysClosed) {
  for (const ItemCase& c : ItemCases()) {
    for (const bool directory : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (directory ? " on a directory" : " on a file"));
      const char16_t* path = directory ? kDir : kFile;
      RecordingPlatform fake;
      RecordingLog log;
      CloudFilesBinding binding(fake, log);
      fake.SetAttributes(path, directory ? attr::kDirectory : attr::kArchive);

      ASSERT_EQ(c.run(binding, path), kSOk);
      // A file opens at the first try; a folder refuses it, which sends the binding to its
      // attributes and then to the open a folder needs.
      const std::vector<std::string> opening =
          directory ? std::vector<std::string>{"FileSystem.Open", "FileSystem.ReadAttributes", "FileSystem.Open"}
                    : std::vector<std::string>{"FileSystem.Open"};
      std::vector<std::string> expected = opening;
      expected.insert(expected.end(), {c.os_call, "FileHandle.Close"});
      EXPECT_EQ(fake.operations(), expected);
      const RecordedCall open = fake.CallsTo("FileSystem.Open").back();
      EXPECT_EQ(open.path, path);
      EXPECT_EQ(open.open.desired_access, 0u);
      EXPECT_EQ(open.open.share_mode, share::kRead);
      EXPECT_EQ(open.open.disposition, 3u);
      EXPECT_EQ(open.open.flags_and_attributes, (directory ? open_flag::kBackupSemantics : 0u) |
                                                    (c.adds_normal_attribute ? attr::kNormal : 0u));
      EXPECT_EQ(fake.CallsTo(c.os_call).at(0).path, path);
      EXPECT_EQ(log.lines().back().level, kBindingTraceLevel);

      // A failing OS call still closes the handle, returns the OS code and logs it with its text.
      fake.SetResult(c.os_call, static_cast<uint32_t>(kInUse));
      log.Clear();
      EXPECT_EQ(c.run(binding, path), kInUse);
      EXPECT_EQ(fake.open_handles(), 0);
      EXPECT_EQ(fake.handles_opened(), 2);
      const std::vector<Line> lines = log.lines();
      ASSERT_GE(lines.size(), 2u);
      EXPECT_EQ(lines[lines.size() - 2].level, kBindingErrorLevel);
      EXPECT_NE(lines[lines.size() - 2].text.find(u"result code: 0x80070187"), std::u16string::npos);
      EXPECT_EQ(lines.back(), Error(u"OS error message: System text of 0x80070187"));

      // An item that cannot be opened gives HRESULT_FROM_WIN32 of the open's error, and no OS call.
      fake.SetResult("FileSystem.Open", win32::kSharingViolation);
      fake.ClearCalls();
      EXPECT_EQ(c.run(binding, path), HResultFromWin32(win32::kSharingViolation));
      EXPECT_TRUE(fake.CallsTo(c.os_call).empty());
      EXPECT_EQ(fake.open_handles(), 0);
    }
  }
}

TEST_F(CloudFilesBindingTest, LinesAreLoggedWithTheSystemTextAsAnArgument) {
  const uint8_t identity[] = {1, 2, 3};
  ConvertRequest convert;
  convert.path = kFile;
  convert.identity = identity;
  convert.flags = cf::kConvertMarkInSync | cf::kConvertDehydrate;
  ASSERT_EQ(binding_.ConvertToPlaceholder(&convert), kSOk);
  EXPECT_EQ(fake_.CallsTo("CloudFiles.ConvertToPlaceholder").at(0).identity, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"ConvertToPlaceholder called for 'C:\\Cloud\\a.txt', flags: 0x3"),
                                             Trace(u"ConvertToPlaceholder result code: 0x0")}));

  // A system text holding conversions is printed as it stands.
  fake_.SetMessageText(0x80070005, u"Access to %s %d %1 is denied");
  fake_.SetResult("FileSystem.Open", win32::kAccessDenied);
  log_.Clear();
  PlaceholderRangeRequest dehydrate;
  dehydrate.path = kFile;
  EXPECT_EQ(binding_.DehydratePlaceholder(&dehydrate), HResultFromWin32(win32::kAccessDenied));
  EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"DehydratePlaceholder called for 'C:\\Cloud\\a.txt'"),
                                             Error(u"Opening of 'C:\\Cloud\\a.txt' failed with error code 0x5"),
                                             Error(u"DehydratePlaceholder result code: 0x80070005"),
                                             Error(u"OS error message: Access to %s %d %1 is denied")}));
}

TEST_F(CloudFilesBindingTest, FilePlaceholdersAreOneEntryWhoseOwnFailureIsReturned) {
  const uint8_t identity[] = {9, 8};
  CreatePlaceholderRequest request;
  request.base_directory = kRoot;
  request.relative_name = u"new.txt";
  request.file_size = 1234;
  request.change_time = 14;
  request.attributes = attr::kArchive;
  request.identity = identity;
  request.create_flags = cf::kCreateStopOnError;
  request.placeholder_flags = cf::kPlaceholderCreateMarkInSync;
  ASSERT_EQ(binding_.CreatePlaceholder(&request), kSOk);
  const RecordedCall call = fake_.CallsTo("CloudFiles.CreatePlaceholders").at(0);
  EXPECT_EQ(call.path, kRoot);
  EXPECT_EQ(call.flags, cf::kCreateStopOnError);
  ASSERT_EQ(call.entries.size(), 1u);
  EXPECT_EQ(call.entries[0].relative_name, u"new.txt");
  EXPECT_EQ(call.entries[0].flags, cf::kPlaceholderCreateMarkInSync);
  EXPECT_EQ(call.entries[0].identity, (std::vector<uint8_t>{9, 8}));
  EXPECT_EQ(call.entries[0].metadata.file_size, 1234);
  EXPECT_EQ(call.entries[0].metadata.change_time, 14u);
  EXPECT_EQ(fake_.handles_opened(), 0);
  EXPECT_EQ(log_.lines().at(0), Trace(u"CreatePlaceholder called for 'new.txt', flags: 0x2"));

  // The batch call succeeded but the one placeholder was not made: that is the caller's failure.
  fake_.SetEntryResult(HResultFromWin32(win32::kFileExists));
  log_.Clear();
  EXPECT_EQ(binding_.CreatePlaceholder(&request), HResultFromWin32(win32::kFileExists));
  EXPECT_EQ(log_.lines().at(1), Error(u"CreatePlaceholder result code: 0x80070050"));
}

TEST_F(CloudFilesBindingTest, DirectoryPlaceholdersAreConvertedFoldersWithTranslatedFlags) {
  const uint8_t identity[] = {7};
  CreatePlaceholderRequest request;
  request.base_directory = u"C:\\Cloud\\";
  request.relative_name = u"docs";
  request.attributes = attr::kDirectory;
  request.identity = identity;
  request.create_flags = cf::kCreateStopOnError;  // a batch flag, meaningless for one conversion
  request.placeholder_flags = cf::kPlaceholderCreateMarkInSync;
  fake_.SetAttributes(kDir, attr::kDirectory);
  ASSERT_EQ(binding_.CreatePlaceholder(&request), kSOk);
  EXPECT_TRUE(fake_.CallsTo("CloudFiles.CreatePlaceholders").empty());
  RecordedCall call = fake_.CallsTo("CloudFiles.ConvertToPlaceholder").at(0);
  EXPECT_EQ(call.path, kDir);
  EXPECT_EQ(call.flags, cf::kConvertMarkInSync | cf::kConvertEnableOnDemandPopulation);
  EXPECT_EQ(call.identity, (std::vector<uint8_t>{7}));
  EXPECT_EQ(fake_.CallsTo("FileSystem.Open").back().open.flags_and_attributes, open_flag::kBackupSemantics);
  EXPECT_EQ(fake_.open_handles(), 0);

  request.placeholder_flags = cf::kPlaceholderCreateDisableOnDemandPopulation | cf::kPlaceholderCreateAlwaysFull;
  fake_.ClearCalls();
  ASSERT_EQ(binding_.CreatePlaceholder(&request), kSOk);
  call = fake_.CallsTo("CloudFiles.ConvertToPlaceholder").at(0);
  EXPECT_EQ(call.flags, cf::kConvertAlwaysFull);

  // A folder that does not exist yet cannot become a placeholder.
  fake_.SetResult("FileSystem.Open", win32::kFileNotFound);
  EXPECT_EQ(binding_.CreatePlaceholder(&request), HResultFromWin32(win32::kFileNotFound));
}

TEST_F(CloudFilesBindingTest, UpdatesSendNoSizeForDirectories) {
  const FileRange ranges[] = {{0, 4096}, {8192, 100}};
  UpdatePlaceholderRequest request;
  request.path = kFile;
  request.file_size = 777;
  request.attributes = attr::kArchive;
  request.flags = cf::kUpdateDehydrate;
  request.dehydrate_ranges = ranges;
  ASSERT_EQ(binding_.UpdatePlaceholder(&request), kSOk);
  request.attributes = attr::kDirectory;
  ASSERT_EQ(binding_.UpdatePlaceholder(&request), kSOk);
  const std::vector<RecordedCall> calls = fake_.CallsTo("CloudFiles.UpdatePlaceholder");
  EXPECT_EQ(calls.at(0).metadata->file_size, 777);
  EXPECT_EQ(calls.at(0).ranges.size(), 2u);
  EXPECT_EQ(calls.at(0).flags, cf::kUpdateDehydrate);
  EXPECT_EQ(calls.at(1).metadata->file_size, 0);
}

TEST_F(CloudFilesBindingTest, PlaceholderInfoIsReturnedAndClearedOnFailure) {
  PlaceholderInfo answer;
  answer.pin_state = cf::kPinned;
  answer.identity = {4, 2};
  fake_.SetPlaceholderInfo(answer);
  PlaceholderInfo info;
  PlaceholderInfoRequest request;
  request.path = kFile;
  request.info_class = cf::kPlaceholderInfoStandard;
  request.info = &info;
  ASSERT_EQ(binding_.GetPlaceholderInfo(&request), kSOk);
  EXPECT_EQ(info.pin_state, cf::kPinned);
  EXPECT_EQ(info.identity, (std::vector<uint8_t>{4, 2}));
  EXPECT_EQ(fake_.CallsTo("CloudFiles.GetPlaceholderInfo").at(0).value, cf::kPlaceholderInfoStandard);
  EXPECT_EQ(log_.lines().back(), Trace(u"GetPlaceholderInfo for 'C:\\Cloud\\a.txt' result code: 0x0"));

  fake_.SetResult("CloudFiles.GetPlaceholderInfo", static_cast<uint32_t>(HResultFromWin32(win32::kNotACloudFile)));
  EXPECT_EQ(binding_.GetPlaceholderInfo(&request), HResultFromWin32(win32::kNotACloudFile));
  EXPECT_EQ(info.pin_state, cf::kPinUnspecified);
  EXPECT_TRUE(info.identity.empty());
}

TEST_F(CloudFilesBindingTest, PlaceholderStateComesFromTheSearchOrIsInvalid) {
  FindData found;
  found.name = u"a.txt";
  found.attributes = attr::kReparsePoint;
  fake_.SetFindResult(kFile, {found});
  fake_.SetPlaceholderState(cf::kStatePlaceholder | cf::kStateInSync);
  EXPECT_EQ(binding_.GetPlaceholderState(kFile), cf::kStatePlaceholder | cf::kStateInSync);
  EXPECT_EQ(fake_.CallsTo("CloudFiles.PlaceholderStateFromFindData").at(0).path, u"a.txt");
  EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"GetPlaceholderState called for 'C:\\Cloud\\a.txt'"),
                                             Trace(u"GetPlaceholderState for 'C:\\Cloud\\a.txt' result: 0x9")}));

  EXPECT_EQ(binding_.GetPlaceholderState(u"C:\\Cloud\\gone.txt"), cf::kStateInvalid);
  // A wildcard would make the search answer for some other item.
  fake_.SetFindResult(u"C:\\Cloud\\*.txt", {found});
  fake_.ClearCalls();
  EXPECT_EQ(binding_.GetPlaceholderState(u"C:\\Cloud\\*.txt"), cf::kStateInvalid);
  EXPECT_TRUE(fake_.calls().empty());
}

TEST_F(CloudFilesBindingTest, SyncErrorMarkGoesThroughTheShellSilently) {
  SyncErrorStateRequest request;
  request.path = kFile;
  request.error = true;
  ASSERT_EQ(binding_.SetItemSyncErrorState(&request), kSOk);
  fake_.SetResult("Shell.SetLastSyncError", static_cast<uint32_t>(kEFail));
  EXPECT_EQ(binding_.SetItemSyncErrorState(&request), kEFail);
  const RecordedCall call = fake_.CallsTo("Shell.SetLastSyncError").at(0);
  EXPECT_EQ(call.path, kFile);
  EXPECT_TRUE(call.error);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(CloudFilesBindingTest, StatesArePinnedFirstAndInSyncOnlyAfterASuccessfulPin) {
  fake_.SetNextUsn(0x4444);
  PlaceholderStatesRequest request;
  request.path = kFile;
  request.which = kSetPinState | kSetInSyncState;
  request.pin_state = cf::kUnpinned;
  request.pin_flags = cf::kSetPinRecurse;
  request.in_sync_state = cf::kInSync;
  request.usn = 0x7777;  // whatever the caller left in the record must not become a condition
  ASSERT_EQ(binding_.SetPlaceholderStates(&request), kSOk);
  EXPECT_EQ(fake_.operations(),
            (std::vector<std::string>{"FileSystem.Open", "CloudFiles.SetPinState", "CloudFiles.SetInSyncState",
                                      "FileHandle.Close"}));
  const RecordedCall pin = fake_.CallsTo("CloudFiles.SetPinState").at(0);
  EXPECT_EQ(pin.value, cf::kUnpinned);
  EXPECT_EQ(pin.flags, cf::kSetPinRecurse);
  const RecordedCall in_sync = fake_.CallsTo("CloudFiles.SetInSyncState").at(0);
  EXPECT_EQ(in_sync.value, cf::kInSync);
  EXPECT_EQ(in_sync.usn_in, 0);
  EXPECT_EQ(request.usn, 0x4444);
  EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"SetPlaceholderStates called for 'C:\\Cloud\\a.txt'"),
                                             Trace(u"SetPlaceholderStates pin state: 2, pin flags: 1"),
                                             Trace(u"SetPlaceholderStates in-sync state: 1, sync flags: 0"),
                                             Trace(u"SetPlaceholderStates result code: 0x0")}));

  fake_.SetResult("CloudFiles.SetPinState", static_cast<uint32_t>(kInUse));
  fake_.ClearCalls();
  EXPECT_EQ(binding_.SetPlaceholderStates(&request), kInUse);
  EXPECT_TRUE(fake_.CallsTo("CloudFiles.SetInSyncState").empty());
  EXPECT_EQ(request.usn, 0);

  // Nothing asked for: nothing opened.
  request.which = 0;
  fake_.ClearCalls();
  EXPECT_EQ(binding_.SetPlaceholderStates(&request), kSOk);
  EXPECT_TRUE(fake_.CallsTo("FileSystem.Open").empty());
}

TEST_F(CloudFilesBindingTest, AnswersAreBuiltFromTheParameterSet) {
  CallbackParametersPtr set = CallbackParameters::Create();
  const char data[] = "chunk";
  ASSERT_EQ(set->SetInt64(u"Offset", 8192), kSOk);
  ASSERT_EQ(set->SetInt64(u"Length", 5), kSOk);
  ASSERT_EQ(set->SetInt32(u"Flags", 0), kSOk);
  ASSERT_EQ(set->SetPointer(u"Buffer", data), kSOk);
  const char vector_bytes[130] = {};
  ExecuteActionRequest request;
  request.operation_type = cf::kTransferData;
  request.connection_key = 0x51;
  request.transfer_key = 0x52;
  request.correlation_vector = vector_bytes;
  request.parameters = set.get();
  request.completion_status = ntstatus::kCloudFileUnsuccessful;
  ASSERT_EQ(binding_.ExecutePlaceholderAction(&request), kSOk);
  RecordedCall call = fake_.CallsTo("CloudFiles.Execute").at(0);
  EXPECT_EQ(call.operation_info.struct_size, 32u);
  EXPECT_EQ(call.operation_info.type, cf::kTransferData);
  EXPECT_EQ(call.operation_info.connection_key, 0x51);
  EXPECT_EQ(call.operation_info.transfer_key, 0x52);
  EXPECT_EQ(call.operation_info.correlation_vector, vector_bytes);
  EXPECT_EQ(call.offset, 8192);
  EXPECT_EQ(call.length, 5);
  EXPECT_EQ(call.buffer, data);
  EXPECT_EQ(call.completion_status, ntstatus::kCloudFileUnsuccessful);
  EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"ExecutePlaceholderAction called, type: 0"),
                                             Trace(u"ExecutePlaceholderAction result code: 0x0")}));

  const uint8_t identity[] = {1, 2, 3, 4};
  ASSERT_EQ(set->SetPointer(u"FileIdentity", identity), kSOk);
  ASSERT_EQ(set->SetInt32(u"FileIdentityLength", 4), kSOk);
  request.operation_type = cf::kAckDehydrate;
  ASSERT_EQ(binding_.ExecutePlaceholderAction(&request), kSOk);
  call = fake_.CallsTo("CloudFiles.Execute").at(1);
  EXPECT_EQ(call.identity, (std::vector<uint8_t>{1, 2, 3, 4}));

}

TEST_F(CloudFilesBindingTest, AnAnswerWithAnUnreadableValueNeverReachesTheOs) {
  CallbackParametersPtr set = CallbackParameters::Create();
  ASSERT_EQ(set->SetInt64(u"Offset", 0), kSOk);
  ASSERT_EQ(set->SetInt64(u"Length", 5), kSOk);
  ASSERT_EQ(set->SetInt32(u"Flags", 0), kSOk);
  ExecuteActionRequest request;
  request.parameters = set.get();
  // "Buffer" is absent. The set says 1, which is no failure code: the caller must see one.
  EXPECT_EQ(binding_.ExecutePlaceholderAction(&request), kEInvalidArg);
  // A value of the wrong kind gives the set's own failure.
  ASSERT_EQ(set->SetString(u"Buffer", u"not an address"), kSOk);
  EXPECT_EQ(binding_.ExecutePlaceholderAction(&request), kParameterTypeMismatch);
  // A length with no data behind it would make the OS read from nowhere.
  ASSERT_EQ(set->SetPointer(u"Buffer", nullptr), kSOk);
  EXPECT_EQ(binding_.ExecutePlaceholderAction(&request), kEInvalidArg);
  request.operation_type = cf::kAckDehydrate;  // no identity values at all
  EXPECT_EQ(binding_.ExecutePlaceholderAction(&request), kEInvalidArg);
  request.operation_type = cf::kRetrieveData;  // not an answer the engine gives
  EXPECT_EQ(binding_.ExecutePlaceholderAction(&request), kEInvalidArg);
  EXPECT_TRUE(fake_.CallsTo("CloudFiles.Execute").empty());

  // An OS failure is returned, with no result line.
  ASSERT_EQ(set->SetPointer(u"Buffer", "chunk"), kSOk);
  request.operation_type = cf::kTransferData;
  fake_.SetResult("CloudFiles.Execute", static_cast<uint32_t>(kInUse));
  log_.Clear();
  EXPECT_EQ(binding_.ExecutePlaceholderAction(&request), kInUse);
  EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"ExecutePlaceholderAction called, type: 0")}));
}

TEST_F(CloudFilesBindingTest, PlaceholderListsTravelInTheRequest) {
  CallbackParametersPtr set = CallbackParameters::Create();
  std::vector<PlaceholderCreateEntry> entries(2);
  entries[0].relative_name = u"one";
  entries[1].relative_name = u"two";
  fake_.SetEntryResult(HResultFromWin32(win32::kFileExists));
  ExecuteActionRequest request;
  request.operation_type = cf::kTransferPlaceholders;
  request.parameters = set.get();
  request.placeholders = entries;
  request.placeholder_total_count = 2;
  request.placeholder_flags = cf::kTransferPlaceholdersDisableOnDemandPopulation;
  ASSERT_EQ(binding_.ExecutePlaceholderAction(&request), kSOk);
  const RecordedCall call = fake_.CallsTo("CloudFiles.Execute").at(0);
  ASSERT_EQ(call.entries.size(), 2u);
  EXPECT_EQ(call.entries[1].relative_name, u"two");
  EXPECT_EQ(call.total, 2);
  EXPECT_EQ(call.flags, cf::kTransferPlaceholdersDisableOnDemandPopulation);
  EXPECT_EQ(request.entries_processed, 2u);
  EXPECT_EQ(entries[0].result, HResultFromWin32(win32::kFileExists));  // written back to the caller's entries
}

TEST(CompletionStatus, HostResultsMapToCloudFileStatuses) {
  const std::pair<uint32_t, uint32_t> table[] = {
      {0, 0},
      {0x21000001, 0},
      {0x21000004, 0xC000CF0B},
      {0x21000005, 0xC000CF0B},
      {0x21000006, 0xC000CF18},
      {0x21000012, 0xC000CF08},
      {0x21000030, 0xC000CF16},
      {0x21000002, 0xC000CF12},
      {0x80070005, 0xC000CF12},
      {1, 0xC000CF12},
  };
  for (const auto& [host, status] : table) {
    EXPECT_EQ(static_cast<uint32_t>(CompletionStatusFromHostResult(static_cast<int32_t>(host))), status)
        << std::hex << host;
  }
}

TEST_F(CloudFilesBindingTest, ConnectRegistersTheTableInOrderWithSwitchedOffTypesNull) {
  const std::vector<uint32_t> order = {0, 1, 2, 3, 4, 7, 8, 9, 10, 11, 12, 5, 6, cf::kCallbackNone};
  for (const auto& [open_close, delete_rename] : {std::pair{0u, 0u}, std::pair{1u, 0u}, std::pair{0u, 1u}}) {
    fake_.ClearCalls();
    log_.Clear();
    ConnectionContext* context = Connect(open_close, delete_rename);
    ASSERT_NE(context, nullptr);
    const RecordedCall call = fake_.CallsTo("CloudFiles.ConnectSyncRoot").at(0);
    EXPECT_EQ(call.path, kRoot);
    EXPECT_EQ(call.flags, 6u);
    EXPECT_EQ(call.context, context);
    ASSERT_EQ(call.callbacks.size(), order.size());
    for (size_t i = 0; i < order.size(); ++i) {
      EXPECT_EQ(call.callbacks[i].type, order[i]) << i;
      const bool switched_off = (order[i] >= 9 && order[i] <= 12 && !delete_rename) ||
                                ((order[i] == 5 || order[i] == 6) && !open_close) || order[i] == cf::kCallbackNone;
      EXPECT_EQ(call.callbacks[i].function == nullptr, switched_off) << "type " << order[i];
    }
    EXPECT_EQ(context->dispatcher(), &DispatchRecorder::Dispatch);
    EXPECT_EQ(context->engine(), &recorder_);
    const int64_t key = context->connection_key();
    EXPECT_GE(key, 0x5000);
    EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"ConnectPlaceholderRoot called 'C:\\Cloud', flags: 0x6"),
                                               Trace(u"ConnectPlaceholderRoot result code: 0x0")}));
    ASSERT_EQ(Disconnect(context), kSOk);
    EXPECT_EQ(fake_.CallsTo("CloudFiles.DisconnectSyncRoot").at(0).connection_key, key);
    EXPECT_EQ(log_.lines().back(),
              Trace(engine::FormatLogMessage(u"DisconnectPlaceholderRoot called for handle 0x%x", {key})));
  }
}

TEST_F(CloudFilesBindingTest, AFailedConnectFreesItsContext) {
  const int contexts = ConnectionContext::LiveContextsForTest();
  fake_.SetResult("CloudFiles.ConnectSyncRoot", static_cast<uint32_t>(HResultFromWin32(win32::kNotACloudSyncRoot)));
  ConnectRootRequest request;
  request.path = kRoot;
  request.dispatcher = &DispatchRecorder::Dispatch;
  EXPECT_EQ(binding_.ConnectPlaceholderRoot(&request), HResultFromWin32(win32::kNotACloudSyncRoot));
  EXPECT_EQ(request.context, nullptr);
  EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts);
  EXPECT_EQ(log_.lines().at(1), Error(u"ConnectPlaceholderRoot result code: 0x80070195"));
  EXPECT_EQ(log_.lines().at(2), Error(u"OS error message: System text of 0x80070195"));
}

TEST_F(CloudFilesBindingTest, AFailedDisconnectKeepsTheContextForCallbacksStillComing) {
  const int contexts = ConnectionContext::LiveContextsForTest();
  ConnectionContext* context = Connect();
  fake_.SetResult("CloudFiles.DisconnectSyncRoot", static_cast<uint32_t>(kEFail));
  DisconnectRootRequest request;
  request.context = context;
  EXPECT_EQ(binding_.DisconnectPlaceholderRoot(&request), kEFail);
  EXPECT_EQ(request.context, context);
  EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts + 1);
  // The OS still holds the connection and calls back through the context: under ASan a freed
  // context fails here.
  EXPECT_TRUE(fake_.Deliver(cf::kCancelFetchData, InfoFor(u"\\Cloud\\a.txt"), {}));
  EXPECT_EQ(recorder_.Take().size(), 1u);

  fake_.SetResult("CloudFiles.DisconnectSyncRoot", 0);
  EXPECT_EQ(binding_.DisconnectPlaceholderRoot(&request), kSOk);
  EXPECT_EQ(request.context, nullptr);
  EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts);
}

TEST_F(CloudFilesBindingTest, DisconnectWaitsForTheCallbackInFlightBeforeFreeing) {
  const int contexts = ConnectionContext::LiveContextsForTest();
  std::mutex gate_mutex;
  std::condition_variable gate_changed;
  bool entered = false;
  bool released = false;
  recorder_.during = [&] {
    std::unique_lock lock(gate_mutex);
    entered = true;
    gate_changed.notify_all();
    gate_changed.wait(lock, [&] { return released; });
  };
  ConnectionContext* context = Connect();
  std::thread callback = fake_.DeliverOnNewThread(cf::kFetchData, InfoFor(u"\\Cloud\\a.txt"), {});
  {
    std::unique_lock lock(gate_mutex);
    ASSERT_TRUE(gate_changed.wait_for(lock, std::chrono::seconds(30), [&] { return entered; }));
  }
  EXPECT_EQ(context->callbacks_in_flight(), 1);

  std::atomic<bool> disconnected{false};
  std::thread disconnect([&] {
    EXPECT_EQ(Disconnect(context), kSOk);
    disconnected = true;
  });
  // The OS has let go of the connection, but the callback is still using the context.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (fake_.connections() != 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  ASSERT_EQ(fake_.connections(), 0);
  EXPECT_FALSE(disconnected);
  EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts + 1);
  {
    std::lock_guard lock(gate_mutex);
    released = true;
  }
  gate_changed.notify_all();
  callback.join();
  disconnect.join();
  EXPECT_TRUE(disconnected);
  EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts);
  EXPECT_EQ(recorder_.Take().size(), 1u);
}

TEST_F(CloudFilesBindingTest, ACallbackMayDisconnectItsOwnConnection) {
  const int contexts = ConnectionContext::LiveContextsForTest();
  ConnectionContext* context = Connect();
  HResult result = kEFail;
  recorder_.during = [&] {
    result = Disconnect(context);
    // The context is still ours until this callback returns.
    EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts + 1);
  };
  EXPECT_TRUE(fake_.Deliver(cf::kFetchData, InfoFor(u"\\Cloud\\a.txt"), {}));
  EXPECT_EQ(result, kSOk);
  EXPECT_EQ(ConnectionContext::LiveContextsForTest(), contexts);
}

TEST_F(CloudFilesBindingTest, AdaptersHandTheCallbackValuesToTheDispatcherByName) {
  ConnectionContext* context = Connect(1, 1);
  CallbackArgs fetch;
  fetch.flags = 2;
  fetch.required_file_offset = 4096;
  fetch.required_length = 8192;
  fetch.optional_file_offset = 0;
  fetch.optional_length = 65536;
  fetch.last_dehydration_reason = 3;
  fetch.last_dehydration_time = 132000000000000000;
  ASSERT_TRUE(fake_.Deliver(cf::kFetchData, InfoFor(u"\\Cloud\\a.txt"), fetch));
  ASSERT_TRUE(fake_.Deliver(cf::kValidateData, InfoFor(u"\\Cloud\\a.txt"), fetch));
  ASSERT_TRUE(fake_.Deliver(cf::kCancelFetchData, InfoFor(u"\\Cloud\\a.txt"), fetch));
  CallbackArgs listing;
  listing.flags = 0;
  listing.pattern = u"*";
  ASSERT_TRUE(fake_.Deliver(cf::kFetchPlaceholders, InfoFor(u"\\Cloud\\docs"), listing));
  CallbackArgs cancel;
  cancel.flags = 1;
  cancel.cancel_file_offset = 10;
  cancel.cancel_length = 20;
  ASSERT_TRUE(fake_.Deliver(cf::kCancelFetchPlaceholders, InfoFor(u"\\Cloud\\docs"), cancel));
  CallbackArgs dehydrate;
  dehydrate.flags = 2;
  dehydrate.reason = 1;
  ASSERT_TRUE(fake_.Deliver(cf::kNotifyDehydrate, InfoFor(u"\\Cloud\\a.txt"), dehydrate));
  ASSERT_TRUE(fake_.Deliver(cf::kNotifyDehydrateCompletion, InfoFor(u"\\Cloud\\a.txt"), dehydrate));
  CallbackArgs closed;
  closed.flags = 1;
  ASSERT_TRUE(fake_.Deliver(cf::kNotifyFileCloseCompletion, InfoFor(u"\\Cloud\\a.txt"), closed));

  using Values = std::map<std::u16string, std::u16string>;
  const std::vector<Delivery> got = recorder_.Take();
  ASSERT_EQ(got.size(), 8u);
  EXPECT_EQ(got[0].type, cf::kFetchData);
  EXPECT_EQ(got[0].path, u"\\Cloud\\a.txt");
  EXPECT_EQ(got[0].values, (Values{{u"Flags", u"2"},
                                   {u"OptionalFileOffset", u"0"},
                                   {u"OptionalLength", u"65536"},
                                   {u"RequiredFileOffset", u"4096"},
                                   {u"RequiredLength", u"8192"},
                                   {u"LastDehydrationReason", u"3"},
                                   {u"LastDehydrationTime", u"132000000000000000"}}));
  EXPECT_EQ(got[1].values, (Values{{u"Flags", u"2"}, {u"RequiredFileOffset", u"4096"}, {u"RequiredLength", u"8192"}}));
  EXPECT_EQ(got[2].type, cf::kCancelFetchData);
  EXPECT_FALSE(got[2].has_set);
  EXPECT_EQ(got[3].values, (Values{{u"Flags", u"0"}, {u"Pattern", u"*"}}));
  EXPECT_EQ(got[4].values, (Values{{u"Flags", u"1"}, {u"FileOffset", u"10"}, {u"Length", u"20"}}));
  EXPECT_EQ(got[5].values, (Values{{u"Flags", u"2"}, {u"Reason", u"1"}}));
  EXPECT_EQ(got[6].type, cf::kNotifyDehydrateCompletion);
  EXPECT_EQ(got[6].values, got[5].values);
  EXPECT_EQ(got[7].type, cf::kNotifyFileCloseCompletion);
  EXPECT_EQ(got[7].values, (Values{{u"Flags", u"1"}}));
  ASSERT_EQ(Disconnect(context), kSOk);
}

TEST_F(CloudFilesBindingTest, RegistrationIsSkippedWhenTheRootAlreadyMatches) {
  std::vector<std::pair<std::u16string, bool>> indexed;
  RegisterRootRequest request;
  request.path = kRoot;
  request.provider_name = u"Ostra";
  request.provider_version = u"1.0";
  request.hydration = cf::kHydrationFull;
  request.hydration_modifier = 4;
  request.population = cf::kPopulationFull;
  request.in_sync_policy = 0x00FFFFFF;
  request.hard_link_policy = 1;
  request.register_flags = cf::kRegisterMarkInSyncOnRoot;
  request.options = kRegisterOptionSetUpIndex;
  request.provider_id = u"{01234567-89AB-CDEF-0123-456789ABCDEF}";
  request.index_hook = [&](std::u16string_view path, bool add) {
    indexed.emplace_back(std::u16string(path), add);
    return HResult{kSOk};
  };
  ASSERT_EQ(binding_.RegisterPlaceholderRoot(&request), kSOk);
  EXPECT_EQ(indexed, (std::vector<std::pair<std::u16string, bool>>{{kRoot, true}}));
  const RecordedCall call = fake_.CallsTo("CloudFiles.RegisterSyncRoot").at(0);
  EXPECT_EQ(call.registration.provider_name, u"Ostra");
  EXPECT_EQ(call.registration.provider_version, u"1.0");
  const uint8_t guid[16] = {0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                            0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_TRUE(std::equal(std::begin(guid), std::end(guid), std::begin(call.registration.provider_id)));
  EXPECT_EQ(call.policies.hydration_modifier, 4);
  EXPECT_EQ(call.policies.in_sync, 0x00FFFFFFu);
  EXPECT_EQ(call.flags, cf::kRegisterMarkInSyncOnRoot);
  EXPECT_EQ(log_.lines(),
            (std::vector<Line>{
                Trace(u"RegisterPlaceholderRoot called for 'C:\\Cloud', flags: 0x1"),
                Trace(u"SetupFolderForIndex 'C:\\Cloud' ok"),
                Trace(u"CfGetSyncRootInfoByPath called for 'C:\\Cloud' returned ERROR_CLOUD_FILE_NOT_UNDER_SYNC_ROOT, "
                      u"which is expected"),
                Trace(u"RegisterPlaceholderRoot name:'Ostra' version:'1.0'"),
                Trace(u"RegisterPlaceholderRoot flags:0x00000004 path:'C:\\Cloud'"),
                Trace(u"RegisterPlaceholderRoot pop.primary:0x0002 pop.mod:0x0000"),
                Trace(u"RegisterPlaceholderRoot hyd.primary:0x0002 hyd.mod:0x0004"),
                Trace(u"RegisterPlaceholderRoot hardlink:0x00000001 insync:0x00FFFFFF"),
                Trace(u"RegisterPlaceholderRoot result code: 0x0"),
            }));

  // The same registration, names in another case: nothing to do.
  SyncRootInfo existing;
  existing.policies = {cf::kHydrationFull, 4, cf::kPopulationFull, 0, 0x00FFFFFF, 1, 0};
  existing.provider_name = u"OSTRA";
  existing.provider_version = u"1.0";
  fake_.SetSyncRootInfo(existing);
  fake_.ClearCalls();
  ASSERT_EQ(binding_.RegisterPlaceholderRoot(&request), kSOk);
  EXPECT_TRUE(fake_.CallsTo("CloudFiles.RegisterSyncRoot").empty());
  // Forced, or with another setting, it registers again.
  request.options |= kRegisterOptionForce;
  ASSERT_EQ(binding_.RegisterPlaceholderRoot(&request), kSOk);
  request.options = 0;
  request.hard_link_policy = 0;
  ASSERT_EQ(binding_.RegisterPlaceholderRoot(&request), kSOk);
  EXPECT_EQ(fake_.CallsTo("CloudFiles.RegisterSyncRoot").size(), 2u);
  EXPECT_EQ(indexed.size(), 3u);  // not for the last, which did not ask for it
}

TEST_F(CloudFilesBindingTest, RegistrationFailuresAndBadProviderIds) {
  RegisterRootRequest request;
  request.path = kRoot;
  request.provider_name = u"Ostra";
  request.provider_version = u"1.0";
  request.provider_id = u"{01234567-89AB-CDEF-0123-456789ABCDEG}";
  EXPECT_EQ(binding_.RegisterPlaceholderRoot(&request), kEInvalidArg);
  const std::u16string long_name(256, u'n');
  request.provider_id = nullptr;
  request.provider_name = long_name.c_str();
  EXPECT_EQ(binding_.RegisterPlaceholderRoot(&request), kEInvalidArg);
  EXPECT_TRUE(fake_.calls().empty());

  request.provider_name = u"Ostra";
  fake_.SetResult("CloudFiles.GetSyncRootInfo", static_cast<uint32_t>(kEFail));
  fake_.SetResult("CloudFiles.RegisterSyncRoot", 0x80070005);
  EXPECT_EQ(binding_.RegisterPlaceholderRoot(&request), static_cast<HResult>(0x80070005));
  const std::vector<Line> lines = log_.lines();
  EXPECT_EQ(lines.at(1), Error(u"CfGetSyncRootInfoByPath called for 'C:\\Cloud' returned 0x80004005"));
  EXPECT_EQ(lines.at(lines.size() - 2), Error(u"CfRegisterSyncRoot called for 'C:\\Cloud' returned 0x80070005"));
  EXPECT_EQ(lines.back(), Error(u"OS error message: System text of 0x80070005"));
}

TEST_F(CloudFilesBindingTest, UnregisteringTreatsAMissingRootAsDone) {
  std::vector<bool> hook_adds;
  UnregisterRootRequest request;
  request.path = kRoot;
  request.index_hook = [&](std::u16string_view, bool add) {
    hook_adds.push_back(add);
    return HResult{kSOk};
  };
  fake_.SetResult("CloudFiles.UnregisterSyncRoot", static_cast<uint32_t>(HResultFromWin32(390)));
  EXPECT_EQ(binding_.UnregisterPlaceholderRoot(&request), kSOk);
  EXPECT_EQ(hook_adds, std::vector<bool>{false});
  EXPECT_EQ(log_.lines(), (std::vector<Line>{Trace(u"UnregisterPlaceholderRoot called for 'C:\\Cloud'"),
                                             Trace(u"UnregisterPlaceholderRoot result code: 0x0")}));

  // Any other failure stops before the index is touched.
  fake_.SetResult("CloudFiles.UnregisterSyncRoot", static_cast<uint32_t>(kEFail));
  EXPECT_EQ(binding_.UnregisterPlaceholderRoot(&request), kEFail);
  EXPECT_EQ(hook_adds.size(), 1u);
  // A failing index step is the result.
  fake_.SetResult("CloudFiles.UnregisterSyncRoot", 0);
  request.index_hook = [](std::u16string_view, bool) { return static_cast<HResult>(0x80070422); };
  EXPECT_EQ(binding_.UnregisterPlaceholderRoot(&request), static_cast<HResult>(0x80070422));
}

}  // namespace
}  // namespace ostrasync::platform
