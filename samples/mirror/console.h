/* console: the terminal the sample talks through.
 *
 * The library raises its events on threads of its own while the shell waits for a command or
 * draws a progress line, so every line goes out through one lock, and a progress line is wiped
 * before anything else is printed. Ctrl-C only sets a flag: the shell reads it between waits. */
#ifndef MIRROR_CONSOLE_H_
#define MIRROR_CONSOLE_H_

#include <stddef.h>

/* Call first, before any thread exists: every thread started afterwards (the library's
 * included) inherits a mask that keeps SIGINT away, so that Ctrl-C reaches only the shell's
 * waits below. */
int ConsoleInit(void);

int ConsoleIsTerminal(void);      /* stdout is a terminal: prompts and progress lines make sense */
int ConsoleInputIsTerminal(void); /* stdin is a terminal: otherwise commands come from a script */

/* One line of output (the newline is added), from any thread. */
void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
/* Raw bytes for stdout (cat), from any thread. */
void ConsoleWrite(const void* data, size_t size);
/* Shows the prompt (a string that lives on) until ConsoleReadLine returns; lines said meanwhile
 * go above it. */
void ConsolePrompt(const char* text);
/* Draws `text` as the current progress line (terminal only) and wipes it again. */
void ConsoleProgress(const char* text);
void ConsoleEndProgress(void);

/* Whether Ctrl-C was pressed since the last call. */
int ConsoleTakeInterrupt(void);

/* Waits up to `milliseconds` for `fd` to become readable, returning early for Ctrl-C.
 * 1 when fd is readable, 0 otherwise. */
int ConsoleWait(int fd, int milliseconds);

/* Reads one command line into `line` (without its newline). */
enum { CONSOLE_LINE = 0, CONSOLE_END = 1, CONSOLE_INTERRUPTED = 2 };
int ConsoleReadLine(char* line, size_t size);

#endif /* MIRROR_CONSOLE_H_ */
