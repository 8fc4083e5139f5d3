// The one routine that puts a remote item on disk: it creates the item's placeholder, converts a
// plain local item into one, or updates the placeholder already there, and then settles the
// item's hydration, pin and in-sync states.
#include <cstdio>
#include <memory>
#include <optional>

#include "engine/process_settings.h"
#include "engine/sync_engine.h"
#include "items/item_paths.h"
#include "items/local_item.h"
#include "items/placeholder_flags.h"
#include "items/placeholder_manager.h"
#include "ostrasync.h"

namespace ostrasync::items {
namespace {

namespace attr = platform::attr;
namespace cf = platform::cf;
using platform::HResult;
using platform::Win32Error;
using namespace placeholder_flag;

constexpr int kTraceLevel = 0x2201;
constexpr uint32_t kOpenExisting = 3;

const char16_t* Bool(bool value) { return value ? u"true" : u"false"; }

// "2024-05-01 10:00:00" (UTC) for a FILETIME; "-" for 0, which stands for "not given".
std::u16string DateText(uint64_t filetime) {
  if (filetime == 0) return u"-";
  const int64_t seconds = static_cast<int64_t>(filetime / 10000000) - 11644473600LL;
  int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t of_day = seconds - days * 86400;
  // Civil date from a day count (the proleptic Gregorian calendar, eras of 400 years).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t month_index = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * month_index + 2) / 5 + 1;
  const int64_t month = month_index < 10 ? month_index + 3 : month_index - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[160];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld", static_cast<long long>(year),
                static_cast<long long>(month), static_cast<long long>(day), static_cast<long long>(of_day / 3600),
                static_cast<long long>(of_day / 60 % 60), static_cast<long long>(of_day % 60));
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

// Attributes as SetFileAttributes takes them: the bits the file system keeps for itself (read
// back with the rest) are dropped, and "normal" stands only alone.
uint32_t Settable(uint32_t attributes) {
  constexpr uint32_t kFileSystemOwned = attr::kDirectory | attr::kNormal | attr::kSparseFile | attr::kReparsePoint |
                                        attr::kOffline | attr::kRecallOnOpen | attr::kRecallOnDataAccess;
  const uint32_t settable = attributes & ~kFileSystemOwned;
  return settable == 0 ? attr::kNormal : settable;
}

// Pinned and unpinned at once ask for neither.
uint32_t WithoutContradictingPins(uint32_t attributes) {
  constexpr uint32_t kBoth = item_attr::kPinned | item_attr::kUnpinned;
  return (attributes & kBoth) == kBoth ? attributes & ~kBoth : attributes;
}

// Sets the cache record's Locked flag while the placeholder is changed, so that local change
// tracking ignores the notifications the change itself causes; puts back what was there, so a
// document locked by an Office lock file stays locked.
class LockedInCache {
 public:
  LockedInCache(tracking::MetadataCache& cache, std::u16string_view path)
      : cache_(cache), path_(path), was_locked_(cache.GetLocked(path).value_or(false)) {
    (void)cache_.SetLocked(path_, true);
  }
  ~LockedInCache() { (void)cache_.SetLocked(path_, was_locked_); }
  LockedInCache(const LockedInCache&) = delete;
  LockedInCache& operator=(const LockedInCache&) = delete;

 private:
  tracking::MetadataCache& cache_;
  const std::u16string path_;
  const bool was_locked_;
};

struct RemoteItem {
  std::u16string_view parent;  // relative
  std::u16string_view name;
  std::u16string_view id;
  int64_t size;
  uint64_t creation_time;
  uint64_t last_access_time;
  uint64_t last_write_time;
  uint32_t attributes;  // component attribute flags
  uint32_t flags;       // placeholder_flag values
};

// One run of the routine, step by step. Lives on the caller's stack; holds no lock of its own.
class PlaceholderRun {
 public:
  PlaceholderRun(engine::SyncEngine& engine, PlaceholderManager& manager, const RemoteItem& remote)
      : engine_(engine),
        manager_(manager),
        fs_(engine.os().file_system()),
        binding_(engine.binding()),
        remote_(remote),
        retrieval_(RetrievalRequested(remote.flags)),
        mode_(RetrieveMode(remote.flags)),
        is_dir_((remote.attributes & item_attr::kFolder) != 0),
        force_((remote.flags & kForceUpdate) != 0),
        windows_attributes_(ItemToWindowsAttributes(WithoutContradictingPins(remote.attributes))),
        identity_(ItemIdentity(remote.id)) {}

  int Run();
  // From now on a new file that needs nothing after its creation stops before the OS call,
  // leaving its request for one call with the other files of `batch`'s listing: Run then
  // returns kListedItemPending, and FinishPending(result) ends the run once the call is made.
  void Gather() { gather_ = true; }
  // The caller knows nothing of the item's name is on disk: it is not looked for.
  void AssumeAbsent() { assume_absent_ = true; }
  const platform::CreatePlaceholderRequest* pending_request() const { return pending_ ? &request_ : nullptr; }
  int FinishPending(HResult created);

 private:
  void Log(int level, std::u16string_view format, std::initializer_list<engine::LogArg> args = {}) {
    engine_.Log(level, format, args);
  }
  int Fail(Win32Error error) {
    engine_.SetOsLastError(error);
    return OSTRASYNC_ERR_OS_CALL;
  }
  void LogEntry();
  // Step 4; false (with the OS error kept) when the item could not be looked at.
  bool ReadLocalState();
  // Step 10: a new placeholder; a folder is made on disk first and stamped afterwards.
  int Create();
  int StampNewFolder();
  // Step 11: a plain local item becomes a placeholder in place, keeping its content.
  void Convert();
  // Step 12. Sets *ended when the routine ends here with the returned result.
  int Update(bool* ended);
  // Step 14: hydration, pin and in-sync state of a file.
  int SettleFile();
  int Finish(int result);

  engine::SyncEngine& engine_;
  PlaceholderManager& manager_;
  platform::FileSystem& fs_;
  platform::CloudFilesBinding& binding_;
  // The size, dates, attributes and identity a create or update request carries for the item.
  template <typename Request>
  void FillMetadata(Request* request) const {
    request->file_size = is_dir_ ? 0 : remote_.size;
    request->creation_time = remote_.creation_time;
    request->last_access_time = remote_.last_access_time;
    request->last_write_time = remote_.last_write_time;
    request->change_time = remote_.last_write_time;
    request->attributes = windows_attributes_;
    request->identity = identity_;
  }

  const RemoteItem remote_;
  bool retrieval_;  // cleared once a conversion has put the local content in place
  const int mode_;
  const bool is_dir_;
  const bool force_;
  const uint32_t windows_attributes_;  // remote_.attributes converted
  const std::vector<uint8_t> identity_;

  std::u16string parent_full_;
  std::u16string full_;
  std::u16string relative_;
  bool exists_ = false;
  uint32_t local_attributes_ = attr::kInvalid;  // Windows attributes read before any change
  bool local_is_dir_ = false;
  bool pinned_now_ = false;
  bool want_pinned_ = false;
  bool want_unpinned_ = false;
  bool is_placeholder_ = false;
  bool hydrated_ = false;
  bool converted_ = false;
  HResult placeholder_result_ = 0;  // of the create, convert or update call
  bool gather_ = false;             // see Gather
  bool assume_absent_ = false;      // see AssumeAbsent
  uint32_t found_state_ = cf::kStateInvalid;  // from the search ReadLocalState made, if it made one
  bool pending_ = false;            // stopped before the OS call; request_ holds it
  platform::CreatePlaceholderRequest request_;
  std::u16string request_name_;     // request_.relative_name points into it
};

void PlaceholderRun::LogEntry() {
  Log(4, u"DoCreateOrUpdatePlaceholder ParentPath(%s), ItemName(%s)", {remote_.parent, remote_.name});
  Log(4, u"DoCreateOrUpdatePlaceholder ItemId(%s), Size(%I64u)", {remote_.id, remote_.size});
  Log(4, u"DoCreateOrUpdatePlaceholder CreationTime(%I64u), LastAccessTime(%I64u), LastWriteTime(%I64u)",
      {remote_.creation_time, remote_.last_access_time, remote_.last_write_time});
  Log(4, u"DoCreateOrUpdatePlaceholder Attributes(0x%08x), Flags(0x%08x)", {remote_.attributes, remote_.flags});
}

bool PlaceholderRun::ReadLocalState() {
  LocalItem local;
  if (assume_absent_) {
    local.presence = LocalItem::Presence::kAbsent;
  } else {
    Log(4, u"Obtaining attributes of the file '%s'", {full_});
    // A listed item is mostly there already: one search brings its attributes and its
    // placeholder state together. Only the item as spelled counts; anything else is looked at
    // as before.
    std::vector<platform::FindData> found;
    if ((remote_.flags & kFromListing) != 0 && fs_.Find(full_, &found) == 0 && found.size() == 1 &&
        found.front().name == remote_.name && found.front().attributes != attr::kInvalid) {
      local.presence = LocalItem::Presence::kPresent;
      local.attributes = found.front().attributes;
      found_state_ = binding_.PlaceholderStateOf(found.front());
    } else {
      local = ReadLocalItem(fs_, full_);
    }
  }
  if (local.unreadable()) {
    Log(1, u"Failed to get attributes for '%s'. OS error code: 0x%x", {full_, local.error});
    engine_.SetOsLastError(local.error);
    return false;
  }
  exists_ = local.present();
  local_attributes_ = local.attributes;
  local_is_dir_ = local.is_folder();
  pinned_now_ = exists_ && (local_attributes_ & attr::kPinned) != 0;
  want_pinned_ = (remote_.attributes & item_attr::kPinned) != 0;
  want_unpinned_ = (remote_.attributes & item_attr::kUnpinned) != 0;
  if (want_pinned_ && want_unpinned_) want_pinned_ = want_unpinned_ = false;
  return true;
}

int PlaceholderRun::Run() {
  LogEntry();
  if ((remote_.flags & kMarkSynced) != 0 && retrieval_) {
    Log(1, u"Invalid combination of flags (RETRIEVE or OSTRASYNC_FLAG_UPDATE_EXISTING, and MARK_SYNCED) specified "
           u"in a call to CreateItem or UpdateItem");
    return OSTRASYNC_ERR_INVALID_PARAMETER;
  }
  // Parent and name become a path under the root: nothing may climb out of it or name a stream.
  if (!IsSafeLocalPath(remote_.parent) || !manager_.ValidateItemName(remote_.name)) {
    return OSTRASYNC_ERR_INVALID_PARAMETER;
  }
  parent_full_ = manager_.FullPath(remote_.parent);
  full_ = JoinPath(parent_full_, remote_.name);
  relative_ = JoinPath(remote_.parent, remote_.name);
  Log(4, u"Creating or updating placeholder: '%s', retrieve mode: %d", {relative_, mode_});
  if (engine::LogLevelEnabled(kTraceLevel)) {
    const std::u16string dates = DateText(remote_.creation_time) + u", " + DateText(remote_.last_access_time) + u", " +
                                 DateText(remote_.last_write_time);
    Log(kTraceLevel, u"New dates: %s", {dates});
  }

  if (!ReadLocalState()) return Finish(OSTRASYNC_ERR_OS_CALL);
  if ((remote_.flags & kMustNotExist) != 0 && exists_) {
    Log(4, u"File already exists '%s', but it should not exist according to method flags: %x0x", {full_, remote_.flags});
    return OSTRASYNC_ERR_ITEM_EXISTS;
  }
  if (exists_ && local_is_dir_ != is_dir_) {
    // A file cannot take a folder's metadata nor the reverse; the item is left as it is.
    Log(1, u"Item '%s' exists locally as a %s, not as the %s described", {full_, local_is_dir_ ? u"folder" : u"file",
                                                                            is_dir_ ? u"folder" : u"file"});
    return OSTRASYNC_ERR_INVALID_PARAMETER;
  }
  if (exists_) {
    Log(4, u"Checking if the placeholder '%s' is hydrated", {full_});
    uint32_t state = found_state_;
    if (state == cf::kStateInvalid) {
      if (const int rc = manager_.ReadPlaceholderState(full_, &state); rc != 0) return Finish(rc);
    }
    is_placeholder_ = (state & cf::kStatePlaceholder) != 0;
    hydrated_ = is_placeholder_ && (state & (cf::kStatePartial | cf::kStatePartiallyOnDisk)) == 0;
  } else {
    Log(4, u"'%s' does not exist, not checking if it is a placeholder", {full_});
  }
  if ((remote_.flags & kFromListing) != 0 && is_placeholder_) {
    bool excluded = false;
    if (const int rc = manager_.ReadExcludedPin(full_, &excluded); rc != 0) {
      Log(1, u"Failed to get excluded state for '%s'. Error code: 0x%x", {relative_, rc});
      return OSTRASYNC_ERR_OS_CALL;
    }
    if (excluded) return 0;  // the user keeps this item out of sync
  }

  const bool hydrate_afterwards = !is_dir_ && (mode_ == 2 || (mode_ == 1 && hydrated_) || want_pinned_);
  Log(4, u"File exists: %s", {Bool(exists_)});
  Log(4, u"Placeholder: %s", {Bool(is_placeholder_)});
  Log(4, u"Hydrated: %s", {Bool(hydrated_)});
  Log(4, u"Pinned: %s", {Bool(pinned_now_)});
  Log(4, u"Force update: %s", {Bool(force_)});

  int result = 0;
  if (!force_ && !exists_) {
    gather_ = gather_ && !hydrate_afterwards;
    result = Create();
    if (pending_) return kListedItemPending;
  } else if (!force_ && !is_placeholder_) {
    Convert();
  } else {
    bool ended = false;
    result = Update(&ended);
    if (ended) return result;
  }
  if (placeholder_result_ < 0) return Finish(0);
  if (result == 0 && hydrate_afterwards) result = SettleFile();
  return Finish(result);
}

int PlaceholderRun::Create() {
  platform::CreatePlaceholderRequest request;
  request.base_directory = parent_full_.c_str();
  const std::u16string name(remote_.name);
  request.relative_name = name.c_str();
  FillMetadata(&request);
  if (remote_.flags & kSupersede) request.placeholder_flags |= cf::kPlaceholderCreateSupersede;
  if ((remote_.flags & kMarkSynced) && !retrieval_) request.placeholder_flags |= cf::kPlaceholderCreateMarkInSync;
  if (is_dir_ && !engine_.settings().windows_create_placeholders_on_demand.load()) {
    request.placeholder_flags |= cf::kPlaceholderCreateDisableOnDemandPopulation;
  }
  if (gather_ && !is_dir_) {
    request_name_ = name;
    request.relative_name = request_name_.c_str();
    request_ = request;
    pending_ = true;
    return 0;
  }
  if (is_dir_) {
    const Win32Error made = fs_.MakeFolder(full_);
    if (made != 0 && made != platform::win32::kAlreadyExists) {
      Log(1, u"Failed to create directory '%s'. Error code: 0x%x", {full_, made});
      placeholder_result_ = platform::HResultFromWin32(made);
      return 0;
    }
  }
  placeholder_result_ = binding_.CreatePlaceholder(&request);
  Log(4, u"Created placeholder '%s'. Error code: 0x%x", {remote_.name, static_cast<uint32_t>(placeholder_result_)});
  if (placeholder_result_ < 0 || !is_dir_) return 0;
  return StampNewFolder();
}

int PlaceholderRun::FinishPending(HResult created) {
  pending_ = false;
  placeholder_result_ = created;
  Log(4, u"Created placeholder '%s'. Error code: 0x%x", {remote_.name, static_cast<uint32_t>(placeholder_result_)});
  return Finish(0);
}

int PlaceholderRun::StampNewFolder() {
  // A folder placeholder is made from the folder itself, which knows nothing of the remote
  // dates and attributes yet.
  platform::OpenRequest open;
  open.desired_access = platform::access::kWriteAttributes;
  open.share_mode = platform::share::kRead | platform::share::kWrite;
  open.disposition = kOpenExisting;
  open.flags_and_attributes = platform::open_flag::kBackupSemantics;
  platform::FileHandlePtr folder;
  if (const Win32Error e = fs_.Open(full_, open, &folder); e != 0 || !folder) {
    Log(1, u"Failed to open existing file: '%s'. Error code: 0x%x", {full_, e});
    return Fail(e);
  }
  platform::FsMetadata basic;
  basic.creation_time = remote_.creation_time;
  basic.last_access_time = remote_.last_access_time;
  basic.last_write_time = remote_.last_write_time;
  basic.change_time = remote_.last_write_time;
  basic.attributes = windows_attributes_;
  if (const Win32Error e = fs_.WriteBasicInformation(*folder, basic); e != 0) {
    Log(1, u"Failed to set file information: '%s'. Error code: 0x%x", {full_, e});
    return Fail(e);
  }
  folder.reset();
  int result = 0;
  if (remote_.flags & kMarkSynced) {
    result = manager_.DoSetPlaceholderSyncState(relative_, true);
  } else if (retrieval_) {
    result = manager_.DoSetPlaceholderSyncState(relative_, false);
  }
  if (result != 0) Log(1, u"Failed to SetPlaceholderSyncState for '%s'. Error code: 0x%x", {relative_, result});
  return result;
}

void PlaceholderRun::Convert() {
  const std::u16string path = full_;
  platform::ConvertRequest request;
  request.path = path.c_str();
  request.identity = identity_;
  if (!retrieval_) request.flags |= cf::kConvertMarkInSync;
  if (engine_.settings().windows_create_placeholders_on_demand.load()) {
    request.flags |= cf::kConvertEnableOnDemandPopulation;
  }
  placeholder_result_ = binding_.ConvertToPlaceholder(&request);
  Log(4, u"Existing file converted to placeholder: '%s'. Error code: 0x%x",
      {full_, static_cast<uint32_t>(placeholder_result_)});
  converted_ = true;
  retrieval_ = false;  // the content is the local one already
}

int PlaceholderRun::Update(bool* ended) {
  *ended = true;
  if (!is_dir_ && (remote_.flags & kFromListing) != 0 && hydrated_) {
    // Before anything changes: a local file newer than the listing is sent to the host instead.
    const NewerCheck check =
        manager_.CheckIfLocalFileIsNewer(full_, relative_, remote_.name, remote_.id, remote_.creation_time,
                                         remote_.last_access_time, remote_.last_write_time, remote_.attributes);
    if (check.result != 0) {
      if (check.locked) {
        Log(4, u"Failed to check if local file is newer for '%s'. The file is locked by another process. Skip it.",
            {full_});
        return 0;
      }
      Log(1, u"Failed to check if local file is newer for '%s'. Error code: 0x%x", {full_, check.result});
      return OSTRASYNC_ERR_OS_CALL;
    }
    if (check.newer) {
      Log(4, u"Local file is newer: '%s'. Skip update operation.", {full_});
      return 0;
    }
  }
  // A pinned file cannot be dehydrated: the pin goes for the update and step 14 decides whether
  // it comes back.
  if (pinned_now_) {
    if (const Win32Error e = fs_.WriteAttributes(full_, Settable(local_attributes_ & ~attr::kPinned)); e != 0) {
      Log(1, u"Failed to remove pinned attribute for '%s'. Error code: 0x%x", {full_, e});
      return Fail(e);
    }
  }
  *ended = false;

  platform::UpdatePlaceholderRequest request;
  request.path = full_.c_str();
  FillMetadata(&request);
  if ((remote_.flags & kMarkSynced) && !retrieval_) request.flags |= cf::kUpdateMarkInSync;
  if (retrieval_) request.flags |= cf::kUpdateClearInSync;
  if (is_dir_ && !engine_.settings().windows_create_placeholders_on_demand.load()) {
    request.flags |= cf::kUpdateDisableOnDemandPopulation;
  }
  if (!is_dir_ && force_ && (remote_.flags & (kFromListing | kKeepContent)) == 0) request.flags |= cf::kUpdateDehydrate;

  tracking::MetadataCache& cache = engine_.metadata_cache();
  {
    LockedInCache locked(cache, relative_);
    placeholder_result_ = binding_.UpdatePlaceholder(&request);
  }
  if (placeholder_result_ < 0) {
    Log(1, u"Existing placeholder update failed for '%s'. Error code: 0x%x",
        {full_, static_cast<uint32_t>(placeholder_result_)});
    // Nothing changed: the pin taken for the update goes back on.
    if (pinned_now_) {
      if (const Win32Error e = fs_.WriteAttributes(full_, Settable(local_attributes_)); e != 0) {
        Log(1, u"Failed to restore the pinned attribute of '%s'. Error code: 0x%x", {full_, e});
      }
    }
    return 0;
  }
  (void)cache.UpdateCacheItem(relative_, remote_.attributes == 0 ? -1 : static_cast<int32_t>(remote_.attributes),
                              static_cast<uint64_t>(remote_.size), remote_.creation_time, remote_.last_access_time,
                              remote_.last_write_time);
  Log(4, u"Existing placeholder updated for '%s'", {full_});
  return 0;
}

int PlaceholderRun::SettleFile() {
  // The attributes the file had before (a new item has the ones just given to it).
  const uint32_t before = exists_ ? local_attributes_ : windows_attributes_;
  int result = 0;
  if (!pinned_now_ && !converted_) {
    result = manager_.DoHydratePlaceholder(full_);
    if (result != 0) {
      Log(1, u"DoHydratePlaceholder for '%s'. Error code: 0x%x", {full_, result});
    } else if (want_pinned_) {
      const uint32_t pinned = (before & ~attr::kUnpinned) | attr::kPinned;
      if (const Win32Error e = fs_.WriteAttributes(full_, Settable(pinned)); e != 0) {
        Log(1, u"Failed to set file attributes (1) for '%s'. Error code: 0x%x", {full_, e});
        result = Fail(e);
      }
    }
  } else {
    uint32_t restored = before;
    if (want_pinned_) restored = (restored & ~attr::kUnpinned) | attr::kPinned;
    if (want_unpinned_ && (restored & attr::kPinned) != 0) restored = (restored & ~attr::kPinned) | attr::kUnpinned;
    if (const Win32Error e = fs_.WriteAttributes(full_, Settable(restored)); e != 0) {
      Log(1, u"Failed to set file attributes (2) for '%s'. Error code: 0x%x", {full_, e});
      result = Fail(e);
    }
  }
  if (retrieval_) {
    int synced = 0;
    {
      LockedInCache locked(engine_.metadata_cache(), relative_);
      synced = manager_.DoSetPlaceholderSyncState(relative_, true);
    }
    if (synced != 0) {
      Log(1, u"Existing placeholder update failed for '%s'. Error code: 0x%x", {full_, synced});
      if (result == 0) result = synced;
    } else {
      (void)engine_.metadata_cache().UpdateCacheItem(
          relative_, remote_.attributes == 0 ? -1 : static_cast<int32_t>(remote_.attributes),
          static_cast<uint64_t>(remote_.size), remote_.creation_time, remote_.last_access_time, remote_.last_write_time);
      Log(4, u"Existing placeholder updated for '%s'", {full_});
    }
  }
  return result;
}

int PlaceholderRun::Finish(int result) {
  if (placeholder_result_ < 0) {
    engine_.SetOsLastError(static_cast<uint32_t>(placeholder_result_));
    Log(1, u"Placeholder create/update failed for '%s'. HRESULT: 0x%x, OS error code: 0x%x",
        {relative_, static_cast<uint32_t>(placeholder_result_), platform::Win32FromHResult(placeholder_result_)});
    result = OSTRASYNC_ERR_OS_CALL;
  }
  if (result == 0) {
    Log(4, u"Placeholder create/update finished for '%s'. Result: Success", {relative_});
  } else {
    Log(1, u"Placeholder create/update finished for '%s'. Result: 0x%x, Windows error code 0x%x",
        {relative_, result, engine_.OsLastError()});
  }
  return result;
}

}  // namespace

// A file's run kept with the names its item refers to, until the batch's OS call.
struct ListedFiles::Pending {
  Pending(std::u16string_view folder, std::u16string_view item_name)
      : parent(folder), name(item_name), id(JoinPath(folder, item_name)) {}
  const std::u16string parent, name, id;
  std::optional<PlaceholderRun> run;
};

ListedFiles::ListedFiles() = default;
ListedFiles::~ListedFiles() = default;

int PlaceholderManager::ListItem(std::u16string_view folder, const ListedItem& item, uint32_t flags,
                                 ListedFiles* batch, bool known_absent) {
  if (batch == nullptr) return ListItem(folder, item, flags);
  if (!IsSafeLocalPath(folder)) return OSTRASYNC_ERR_INVALID_PARAMETER;
  if (!ValidateItemName(item.name)) return OSTRASYNC_ERR_INVALID_ITEM_NAME;
  auto pending = std::make_unique<ListedFiles::Pending>(folder, item.name);
  const RemoteItem remote{pending->parent, pending->name, pending->id, item.size, item.creation_time,
                          item.last_access_time, item.last_write_time, item.attributes, flags};
  pending->run.emplace(engine_, *this, remote);
  pending->run->Gather();
  if (known_absent) pending->run->AssumeAbsent();
  const int result = pending->run->Run();
  if (result == kListedItemPending) batch->pending_.push_back(std::move(pending));
  return result;
}

std::vector<int> PlaceholderManager::CreateListedFiles(ListedFiles* batch) {
  std::vector<std::unique_ptr<ListedFiles::Pending>> files;
  files.swap(batch->pending_);
  std::vector<int> results;
  results.reserve(files.size());
  platform::CloudFilesBinding& binding = engine_.binding();
  // One call per run of files under the same folder with the same flags (one listing gathers one
  // folder, so this is normally a single call).
  for (size_t start = 0; start < files.size();) {
    const platform::CreatePlaceholderRequest& first = *files[start]->run->pending_request();
    std::vector<const platform::CreatePlaceholderRequest*> requests;
    for (size_t i = start; i < files.size(); ++i) {
      const platform::CreatePlaceholderRequest& request = *files[i]->run->pending_request();
      if (std::u16string_view(request.base_directory) != std::u16string_view(first.base_directory) ||
          request.create_flags != first.create_flags) {
        break;
      }
      requests.push_back(&request);
    }
    std::vector<HResult> created(requests.size());
    (void)binding.CreateFilePlaceholders(requests, created);
    for (size_t i = 0; i < requests.size(); ++i) results.push_back(files[start + i]->run->FinishPending(created[i]));
    start += requests.size();
  }
  return results;
}

int PlaceholderManager::DoCreateOrUpdatePlaceholder(std::u16string_view parent_path, std::u16string_view item_name,
                                                    std::u16string_view item_id, int64_t size, uint64_t creation_time,
                                                    uint64_t last_access_time, uint64_t last_write_time,
                                                    uint32_t attributes, uint32_t flags) {
  const RemoteItem remote{parent_path, item_name, item_id, size, creation_time, last_access_time, last_write_time,
                             attributes, flags & ~kAbsenceChecked};
  PlaceholderRun run(engine_, *this, remote);
  if ((flags & kAbsenceChecked) != 0) run.AssumeAbsent();
  return run.Run();
}

}  // namespace ostrasync::items
