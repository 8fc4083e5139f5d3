/* demo: a server folder with a few files, and an empty sync root beside it. */
#define _XOPEN_SOURCE 700
#include "demo.h"

#include <errno.h>
#include <ftw.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

/* folder/name into `out`; -1 when it does not fit. */
static int Join(char* out, size_t size, const char* folder, const char* name) {
  if ((size_t)snprintf(out, size, "%s/%s", folder, name) < size) return 0;
  fprintf(stderr, "%s/%s: path too long\n", folder, name);
  return -1;
}

int MakeFolder(const char* path) {
  if (mkdir(path, 0755) == 0 || errno == EEXIST) return 0;
  perror(path);
  return -1;
}

static int WriteText(const char* folder, const char* name, const char* text) {
  char path[PATH_MAX];
  if (Join(path, sizeof path, folder, name) != 0) return -1;
  FILE* file = fopen(path, "wb");
  if (file == NULL || fputs(text, file) < 0 || fclose(file) != 0) {
    perror(path);
    return -1;
  }
  return 0;
}

/* Numbered 64-byte lines, so that any part of the file can be recognised; kept from an earlier
 * run when it is already whole. */
static int WriteLargeFile(const char* folder) {
  char path[PATH_MAX];
  if (Join(path, sizeof path, folder, DEMO_LARGE_FILE) != 0) return -1;
  struct stat info;
  if (stat(path, &info) == 0 && info.st_size == DEMO_LARGE_FILE_SIZE) return 0;
  FILE* file = fopen(path, "wb");
  if (file == NULL) {
    perror(path);
    return -1;
  }
  int failed = 0;
  char line[96];
  for (long number = 1; !failed && number <= DEMO_LARGE_FILE_SIZE / 64; ++number) {
    snprintf(line, sizeof line, "line %08ld: served by the mirror sample on demand, in parts.\n", number);
    failed = fwrite(line, 1, 64, file) != 64;
  }
  if (fclose(file) != 0 || failed) {
    perror(path);
    return -1;
  }
  return 0;
}

static int RemoveEntry(const char* path, const struct stat* info, int type, struct FTW* where) {
  (void)info;
  (void)type;
  if (where->level == 0) return 0; /* the root folder itself stays */
  if (remove(path) != 0) {
    perror(path);
    return -1;
  }
  return 0;
}

int MakeDemo(const char* base, char* server, char* root, size_t size) {
  char path[PATH_MAX];
  char server_path[PATH_MAX];
  char root_path[PATH_MAX];
  if (Join(server_path, sizeof server_path, base, "server") != 0 ||
      Join(root_path, sizeof root_path, base, "SyncRoot") != 0 || Join(path, sizeof path, server_path, "docs") != 0) {
    return -1;
  }
  if (MakeFolder(base) != 0 || MakeFolder(server_path) != 0 || MakeFolder(path) != 0 ||
      (root != NULL && MakeFolder(root_path) != 0)) {
    return -1;
  }
  if (WriteText(server_path, "readme.txt", "Served by the mirror sample.\n") != 0 ||
      WriteText(server_path, "numbers.csv", "one,two,three\n1,2,3\n") != 0 ||
      WriteText(path, "notes.md", "# Notes\n\nA file in a subfolder.\n") != 0 || WriteLargeFile(server_path) != 0) {
    return -1;
  }
  char resolved[PATH_MAX];
  if (realpath(server_path, resolved) == NULL || strlen(resolved) >= size) {
    perror(server_path);
    return -1;
  }
  memcpy(server, resolved, strlen(resolved) + 1);
  if (root == NULL) return 0;
  /* Whatever an earlier run left in the root: placeholders, downloaded files. */
  if (nftw(root_path, RemoveEntry, 16, FTW_DEPTH | FTW_PHYS) != 0) return -1;
  if (realpath(root_path, resolved) == NULL || strlen(resolved) >= size) {
    perror(root_path);
    return -1;
  }
  memcpy(root, resolved, strlen(resolved) + 1);
  return 0;
}
