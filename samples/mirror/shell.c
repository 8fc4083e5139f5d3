/* shell: the commands a user types at the sync root. */
#define _XOPEN_SOURCE 700
#include "shell.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "console.h"
#include "ostrasync_emulation.h"
#include "user_task.h"

enum { kMaxArgs = 3, kChunk = 1 << 20 };

static const char* g_root; /* the sync root's absolute path; set by ShellRun */

/* "cat: 0x800701AA The cloud operation was not completed before the time-out period expired." */
static int Fail(const char* command, int32_t code) {
  char text[512];
  if (ostrasync_user_message(code, text, sizeof text) == 0) text[0] = '\0';
  Say("%s: 0x%08X %s", command, (unsigned)code, text);
  return 1;
}

/* The full path of a path relative to the root ("docs/notes.md", "\docs", "" for the root). The
 * shell stays inside the root: ".." is refused. */
static int RootPath(const char* command, const char* relative, char* out, size_t size) {
  size_t used = (size_t)snprintf(out, size, "%s", g_root);
  const char* at = relative;
  while (*at != '\0') {
    while (*at == '/' || *at == '\\') ++at;
    size_t length = strcspn(at, "/\\");
    if (length == 0) break;
    if (length == 2 && at[0] == '.' && at[1] == '.') {
      Say("%s: %s: paths stay inside the sync root", command, relative);
      return -1;
    }
    if (!(length == 1 && at[0] == '.')) {
      if (used + 1 + length >= size) {
        Say("%s: %s: path too long", command, relative);
        return -1;
      }
      out[used++] = '/';
      memcpy(out + used, at, length);
      used += length;
      out[used] = '\0';
    }
    at += length;
  }
  return 0;
}

/* ---- ls ------------------------------------------------------------------------------------ */

typedef struct Entry {
  char* name;
  uint32_t attributes;
  int64_t size;
} Entry;

typedef struct Listing {
  const char* folder;
  Entry* entries;
  size_t count;
  size_t capacity;
} Listing;

static int AddEntry(void* context, const ostrasync_user_entry* entry) {
  Listing* listing = context;
  if (listing->count == listing->capacity) {
    size_t capacity = listing->capacity == 0 ? 16 : listing->capacity * 2;
    Entry* grown = realloc(listing->entries, capacity * sizeof *grown);
    if (grown == NULL) return 1; /* shows what fitted */
    listing->entries = grown;
    listing->capacity = capacity;
  }
  char* name = strdup(entry->name);
  if (name == NULL) return 1;
  listing->entries[listing->count++] = (Entry){name, entry->attributes, entry->size};
  return 0;
}

static int32_t ListTask(UserTask* task) {
  Listing* listing = task->context;
  return ostrasync_user_list(listing->folder, AddEntry, listing);
}

static int ByName(const void* a, const void* b) {
  return strcmp(((const Entry*)a)->name, ((const Entry*)b)->name);
}

/* Explorer's status column: online (nothing on disk), partial, local (all on disk), pinned. */
static const char* Availability(const char* path) {
  ostrasync_user_state state;
  if (ostrasync_user_stat(path, &state) != 0) return "?";
  if (!state.is_placeholder) return "local";
  if (state.pin_state == OSTRASYNC_USER_PINNED) return "pinned";
  if (state.on_disk_bytes == 0 && state.size > 0) return "online";
  return state.on_disk_bytes < state.size ? "partial" : "local";
}

static int CommandList(char** args, int count) {
  char folder[PATH_MAX];
  if (RootPath("ls", count > 1 ? args[1] : "", folder, sizeof folder) != 0) return 1;
  Listing listing = {folder, NULL, 0, 0};
  UserTask task = {.run = ListTask, .context = &listing};
  int32_t rc = RunUserTask(&task);
  if (rc == 0) {
    if (listing.count > 1) qsort(listing.entries, listing.count, sizeof *listing.entries, ByName);
    for (size_t i = 0; i < listing.count; ++i) {
      const Entry* entry = &listing.entries[i];
      if (entry->attributes & 0x10) { /* FILE_ATTRIBUTE_DIRECTORY */
        Say("  %-8s %10s  %s/", "folder", "", entry->name);
      } else {
        char path[PATH_MAX];
        const int fits = (size_t)snprintf(path, sizeof path, "%s/%s", folder, entry->name) < sizeof path;
        Say("  %-8s %10lld  %s", fits ? Availability(path) : "?", (long long)entry->size, entry->name);
      }
    }
  }
  for (size_t i = 0; i < listing.count; ++i) free(listing.entries[i].name);
  free(listing.entries);
  return rc == 0 ? 0 : Fail("ls", rc);
}

/* ---- cat and cp ---------------------------------------------------------------------------- */

typedef struct Copy {
  const char* path; /* the file read */
  FILE* out;        /* where its bytes go; NULL: stdout */
  int64_t copied;
  int last_byte;    /* of what was copied, or -1 */
  int write_error;  /* errno of a failed write to `out` */
} Copy;

/* Reads the file from start to end in 1 MiB calls, as an application would. The first call of a
 * placeholder waits while its data is downloaded; Ctrl-C aborts it. */
static int32_t CopyTask(UserTask* task) {
  Copy* copy = task->context;
  unsigned char* buffer = malloc(kChunk);
  if (buffer == NULL) return (int32_t)0x8007000E; /* E_OUTOFMEMORY */
  int32_t rc = 0;
  for (;;) {
    if (UserTaskStopped(task)) {
      rc = USER_TASK_ABORTED;
      break;
    }
    uint32_t got = 0;
    rc = ostrasync_user_read(copy->path, copy->copied, buffer, kChunk, &got);
    if (rc != 0 || got == 0) break;
    if (copy->out == NULL) {
      ConsoleWrite(buffer, got);
    } else if (fwrite(buffer, 1, got, copy->out) != got) {
      copy->write_error = errno;
      break;
    }
    copy->copied += got;
    copy->last_byte = buffer[got - 1];
  }
  free(buffer);
  return rc;
}

static int32_t RunCopy(Copy* copy) {
  copy->copied = 0;
  copy->last_byte = -1;
  copy->write_error = 0;
  UserTask task = {.run = CopyTask, .context = copy, .progress_path = copy->path};
  return RunUserTask(&task);
}

static int CommandCat(char** args, int count) {
  (void)count;
  char path[PATH_MAX];
  if (RootPath("cat", args[1], path, sizeof path) != 0) return 1;
  Copy copy = {.path = path};
  int32_t rc = RunCopy(&copy);
  if (copy.last_byte >= 0 && copy.last_byte != '\n') ConsoleWrite("\n", 1);
  return rc == 0 ? 0 : Fail("cat", rc);
}

/* Whether `path` (a file to be made) would land inside the sync root, where only the user side
 * may write. */
static int InsideRoot(const char* path) {
  char folder[PATH_MAX];
  snprintf(folder, sizeof folder, "%s", path);
  char* slash = strrchr(folder, '/');
  if (slash == NULL) {
    snprintf(folder, sizeof folder, ".");
  } else if (slash == folder) {
    folder[1] = '\0';
  } else {
    *slash = '\0';
  }
  char resolved[PATH_MAX];
  if (realpath(folder, resolved) == NULL) return 0; /* fopen reports the missing folder */
  size_t length = strlen(g_root);
  return strncmp(resolved, g_root, length) == 0 && (resolved[length] == '\0' || resolved[length] == '/');
}

static int CommandCopy(char** args, int count) {
  (void)count;
  char path[PATH_MAX];
  if (RootPath("cp", args[1], path, sizeof path) != 0) return 1;
  char target[PATH_MAX];
  struct stat info;
  size_t length;
  if (stat(args[2], &info) == 0 && S_ISDIR(info.st_mode)) {
    const char* name = strrchr(path, '/');
    length = (size_t)snprintf(target, sizeof target, "%s/%s", args[2], name != NULL ? name + 1 : path);
  } else {
    length = (size_t)snprintf(target, sizeof target, "%s", args[2]);
  }
  if (length >= sizeof target) {
    Say("cp: %s: path too long", args[2]);
    return 1;
  }
  if (InsideRoot(target)) {
    Say("cp: %s: the copy must go outside the sync root", target);
    return 1;
  }
  FILE* out = fopen(target, "wb");
  if (out == NULL) {
    Say("cp: %s: %s", target, strerror(errno));
    return 1;
  }
  Copy copy = {.path = path, .out = out};
  int32_t rc = RunCopy(&copy);
  if (fclose(out) != 0 && copy.write_error == 0) copy.write_error = errno;
  if (rc != 0 || copy.write_error != 0) {
    remove(target); /* a partial copy must not pass for the file */
    if (copy.write_error != 0) {
      Say("cp: %s: %s", target, strerror(copy.write_error));
      return 1;
    }
    return Fail("cp", rc);
  }
  Say("cp: %lld bytes to %s", (long long)copy.copied, target);
  return 0;
}

/* ---- stat, pin, unpin, dehydrate ----------------------------------------------------------- */

static const char* PinName(uint32_t pin_state) {
  switch (pin_state) {
    case OSTRASYNC_USER_PIN_UNSPECIFIED:
      return "unspecified";
    case OSTRASYNC_USER_PINNED:
      return "pinned (always keep on this device)";
    case OSTRASYNC_USER_UNPINNED:
      return "unpinned (free up space)";
    default:
      return "other";
  }
}

static int CommandStat(char** args, int count) {
  (void)count;
  char path[PATH_MAX];
  if (RootPath("stat", args[1], path, sizeof path) != 0) return 1;
  ostrasync_user_state state;
  int32_t rc = ostrasync_user_stat(path, &state);
  if (rc != 0) return Fail("stat", rc);
  const int folder = (state.attributes & 0x10) != 0;
  Say("  %s: %s", args[1], folder ? "folder" : "file");
  Say("  placeholder  %s", state.is_placeholder ? "yes" : "no");
  Say("  pin state    %s", PinName(state.pin_state));
  Say("  in sync      %s", !state.is_placeholder ? "-" : state.in_sync ? "yes" : "no");
  Say("  attributes   0x%08X", (unsigned)state.attributes);
  if (folder) return 0;
  Say("  size         %lld bytes", (long long)state.size);
  char ranges[256] = "";
  size_t used = 0;
  uint32_t shown = state.range_count < 8 ? state.range_count : 8;
  for (uint32_t i = 0; i < shown && used < sizeof ranges; ++i) {
    used += (size_t)snprintf(ranges + used, sizeof ranges - used, "%s%lld-%lld", i > 0 ? ", " : "",
                             (long long)state.ranges[i].offset,
                             (long long)(state.ranges[i].offset + state.ranges[i].length));
  }
  if (state.range_count > shown && used < sizeof ranges) snprintf(ranges + used, sizeof ranges - used, ", ...");
  Say("  on disk      %lld bytes%s%s", (long long)state.on_disk_bytes, state.range_count > 0 ? " at " : "", ranges);
  return 0;
}

typedef struct PinChange {
  const char* path;
  uint32_t pin_state;
} PinChange;

static int32_t PinTask(UserTask* task) {
  const PinChange* change = task->context;
  return ostrasync_user_set_pin(change->path, change->pin_state);
}

static int SetPin(const char* command, const char* relative, uint32_t pin_state) {
  char path[PATH_MAX];
  if (RootPath(command, relative, path, sizeof path) != 0) return 1;
  PinChange change = {path, pin_state};
  UserTask task = {.run = PinTask, .context = &change};
  int32_t rc = RunUserTask(&task);
  if (rc != 0) return Fail(command, rc);
  Say("%s: %s", relative, PinName(pin_state));
  return 0;
}

static int CommandPin(char** args, int count) {
  (void)count;
  return SetPin("pin", args[1], OSTRASYNC_USER_PINNED);
}

static int CommandUnpin(char** args, int count) {
  (void)count;
  return SetPin("unpin", args[1], OSTRASYNC_USER_UNPINNED);
}

static int32_t DehydrateTask(UserTask* task) { return ostrasync_user_dehydrate(task->context); }

static int CommandDehydrate(char** args, int count) {
  (void)count;
  char path[PATH_MAX];
  if (RootPath("dehydrate", args[1], path, sizeof path) != 0) return 1;
  UserTask task = {.run = DehydrateTask, .context = path};
  int32_t rc = RunUserTask(&task);
  if (rc != 0) return Fail("dehydrate", rc);
  Say("%s: dehydrated", args[1]);
  return 0;
}

/* Waits, for scripts: the library answers some changes a moment later (a listing the host
 * finishes later, the engine's answer to a pin). Ctrl-C ends the wait. */
static int CommandSleep(char** args, int count) {
  (void)count;
  char* end = NULL;
  double seconds = strtod(args[1], &end);
  if (end == args[1] || *end != '\0' || seconds < 0 || seconds > 3600) {
    Say("sleep: %s: not a number of seconds", args[1]);
    return 1;
  }
  long left = (long)(seconds * 1000);
  while (!ConsoleTakeInterrupt() && left > 0) {
    (void)ConsoleWait(-1, left < 100 ? (int)left : 100);
    left -= 100;
  }
  return 0;
}

/* Waits, for scripts, until PATH is there: a listing the host finishes later puts its items on
 * disk a moment after the folder was first looked at, and a busy machine makes that moment
 * longer. Ctrl-C ends the wait; after a minute, far beyond any host's answer, it fails. */
static int CommandWaitFor(char** args, int count) {
  (void)count;
  char path[PATH_MAX];
  if (RootPath("waitfor", args[1], path, sizeof path) != 0) return 1;
  struct stat st;
  for (int waited = 0; lstat(path, &st) != 0; waited += 100) {
    if (waited >= 60000 || ConsoleTakeInterrupt()) {
      Say("waitfor: %s: not there", args[1]);
      return 1;
    }
    (void)ConsoleWait(-1, 100);
  }
  return 0;
}

/* ---- The command loop ---------------------------------------------------------------------- */

typedef struct Command {
  const char* name;
  const char* usage;
  int min_args; /* besides the command's name */
  int max_args;
  int (*run)(char** args, int count); /* 0 done, 1 failed (already reported) */
} Command;

static int CommandHelp(char** args, int count);

static const Command kCommands[] = {
    {"ls", "ls [DIR]            list a folder (its entries come from the host on first use)", 0, 1, CommandList},
    {"cat", "cat FILE            print a file (downloaded from the host first)", 1, 1, CommandCat},
    {"cp", "cp FILE DEST        copy a file to DEST, outside the sync root", 2, 2, CommandCopy},
    {"stat", "stat PATH           placeholder, pin state, in sync, size, bytes and ranges on disk", 1, 1,
     CommandStat},
    {"pin", "pin PATH            always keep on this device", 1, 1, CommandPin},
    {"unpin", "unpin PATH          free up space", 1, 1, CommandUnpin},
    {"dehydrate", "dehydrate PATH      drop the file's data from the disk", 1, 1, CommandDehydrate},
    {"sleep", "sleep SECONDS       wait, for scripts (the library answers some changes later)", 1, 1, CommandSleep},
    {"waitfor", "waitfor PATH        wait, for scripts, until PATH is there (a listing answered later)", 1, 1,
     CommandWaitFor},
    {"help", "help                this list", 0, 0, CommandHelp},
};

static int CommandHelp(char** args, int count) {
  (void)args;
  (void)count;
  for (size_t i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) Say("  %s", kCommands[i].usage);
  Say("  quit                deactivate, uninstall and leave (also Ctrl-C here, or the input's end)");
  Say("  Paths are relative to the sync root. Ctrl-C stops a command that waits for the host.");
  return 0;
}

/* Splits `line` into words in place; "double quotes" keep spaces in a word. Returns the number
 * of words, or -1 when there are more than `max`. */
static int Split(char* line, char** words, int max) {
  int count = 0;
  char* at = line;
  for (;;) {
    while (*at == ' ' || *at == '\t') ++at;
    if (*at == '\0') return count;
    if (count == max) return -1;
    const char* end_chars = " \t";
    if (*at == '"') {
      ++at;
      end_chars = "\"";
    }
    words[count++] = at;
    at += strcspn(at, end_chars);
    if (*at != '\0') *at++ = '\0';
  }
}

int ShellRun(const char* root) {
  g_root = root;
  const int interactive = ConsoleInputIsTerminal();
  /* On Linux only this shell goes through the emulation's user side; any other program opens the
     placeholder file itself and reads the holes of a file not downloaded yet. */
  Say("Note: other programs (cat, od, an editor in another terminal) read a file of the sync root that is not "
      "downloaded yet as zeros; read it here first, or pin it.");
  if (interactive) Say("Type help for the commands.");
  int failures = 0;
  char line[4096];
  for (;;) {
    if (interactive) ConsolePrompt("mirror> ");
    const int got = ConsoleReadLine(line, sizeof line);
    if (got == CONSOLE_INTERRUPTED) {
      Say("%squit (Ctrl-C)", interactive ? "\n" : "");
      break;
    }
    if (got == CONSOLE_END) {
      if (interactive) Say("%s", "");
      break;
    }
    if (line[0] == '#') continue; /* a comment in a script */
    if (!interactive) Say("mirror> %s", line);
    char* args[kMaxArgs + 1];
    const int count = Split(line, args, kMaxArgs + 1);
    if (count == 0) continue;
    if (count < 0) {
      Say("%s: too many words (\"quotes\" keep a name with spaces together)", args[0]);
      ++failures;
      continue;
    }
    if (strcmp(args[0], "quit") == 0 || strcmp(args[0], "exit") == 0) break;
    const Command* command = NULL;
    for (size_t i = 0; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
      if (strcmp(args[0], kCommands[i].name) == 0) command = &kCommands[i];
    }
    if (command == NULL) {
      Say("%s: unknown command (try help)", args[0]);
      ++failures;
    } else if (count - 1 < command->min_args || count - 1 > command->max_args) {
      Say("usage: %s", command->usage);
      ++failures;
    } else {
      failures += command->run(args, count);
    }
  }
  return failures;
}
