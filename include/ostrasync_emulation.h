/* ostrasync_emulation.h: the user's side of the Linux emulation of the Windows cloud-files facility.
 *
 * On Linux, libostrasync.so runs over libostrasync_emulation.so, which plays what Windows itself
 * provides (the cloud-files filter, the shell) with the same rules. The functions below play what
 * Explorer and applications do to the files of a sync root: each raises, in the host's process, the
 * requests Windows would raise for it (a folder listing, the data of a file, a dehydration...), so
 * a host can be driven and watched on Linux as it would be on Windows. They are for sample hosts,
 * tools and tests; the Windows DLL has no such library.
 *
 * Paths are absolute Linux paths in UTF-8, inside a registered sync root or anywhere else (a plain
 * file then simply behaves as one). Every function returns 0 on success, or the code Windows gives
 * for the failure: an HRESULT, 0x8007xxxx for a Win32 error (0x800701AA is 426,
 * ERROR_CLOUD_FILE_REQUEST_TIMEOUT: the host did not answer in time). ostrasync_user_message gives
 * its text. Every call may block while
 * the host answers a request it raised; none may be made from inside the host's own event handler
 * for that request. All functions are safe to call from several threads at once. */
#ifndef OSTRASYNC_EMULATION_H_
#define OSTRASYNC_EMULATION_H_

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define OSTRASYNC_EMULATION_API __attribute__((visibility("default")))
#else
#define OSTRASYNC_EMULATION_API
#endif

/* One entry of a folder, as FindFirstFile/FindNextFile report it. */
typedef struct ostrasync_user_entry {
  const char* name;        /* UTF-8; valid only during the callback */
  uint32_t attributes;     /* FILE_ATTRIBUTE_* (0x10 directory, 0x400 reparse point...) */
  int64_t size;            /* the size applications see, whatever is on disk */
  int64_t last_write_time; /* FILETIME: 100 ns units since 1601-01-01 UTC */
} ostrasync_user_entry;

/* Called once per entry; returning non-zero stops the listing (which then returns 0). */
typedef int (*ostrasync_user_entry_fn)(void* context, const ostrasync_user_entry* entry);

/* Lists `folder` like FindFirstFile over "folder\*" without "." and "..": a folder placeholder not
 * fully populated yet asks the host for its entries first (FETCH_PLACEHOLDERS). */
OSTRASYNC_EMULATION_API int32_t ostrasync_user_list(const char* folder, ostrasync_user_entry_fn each, void* context);

/* ReadFile of `size` bytes at `offset`: the missing part of a placeholder is fetched from the host
 * first (FETCH_DATA), the caller blocked until it is on disk. Fewer bytes than asked at the end of
 * the file; 0 bytes at or past it. */
OSTRASYNC_EMULATION_API int32_t ostrasync_user_read(const char* path, int64_t offset, void* buffer, uint32_t size,
                                                    uint32_t* bytes_read);

/* WriteFile at `offset`: a placeholder is hydrated first and is no longer in sync afterwards. */
OSTRASYNC_EMULATION_API int32_t ostrasync_user_write(const char* path, int64_t offset, const void* data,
                                                     uint32_t size);

/* DeleteFile / RemoveDirectory and MoveFileEx without replacing; the host may refuse either. */
OSTRASYNC_EMULATION_API int32_t ostrasync_user_delete(const char* path);
OSTRASYNC_EMULATION_API int32_t ostrasync_user_rename(const char* from, const char* to);

/* Explorer's "Always keep on this device" (OSTRASYNC_USER_PINNED), "Free up space"
 * (OSTRASYNC_USER_UNPINNED) or neither (OSTRASYNC_USER_PIN_UNSPECIFIED): the file's attributes
 * change; what happens to its data is the host's answer to the change. */
#define OSTRASYNC_USER_PIN_UNSPECIFIED 0
#define OSTRASYNC_USER_PINNED 1
#define OSTRASYNC_USER_UNPINNED 2
OSTRASYNC_EMULATION_API int32_t ostrasync_user_set_pin(const char* path, uint32_t pin_state);

/* An application freeing a file's space for the user (CfDehydratePlaceholder): the host may refuse.
 * Pinned files, files not in sync and files that must stay whole are refused with Windows' codes. */
OSTRASYNC_EMULATION_API int32_t ostrasync_user_dehydrate(const char* path);

/* CancelSynchronousIo: the call `thread` is blocked in (a read waiting for its data, a listing
 * waiting for its entries) returns 0x800703E3 (ERROR_OPERATION_ABORTED) at once, and the host is
 * told the request was cancelled (CANCEL_FETCH_DATA / CANCEL_FETCH_PLACEHOLDERS). Returns 0x80070490
 * (ERROR_NOT_FOUND) when the thread waits for nothing. Safe from any thread, never from a signal
 * handler. */
OSTRASYNC_EMULATION_API int32_t ostrasync_user_cancel_io(pthread_t thread);

/* What Explorer's status column and the file's properties show of an item. */
typedef struct ostrasync_user_range {
  int64_t offset;
  int64_t length;
} ostrasync_user_range;

typedef struct ostrasync_user_state {
  uint32_t attributes;     /* FILE_ATTRIBUTE_* as applications see them (pinned 0x80000, unpinned 0x100000) */
  int64_t size;            /* the size applications see */
  int is_placeholder;      /* 1 for a placeholder of a sync root, 0 for a plain item */
  int in_sync;             /* placeholders: 1 when in sync */
  uint32_t pin_state;      /* OSTRASYNC_USER_PIN_* above */
  int64_t on_disk_bytes;   /* files: bytes of data present on disk (size for a plain file) */
  uint32_t range_count;    /* files: how many ranges are on disk; the first of them are in `ranges` */
  ostrasync_user_range ranges[8];
} ostrasync_user_state;

/* The state of the item at `path`, without fetching anything. */
OSTRASYNC_EMULATION_API int32_t ostrasync_user_stat(const char* path, ostrasync_user_state* state);

/* The English system text of a code these functions returned (FormatMessage of the system
 * table, without the trailing line break), written into `text` (always terminated when size > 0).
 * Returns the full length of the text; 0 when the code has none. */
OSTRASYNC_EMULATION_API uint32_t ostrasync_user_message(int32_t code, char* text, uint32_t size);

#ifdef __cplusplus
}
#endif

#endif /* OSTRASYNC_EMULATION_H_ */
