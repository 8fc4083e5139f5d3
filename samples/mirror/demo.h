/* demo: the folders the sample works in when it is given none.
 *
 * <base>/server is the "server": a few small files, a subfolder, and one large file so that a
 * throttled read has progress to show. <base>/SyncRoot beside it becomes the sync root; it is
 * emptied on every start, so that each run begins with a root the server has not listed yet. */
#ifndef MIRROR_DEMO_H_
#define MIRROR_DEMO_H_

#include <stddef.h>

#define DEMO_LARGE_FILE "large.txt"
#define DEMO_LARGE_FILE_SIZE (20 * 1024 * 1024)

/* Makes the folders under `base` and writes their absolute paths to `server` and `root` (each
 * `size` bytes); a null `root` leaves the demo's sync root alone. 0, or -1 after printing what
 * failed. */
int MakeDemo(const char* base, char* server, char* root, size_t size);

/* Makes `path` when it does not exist; 0, or -1 after printing what failed. */
int MakeFolder(const char* path);

#endif /* MIRROR_DEMO_H_ */
