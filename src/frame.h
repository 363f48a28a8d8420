// Frames: the test a read must pass to count as one, and the files they are kept in.
#pragma once

#include <cstdint>

#include "constants.h"

// True when the first `received` bytes of `buffer` are a frame: at least FRAME_MIN_READ bytes
// starting with FRAME_MAGIC. Then `cnt` (bytes 4..7, little-endian) and `type` (byte 12) are set.
bool frame_test(const unsigned char *buffer, int received, uint32_t *cnt, uint8_t *type);

// Formats the path of frame file `index` ("<output directory>/fNN.bin") into `path`.
void frame_path(char path[], int index);

// Formats the temporary name frame file `index` is written under ("<output directory>/fNN.tmp").
void temp_path(char path[], int index);

// Creates the output directory when missing and checks that it is fit for frame files. On failure
// prints one line on standard error naming the directory and the reason, and returns non-zero.
int prepare_output_directory();

// Frame files of an earlier run that this run replaced, kept referenced until the run is over:
// where freeing a file's blocks waits for the disk (ext4 mounted with online discard waits for
// the discard), that wait must not fall between two frame reads.
struct ReplacedFiles {
    int fds[MAX_FRAMES];
    int count;
};

// Stores frame `index`: the first `received` bytes of `buffer` (at most FRAME_FILE_SIZE), then
// zeros up to FRAME_FILE_SIZE. The file appears whole under its name or not at all: it is written
// under a temporary name and renamed over "fNN.bin". On failure prints one line on standard error
// naming the file and the reason, leaves no temporary file behind and returns the errno value.
// With `replaced`, the file it replaces is held there instead of being freed at once.
int save_frame(int index, const unsigned char *buffer, int received,
               ReplacedFiles *replaced = nullptr);

// Lets go of the replaced files, which frees them.
void release_replaced(ReplacedFiles *replaced);
