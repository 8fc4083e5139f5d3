/* user_task: a user-side call on its own thread, with progress and Ctrl-C. */
#define _XOPEN_SOURCE 700
#include "user_task.h"

#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include "console.h"
#include "ostrasync_emulation.h"

typedef struct Run {
  UserTask* task;
  int32_t result;
  int done_fd; /* written to once the task has ended, which wakes the shell at once */
} Run;

static void* TaskThread(void* argument) {
  Run* run = argument;
  run->result = run->task->run(run->task);
  char done = 1;
  (void)!write(run->done_fd, &done, 1);
  return NULL;
}

int UserTaskStopped(UserTask* task) { return atomic_load(&task->stop); }

/* "  12.0 / 20.0 MiB" while the file is not yet whole on disk; *shown is the figure on screen. */
static void ShowProgress(const char* path, int64_t* shown) {
  ostrasync_user_state state;
  if (ostrasync_user_stat(path, &state) != 0 || !state.is_placeholder || state.size <= 0) return;
  if (state.on_disk_bytes >= state.size || state.on_disk_bytes == *shown) return;
  *shown = state.on_disk_bytes;
  char line[64];
  snprintf(line, sizeof line, "  %.1f / %.1f MiB", (double)state.on_disk_bytes / 1048576.0,
           (double)state.size / 1048576.0);
  ConsoleProgress(line);
}

int32_t RunUserTask(UserTask* task) {
  atomic_init(&task->stop, 0);
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return (int32_t)0x8007000E; /* E_OUTOFMEMORY: no resources left */
  Run run = {task, 0, pipe_fds[1]};
  pthread_t thread;
  if (pthread_create(&thread, NULL, TaskThread, &run) != 0) {
    close(pipe_fds[0]);
    close(pipe_fds[1]);
    return (int32_t)0x8007000E;
  }
  int64_t shown = -1;
  while (!ConsoleWait(pipe_fds[0], 100)) {
    if (ConsoleTakeInterrupt()) atomic_store(&task->stop, 1);
    /* Cancelling finds nothing while the thread is between two calls (0x80070490); it is tried
     * again on every round until the thread notices the stop flag or its call is aborted. */
    if (atomic_load(&task->stop)) (void)ostrasync_user_cancel_io(thread);
    if (task->progress_path != NULL && ConsoleIsTerminal()) ShowProgress(task->progress_path, &shown);
  }
  /* A Ctrl-C that came as the task ended was meant for it, not for the prompt. */
  (void)ConsoleTakeInterrupt();
  pthread_join(thread, NULL);
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  ConsoleEndProgress();
  return run.result;
}
