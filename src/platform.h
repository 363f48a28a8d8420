// The little the tool needs from the operating system beyond libusb and stdio. Every function that
// can fail returns 0 or an errno value, so callers can print strerror() of it.
#pragma once

#include <cstddef>

// Process set-up: a full disk or a closed pipe must come back as an error, not end the process
// before the device has been taken through its shutdown.
void platform_init();

// Blocks the calling thread for `ms` milliseconds, resuming after interruptions.
void pause_ms(unsigned int ms);

// Creates `path` and its missing parents (mode 0700 where modes exist). An existing directory is
// fine.
int make_directories(const char *path);

// Checks that `path` is a directory fit for frame files: a real directory, not a symbolic link,
// owned by the user running the tool and not writable by group or others. On refusal returns
// non-zero and leaves a readable reason in `reason`.
int check_directory(const char *path, char *reason, size_t reason_size);

// Creates a new file for binary writing; fails when anything (a symbolic link included) stands at
// `path`. Returns 0 and the descriptor in `fd`, or an errno value.
int create_file(const char *path, int *fd);
int write_file(int fd, const void *data, size_t size); // all of it, or an errno value
int close_file(int fd);

// Renames `from` over `to`, replacing whatever `to` was (a symbolic link is replaced, not
// followed).
int replace_file(const char *from, const char *to);
// Removes a file; a missing file is not an error.
int remove_file(const char *path);

// Takes a reference to whatever stands at `path` (a symbolic link itself, not its target) without
// opening it for reading or writing, so that replacing or removing the name frees nothing until
// release_file(). Returns the descriptor, or -1 when nothing is there or the platform cannot hold
// a file this way (there the old file is freed when it is replaced).
int hold_file(const char *path);
void release_file(int fd);
