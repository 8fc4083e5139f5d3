/* user_task: runs one of the shell's user-side calls on a thread of its own.
 *
 * A read of a placeholder blocks its thread until the host has supplied the data, which may take
 * a while. The shell's thread stays free meanwhile: it draws the download's progress and turns
 * Ctrl-C into ostrasync_user_cancel_io on the blocked thread, as CancelSynchronousIo would on
 * Windows. */
#ifndef MIRROR_USER_TASK_H_
#define MIRROR_USER_TASK_H_

#include <stdatomic.h>
#include <stdint.h>

/* What Windows gives a call that was cancelled: HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED). */
#define USER_TASK_ABORTED ((int32_t)0x800703E3)

typedef struct UserTask {
  /* Runs on the task's thread; returns 0 or a Windows code. It should check UserTaskStopped
   * between its calls and end with USER_TASK_ABORTED when it is set. */
  int32_t (*run)(struct UserTask* task);
  void* context;
  /* A file whose download progress to show on a terminal while the task runs, or NULL. */
  const char* progress_path;

  atomic_int stop; /* set by the shell when the user pressed Ctrl-C */
} UserTask;

/* Runs the task and waits for it; returns its result. */
int32_t RunUserTask(UserTask* task);

int UserTaskStopped(UserTask* task);

#endif /* MIRROR_USER_TASK_H_ */
