#include "platform.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
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

// Windows reports failures as GetLastError() codes, the tool as errno values for strerror(): map
// them the way the C runtime does for its own file functions, so that one cause gives one message
// whichever call met it. A file that another program holds open (sharing or lock violation) is
// EACCES, as _open() reports it.
static int errno_from_windows(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
    case ERROR_NETWORK_ACCESS_DENIED:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
        return EINVAL;
    case ERROR_NOT_SAME_DEVICE:
        return EXDEV;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

void platform_init() {}

void pause_ms(unsigned int ms) {
    Sleep(ms);
}

static int make_one_directory(const char *path) {
    if (CreateDirectoryA(path, nullptr))
        return 0;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS)
        return 0;
    if (error == ERROR_PATH_NOT_FOUND) {
        // The parents were handled just before: if the parent is there, it is a file in the way.
        // Say so, as POSIX does, rather than "No such file or directory".
        char parent[1024];
        snprintf(parent, sizeof(parent), "%s", path);
        size_t end = strlen(parent);
        while (end > 0 && parent[end - 1] != '/' && parent[end - 1] != '\\')
            end--;
        if (end > 0) {
            parent[end - 1] = '\0';
            DWORD attributes = GetFileAttributesA(parent);
            if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
                return ENOTDIR;
        }
    }
    return errno_from_windows(error);
}

// Ownership and mode bits have no direct counterpart here; what is refused is a name that is no
// directory, or a link or junction that could lead the frame files elsewhere.
int check_directory(const char *path, char *reason, size_t reason_size) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        int error = errno_from_windows(GetLastError());
        snprintf(reason, reason_size, "%s", strerror(error));
        return error;
    }
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        snprintf(reason, reason_size, "is a symbolic link or junction");
        return ELOOP;
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        snprintf(reason, reason_size, "%s", strerror(ENOTDIR));
        return ENOTDIR;
    }
    return 0;
}

int create_file(const char *path, int *fd) {
    *fd = _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
    return *fd < 0 ? errno : 0;
}

// One write call: the count written, or -1 with errno set.
static long write_some(int fd, const char *data, size_t size) {
    // _write() takes an unsigned int and returns an int: hand it pieces that fit both.
    unsigned int chunk = size > 0x40000000 ? 0x40000000u : static_cast<unsigned int>(size);
    return _write(fd, data, chunk);
}

int close_file(int fd) {
    return _close(fd) == 0 ? 0 : errno;
}

int replace_file(const char *from, const char *to) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return 0;
    return errno_from_windows(GetLastError());
}

int remove_file(const char *path) {
    if (DeleteFileA(path))
        return 0;
    int error = errno_from_windows(GetLastError());
    return error == ENOENT ? 0 : error;
}

// A handle on the file would make the rename over it fail with a sharing violation.
int hold_file(const char *) {
    return -1;
}

void release_file(int) {}

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

// Whoever controls a directory on the way to the output directory can swap the output directory
// for a link after it was checked. So every ancestor must belong to root or to us, and one that
// others may write to must be sticky (as /tmp is), so they cannot rename what is ours.
static int check_ancestors(const char *path, char *reason, size_t reason_size) {
    char ancestor[1024];
    snprintf(ancestor, sizeof(ancestor), "%s", path);
    for (;;) {
        char *slash = strrchr(ancestor, '/');
        if (slash == nullptr || slash == ancestor)
            return 0; // a relative path's start, or the root, is as safe as it gets
        *slash = '\0';
        struct stat st;
        if (lstat(ancestor, &st) != 0)
            continue; // not there: nobody can act through it
        if (st.st_uid != 0 && st.st_uid != geteuid()) {
            snprintf(reason, reason_size, "%s is owned by uid %lu", ancestor,
                     (unsigned long)st.st_uid);
            return EPERM;
        }
        if (S_ISDIR(st.st_mode) && (st.st_mode & (S_IWGRP | S_IWOTH)) && !(st.st_mode & S_ISVTX)) {
            snprintf(reason, reason_size, "%s is writable by group or others (mode %04o)", ancestor,
                     (unsigned)(st.st_mode & 07777));
            return EPERM;
        }
    }
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
    return check_ancestors(path, reason, reason_size);
}

int create_file(const char *path, int *fd) {
    *fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    return *fd < 0 ? errno : 0;
}

// One write call, resumed after a signal: the count written, or -1 with errno set.
static long write_some(int fd, const char *data, size_t size) {
    ssize_t n;
    do
        n = write(fd, data, size);
    while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
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

int hold_file(const char *path) {
#ifdef O_PATH
    // O_PATH: no read access needed, and a FIFO standing there does not block the open.
    return open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
#else
    (void)path;
    return -1;
#endif
}

void release_file(int fd) {
    if (fd >= 0)
        close(fd);
}

#endif

int write_file(int fd, const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        long n = write_some(fd, p, size);
        if (n < 0)
            return errno;
        if (n == 0)
            return ENOSPC; // no progress and no error: the device is full
        p += n;
        size -= static_cast<size_t>(n);
    }
    return 0;
}

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
