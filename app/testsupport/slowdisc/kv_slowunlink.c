/* A slow or stuck disk under a folder, for removals only, preloaded (LD_PRELOAD) into a process:
 * each unlink, unlinkat and rmdir of an entry below KV_SLOWUNLINK_ROOT costs KV_SLOWUNLINK_MS
 * first, as on a slow or network temporary folder, and the first of them KV_SLOWUNLINK_STALL_MS
 * (a disk that stalls), or the first of an entry named KV_SLOWUNLINK_STALL_NAME when given.
 * Nothing else is touched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#define KV_EXPORT __attribute__((visibility("default")))

static int (*real_unlink)(const char*);
static int (*real_unlinkat)(int, const char*, int);
static int (*real_rmdir)(const char*);

static char root_[PATH_MAX];
static size_t rootLength_;
static long costMs_;
static long stallMs_;
static const char* stallName_;
static atomic_int stalled_;

static void ReadEnvironment(void) __attribute__((constructor));
static void ReadEnvironment(void)
{
    *(void**)&real_unlink = dlsym(RTLD_NEXT, "unlink");
    *(void**)&real_unlinkat = dlsym(RTLD_NEXT, "unlinkat");
    *(void**)&real_rmdir = dlsym(RTLD_NEXT, "rmdir");
    const char* root = getenv("KV_SLOWUNLINK_ROOT");
    if (root != NULL && realpath(root, root_) != NULL) {
        rootLength_ = strlen(root_);
    }
    const char* cost = getenv("KV_SLOWUNLINK_MS");
    costMs_ = cost != NULL ? atol(cost) : 0;
    const char* stall = getenv("KV_SLOWUNLINK_STALL_MS");
    stallMs_ = stall != NULL ? atol(stall) : 0;
    stallName_ = getenv("KV_SLOWUNLINK_STALL_NAME");
    if (stallName_ != NULL && *stallName_ == '\0') {
        stallName_ = NULL;
    }
}

static int Named(const char* path)
{
    if (stallName_ == NULL) {
        return 1;
    }
    const char* slash = strrchr(path, '/');
    return strcmp(slash != NULL ? slash + 1 : path, stallName_) == 0;
}

static void SleepMs(long ms)
{
    struct timespec left = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0) {
    }
}

/* Whether the folder (dirFd, or the path's own when it is absolute or relative to the working
 * folder) lies below the root. */
static int Below(int dirFd, const char* path)
{
    if (rootLength_ == 0 || path == NULL) {
        return 0;
    }
    char folder[PATH_MAX];
    if (path[0] == '/') {
        snprintf(folder, sizeof folder, "%s", path);
    } else if (dirFd == AT_FDCWD) {
        if (getcwd(folder, sizeof folder) == NULL) {
            return 0;
        }
    } else {
        char link[64];
        snprintf(link, sizeof link, "/proc/self/fd/%d", dirFd);
        const ssize_t length = readlink(link, folder, sizeof folder - 1);
        if (length <= 0) {
            return 0;
        }
        folder[length] = '\0';
    }
    return strncmp(folder, root_, rootLength_) == 0 && (folder[rootLength_] == '/' || folder[rootLength_] == '\0');
}

static void Cost(int dirFd, const char* path)
{
    if (!Below(dirFd, path)) {
        return;
    }
    if (stallMs_ > 0 && Named(path) && atomic_exchange(&stalled_, 1) == 0) {
        SleepMs(stallMs_);
    }
    if (costMs_ > 0) {
        SleepMs(costMs_);
    }
}

KV_EXPORT int unlink(const char* path)
{
    Cost(AT_FDCWD, path);
    return real_unlink(path);
}

KV_EXPORT int unlinkat(int dirFd, const char* path, int flags)
{
    Cost(dirFd, path);
    return real_unlinkat(dirFd, path, flags);
}

KV_EXPORT int rmdir(const char* path)
{
    Cost(AT_FDCWD, path);
    return real_rmdir(path);
}
