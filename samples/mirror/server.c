/* server: answers ListDirectory and GetFileData from a plain folder, now or from a worker thread. */
#define _XOPEN_SOURCE 700
#include "server.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "console.h"
#include "ostrasync.h"

enum { kPathSize = 4096 };

/* Set by ServerStart before the engine runs; read-only afterwards. */
static void* g_component;
static char g_folder[kPathSize];
static int g_answer_later;
static int64_t g_bytes_per_second;

/* A request the handler left for the worker thread. */
typedef struct Job {
  struct Job* next;
  int is_listing; /* 1: ListDirectory; 0: GetFileData */
  int64_t task_id;
  int64_t offset;
  int64_t length;
  char path[]; /* the event's Path, copied: the event's strings do not outlive the handler */
} Job;

static pthread_mutex_t g_queue_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_queue_changed = PTHREAD_COND_INITIALIZER;
static Job* g_first;   /* guarded by g_queue_lock: oldest queued request */
static Job* g_last;    /* guarded by g_queue_lock */
static int g_stopping; /* guarded by g_queue_lock */
static pthread_t g_worker;
static int g_worker_started; /* written only by ServerStart and ServerStop, on the main thread */

/* Tasks the library has cancelled (CancelTask), so that their work stops before its next part.
 * Ids never repeat; the most recent ones are enough, since a transfer still running for an id
 * that fell out is stopped by its next PutFileData failing anyway. */
enum { kRecentCancels = 64 };
static pthread_mutex_t g_cancel_lock = PTHREAD_MUTEX_INITIALIZER;
static int64_t g_cancelled[kRecentCancels]; /* guarded by g_cancel_lock */
static unsigned g_cancel_count;             /* guarded by g_cancel_lock: cancels seen so far */

static int IsCancelled(int64_t task_id) {
  pthread_mutex_lock(&g_cancel_lock);
  int found = 0;
  unsigned kept = g_cancel_count < kRecentCancels ? g_cancel_count : kRecentCancels;
  for (unsigned i = 0; i < kept && !found; ++i) found = g_cancelled[i] == task_id;
  pthread_mutex_unlock(&g_cancel_lock);
  return found;
}

/* ---- The served folder --------------------------------------------------------------------- */

/* The server path behind an event's Path ("\docs\a.txt"). A Path is relative to the sync root;
 * one with "." or ".." in it could reach outside the served folder and is refused outright. */
static int ServerPath(const char* relative, char* out, size_t size) {
  size_t used = (size_t)snprintf(out, size, "%s", g_folder);
  const char* at = relative;
  while (*at != '\0') {
    while (*at == '\\') ++at;
    size_t length = strcspn(at, "\\");
    if (length == 0) break;
    if ((length == 1 && at[0] == '.') || (length == 2 && at[0] == '.' && at[1] == '.') ||
        memchr(at, '/', length) != NULL || used + 1 + length >= size) {
      return OSTRASYNC_ERR_ITEM_NOT_FOUND;
    }
    out[used++] = '/';
    memcpy(out + used, at, length);
    used += length;
    out[used] = '\0';
    at += length;
  }
  return 0;
}

/* Reports a failure of the server's own storage; the code tells the library whether the item is
 * gone at the server or the server failed. */
static int ServerFailure(const char* what, const char* path, int error) {
  Say("  host: %s %s: %s", what, path, strerror(error));
  return error == ENOENT || error == ENOTDIR ? OSTRASYNC_ERR_ITEM_GONE : OSTRASYNC_ERR_BACKEND;
}

/* A FILETIME: 100 ns units since 1601-01-01 UTC. */
static int64_t FileTimeOf(const struct timespec* t) {
  return (int64_t)t->tv_sec * 10000000 + t->tv_nsec / 100 + INT64_C(116444736000000000);
}

/* Reports every entry of the folder behind `path` with ListFile or ListFolder. Returns 0 or the
 * code that ended the listing; *refused is set when the library turned an entry down (the task was
 * cancelled, or the engine is stopping), after which there is nothing more to tell it. */
static int ListEntries(int64_t task_id, const char* path, int* refused) {
  char folder[kPathSize];
  int rc = ServerPath(path, folder, sizeof folder);
  if (rc != 0) return rc;
  DIR* dir = opendir(folder);
  if (dir == NULL) return ServerFailure("cannot list", folder, errno);
  struct dirent* entry;
  while (rc == 0 && (entry = readdir(dir)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char full[kPathSize];
    struct stat info;
    if ((size_t)snprintf(full, sizeof full, "%s/%s", folder, entry->d_name) >= sizeof full ||
        stat(full, &info) != 0) {
      continue; /* gone since readdir, or a dangling link */
    }
    /* The server keeps no creation time; the modification time stands in for it. */
    int64_t created = FileTimeOf(&info.st_mtim), accessed = FileTimeOf(&info.st_atim),
            written = FileTimeOf(&info.st_mtim);
    if (S_ISDIR(info.st_mode)) {
      void* params[6] = {&task_id, entry->d_name, (void*)(intptr_t)0, &created, &accessed, &written};
      int cbparams[6] = {0};
      rc = OstraSync_Kelvo_Do(g_component, OSTRASYNC_METHOD_LIST_FOLDER, 6, params, cbparams);
    } else if (S_ISREG(info.st_mode)) {
      int64_t size = info.st_size;
      void* params[7] = {&task_id, entry->d_name, (void*)(intptr_t)0, &size, &created, &accessed, &written};
      int cbparams[7] = {0};
      rc = OstraSync_Kelvo_Do(g_component, OSTRASYNC_METHOD_LIST_FILE, 7, params, cbparams);
    } /* devices, pipes and sockets have no content to serve */
    if (rc != 0) *refused = 1;
  }
  closedir(dir);
  return rc;
}

/* Bytes per PutFileData call: big parts when nothing holds the transfer back, small ones when
 * throttled, so that the progress moves smoothly and a cancel is noticed soon. */
static size_t PartSize(void) {
  if (g_bytes_per_second <= 0) return 1 << 20;
  int64_t part = g_bytes_per_second / 8 / 4096 * 4096;
  return part < 4096 ? 4096 : (size_t)part;
}

static void Throttle(int64_t bytes) {
  if (g_bytes_per_second <= 0) return;
  int64_t nanoseconds = bytes * 1000000000 / g_bytes_per_second;
  struct timespec pause = {(time_t)(nanoseconds / 1000000000), (long)(nanoseconds % 1000000000)};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

/* Supplies bytes [offset, offset + length) of the file behind `path`, in order, with PutFileData.
 * Returns 0 or the code that ended the transfer; *refused as for ListEntries. A cancelled task
 * is noticed here: its next PutFileData fails. */
static int PutData(int64_t task_id, const char* path, int64_t offset, int64_t length, int* refused) {
  char file[kPathSize];
  int rc = ServerPath(path, file, sizeof file);
  if (rc != 0) return rc;
  /* Not blocking in open: a pipe put where the file was would otherwise hang the transfer. */
  int fd = open(file, O_RDONLY | O_NONBLOCK);
  if (fd < 0) return ServerFailure("cannot open", file, errno);
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return ServerFailure("cannot read", file, EINVAL);
  }
  const size_t part = PartSize();
  unsigned char* buffer = malloc(part);
  if (buffer == NULL) {
    close(fd);
    return OSTRASYNC_ERR_OUT_OF_MEMORY;
  }
  int64_t done = 0;
  while (done < length) {
    if (IsCancelled(task_id)) {
      rc = OSTRASYNC_ERR_CANCELLED;
      *refused = 1;
      break;
    }
    size_t want = length - done < (int64_t)part ? (size_t)(length - done) : part;
    ssize_t got = pread(fd, buffer, want, (off_t)(offset + done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      rc = ServerFailure("cannot read", file, errno);
      break;
    }
    if (got == 0) {
      /* The server's copy is shorter than the placeholder says: it changed since the listing.
       * Finalising with what was sent would leave the file with a hole; fail the request. */
      Say("  host: %s ends at %lld, before the %lld bytes asked from %lld", file, (long long)(offset + done),
          (long long)length, (long long)offset);
      rc = OSTRASYNC_ERR_BACKEND;
      break;
    }
    void* params[4] = {&task_id, buffer, (void*)(intptr_t)0, (void*)(intptr_t)got};
    int cbparams[4] = {0, (int)got, 0, 0};
    rc = OstraSync_Kelvo_Do(g_component, OSTRASYNC_METHOD_PUT_FILE_DATA, 4, params, cbparams);
    if (rc != 0) {
      *refused = 1;
      break;
    }
    done += got;
    Throttle(got);
  }
  free(buffer);
  close(fd);
  return rc;
}

static int FinalizeTask(int64_t task_id, int code) {
  void* params[2] = {&task_id, (void*)(intptr_t)code};
  int cbparams[2] = {0, 0};
  int rc = OstraSync_Kelvo_Do(g_component, OSTRASYNC_METHOD_FINALIZE_TASK, 2, params, cbparams);
  if (rc != 0 && rc != OSTRASYNC_ERR_CANCELLED) {
    Say("  host: FinalizeTask %lld: 0x%x %s", (long long)task_id, (unsigned)rc, OstraSync_Kelvo_GetLastError(g_component));
  }
  return rc;
}

/* ---- Answering later ---------------------------------------------------------------------- */

static void Answer(const Job* job) {
  if (IsCancelled(job->task_id)) return; /* cancelled while it waited in the queue */
  int refused = 0;
  int rc = job->is_listing ? ListEntries(job->task_id, job->path, &refused)
                           : PutData(job->task_id, job->path, job->offset, job->length, &refused);
  if (!refused) (void)FinalizeTask(job->task_id, rc);
}

static void* Worker(void* unused) {
  (void)unused;
  for (;;) {
    pthread_mutex_lock(&g_queue_lock);
    while (g_first == NULL && !g_stopping) pthread_cond_wait(&g_queue_changed, &g_queue_lock);
    Job* job = g_stopping ? NULL : g_first;
    if (job != NULL) {
      g_first = job->next;
      if (g_first == NULL) g_last = NULL;
    }
    pthread_mutex_unlock(&g_queue_lock);
    if (job == NULL) return NULL;
    Answer(job);
    free(job);
  }
}

static int Enqueue(int is_listing, int64_t task_id, const char* path, int64_t offset, int64_t length) {
  size_t path_size = strlen(path) + 1;
  Job* job = malloc(sizeof *job + path_size);
  if (job == NULL) return OSTRASYNC_ERR_OUT_OF_MEMORY;
  job->next = NULL;
  job->is_listing = is_listing;
  job->task_id = task_id;
  job->offset = offset;
  job->length = length;
  memcpy(job->path, path, path_size);
  pthread_mutex_lock(&g_queue_lock);
  if (g_last != NULL) {
    g_last->next = job;
  } else {
    g_first = job;
  }
  g_last = job;
  pthread_cond_signal(&g_queue_changed);
  pthread_mutex_unlock(&g_queue_lock);
  return OSTRASYNC_ERR_PENDING;
}

/* ---- The interface ----------------------------------------------------------------------- */

int ServerStart(void* component, const ServerOptions* options) {
  g_component = component;
  snprintf(g_folder, sizeof g_folder, "%s", options->folder);
  g_answer_later = options->answer_later;
  g_bytes_per_second = options->bytes_per_second;
  g_stopping = 0;
  if (!g_answer_later) return 0;
  if (pthread_create(&g_worker, NULL, Worker, NULL) != 0) return -1;
  g_worker_started = 1;
  return 0;
}

void ServerStop(void) {
  pthread_mutex_lock(&g_queue_lock);
  g_stopping = 1;
  pthread_cond_broadcast(&g_queue_changed);
  pthread_mutex_unlock(&g_queue_lock);
  if (g_worker_started) pthread_join(g_worker, NULL);
  g_worker_started = 0;
  pthread_mutex_lock(&g_queue_lock);
  while (g_first != NULL) {
    Job* job = g_first;
    g_first = job->next;
    free(job);
  }
  g_last = NULL;
  pthread_mutex_unlock(&g_queue_lock);
}

void ServerCancelTask(int64_t task_id) {
  pthread_mutex_lock(&g_cancel_lock);
  g_cancelled[g_cancel_count++ % kRecentCancels] = task_id;
  pthread_mutex_unlock(&g_cancel_lock);
}

int ServerListDirectory(int64_t task_id, const char* path) {
  if (g_answer_later) return Enqueue(1, task_id, path, 0, 0);
  int refused = 0;
  return ListEntries(task_id, path, &refused);
}

int ServerGetFileData(int64_t task_id, const char* path, int64_t offset, int64_t length) {
  if (g_answer_later) return Enqueue(0, task_id, path, offset, length);
  int refused = 0;
  int rc = PutData(task_id, path, offset, length, &refused);
  /* A task the library has cancelled (the user gave up, the engine stops) needs no answer. */
  if (refused && IsCancelled(task_id)) return 0;
  /* Inside the handler too, the data counts only once the task is finalised. */
  if (rc == 0) rc = FinalizeTask(task_id, 0);
  return rc;
}
