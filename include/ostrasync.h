/* ostrasync: lets an application act as the cloud storage provider of one local folder.
 *
 * The library offers one component, Kelvo. A host creates instances with OstraSync_Kelvo_Create,
 * reads and writes properties by id, calls methods by id through OstraSync_Kelvo_Do and receives
 * every event through the one callback it passes at creation. All exports are plain C functions
 * and none of them throws. Strings are 8-bit in the component's code page (UTF-8 by default) or,
 * in the "+10000" variants, UTF-16 (ostrasync_wchar).
 *
 * Parameter arrays (methods and events alike):
 *   - params[i] holds one value per parameter, in the documented order;
 *   - int and bool values are stored in the slot itself (sign-extended);
 *   - 64-bit values (ids, sizes, offsets, FILETIMEs) are passed as a pointer to an int64_t;
 *   - strings are pointers (null reads as the empty string);
 *   - byte buffers are a pointer in params[i] with their length in bytes in cbparams[i];
 *   - out values are written back into their params slot.
 * Pointers the library hands out stay valid until the calling thread's next call that reuses the
 * same buffer, or until the component is destroyed; copy what you keep.
 */
#ifndef OSTRASYNC_H_
#define OSTRASYNC_H_

#include <stdint.h>

#ifdef _WIN32
#include <wchar.h>
typedef wchar_t ostrasync_wchar; /* UTF-16 code unit */
#else
#ifdef __cplusplus
typedef char16_t ostrasync_wchar; /* UTF-16 code unit */
#else
#include <uchar.h>
typedef char16_t ostrasync_wchar; /* UTF-16 code unit */
#endif
#endif

#if defined(OSTRASYNC_BUILDING)
#if defined(_WIN32)
#define OSTRASYNC_API /* exported through ostrasync.def */
#else
#define OSTRASYNC_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32)
#define OSTRASYNC_API __declspec(dllimport)
#else
#define OSTRASYNC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's event handler. Returns 0 when the event was handled; any other value is an
 * unhandled error (the component then reports it through the Error event). */
typedef int (*KelvoEventCallback)(void* context, int event_id, int param_count, void* params[],
                                  int cbparams[]);

/* ---- Exports ---------------------------------------------------------------------------- */

/* Called by the library's own load; a host may call it again. Always 0. */
OSTRASYNC_API int OstraSync_Kelvo_StaticInit(void* module_instance);
/* Called by the library's own unload; a host may call it earlier. Always 0. */
OSTRASYNC_API int OstraSync_Kelvo_StaticDestroy(void);
/* New component. options bit 0 (OSTRASYNC_WIDE_EVENTS): event strings are UTF-16.
 * reserved must be null. Returns null when the component cannot be made. */
OSTRASYNC_API void* OstraSync_Kelvo_Create(KelvoEventCallback callback, void* context, void* reserved,
                                           int options);
/* Destroys the component. 0; -1 when called from inside one of this component's own handlers. */
OSTRASYNC_API int OstraSync_Kelvo_Destroy(void* handle);
/* Calls method method_id (OSTRASYNC_METHOD_*). Returns the result code (0 = success), which is also
 * stored as the calling thread's last error code. A null handle gives 200. */
OSTRASYNC_API int OstraSync_Kelvo_Do(void* handle, int method_id, int param_count, void* params[],
                                     int cbparams[]);
/* Reads property prop_id (OSTRASYNC_PROP_*): a string pointer, or an int widened to pointer size. */
OSTRASYNC_API void* OstraSync_Kelvo_Get(void* handle, int prop_id);
/* Writes a string property (ids 2-4, +10000 for UTF-16). Returns the result code; -1 for ids that
 * cannot be written. index is not used. */
OSTRASYNC_API int OstraSync_Kelvo_Set(void* handle, int prop_id, int index, const void* value);
/* 0 for any component; 200 for a null handle. */
OSTRASYNC_API int OstraSync_Kelvo_CheckIndex(void* handle, int prop_id, int index);
/* The calling thread's last error text ("" when none) and code (0 when none). */
OSTRASYNC_API const char* OstraSync_Kelvo_GetLastError(void* handle);
OSTRASYNC_API int OstraSync_Kelvo_GetLastErrorCode(void* handle);
/* Sets the calling thread's last error; text null means empty. Returns code. */
OSTRASYNC_API int OstraSync_Kelvo_SetLastErrorAndCode(void* handle, int code, const char* text);
/* The calling thread's event error: what a handler running on this thread reported. */
OSTRASYNC_API const char* OstraSync_Kelvo_GetEventError(void* handle);
OSTRASYNC_API int OstraSync_Kelvo_GetEventErrorCode(void* handle);
/* Called by a handler to fail the event it handles, with a text; takes precedence over ResultCode.
 * Returns the code now stored. */
OSTRASYNC_API int OstraSync_Kelvo_SetEventErrorAndCode(void* handle, int code, const char* text);
/* Reads one string in either encoding through a host-owned OstraSyncEventRecord.
 * operation: 0 read, 1 attach (the record refers to value), 2 copy (the record keeps its own copy);
 * encoding: 1 char (record's code page), 2 UTF-16. Reads return the text or null. */
OSTRASYNC_API void* OstraSync_EvtStr(void* record, int operation, void* value, int encoding);
/* Forwards stream operations 500-509 to a host stream object (see the library's documentation). */
OSTRASYNC_API int OstraSync_Stream(void* stream, int operation, void* args, void* result);

/* Record used by OstraSync_EvtStr. Zero it before first use; texts the record owns are released
 * by operations 1 and 2 (pass a null value to release everything). */
typedef struct OstraSyncEventRecord {
  int error;               /* nonzero after a failed conversion */
  int code_page;           /* code page of the char text */
  int owned;               /* bit 0: char text owned, bit 1: UTF-16 text owned */
  char* text;              /* char text */
  ostrasync_wchar* wtext;  /* UTF-16 text */
} OstraSyncEventRecord;

#define OSTRASYNC_WIDE_EVENTS 1

/* ---- Properties (id + 10000: UTF-16 strings; id + 20000: same as id) --------------------- */
#define OSTRASYNC_PROP_VERSION 0          /* "OSTRASYNC_VERSION_24_0_9557", always char */
#define OSTRASYNC_PROP_STATE 1            /* 0 inactive, 1 activating, 2 active */
#define OSTRASYNC_PROP_SYNC_ROOT_ICON 2   /* "path,index" */
#define OSTRASYNC_PROP_SYNC_ROOT_LABEL 3  /* display name of the sync root */
#define OSTRASYNC_PROP_SYNC_ROOT_PATH 4   /* local folder that becomes the sync root */
#define OSTRASYNC_PROP_CODE_PAGE 8000     /* code page of char strings (setting "CodePage") */
#define OSTRASYNC_UTF16 10000             /* add to a property or method id for UTF-16 strings */

/* ---- Methods (slots in order; i64& = pointer to int64_t; out = written into the slot) -----
 * LocalPath/NewPath: an item's path relative to the sync root, beginning with a backslash
 * ("\\dir\\file.txt"; "\\" is the root). Times are FILETIMEs (100 ns since 1601 UTC).
 * Attributes are the OSTRASYNC_ATTR_* flags. Methods that need a running engine fail with 21
 * while it is not active. */
#define OSTRASYNC_METHOD_ACTIVATE 2            /* 0 Synchronous int. Connects the installed root and starts the engine; 0 = on a thread of its own, ending with the Activated event */
#define OSTRASYNC_METHOD_CONFIG 3              /* 0 "Name" or "Name=Value"; 1 out str: value read. Reads or writes one setting */
#define OSTRASYNC_METHOD_CREATE_FILE 4         /* 0 LocalPath, 1 Attributes, 2 Size i64&, 3-5 times i64& (creation, last access, last write). New file placeholder, in sync; 0x21000013 if the item exists */
#define OSTRASYNC_METHOD_CREATE_FOLDER 5       /* 0 LocalPath, 1 Attributes, 2-4 times i64&. New folder placeholder, in sync (an existing plain folder is an error too) */
#define OSTRASYNC_METHOD_DEACTIVATE 6          /* none. Cancels open tasks, stops the engine and disconnects */
#define OSTRASYNC_METHOD_DELETE_FILE 7         /* 0 LocalPath. Deletes a local file */
#define OSTRASYNC_METHOD_DELETE_FOLDER 8       /* 0 LocalPath, 1 DeleteChildren int. Deletes a local folder */
#define OSTRASYNC_METHOD_FINALIZE_TASK 9       /* 0 OpId i64&, 1 ErrorCode int. Completes a task whose handler returned 0x21000001; 0x21000005 unknown id, 0x21000031 cancelled */
#define OSTRASYNC_METHOD_GET_FILE_ATTRIBUTES 10   /* 0 LocalPath; 1 out int: the file's OSTRASYNC_ATTR_* flags */
#define OSTRASYNC_METHOD_GET_LOCAL_DATA 11     /* 0 OpId i64&, 1 Offset i64&, 2 Buffer, 3 Index, 4 Count; 5 out int: bytes read. Reads local content of a task's file into Buffer[Index..] */
#define OSTRASYNC_METHOD_GET_FILE_STATUS 12    /* 0 LocalPath; 1 out int: 1 when the content is fully on disk */
#define OSTRASYNC_METHOD_GET_FOLDER_ATTRIBUTES 13 /* 0 LocalPath; 1 out int: the folder's flags, without OSTRASYNC_ATTR_FOLDER */
#define OSTRASYNC_METHOD_GET_FOLDER_STATUS 14  /* 0 LocalPath; 1 out int: as GET_FILE_STATUS */
#define OSTRASYNC_METHOD_INSTALL 15            /* none. Registers SyncRootPath with the system, the shell and the search indexer */
#define OSTRASYNC_METHOD_LIST_FILE 16          /* 0 EnumerationHandle i64&, 1 ItemName, 2 Attributes, 3 Size i64&, 4-6 times i64&. One file of a ListDirectory answer */
#define OSTRASYNC_METHOD_LIST_FOLDER 17        /* 0 EnumerationHandle i64&, 1 ItemName, 2 Attributes, 3-5 times i64&. One folder of a ListDirectory answer */
#define OSTRASYNC_METHOD_PIN_FILE 18           /* 0 LocalPath. Keeps the file's content on disk */
#define OSTRASYNC_METHOD_PIN_FOLDER 19         /* 0 LocalPath. Pins the folder and everything below it */
#define OSTRASYNC_METHOD_PUT_FILE_DATA 20      /* 0 OpId i64&, 1 Buffer, 2 Index, 3 Count. Supplies content for a GetFileData task, in order */
#define OSTRASYNC_METHOD_RENAME_FILE 21        /* 0 LocalPath, 1 NewPath, 2 Overwrite int. Renames or moves a local file */
#define OSTRASYNC_METHOD_RENAME_FOLDER 22      /* 0 LocalPath, 1 NewPath. Renames or moves a local folder */
#define OSTRASYNC_METHOD_RESET_FILE 23         /* 0 LocalPath. Drops the local content of a file */
#define OSTRASYNC_METHOD_RESET_FOLDER 24       /* 0 LocalPath. Drops the local content below a folder */
#define OSTRASYNC_METHOD_SET_FILE_ATTRIBUTES 25   /* 0 LocalPath, 1 Attributes. 0 changes nothing */
#define OSTRASYNC_METHOD_SET_FOLDER_ATTRIBUTES 26 /* 0 LocalPath, 1 Attributes. 0 clears read-only, hidden and system */
#define OSTRASYNC_METHOD_SYNC_FILE 27          /* 0 LocalPath. Downloads the file's content again */
#define OSTRASYNC_METHOD_UNINSTALL 28          /* none. Deactivates and removes every registration of the root */
#define OSTRASYNC_METHOD_UNPIN_FILE 29         /* 0 LocalPath. Returns the file to the unspecified pin state */
#define OSTRASYNC_METHOD_UNPIN_FOLDER 30       /* 0 LocalPath. The same for a folder and everything below it */
#define OSTRASYNC_METHOD_UPDATE_FILE 31        /* as CREATE_FILE. The file must exist; its placeholder gets the new metadata and is dehydrated */
#define OSTRASYNC_METHOD_UPDATE_FOLDER 32      /* as CREATE_FOLDER. The folder must exist; times of 1970 or earlier are left as they are */
/* Converts a code-page string to UTF-16. Count must be 2. 0 source, cbparams[0] its bytes;
 * 1 destination, cbparams[1] its capacity in UTF-16 units; 2 out int: units written or needed. */
#define OSTRASYNC_METHOD_CONVERT_TO_UTF16 2003

/* ---- Events (ids passed to the callback) --------------------------------------------------
 * TaskId is a pointer to an int64_t: the OpId or EnumerationHandle of the methods that answer the
 * event. A handler answers by setting ResultCode (an int slot written back) or, with precedence,
 * OstraSync_Kelvo_SetEventErrorAndCode; 0x21000001 keeps the task open for FinalizeTask. */
#define OSTRASYNC_EVENT_ACTIVATED 1       /* 0 ResultCode. An asynchronous Activate ended */
#define OSTRASYNC_EVENT_CANCEL_TASK 2     /* 0 TaskId i64&, 1 Path, 2 ResultCode in/out. Stop working on a task (0x21000032: it expired) */
#define OSTRASYNC_EVENT_CREATE_FILE 3     /* 0 TaskId, 1 Path, 2 Attributes, 3 Size, 4-6 times, 7 ResultCode. The user made a file */
#define OSTRASYNC_EVENT_CREATE_FOLDER 4   /* 0 TaskId, 1 Path, 2 Attributes, 3-5 times, 6 ResultCode. The user made a folder */
#define OSTRASYNC_EVENT_DELETE_FILE 5     /* 0 TaskId, 1 Path, 2 Flags, 3 ResultCode. The user deleted a file */
#define OSTRASYNC_EVENT_DELETE_FOLDER 6   /* 0 TaskId, 1 Path, 2 Flags, 3 ResultCode. The user deleted a folder */
#define OSTRASYNC_EVENT_ERROR 7           /* 0 ErrorCode, 1 Description. A failure no method call could return */
#define OSTRASYNC_EVENT_GET_FILE_DATA 8   /* 0 TaskId, 1 Path, 2 Offset i64&, 3 Length i64&, 4 ResultCode. Supply content with PutFileData */
#define OSTRASYNC_EVENT_LIST_DIRECTORY 9  /* 0 TaskId, 1 Path, 2 Mask, 3 ResultCode. Answer with ListFile/ListFolder */
#define OSTRASYNC_EVENT_LOG 10            /* 0 LogLevel, 1 Message. One log line at or below the LogLevel setting */
#define OSTRASYNC_EVENT_RENAME_FILE 11    /* 0 TaskId, 1 Path, 2 NewPath, 3 ResultCode. The user renamed or moved a file */
#define OSTRASYNC_EVENT_RENAME_FOLDER 12  /* 0 TaskId, 1 Path, 2 NewPath, 3 ResultCode. The user renamed or moved a folder */
#define OSTRASYNC_EVENT_RESET_FILE 13     /* 0 TaskId, 1 Path. A file's local content was dropped */
#define OSTRASYNC_EVENT_UPDATE_FILE 14    /* 0 TaskId, 1 Path, 2 ChangeFlags, 3 Attributes, 4 Size, 5-7 times, 8 ResultCode. The user changed a file (read it with GetLocalData) */
#define OSTRASYNC_EVENT_UPDATE_FOLDER 15  /* 0 TaskId, 1 Path, 2 ChangeFlags, 3 Attributes, 4-6 times, 7 ResultCode. The user changed a folder */
/* Platform request: 0 type, 1 array of Count pointers, 2 array of Count lengths. A request 2000
 * asks the host to release the buffer it handed over (slot 1). */
#define OSTRASYNC_EVENT_PLATFORM_REQUEST 2004
#define OSTRASYNC_PLATFORM_RELEASE_BUFFER 2000

/* UpdateFile/UpdateFolder ChangeFlags. */
#define OSTRASYNC_CHANGE_CREATION_TIME 0x02
#define OSTRASYNC_CHANGE_LAST_WRITE_TIME 0x04
#define OSTRASYNC_CHANGE_LAST_ACCESS_TIME 0x08
#define OSTRASYNC_CHANGE_ATTRIBUTES 0x20
#define OSTRASYNC_CHANGE_CONTENT 0x40

/* ---- Component attribute flags (not Windows attribute bits) ----------------------------- */
#define OSTRASYNC_ATTR_READ_ONLY 0x2
#define OSTRASYNC_ATTR_HIDDEN 0x4
#define OSTRASYNC_ATTR_SYSTEM 0x8
#define OSTRASYNC_ATTR_PINNED 0x100000
#define OSTRASYNC_ATTR_UNPINNED 0x200000
#define OSTRASYNC_ATTR_FOLDER 0x40000000

/* ---- Result codes ------------------------------------------------------------------------ */
/* 0 success; positive values below 0x21000000 are Windows error codes; 200 out of memory;
 * -1 a refused request (unknown setting, read-only property, bad conversion-service count). */
#define OSTRASYNC_OK 0
#define OSTRASYNC_ERR_WINDOWS_NOT_READY 21        /* "The sync operation is not active" */
#define OSTRASYNC_ERR_OUT_OF_MEMORY 200           /* "Out of memory." */
#define OSTRASYNC_ERR_WINDOWS_INTERNAL 1359       /* a handler threw or set its event error to -1 */
#define OSTRASYNC_ERR_PENDING 0x21000001          /* handler: the host finishes the operation later */
#define OSTRASYNC_ERR_NOT_ACTIVE 0x21000002       /* "The sync operation is not active" */
#define OSTRASYNC_ERR_ALREADY_STARTED 0x21000003  /* "The sync operation has already been started" */
#define OSTRASYNC_ERR_INVALID_PARAMETER 0x21000004 /* "Invalid input parameter" */
#define OSTRASYNC_ERR_INVALID_OPID 0x21000005     /* "Invalid OpId" */
#define OSTRASYNC_ERR_OPERATION_DENIED 0x21000006 /* "Operation denied" */
#define OSTRASYNC_ERR_INIT_FAILED 0x21000007      /* "Initialization failed" */
#define OSTRASYNC_ERR_NOT_INSTALLED 0x21000008    /* "Install must be called before performing this operation" */
#define OSTRASYNC_ERR_LOCAL_DATA_EOF 0x21000009   /* local data read beyond the end of the file */
#define OSTRASYNC_ERR_LOCAL_DATA 0x2100000A       /* local data file cannot be opened or sized */
#define OSTRASYNC_ERR_TOO_MANY_ITEMS 0x21000010   /* too many items reported by an enumeration handler */
#define OSTRASYNC_ERR_ITEM_NOT_FOUND 0x21000011   /* "Item not found" */
#define OSTRASYNC_ERR_ITEM_GONE 0x21000012        /* handler: the item no longer exists at the host */
#define OSTRASYNC_ERR_ITEM_EXISTS 0x21000013      /* "Item already exists" */
#define OSTRASYNC_ERR_INVALID_ITEM_NAME 0x21000014 /* "Invalid item name": empty, "." or "..", or " * / : < > ? \\ | */
#define OSTRASYNC_ERR_INVALID_ITEM_ID 0x21000015   /* "Invalid item Id" */
#define OSTRASYNC_ERR_INVALID_ITEM_ATTRIBUTES 0x21000016 /* "Invalid item attributes": a bit outside 0x4030000E */
#define OSTRASYNC_ERR_INVALID_ITEM_PROPERTY 0x21000017   /* "Invalid item property value": negative size or time */
#define OSTRASYNC_ERR_DATA_NOT_COMPLETED 0x21000030 /* a data request was not completed by its handler */
#define OSTRASYNC_ERR_CANCELLED 0x21000031        /* cancelled, or the engine is stopping */
#define OSTRASYNC_ERR_TASK_EXPIRED 0x21000032     /* waited longer than PendingTaskTimeout */
#define OSTRASYNC_ERR_BACKEND 0x21000040          /* "Synchronization failed because of backend error" */
#define OSTRASYNC_ERR_OS_CALL 0x21000041          /* an operating-system call failed */
#define OSTRASYNC_ERR_RETRY_LATER 0x21000042      /* handler: fire the event again later */
#define OSTRASYNC_ERR_INTERNAL 0x21000100         /* internal inconsistency */

#ifdef __cplusplus
}
#endif

#endif /* OSTRASYNC_H_ */
