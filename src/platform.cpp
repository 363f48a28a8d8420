#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#ifdef _WIN32

void platform_init() {}

void pause_ms(unsigned int ms) {
    Sleep(ms);
}

static int make_one_directory(const char *path) {
    if (_mkdir(path) == 0 || errno == EEXIST)
        return 0;
    return errno;
}

int check_directory(const char *path, char *reason, size_t reason_size) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        snprintf(reason, reason_size, "%s", strerror(ENOENT));
        return ENOENT;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        snprintf(reason, reason_size, "%s", strerror(ENOTDIR));
        return ENOTDIR;
    }
    return 0;
}

int create_file(const char *path, int *fd) {
    *fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    return *fd < 0 ? errno : 0;
}

int write_file(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        int n = _write(fd, p, static_cast<unsigned int>(size));
        if (n < 0)
            return errno;
        if (n == 0)
            return ENOSPC;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int close_file(int fd) {
    return _close(fd) == 0 ? 0 : errno;
}

int replace_file(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
}

int remove_file(const char *path) {
    if (_unlink(path) == 0 || errno == ENOENT)
        return 0;
    return errno;
}

#else // POSIX

void platform_init() {
    // Without these a full disk (RLIMIT_FSIZE) or a reader that went away would kill the process
    // in the middle of a capture; ignored, they come back as EFBIG and EPIPE.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
}

void pause_ms(unsigned int ms) {
    timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

static int make_one_directory(const char *path) {
    if (mkdir(path, 0700) == 0 || errno == EEXIST)
        return 0;
    return errno;
}

int check_directory(const char *path, char *reason, size_t reason_size) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        int error = errno;
        snprintf(reason, reason_size, "%s", strerror(error));
        return error;
    }
    if (S_ISLNK(st.st_mode)) {
        snprintf(reason, reason_size, "is a symbolic link");
        return ELOOP;
    }
    if (!S_ISDIR(st.st_mode)) {
        snprintf(reason, reason_size, "%s", strerror(ENOTDIR));
        return ENOTDIR;
    }
    if (st.st_uid != geteuid()) {
        snprintf(reason, reason_size, "owned by uid %lu, not by uid %lu", (unsigned long)st.st_uid,
                 (unsigned long)geteuid());
        return EPERM;
    }
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        snprintf(reason, reason_size, "writable by group or others (mode %04o)",
                 (unsigned)(st.st_mode & 07777));
        return EPERM;
    }
    return 0;
}

int create_file(const char *path, int *fd) {
    *fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return *fd < 0 ? errno : 0;
}

int write_file(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (n == 0)
            return ENOSPC;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

int close_file(int fd) {
    return close(fd) == 0 ? 0 : errno;
}

int replace_file(const char *from, const char *to) {
    return rename(from, to) == 0 ? 0 : errno;
}

int remove_file(const char *path) {
    if (unlink(path) == 0 || errno == ENOENT)
        return 0;
    return errno;
}

#endif

int make_directories(const char *path) {
    char partial[1024];
    size_t length = strlen(path);
    if (length == 0)
        return ENOENT;
    if (length >= sizeof(partial))
        return ENAMETOOLONG;
    memcpy(partial, path, length + 1);
    // Create each ancestor in turn; skip the root and, on Windows, a drive prefix.
    for (size_t i = 1; i < length; i++) {
        if (partial[i] != '/' && partial[i] != '\\')
            continue;
        if (partial[i - 1] == ':' || partial[i - 1] == '/' || partial[i - 1] == '\\')
            continue;
        partial[i] = '\0';
        int error = make_one_directory(partial);
        partial[i] = path[i];
        if (error != 0)
            return error;
    }
    return make_one_directory(partial);
}
