#include "frame.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "constants.h"
#include "platform.h"

static uint32_t get_le32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool frame_test(const unsigned char *buffer, int received, uint32_t *cnt, uint8_t *type) {
    if (received < FRAME_MIN_READ)
        return false;
    if (get_le32(buffer) != FRAME_MAGIC)
        return false;
    *cnt = get_le32(buffer + 4);
    *type = buffer[12];
    return true;
}

static void compose_path(char path[], const char *name_format, int index) {
    char name[16];
    snprintf(name, sizeof(name), name_format, index);
    snprintf(path, PATH_BUFFER_SIZE, "%s/%s", OUTPUT_DIR, name);
}

void frame_path(char path[], int index) {
    compose_path(path, FRAME_NAME_FORMAT, index);
}

void temp_path(char path[], int index) {
    compose_path(path, TEMP_NAME_FORMAT, index);
}

int prepare_output_directory() {
    int error = make_directories(OUTPUT_DIR);
    if (error != 0) {
        fprintf(stderr, "cannot create output directory %s: %s\n", OUTPUT_DIR, strerror(error));
        return error;
    }
    char reason[256]; // may name an ancestor of the directory
    error = check_directory(OUTPUT_DIR, reason, sizeof(reason));
    if (error != 0)
        fprintf(stderr, "refusing output directory %s: %s\n", OUTPUT_DIR, reason);
    return error;
}

// Writes the whole file body: the frame's bytes, then zeros so that a short frame never carries
// bytes of an earlier one.
static int write_frame(int fd, const unsigned char *buffer, int received) {
    int kept = received < FRAME_FILE_SIZE ? received : FRAME_FILE_SIZE;
    int error = write_file(fd, buffer, static_cast<size_t>(kept));
    static const unsigned char zeros[4096] = {};
    for (int left = FRAME_FILE_SIZE - kept; error == 0 && left > 0;) {
        int chunk = left < static_cast<int>(sizeof(zeros)) ? left : static_cast<int>(sizeof(zeros));
        error = write_file(fd, zeros, static_cast<size_t>(chunk));
        left -= chunk;
    }
    return error;
}

int save_frame(int index, const unsigned char *buffer, int received, ReplacedFiles *replaced) {
    char path[PATH_BUFFER_SIZE];
    char temp[PATH_BUFFER_SIZE];
    frame_path(path, index);
    temp_path(temp, index);

    // Whatever stands under the temporary name (left by a run that died) is stale: it never became
    // a frame. Removed only when it is there, which saves a system call between two frame reads.
    int fd = -1;
    int error = create_file(temp, &fd);
    if (error == EEXIST) {
        error = remove_file(temp);
        if (error == 0)
            error = create_file(temp, &fd);
    }
    if (error == 0) {
        error = write_frame(fd, buffer, received);
        int close_error = close_file(fd);
        if (error == 0)
            error = close_error;
        if (error == 0 && replaced != nullptr && replaced->count < MAX_FRAMES) {
            int held = hold_file(path);
            if (held >= 0)
                replaced->fds[replaced->count++] = held;
        }
        if (error == 0)
            error = replace_file(temp, path);
        if (error != 0)
            remove_file(temp);
    }
    if (error != 0)
        fprintf(stderr, "cannot save %s: %s\n", path, strerror(error));
    return error;
}

void release_replaced(ReplacedFiles *replaced) {
    for (int i = 0; i < replaced->count; i++)
        release_file(replaced->fds[i]);
    replaced->count = 0;
}
