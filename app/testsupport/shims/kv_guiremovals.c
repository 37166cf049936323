/* The removals a process makes on its main thread (the GUI thread of the viewer), preloaded
 * (LD_PRELOAD) into a test's child process: each unlink, unlinkat, rmdir and remove made there
 * adds a line "NS CALL PATH" to the file KV_GUIREMOVALS_LOG names, NS on the monotonic clock, so
 * that a test can count those made between two moments. The call is then passed on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#define KV_EXPORT __attribute__((visibility("default")))

static int (*real_unlink)(const char*);
static int (*real_unlinkat)(int, const char*, int);
static int (*real_rmdir)(const char*);
static int (*real_remove)(const char*);

static void FindCalls(void) __attribute__((constructor));
static void FindCalls(void)
{
    *(void**)&real_unlink = dlsym(RTLD_NEXT, "unlink");
    *(void**)&real_unlinkat = dlsym(RTLD_NEXT, "unlinkat");
    *(void**)&real_rmdir = dlsym(RTLD_NEXT, "rmdir");
    *(void**)&real_remove = dlsym(RTLD_NEXT, "remove");
}

static void Note(const char* call, int dirFd, const char* path)
{
    if (syscall(SYS_gettid) != getpid()) {
        return;
    }
    const char* log = getenv("KV_GUIREMOVALS_LOG");
    if (log == NULL || path == NULL) {
        return;
    }
    /* A name relative to a folder descriptor is told with that folder's path. */
    char folder[PATH_MAX] = "";
    if (path[0] != '/' && dirFd != AT_FDCWD) {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
        const ssize_t length = readlink(link, folder, sizeof folder - 1);
        folder[length > 0 ? length : 0] = '\0';
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[2 * PATH_MAX + 64];
    const int length =
        snprintf(line, sizeof line, "%lld %s %s%s%s\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec, call,
                 folder, folder[0] != '\0' ? "/" : "", path);
    const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        (void)!write(fd, line, length > 0 && (size_t)length < sizeof line ? (size_t)length : strlen(line));
        close(fd);
    }
}

KV_EXPORT int unlink(const char* path)
{
    Note("unlink", AT_FDCWD, path);
    return real_unlink(path);
}

KV_EXPORT int unlinkat(int dirFd, const char* path, int flags)
{
    Note((flags & AT_REMOVEDIR) != 0 ? "rmdir" : "unlinkat", dirFd, path);
    return real_unlinkat(dirFd, path, flags);
}

KV_EXPORT int rmdir(const char* path)
{
    Note("rmdir", AT_FDCWD, path);
    return real_rmdir(path);
}

KV_EXPORT int remove(const char* path)
{
    Note("remove", AT_FDCWD, path);
    return real_remove(path);
}
