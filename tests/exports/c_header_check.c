/* Builds the public header as C (no C++ features may leak into it) and drives the shared library
 * through its exported names only, the way a C host would. Exit status 0 means every check held;
 * otherwise the failures are printed. */
#include "ostrasync.h"

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                   \
  do {                                                                     \
    if (!(condition)) {                                                    \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      ++failures;                                                          \
    }                                                                      \
  } while (0)

static int events_seen = 0;

static int on_event(void* context, int event_id, int param_count, void* params[], int cbparams[]) {
  (void)context;
  (void)event_id;
  (void)param_count;
  (void)params;
  (void)cbparams;
  ++events_seen;
  return 0;
}

/* Taking every export's address makes the link fail if any of the sixteen is missing or carries
 * a decorated name, and checks each declaration's type against what C callers will assume. */
typedef void (*any_function)(void);
static const any_function all_exports[] = {
    (any_function)OstraSync_Kelvo_StaticInit,       (any_function)OstraSync_Kelvo_StaticDestroy,
    (any_function)OstraSync_Kelvo_Create,           (any_function)OstraSync_Kelvo_Destroy,
    (any_function)OstraSync_Kelvo_Do,               (any_function)OstraSync_Kelvo_Get,
    (any_function)OstraSync_Kelvo_Set,              (any_function)OstraSync_Kelvo_CheckIndex,
    (any_function)OstraSync_Kelvo_GetLastError,     (any_function)OstraSync_Kelvo_GetLastErrorCode,
    (any_function)OstraSync_Kelvo_SetLastErrorAndCode, (any_function)OstraSync_Kelvo_GetEventError,
    (any_function)OstraSync_Kelvo_GetEventErrorCode, (any_function)OstraSync_Kelvo_SetEventErrorAndCode,
    (any_function)OstraSync_EvtStr,                 (any_function)OstraSync_Stream,
};

int main(void) {
  size_t i;
  void* handle;
  const char* version;

  for (i = 0; i < sizeof all_exports / sizeof all_exports[0]; ++i) {
    CHECK(all_exports[i] != NULL);
  }

  /* A null handle is a caller error the library reports, not a crash. */
  CHECK(OstraSync_Kelvo_Do(NULL, OSTRASYNC_METHOD_CONFIG, 0, NULL, NULL) == OSTRASYNC_ERR_OUT_OF_MEMORY);
  CHECK(OstraSync_Kelvo_CheckIndex(NULL, OSTRASYNC_PROP_STATE, 0) == OSTRASYNC_ERR_OUT_OF_MEMORY);

  handle = OstraSync_Kelvo_Create(on_event, NULL, NULL, 0);
  CHECK(handle != NULL);
  if (handle != NULL) {
    /* The version property proves the call reached this library's component. */
    version = (const char*)OstraSync_Kelvo_Get(handle, OSTRASYNC_PROP_VERSION);
    CHECK(version != NULL && strcmp(version, "OSTRASYNC_VERSION_24_0_9557") == 0);
    CHECK(OstraSync_Kelvo_CheckIndex(handle, OSTRASYNC_PROP_STATE, 0) == 0);
    CHECK(OstraSync_Kelvo_Destroy(handle) == 0);
  }

  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("public header compiles as C and all exports link\n");
  return 0;
}
