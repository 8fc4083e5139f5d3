/* mirror: a host that serves a plain "server" folder into a sync root. It installs the root,
 * activates the engine (on this thread, or with --async on the library's own and waits for the
 * Activated event), which lists the server's tree into placeholders through the ListDirectory
 * event, shows the placeholders, then deactivates and uninstalls, printing the library's log.
 *
 * Usage: mirror [--root DIR] [--log-level N] [--async]
 * Without --root it makes a demo folder "mirror-demo" under the current directory, with a
 * server folder holding a few files and an empty sync root beside it. */
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <dirent.h>

#include "ostrasync.h"

static pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_activated_cond = PTHREAD_COND_INITIALIZER;
static int g_activated = 0;        /* guarded by g_mutex */
static int g_activated_result = 0; /* guarded by g_mutex */

static char g_server[4096]; /* the server folder; set before activation, read-only after */
static void* g_component;   /* set once before activation */

/* A file's modification time as a FILETIME (100 ns units since 1601). */
static int64_t FileTimeOf(const struct timespec* t) {
  return (int64_t)t->tv_sec * 10000000 + t->tv_nsec / 100 + INT64_C(116444736000000000);
}

/* Answers ListDirectory: every entry of the server folder at `path` (relative, backslashes)
 * is reported with ListFile or ListFolder under the event's task id. */
static int ListDirectory(int64_t* task_id, const char* path) {
  char folder[8192];
  snprintf(folder, sizeof folder, "%s%s", g_server, strcmp(path, "\\") == 0 ? "" : path);
  for (char* c = folder + strlen(g_server); *c != '\0'; ++c) {
    if (*c == '\\') *c = '/';
  }
  DIR* dir = opendir(folder);
  if (dir == NULL) return OSTRASYNC_ERR_ITEM_NOT_FOUND;
  int rc = 0;
  struct dirent* entry;
  while (rc == 0 && (entry = readdir(dir)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char full[12288];
    snprintf(full, sizeof full, "%s/%s", folder, entry->d_name);
    struct stat info;
    if (stat(full, &info) != 0) continue;
    int64_t size = info.st_size;
    int64_t created = FileTimeOf(&info.st_ctim), accessed = FileTimeOf(&info.st_atim),
            written = FileTimeOf(&info.st_mtim);
    if (S_ISDIR(info.st_mode)) {
      void* params[6] = {task_id, entry->d_name, (void*)(intptr_t)0, &created, &accessed, &written};
      int cb[6] = {0};
      rc = OstraSync_Kelvo_Do(g_component, OSTRASYNC_METHOD_LIST_FOLDER, 6, params, cb);
    } else {
      void* params[7] = {task_id, entry->d_name, (void*)(intptr_t)0, &size, &created, &accessed, &written};
      int cb[7] = {0};
      rc = OstraSync_Kelvo_Do(g_component, OSTRASYNC_METHOD_LIST_FILE, 7, params, cb);
    }
  }
  closedir(dir);
  return rc;
}

static int OnEvent(void* context, int event_id, int count, void* params[], int cbparams[]) {
  (void)context;
  (void)count;
  (void)cbparams;
  if (event_id == OSTRASYNC_EVENT_LIST_DIRECTORY) {
    const char* path = (const char*)params[1];
    printf("  ListDirectory %s\n", path);
    /* The ResultCode slot holds the answer itself. */
    params[3] = (void*)(intptr_t)(g_server[0] != '\0' ? ListDirectory((int64_t*)params[0], path) : 0);
  } else if (event_id == OSTRASYNC_EVENT_LOG) {
    printf("  log %d:%s\n", (int)(intptr_t)params[0], (const char*)params[1]);
  } else if (event_id == OSTRASYNC_EVENT_ERROR) {
    printf("  error 0x%x: %s\n", (unsigned)(intptr_t)params[0], (const char*)params[1]);
  } else if (event_id == OSTRASYNC_EVENT_ACTIVATED) {
    pthread_mutex_lock(&g_mutex);
    g_activated = 1;
    g_activated_result = (int)(intptr_t)params[0];
    pthread_cond_signal(&g_activated_cond);
    pthread_mutex_unlock(&g_mutex);
  }
  fflush(stdout);
  return 0;
}

static int Config(void* component, const char* text) {
  void* params[2] = {(void*)text, NULL};
  int cbparams[2] = {0, 0};
  return OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_CONFIG, 1, params, cbparams);
}

static int MakeFolder(const char* path) {
  if (mkdir(path, 0755) == 0 || errno == EEXIST) return 0;
  perror(path);
  return -1;
}

static int WriteFile(const char* folder, const char* name, const char* text) {
  char path[4096];
  snprintf(path, sizeof path, "%s/%s", folder, name);
  FILE* file = fopen(path, "wb");
  if (file == NULL) {
    perror(path);
    return -1;
  }
  fputs(text, file);
  fclose(file);
  return 0;
}

/* The demo folder: a server with a few files and the folder that becomes the sync root. */
static int MakeDemo(char* server, char* root, size_t size) {
  if (MakeFolder("mirror-demo") != 0 || MakeFolder("mirror-demo/server") != 0 ||
      MakeFolder("mirror-demo/server/docs") != 0 || MakeFolder("mirror-demo/SyncRoot") != 0) {
    return -1;
  }
  if (WriteFile("mirror-demo/server", "readme.txt", "Served by the mirror sample.\n") != 0 ||
      WriteFile("mirror-demo/server", "numbers.csv", "one,two,three\n1,2,3\n") != 0 ||
      WriteFile("mirror-demo/server/docs", "notes.md", "# Notes\n\nA file in a subfolder.\n") != 0) {
    return -1;
  }
  if (realpath("mirror-demo/server", server) == NULL || realpath("mirror-demo/SyncRoot", root) == NULL) {
    perror("mirror-demo");
    return -1;
  }
  (void)size;
  return 0;
}

static void ListServer(const char* folder, const char* relative) {
  char path[4096];
  snprintf(path, sizeof path, "%s%s", folder, relative);
  DIR* dir = opendir(path);
  if (dir == NULL) return;
  struct dirent* entry;
  while ((entry = readdir(dir)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    char child[4096];
    snprintf(child, sizeof child, "%s/%s", relative, entry->d_name);
    char full[8192];
    snprintf(full, sizeof full, "%s%s", folder, child);
    struct stat info;
    if (stat(full, &info) != 0) continue;
    if (S_ISDIR(info.st_mode)) {
      printf("  %s/\n", child);
      ListServer(folder, child);
    } else {
      printf("  %s (%lld bytes)\n", child, (long long)info.st_size);
    }
  }
  closedir(dir);
}

static const char* StateName(int state) {
  return state == 2 ? "active" : state == 1 ? "activating" : "inactive";
}

static int Report(void* component, const char* step, int rc) {
  printf("%s returned 0x%x%s%s\n", step, (unsigned)rc, rc != 0 ? ": " : "",
         rc != 0 ? OstraSync_Kelvo_GetLastError(component) : "");
  return rc;
}

int main(int argc, char** argv) {
  const char* root_option = NULL;
  int log_level = 3;
  int asynchronous = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--root") == 0 && i + 1 < argc) {
      root_option = argv[++i];
    } else if (strcmp(argv[i], "--log-level") == 0 && i + 1 < argc) {
      log_level = atoi(argv[++i]);
    } else if (strcmp(argv[i], "--async") == 0) {
      asynchronous = 1;
    } else {
      fprintf(stderr, "usage: %s [--root DIR] [--log-level N] [--async]\n", argv[0]);
      return 2;
    }
  }

  char server[4096] = "";
  char root[4096];
  if (root_option != NULL) {
    if (MakeFolder(root_option) != 0 || realpath(root_option, root) == NULL) return 1;
  } else if (MakeDemo(server, root, sizeof root) != 0) {
    return 1;
  }
  if (server[0] != '\0') {
    printf("server folder %s:\n", server);
    ListServer(server, "");
  }
  snprintf(g_server, sizeof g_server, "%s", server);
  printf("sync root %s\n", root);

  void* component = OstraSync_Kelvo_Create(OnEvent, NULL, NULL, 0);
  if (component == NULL) {
    fprintf(stderr, "the component could not be created\n");
    return 1;
  }
  g_component = component;
  char setting[64];
  snprintf(setting, sizeof setting, "LogLevel=%d", log_level);
  Config(component, setting);
  OstraSync_Kelvo_Set(component, OSTRASYNC_PROP_SYNC_ROOT_PATH, 0, root);
  OstraSync_Kelvo_Set(component, OSTRASYNC_PROP_SYNC_ROOT_LABEL, 0, "Mirror");

  int failed = 0;
  printf("Install:\n");
  failed |= Report(component, "Install", OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_INSTALL, 0, NULL, NULL)) != 0;

  printf("Activate (%s):\n", asynchronous ? "asynchronous" : "synchronous");
  void* activate_params[1] = {(void*)(intptr_t)(asynchronous ? 0 : 1)};
  int activate_cb[1] = {0};
  int rc = OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_ACTIVATE, 1, activate_params, activate_cb);
  Report(component, "Activate", rc);
  if (rc == 0 && asynchronous) {
    printf("state while the activation runs: %s\n",
           StateName((int)(intptr_t)OstraSync_Kelvo_Get(component, OSTRASYNC_PROP_STATE)));
    pthread_mutex_lock(&g_mutex);
    while (!g_activated) pthread_cond_wait(&g_activated_cond, &g_mutex);
    rc = g_activated_result;
    pthread_mutex_unlock(&g_mutex);
    printf("Activated event: 0x%x\n", (unsigned)rc);
  }
  failed |= rc != 0;
  printf("state: %s\n", StateName((int)(intptr_t)OstraSync_Kelvo_Get(component, OSTRASYNC_PROP_STATE)));

  if (rc == 0) {
    printf("sync root after activation (placeholders, with the sizes the server gave):\n");
    ListServer(root, "");
    printf("Deactivate:\n");
    failed |= Report(component, "Deactivate", OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_DEACTIVATE, 0, NULL, NULL)) != 0;
    printf("state: %s\n", StateName((int)(intptr_t)OstraSync_Kelvo_Get(component, OSTRASYNC_PROP_STATE)));
  }

  printf("Uninstall:\n");
  failed |= Report(component, "Uninstall", OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_UNINSTALL, 0, NULL, NULL)) != 0;

  OstraSync_Kelvo_Destroy(component);
  printf(failed ? "mirror: something failed (see above)\n" : "mirror: done\n");
  return failed ? 1 : 0;
}
