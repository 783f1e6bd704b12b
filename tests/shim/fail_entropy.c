/* Preload library that takes the entropy source away: getrandom fails as on a
 * kernel without the call, and /dev/urandom cannot be opened by any route.
 * Every other path is passed through untouched.
 *
 *   gcc -shared -fPIC -o fail_entropy.so fail_entropy.c -ldl
 *   LD_PRELOAD=./fail_entropy.so PYTHONHASHSEED=0 python3 ...
 *
 * The interpreter itself reads the entropy source at start-up for its hash
 * secret; a fixed PYTHONHASHSEED lets it start without one.
 *
 * The failure can be switched at run time: while TWIRLKIT_FAIL_ENTROPY is
 * "0" the source works, under any other value (or none) it fails. It is read
 * on every call, so a test can start with TWIRLKIT_FAIL_ENTROPY=0, let NumPy
 * seed itself at import, and then set it to "1" through os.environ (which
 * calls putenv) just before the call under test.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

static const char blocked_path[] = "/dev/urandom";

static int failing(void) {
    const char *switch_value = getenv("TWIRLKIT_FAIL_ENTROPY");
    return switch_value == NULL || strcmp(switch_value, "0") != 0;
}

static int is_blocked(const char *path) {
    return path != NULL && strcmp(path, blocked_path) == 0 && failing();
}

#define FORWARD(name, type) ((type)dlsym(RTLD_NEXT, name))

ssize_t getrandom(void *buf, size_t len, unsigned int flags) {
    if (!failing()) {
        return FORWARD("getrandom", ssize_t (*)(void *, size_t, unsigned int))(buf, len, flags);
    }
    errno = ENOSYS;
    return -1;
}

/* open's mode argument exists only when the flags create a file. */
static mode_t mode_arg(int flags, va_list ap) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        return (mode_t)va_arg(ap, int);
    }
    return 0;
}

int open(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_blocked(path)) {
        errno = ENOENT;
        return -1;
    }
    return FORWARD("open", int (*)(const char *, int, ...))(path, flags, mode);
}

int open64(const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_blocked(path)) {
        errno = ENOENT;
        return -1;
    }
    return FORWARD("open64", int (*)(const char *, int, ...))(path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_blocked(path)) {
        errno = ENOENT;
        return -1;
    }
    return FORWARD("openat", int (*)(int, const char *, int, ...))(dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    if (is_blocked(path)) {
        errno = ENOENT;
        return -1;
    }
    return FORWARD("openat64", int (*)(int, const char *, int, ...))(dirfd, path, flags, mode);
}

/* The checked entry points that _FORTIFY_SOURCE builds call instead of open. */
int __open_2(const char *path, int flags) {
    if (is_blocked(path)) {
        errno = ENOENT;
        return -1;
    }
    return FORWARD("__open_2", int (*)(const char *, int))(path, flags);
}

int __open64_2(const char *path, int flags) {
    if (is_blocked(path)) {
        errno = ENOENT;
        return -1;
    }
    return FORWARD("__open64_2", int (*)(const char *, int))(path, flags);
}

FILE *fopen(const char *path, const char *mode) {
    if (is_blocked(path)) {
        errno = ENOENT;
        return NULL;
    }
    return FORWARD("fopen", FILE *(*)(const char *, const char *))(path, mode);
}

FILE *fopen64(const char *path, const char *mode) {
    if (is_blocked(path)) {
        errno = ENOENT;
        return NULL;
    }
    return FORWARD("fopen64", FILE *(*)(const char *, const char *))(path, mode);
}
