/* shell: a user at the sync root, typing commands.
 *
 * Each command does what Explorer or an application would do to the root's files, through the
 * user side of the Linux emulation (ostrasync_emulation.h): list a folder, read a file, look at
 * its state, pin, free up space. The requests these raise reach the host as the library's events,
 * which the host prints, so the two sides can be watched together. Paths are relative to the
 * sync root ("docs/notes.md"). On a terminal the shell prompts; otherwise it reads commands from
 * stdin, echoing each one, until the input ends. */
#ifndef MIRROR_SHELL_H_
#define MIRROR_SHELL_H_

/* Runs commands until quit, the end of the input or Ctrl-C at the prompt. `root` is the sync
 * root's absolute path. Returns how many commands failed. */
int ShellRun(const char* root);

#endif /* MIRROR_SHELL_H_ */
