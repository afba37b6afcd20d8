/* Preloaded into the real updater by the kill tests: each call that changes
 * an entry below QND_KILL_BELOW (a rename, removal, new folder, link or mode
 * change) is counted and logged, as "<number> <call> <name>" lines appended
 * to QND_KILL_LOG, and the process kills itself with SIGKILL just before
 * call number QND_KILL_AT would be made, or the first call on an entry named
 * QND_KILL_NAME. A kill thus lands exactly between
 * two steps of the program, wherever the test asks. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int counted;

/* Whether the entry named by dirfd and name lies below QND_KILL_BELOW. */
static int below(int dirfd, const char* name)
{
    const char* root = getenv("QND_KILL_BELOW");
    if (!root || !*root)
        return 0;
    char dir[PATH_MAX];
    if (name && name[0] == '/') {
        snprintf(dir, sizeof dir, "%s", name);
    } else {
        char link[64];
        if (dirfd == AT_FDCWD)
            snprintf(link, sizeof link, "/proc/self/cwd");
        else
            snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
        const ssize_t n = readlink(link, dir, sizeof dir - 1);
        if (n < 0)
            return 0;
        dir[n] = '\0';
    }
    const size_t len = strlen(root);
    return strncmp(dir, root, len) == 0 && (dir[len] == '/' || dir[len] == '\0');
}

static void step(const char* call, int dirfd, const char* name)
{
    if (!below(dirfd, name))
        return;
    ++counted;
    const char* log = getenv("QND_KILL_LOG");
    const char* at = getenv("QND_KILL_AT");
    const char* named = getenv("QND_KILL_NAME");
    const int killing = (at && atoi(at) == counted) || (named && *named && name && strcmp(named, name) == 0);
    if (log) {
        const int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            char line[PATH_MAX + 64];
            const int n =
                snprintf(line, sizeof line, "%d %s %s%s\n", counted, call, name ? name : "", killing ? " killed" : "");
            if (n > 0 && write(fd, line, (size_t)n) < 0) {
                /* the log is for the test's messages only */
            }
            close(fd);
        }
    }
    if (killing)
        raise(SIGKILL);
}

#define NEXT(type, name, args) ((type(*) args)dlsym(RTLD_NEXT, name))

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath)
{
    step("renameat", newdirfd, newpath);
    return NEXT(int, "renameat", (int, const char*, int, const char*))(olddirfd, oldpath, newdirfd, newpath);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, unsigned flags)
{
    step("renameat2", newdirfd, newpath);
    return NEXT(int, "renameat2", (int, const char*, int, const char*, unsigned))(olddirfd, oldpath, newdirfd, newpath,
                                                                                  flags);
}

int rename(const char* oldpath, const char* newpath)
{
    step("rename", AT_FDCWD, newpath);
    return NEXT(int, "rename", (const char*, const char*))(oldpath, newpath);
}

int unlinkat(int dirfd, const char* path, int flags)
{
    step("unlinkat", dirfd, path);
    return NEXT(int, "unlinkat", (int, const char*, int))(dirfd, path, flags);
}

int unlink(const char* path)
{
    step("unlink", AT_FDCWD, path);
    return NEXT(int, "unlink", (const char*))(path);
}

int rmdir(const char* path)
{
    step("rmdir", AT_FDCWD, path);
    return NEXT(int, "rmdir", (const char*))(path);
}

int mkdirat(int dirfd, const char* path, mode_t mode)
{
    step("mkdirat", dirfd, path);
    return NEXT(int, "mkdirat", (int, const char*, mode_t))(dirfd, path, mode);
}

int mkdir(const char* path, mode_t mode)
{
    step("mkdir", AT_FDCWD, path);
    return NEXT(int, "mkdir", (const char*, mode_t))(path, mode);
}

int linkat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath, int flags)
{
    step("linkat", newdirfd, newpath);
    return NEXT(int, "linkat", (int, const char*, int, const char*, int))(olddirfd, oldpath, newdirfd, newpath, flags);
}

int fchmod(int fd, mode_t mode)
{
    step("fchmod", fd, NULL);
    return NEXT(int, "fchmod", (int, mode_t))(fd, mode);
}

int fchmodat(int dirfd, const char* path, mode_t mode, int flags)
{
    step("fchmodat", dirfd, path);
    return NEXT(int, "fchmodat", (int, const char*, mode_t, int))(dirfd, path, mode, flags);
}
