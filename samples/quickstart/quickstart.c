/* quickstart: the smallest host of the library. It makes a demo folder, creates a component,
 * points it at the folder, reads a few settings, and shows what the component answers when it is
 * asked to register the folder, with every log line the component writes. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "ostrasync.h"

static int OnEvent(void* context, int event_id, int count, void* params[], int cbparams[]) {
  (void)context;
  (void)count;
  (void)cbparams;
  if (event_id == OSTRASYNC_EVENT_LOG) {
    printf("  log %d:%s\n", (int)(intptr_t)params[0], (const char*)params[1]);
  } else if (event_id == OSTRASYNC_EVENT_ERROR) {
    printf("  error 0x%x: %s\n", (unsigned)(intptr_t)params[0], (const char*)params[1]);
  }
  return 0;
}

static const char* Config(void* component, const char* text) {
  void* params[2] = {(void*)text, NULL};
  int cbparams[2] = {0, 0};
  int rc = OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_CONFIG, 1, params, cbparams);
  return rc == 0 ? (const char*)params[1] : OstraSync_Kelvo_GetLastError(component);
}

int main(int argc, char** argv) {
  const char* folder = argc > 1 ? argv[1] : "ostrasync-demo";
  mkdir(folder, 0755);
  char root[4096];
  if (realpath(folder, root) == NULL) {
    perror(folder);
    return 1;
  }

  void* component = OstraSync_Kelvo_Create(OnEvent, NULL, NULL, 0);
  if (component == NULL) {
    fprintf(stderr, "the component could not be created\n");
    return 1;
  }
  printf("library %s, build %s\n", (const char*)OstraSync_Kelvo_Get(component, OSTRASYNC_PROP_VERSION),
         Config(component, "BuildInfo"));
  Config(component, "LogLevel=4");

  OstraSync_Kelvo_Set(component, OSTRASYNC_PROP_SYNC_ROOT_PATH, 0, root);
  OstraSync_Kelvo_Set(component, OSTRASYNC_PROP_SYNC_ROOT_LABEL, 0, "Demo Cloud");
  printf("sync root %s, labelled %s\n", (const char*)OstraSync_Kelvo_Get(component, OSTRASYNC_PROP_SYNC_ROOT_PATH),
         (const char*)OstraSync_Kelvo_Get(component, OSTRASYNC_PROP_SYNC_ROOT_LABEL));
  /* A Config result lives until the same thread's next Config call: print each one at once. */
  printf("provider id %s\n", Config(component, "WindowsStorageProviderId"));
  printf("code page %s\n", Config(component, "CodePage"));

  printf("Install:\n");
  int rc = OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_INSTALL, 0, NULL, NULL);
  printf("Install returned 0x%x: %s\n", (unsigned)rc, OstraSync_Kelvo_GetLastError(component));
  printf("CreateFile without an active engine:\n");
  int64_t zero = 0;
  void* params[6] = {(void*)"\\hello.txt", 0, &zero, &zero, &zero, &zero};
  int cbparams[6] = {0};
  rc = OstraSync_Kelvo_Do(component, OSTRASYNC_METHOD_CREATE_FILE, 6, params, cbparams);
  printf("CreateFile returned %d: %s\n", rc, OstraSync_Kelvo_GetLastError(component));

  OstraSync_Kelvo_Destroy(component);
  return 0;
}
