/* console: output under one lock, the progress line, command lines from stdin, and Ctrl-C. */
#define _XOPEN_SOURCE 700
#include "console.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <unistd.h>

static volatile sig_atomic_t g_interrupted; /* set by the SIGINT handler, cleared by the shell */
static sigset_t g_wait_mask;                /* the shell's mask while it waits: SIGINT let through */
static int g_stdout_terminal;               /* set once by ConsoleInit */
static int g_stdin_terminal;                /* set once by ConsoleInit */

static pthread_mutex_t g_output_lock = PTHREAD_MUTEX_INITIALIZER;
static int g_progress_shown;      /* guarded by g_output_lock: a progress line is on the screen */
static const char* g_prompt_shown; /* guarded by g_output_lock: the prompt waiting for input, or NULL */

/* Bytes read from stdin that are not yet returned as lines; only the shell's thread uses them. */
static char g_input[4096];
static size_t g_input_length;
static int g_input_ended;

static void OnInterrupt(int signal_number) {
  (void)signal_number;
  g_interrupted = 1;
}

int ConsoleInit(void) {
  g_stdout_terminal = isatty(STDOUT_FILENO);
  g_stdin_terminal = isatty(STDIN_FILENO);
  /* SIGINT stays blocked on this thread and on every thread started from now on; the shell lets
   * it through only inside pselect, so the handler always interrupts the shell's own wait. */
  sigset_t block;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &block, &g_wait_mask) != 0) return -1;
  sigdelset(&g_wait_mask, SIGINT);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  sigemptyset(&action.sa_mask);
  /* Output piped into a reader that has gone (mirror | head) must not kill the host before it
   * has deactivated and uninstalled; the failed writes are simply lost. */
  action.sa_handler = SIG_IGN;
  if (sigaction(SIGPIPE, &action, NULL) != 0) return -1;
  action.sa_handler = OnInterrupt;
  return sigaction(SIGINT, &action, NULL);
}

int ConsoleIsTerminal(void) { return g_stdout_terminal; }
int ConsoleInputIsTerminal(void) { return g_stdin_terminal; }

/* With g_output_lock held. */
static void WipeProgress(void) {
  if (!g_progress_shown) return;
  fputs("\r\033[K", stdout);
  g_progress_shown = 0;
}

void Say(const char* format, ...) {
  pthread_mutex_lock(&g_output_lock);
  WipeProgress();
  /* An event's line while the shell waits for a command goes above the prompt, which is drawn
   * again below it. */
  if (g_prompt_shown != NULL) fputs("\r\033[K", stdout);
  va_list args;
  va_start(args, format);
  vprintf(format, args);
  va_end(args);
  putchar('\n');
  if (g_prompt_shown != NULL) fputs(g_prompt_shown, stdout);
  fflush(stdout);
  pthread_mutex_unlock(&g_output_lock);
}

void ConsoleWrite(const void* data, size_t size) {
  pthread_mutex_lock(&g_output_lock);
  WipeProgress();
  fwrite(data, 1, size, stdout);
  fflush(stdout);
  pthread_mutex_unlock(&g_output_lock);
}

void ConsolePrompt(const char* text) {
  pthread_mutex_lock(&g_output_lock);
  WipeProgress();
  fputs(text, stdout);
  g_prompt_shown = text;
  fflush(stdout);
  pthread_mutex_unlock(&g_output_lock);
}

/* The user answered the prompt (the terminal has echoed the newline, or ^C). */
static void PromptAnswered(void) {
  pthread_mutex_lock(&g_output_lock);
  g_prompt_shown = NULL;
  pthread_mutex_unlock(&g_output_lock);
}

void ConsoleProgress(const char* text) {
  if (!g_stdout_terminal) return;
  pthread_mutex_lock(&g_output_lock);
  printf("\r%s\033[K", text);
  g_progress_shown = 1;
  fflush(stdout);
  pthread_mutex_unlock(&g_output_lock);
}

void ConsoleEndProgress(void) {
  pthread_mutex_lock(&g_output_lock);
  WipeProgress();
  fflush(stdout);
  pthread_mutex_unlock(&g_output_lock);
}

int ConsoleTakeInterrupt(void) {
  if (!g_interrupted) return 0;
  g_interrupted = 0;
  return 1;
}

int ConsoleWait(int fd, int milliseconds) {
  fd_set readable;
  FD_ZERO(&readable);
  if (fd >= 0) FD_SET(fd, &readable);
  struct timespec timeout = {milliseconds / 1000, (long)(milliseconds % 1000) * 1000000L};
  int ready = pselect(fd + 1, fd >= 0 ? &readable : NULL, NULL, NULL, &timeout, &g_wait_mask);
  return ready > 0 && fd >= 0 && FD_ISSET(fd, &readable);
}

/* Moves the first line of g_input (or all of it, when no newline will come) into `line`. */
static void TakeLine(char* line, size_t size, size_t length, size_t used) {
  size_t copied = length < size - 1 ? length : size - 1;
  memcpy(line, g_input, copied);
  if (copied > 0 && line[copied - 1] == '\r') --copied;
  line[copied] = '\0';
  memmove(g_input, g_input + used, g_input_length - used);
  g_input_length -= used;
}

static int ReadLine(char* line, size_t size) {
  for (;;) {
    const char* newline = memchr(g_input, '\n', g_input_length);
    if (newline != NULL) {
      size_t length = (size_t)(newline - g_input);
      TakeLine(line, size, length, length + 1);
      return CONSOLE_LINE;
    }
    /* A last line without a newline, or one longer than the buffer, is taken as it is. */
    if ((g_input_ended && g_input_length > 0) || g_input_length == sizeof g_input) {
      TakeLine(line, size, g_input_length, g_input_length);
      return CONSOLE_LINE;
    }
    if (g_input_ended) return CONSOLE_END;
    if (ConsoleTakeInterrupt()) return CONSOLE_INTERRUPTED;
    if (!ConsoleWait(STDIN_FILENO, 100)) continue;
    ssize_t got = read(STDIN_FILENO, g_input + g_input_length, sizeof g_input - g_input_length);
    if (got > 0) {
      g_input_length += (size_t)got;
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
      g_input_ended = 1;
    }
  }
}

int ConsoleReadLine(char* line, size_t size) {
  const int got = ReadLine(line, size);
  PromptAnswered();
  return got;
}
