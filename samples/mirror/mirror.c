/* mirror: a host that serves a plain "server" folder into a sync root, with a shell that plays
 * the user of the root.
 *
 * It installs the root, activates the engine and then hands over to the shell (shell.h). Folders
 * are listed on demand: the root stays empty until the user first looks into it, and every folder
 * is asked of the host (ListDirectory) when it is first opened. A file's content is asked of the
 * host (GetFileData) when it is first read. The host answers from the server folder (server.h),
 * inside the event handler or, with --async, from a worker thread of its own. Quitting the shell
 * deactivates and uninstalls.
 *
 * Usage: mirror [--root DIR] [--log-level N] [--async] [--throttle] [--async-activate]
 *   --root DIR        the folder to use as the sync root (default: mirror-demo/SyncRoot, emptied)
 *   --log-level N     the library's log lines up to level N (default 1: failures only)
 *   --async           answer ListDirectory and GetFileData later, from a worker thread
 *   --throttle        send file data at 1 MiB/s, to watch a download's progress and cancel it
 *   --async-activate  activate on the library's own thread, waiting for the Activated event
 * The demo's server folder is mirror-demo/server under the current directory. Exit status: 0; 1
 * when installing, activating or uninstalling failed; 3 when a command read from a script failed. */
#define _XOPEN_SOURCE 700
#include <limits.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "console.h"
#include "demo.h"
#include "ostrasync.h"
#include "server.h"
#include "shell.h"

typedef struct Options {
  const char* root;
  int log_level;
  int answer_later;
  int throttle;
  int activate_async;
} Options;

static Options g_options; /* set once by main before the component exists */

static pthread_mutex_t g_activation_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_activation_ended = PTHREAD_COND_INITIALIZER;
static int g_activated;        /* guarded by g_activation_lock */
static int g_activated_result; /* guarded by g_activation_lock */

static const char* Text(void* slot) { return slot != NULL ? (const char*)slot : ""; }
static int64_t Int64(void* slot) { return slot != NULL ? *(const int64_t*)slot : 0; }

/* Local changes the user made in the root. This mirror does not upload: it accepts what needs no
 * upload (a pin, an attribute) and refuses the rest, so that the library does not mark a change
 * in sync that the server never received. */
static void LocalChange(const char* name, void* params[], int count, int result_slot, int needs_upload) {
  Say("  host: %s %s%s", name, Text(params[1]), needs_upload ? " (refused: this mirror does not upload)" : "");
  if (needs_upload && result_slot < count) params[result_slot] = (void*)(intptr_t)OSTRASYNC_ERR_OPERATION_DENIED;
}

/* Every event of the component, on whichever thread the library raises it. */
static int OnEvent(void* context, int event_id, int count, void* params[], int cbparams[]) {
  (void)context;
  (void)cbparams;
  const char* later = g_options.answer_later ? " (answered later)" : "";
  switch (event_id) {
    case OSTRASYNC_EVENT_LIST_DIRECTORY:
      Say("  host: ListDirectory %s%s", Text(params[1]), later);
      params[3] = (void*)(intptr_t)ServerListDirectory(Int64(params[0]), Text(params[1]));
      break;
    case OSTRASYNC_EVENT_GET_FILE_DATA:
      Say("  host: GetFileData %s offset %lld length %lld%s", Text(params[1]), (long long)Int64(params[2]),
          (long long)Int64(params[3]), later);
      params[4] = (void*)(intptr_t)ServerGetFileData(Int64(params[0]), Text(params[1]), Int64(params[2]),
                                                     Int64(params[3]));
      break;
    case OSTRASYNC_EVENT_CANCEL_TASK:
      /* Leaving ResultCode as it is agrees. */
      Say("  host: CancelTask %s (task %lld%s)", Text(params[1]), (long long)Int64(params[0]),
          (int)(intptr_t)params[2] == OSTRASYNC_ERR_TASK_EXPIRED ? ", expired" : "");
      ServerCancelTask(Int64(params[0]));
      break;
    case OSTRASYNC_EVENT_RESET_FILE:
      Say("  host: ResetFile %s", Text(params[1]));
      break;
    case OSTRASYNC_EVENT_UPDATE_FILE:
      LocalChange("UpdateFile", params, count, 8, ((int)(intptr_t)params[2] & OSTRASYNC_CHANGE_CONTENT) != 0);
      break;
    case OSTRASYNC_EVENT_UPDATE_FOLDER:
      LocalChange("UpdateFolder", params, count, 7, 0);
      break;
    case OSTRASYNC_EVENT_CREATE_FILE:
      LocalChange("CreateFile", params, count, 7, 1);
      break;
    case OSTRASYNC_EVENT_CREATE_FOLDER:
      LocalChange("CreateFolder", params, count, 6, 1);
      break;
    case OSTRASYNC_EVENT_DELETE_FILE:
    case OSTRASYNC_EVENT_DELETE_FOLDER:
      LocalChange(event_id == OSTRASYNC_EVENT_DELETE_FILE ? "DeleteFile" : "DeleteFolder", params, count, 3, 1);
      break;
    case OSTRASYNC_EVENT_RENAME_FILE:
    case OSTRASYNC_EVENT_RENAME_FOLDER:
      LocalChange(event_id == OSTRASYNC_EVENT_RENAME_FILE ? "RenameFile" : "RenameFolder", params, count, 3, 1);
      break;
    case OSTRASYNC_EVENT_LOG:
      Say("  log %d: %s", (int)(intptr_t)params[0], Text(params[1]));
      break;
    case OSTRASYNC_EVENT_ERROR:
      Say("  error 0x%x: %s", (unsigned)(intptr_t)params[0], Text(params[1]));
      break;
    case OSTRASYNC_EVENT_ACTIVATED:
      pthread_mutex_lock(&g_activation_lock);
      g_activated = 1;
      g_activated_result = (int)(intptr_t)params[0];
      pthread_cond_signal(&g_activation_ended);
      pthread_mutex_unlock(&g_activation_lock);
      break;
    default:
      break;
  }
  return 0;
}

static int Config(void* component, const char* text) {
  void* params[2] = {(void*)text, NULL};
  int cbparams[2] = {0, 0};
  return OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_CONFIG, 1, params, cbparams);
}

/* "install: ok", or the code with the component's text for it. */
static int Report(void* component, const char* step, int rc) {
  if (rc == 0) {
    Say("%s: ok", step);
  } else {
    Say("%s: 0x%x %s", step, (unsigned)rc, OstraSync_Kelvo_GetLastError(component));
  }
  return rc;
}

static int Activate(void* component) {
  void* params[1] = {(void*)(intptr_t)(g_options.activate_async ? 0 : 1)};
  int cbparams[1] = {0};
  int rc = OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_ACTIVATE, 1, params, cbparams);
  if (rc == 0 && g_options.activate_async) {
    pthread_mutex_lock(&g_activation_lock);
    while (!g_activated) pthread_cond_wait(&g_activation_ended, &g_activation_lock);
    rc = g_activated_result;
    pthread_mutex_unlock(&g_activation_lock);
  }
  return Report(component, g_options.activate_async ? "activate (Activated event)" : "activate", rc);
}

static int ParseOptions(int argc, char** argv) {
  g_options.log_level = 1;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      g_options.root = argv[++i];
    } else if (strcmp(argv[i], "--log-level") == 0 && i + 1 < argc) {
      g_options.log_level = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--async") == 0) {
      g_options.answer_later = 1;
    } else if (strcmp(argv[i], "--throttle") == 0) {
      g_options.throttle = 1;
    } else if (strcmp(argv[i], "--async-activate") == 0) {
      g_options.activate_async = 1;
    } else {
      fprintf(stderr, "usage: %s [--root DIR] [--log-level N] [--async] [--throttle] [--async-activate]\n", argv[0]);
      return -1;
    }
  }
  return 0;
}

int main(int argc, char** argv) {
  if (ParseOptions(argc, argv) != 0) return 2;
  /* Before the library starts any thread (see console.h). */
  if (ConsoleInit() != 0) {
    perror("mirror");
    return 1;
  }
  char server[PATH_MAX];
  char root[PATH_MAX];
  if (MakeDemo("mirror-demo", server, g_options.root == NULL ? root : NULL, sizeof root) != 0) return 1;
  if (g_options.root != NULL && (MakeFolder(g_options.root) != 0 || realpath(g_options.root, root) == NULL)) {
    perror(g_options.root);
    return 1;
  }
  Say("server folder %s", server);
  Say("sync root     %s", root);

  void* component = OstraSync_Kelvo_Create(OnEvent, NULL, NULL, 0);
  if (component == NULL) {
    fprintf(stderr, "mirror: the component could not be created\n");
    return 1;
  }
  char setting[64];
  snprintf(setting, sizeof setting, "LogLevel=%d", g_options.log_level);
  Config(component, setting);
  /* Folders are listed when the user first opens them, not all at activation. */
  Config(component, "WindowsCreatePlaceholdersOnDemand=1");
  OstraSync_Kelvo_Set(component, OSTRASYNC_PROP_SYNC_ROOT_PATH, 0, root);
  OstraSync_Kelvo_Set(component, OSTRASYNC_PROP_SYNC_ROOT_LABEL, 0, "Mirror");

  ServerOptions serving = {server, g_options.answer_later, g_options.throttle ? 1 << 20 : 0};
  if (ServerStart(component, &serving) != 0) {
    fprintf(stderr, "mirror: the server's worker thread could not start\n");
    OstraSync_Kelvo_Destroy(component);
    return 1;
  }

  int failed = Report(component, "install", OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_INSTALL, 0, NULL, NULL)) != 0;
  int script_failures = 0;
  if (!failed && Activate(component) == 0) {
    script_failures = ShellRun(root);
    failed |= Report(component, "deactivate", OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_DEACTIVATE, 0, NULL, NULL)) != 0;
  } else {
    failed = 1;
  }
  /* After Deactivate: every task the worker could still be answering has been cancelled. */
  ServerStop();
  failed |= Report(component, "uninstall", OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_UNINSTALL, 0, NULL, NULL)) != 0;
  OstraSync_Kelvo_Destroy(component);
  if (failed) return 1;
  return script_failures > 0 && !ConsoleInputIsTerminal() ? 3 : 0;
}
