// Fault injection for end-to-end tests of the launcher binary, loaded with LD_PRELOAD. Each fault
// is switched on by an environment variable; without them every call passes straight through.
//
//   PELWINTER_FAULT_KILL_AT_LOG=text   SIGKILL the process right after the n-th write() whose data
//   PELWINTER_FAULT_KILL_AT_COUNT=n    contains text (n defaults to 1). Log lines are written and
//                                      flushed as they are made, so this stops the run exactly at a
//                                      logged step: after the line, before whatever follows it.
//   PELWINTER_FAULT_RENAME_FROM=suffix rename(), renameat() and renameat2() of a path ending in
//   PELWINTER_FAULT_RENAME_TIMES=n     suffix fail with EBUSY, the first n times (default: always).
//   PELWINTER_FAULT_WRITE_PATH=text    write(), pwrite(), fwrite() and copy_file_range() into a file
//                                      whose path contains text fail with ENOSPC, as on a full disk.
//   PELWINTER_FAULT_SLOW_PATH=text     write() and fwrite() into a file whose path contains text wait
//   PELWINTER_FAULT_SLOW_MSECS=n       n milliseconds first, as on a slow disk.
//   PELWINTER_FAULT_KILL_AT_PATH=[op:]text  SIGKILL the process right before the n-th file-system
//   PELWINTER_FAULT_KILL_AT_PATH_COUNT=n    operation on a path that contains text (n defaults to 1):
//                                      op is one of rename, unlink, rmdir, mkdir, link, open (files
//                                      opened to be created or written); without op any of them
//                                      counts. A rename counts when either of its paths matches.
//   PELWINTER_FAULT_KILL_AT_UNLINK=text SIGKILL the process right after the n-th successful unlink()
//   PELWINTER_FAULT_KILL_AT_UNLINK_COUNT=n or unlinkat() of a path containing text (n defaults to 1):
//                                      in the middle of removing a folder.
//   PELWINTER_FAULT_REFUSE_LINKS=text  link() and linkat() of a new path containing text fail with
//                                      EPERM, as on vfat and exFAT.
//   PELWINTER_FAULT_REFUSE_REMOVE=text unlink(), unlinkat() and rmdir() of a path containing text fail
//   PELWINTER_FAULT_REFUSE_REMOVE_TIMES=n with EBUSY, the first n times (default: always).
//   PELWINTER_FAULT_HOLD_AT_PATH=[op:]text  right before the n-th file-system operation on a path that
//   PELWINTER_FAULT_HOLD_AT_PATH_COUNT=n    contains text (counted as for KILL_AT_PATH), create the file
//   PELWINTER_FAULT_HOLD_FILE=path          path and wait until it is removed (60 s at most): the test
//                                      sees the run stand at that step, acts, and lets it go on.
//
// The variables, LD_PRELOAD among them, are removed from the environment at load, so programs the
// launcher starts (the game) run without the faults.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static char* killText;
static long killCount = 1;
static atomic_long killSeen;
static char* renameFrom;
static int renameLimited;
static atomic_long renameFailuresLeft;
static char* writePath;
static char* slowPath;
static long slowMSecs;
static char* killPathOp;
static char* killPathText;
static long killPathCount = 1;
static atomic_long killPathSeen;
static char* unlinkText;
static long unlinkCount = 1;
static atomic_long unlinkSeen;
static char* refuseLinks;
static char* refuseRemove;
static int refuseRemoveLimited;
static atomic_long refuseRemoveLeft;
static char* holdPathOp;
static char* holdPathText;
static long holdPathCount = 1;
static atomic_long holdPathSeen;
static char* holdFile;

static void killBeforePathOp(const char* op, const char* path, const char* path2);

static char* takeEnv(const char* name)
{
    const char* value = getenv(name);
    char* copy = value && *value ? strdup(value) : NULL;
    unsetenv(name);
    return copy;
}

// A point "[op:]text" in variable name, and its count in name_COUNT.
static void takePathPoint(const char* name, char** op, char** text, long* count)
{
    *text = takeEnv(name);
    char* colon = *text ? strchr(*text, ':') : NULL;
    if (colon) {
        *colon = '\0';
        *op = *text;
        *text = colon + 1;
    }
    char countName[64];
    snprintf(countName, sizeof countName, "%s_COUNT", name);
    char* value = takeEnv(countName);
    if (value)
        *count = atol(value);
    free(value);
}

__attribute__((constructor)) static void loadFaults(void)
{
    killText = takeEnv("PELWINTER_FAULT_KILL_AT_LOG");
    char* count = takeEnv("PELWINTER_FAULT_KILL_AT_COUNT");
    if (count)
        killCount = atol(count);
    renameFrom = takeEnv("PELWINTER_FAULT_RENAME_FROM");
    char* times = takeEnv("PELWINTER_FAULT_RENAME_TIMES");
    if (times) {
        renameLimited = 1;
        renameFailuresLeft = atol(times);
    }
    writePath = takeEnv("PELWINTER_FAULT_WRITE_PATH");
    slowPath = takeEnv("PELWINTER_FAULT_SLOW_PATH");
    char* msecs = takeEnv("PELWINTER_FAULT_SLOW_MSECS");
    if (msecs)
        slowMSecs = atol(msecs);
    takePathPoint("PELWINTER_FAULT_KILL_AT_PATH", &killPathOp, &killPathText, &killPathCount);
    unlinkText = takeEnv("PELWINTER_FAULT_KILL_AT_UNLINK");
    char* unlinks = takeEnv("PELWINTER_FAULT_KILL_AT_UNLINK_COUNT");
    if (unlinks)
        unlinkCount = atol(unlinks);
    free(unlinks);
    refuseLinks = takeEnv("PELWINTER_FAULT_REFUSE_LINKS");
    refuseRemove = takeEnv("PELWINTER_FAULT_REFUSE_REMOVE");
    char* removeTimes = takeEnv("PELWINTER_FAULT_REFUSE_REMOVE_TIMES");
    if (removeTimes) {
        refuseRemoveLimited = 1;
        refuseRemoveLeft = atol(removeTimes);
    }
    free(removeTimes);
    takePathPoint("PELWINTER_FAULT_HOLD_AT_PATH", &holdPathOp, &holdPathText, &holdPathCount);
    holdFile = takeEnv("PELWINTER_FAULT_HOLD_FILE");
    free(count);
    free(times);
    free(msecs);
    unsetenv("LD_PRELOAD");
}

static void* next(const char* name)
{
    return dlsym(RTLD_NEXT, name);
}

static int pathContains(int fd, const char* text)
{
    if (!text || fd < 0)
        return 0;
    char link[64];
    char path[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length <= 0)
        return 0;
    path[length] = '\0';
    return strstr(path, text) != NULL;
}

// Whether a write into fd must fail; waits first where the disk is to be slow.
static int failsWrite(int fd)
{
    if (slowMSecs > 0 && pathContains(fd, slowPath))
        usleep((useconds_t)(slowMSecs * 1000));
    return pathContains(fd, writePath);
}

static void killAfter(const void* data, size_t size)
{
    if (killText && size > 0 && memmem(data, size, killText, strlen(killText)) &&
        atomic_fetch_add(&killSeen, 1) + 1 == killCount)
        kill(getpid(), SIGKILL);
}

ssize_t write(int fd, const void* data, size_t size)
{
    static ssize_t (*real)(int, const void*, size_t);
    if (!real)
        real = (ssize_t(*)(int, const void*, size_t))next("write");
    if (failsWrite(fd)) {
        errno = ENOSPC;
        return -1;
    }
    const ssize_t written = real(fd, data, size);
    killAfter(data, size);
    return written;
}

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream)
{
    static size_t (*real)(const void*, size_t, size_t, FILE*);
    if (!real)
        real = (size_t(*)(const void*, size_t, size_t, FILE*))next("fwrite");
    if (failsWrite(fileno(stream))) {
        errno = ENOSPC;
        return 0;
    }
    return real(data, size, count, stream);
}

ssize_t pwrite(int fd, const void* data, size_t size, off_t offset)
{
    static ssize_t (*real)(int, const void*, size_t, off_t);
    if (!real)
        real = (ssize_t(*)(int, const void*, size_t, off_t))next("pwrite");
    if (failsWrite(fd)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, data, size, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t size, off_t offset)
{
    return pwrite(fd, data, size, offset);
}

ssize_t copy_file_range(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t size, unsigned int flags)
{
    static ssize_t (*real)(int, loff_t*, int, loff_t*, size_t, unsigned int);
    if (!real)
        real = (ssize_t(*)(int, loff_t*, int, loff_t*, size_t, unsigned int))next("copy_file_range");
    if (failsWrite(out)) {
        errno = ENOSPC;
        return -1;
    }
    return real(in, inOffset, out, outOffset, size, flags);
}

// Whether a failure that may be limited to n times is still due, counting it.
static int takeFailure(int limited, atomic_long* left)
{
    if (!limited)
        return 1;
    long now = atomic_load(left);
    while (now > 0 && !atomic_compare_exchange_weak(left, &now, now - 1)) {
    }
    return now > 0;
}

static int failsRename(const char* from)
{
    if (!renameFrom || !from)
        return 0;
    const size_t length = strlen(from);
    const size_t suffix = strlen(renameFrom);
    if (length < suffix || strcmp(from + length - suffix, renameFrom) != 0)
        return 0;
    return takeFailure(renameLimited, &renameFailuresLeft);
}

int rename(const char* from, const char* to)
{
    static int (*real)(const char*, const char*);
    if (!real)
        real = (int (*)(const char*, const char*))next("rename");
    killBeforePathOp("rename", from, to);
    if (failsRename(from)) {
        errno = EBUSY;
        return -1;
    }
    return real(from, to);
}

int renameat(int fromDir, const char* from, int toDir, const char* to)
{
    static int (*real)(int, const char*, int, const char*);
    if (!real)
        real = (int (*)(int, const char*, int, const char*))next("renameat");
    killBeforePathOp("rename", from, to);
    if (failsRename(from)) {
        errno = EBUSY;
        return -1;
    }
    return real(fromDir, from, toDir, to);
}

int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned int flags)
{
    static int (*real)(int, const char*, int, const char*, unsigned int);
    if (!real)
        real = (int (*)(int, const char*, int, const char*, unsigned int))next("renameat2");
    killBeforePathOp("rename", from, to);
    if (failsRename(from)) {
        errno = EBUSY;
        return -1;
    }
    return real(fromDir, from, toDir, to, flags);
}

// Whether an operation of kind op on path (or path2) is the n-th that matches a point's kind and text.
static int isPathPointReached(const char* pointOp, const char* pointText, long count, atomic_long* seen, const char* op,
                              const char* path, const char* path2)
{
    if (!pointText || (pointOp && strcmp(pointOp, op) != 0))
        return 0;
    const int matches = (path && strstr(path, pointText)) || (path2 && strstr(path2, pointText));
    return matches && atomic_fetch_add(seen, 1) + 1 == count;
}

// Stands still before the n-th matching operation until the test removes the hold file it made.
static void holdBeforePathOp(const char* op, const char* path, const char* path2)
{
    if (!holdFile || !isPathPointReached(holdPathOp, holdPathText, holdPathCount, &holdPathSeen, op, path, path2))
        return;
    static int (*realOpen)(const char*, int, ...);
    if (!realOpen)
        realOpen = (int (*)(const char*, int, ...))next("open");
    const int fd = realOpen(holdFile, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    close(fd);
    for (int waited = 0; waited < 30000 && access(holdFile, F_OK) == 0; ++waited)
        usleep(2000);
}

// Kills the process before an operation of kind op on path (or path2) when it is the n-th that matches.
static void killBeforePathOp(const char* op, const char* path, const char* path2)
{
    holdBeforePathOp(op, path, path2);
    if (isPathPointReached(killPathOp, killPathText, killPathCount, &killPathSeen, op, path, path2))
        kill(getpid(), SIGKILL);
}

static void killAfterUnlink(int result, const char* path)
{
    if (result == 0 && unlinkText && path && strstr(path, unlinkText) &&
        atomic_fetch_add(&unlinkSeen, 1) + 1 == unlinkCount)
        kill(getpid(), SIGKILL);
}

// A link to a matching new path is refused as on a file system without hard links.
static int refusesLink(const char* to)
{
    if (refuseLinks && to && strstr(to, refuseLinks)) {
        errno = EPERM;
        return 1;
    }
    return 0;
}

// Whether a removal of path must fail, as when a file system holds it busy.
static int refusesRemove(const char* path)
{
    if (!refuseRemove || !path || !strstr(path, refuseRemove) || !takeFailure(refuseRemoveLimited, &refuseRemoveLeft))
        return 0;
    errno = EBUSY;
    return 1;
}

int unlink(const char* path)
{
    static int (*real)(const char*);
    if (!real)
        real = (int (*)(const char*))next("unlink");
    killBeforePathOp("unlink", path, NULL);
    if (refusesRemove(path))
        return -1;
    const int result = real(path);
    killAfterUnlink(result, path);
    return result;
}

int unlinkat(int dir, const char* path, int flags)
{
    static int (*real)(int, const char*, int);
    if (!real)
        real = (int (*)(int, const char*, int))next("unlinkat");
    killBeforePathOp((flags & AT_REMOVEDIR) ? "rmdir" : "unlink", path, NULL);
    if (refusesRemove(path))
        return -1;
    const int result = real(dir, path, flags);
    killAfterUnlink(result, path);
    return result;
}

int rmdir(const char* path)
{
    static int (*real)(const char*);
    if (!real)
        real = (int (*)(const char*))next("rmdir");
    killBeforePathOp("rmdir", path, NULL);
    if (refusesRemove(path))
        return -1;
    return real(path);
}

int mkdir(const char* path, mode_t mode)
{
    static int (*real)(const char*, mode_t);
    if (!real)
        real = (int (*)(const char*, mode_t))next("mkdir");
    killBeforePathOp("mkdir", path, NULL);
    return real(path, mode);
}

int linkat(int fromDir, const char* from, int toDir, const char* to, int flags)
{
    static int (*real)(int, const char*, int, const char*, int);
    if (!real)
        real = (int (*)(int, const char*, int, const char*, int))next("linkat");
    killBeforePathOp("link", to, NULL);
    if (refusesLink(to))
        return -1;
    return real(fromDir, from, toDir, to, flags);
}

int link(const char* from, const char* to)
{
    static int (*real)(const char*, const char*);
    if (!real)
        real = (int (*)(const char*, const char*))next("link");
    killBeforePathOp("link", to, NULL);
    if (refusesLink(to))
        return -1;
    return real(from, to);
}

static int opensForWriting(int flags)
{
    return (flags & (O_CREAT | O_WRONLY | O_RDWR)) != 0;
}

// Whether open() was given a mode argument.
static int takesMode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

int open(const char* path, int flags, ...)
{
    static int (*real)(const char*, int, ...);
    if (!real)
        real = (int (*)(const char*, int, ...))next("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = takesMode(flags) ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    if (opensForWriting(flags))
        killBeforePathOp("open", path, NULL);
    return real(path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list args;
    va_start(args, flags);
    const mode_t mode = takesMode(flags) ? (mode_t)va_arg(args, int) : 0;
    va_end(args);
    return open(path, flags, mode);
}

static FILE* openStream(FILE* (*real)(const char*, const char*), const char* path, const char* mode)
{
    if (mode && (strchr(mode, 'w') || strchr(mode, 'a') || strchr(mode, '+')))
        killBeforePathOp("open", path, NULL);
    return real(path, mode);
}

FILE* fopen(const char* path, const char* mode)
{
    static FILE* (*real)(const char*, const char*);
    if (!real)
        real = (FILE * (*)(const char*, const char*)) next("fopen");
    return openStream(real, path, mode);
}

FILE* fopen64(const char* path, const char* mode)
{
    static FILE* (*real)(const char*, const char*);
    if (!real)
        real = (FILE * (*)(const char*, const char*)) next("fopen64");
    return openStream(real, path, mode);
}
