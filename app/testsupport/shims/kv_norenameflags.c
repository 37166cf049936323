/* A file system that takes no flag on a rename, as FUSE file systems and some network file
 * systems answer: renameat2 with a flag fails with EINVAL, without one it renames. Preloaded
 * into a test's child process. Each refusal adds a line to the file KV_NORENAMEFLAGS_LOG names,
 * so the test knows the program met one. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

__attribute__((visibility("default"))) int renameat2(int olddirfd, const char* oldpath, int newdirfd,
                                                     const char* newpath, unsigned int flags)
{
    if (flags != 0) {
        const char* log = getenv("KV_NORENAMEFLAGS_LOG");
        const int fd = log != NULL ? open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600) : -1;
        if (fd >= 0) {
            (void)!write(fd, "refused\n", 8);
            close(fd);
        }
        errno = EINVAL;
        return -1;
    }
    return renameat(olddirfd, oldpath, newdirfd, newpath);
}
