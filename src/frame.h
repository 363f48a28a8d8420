// Frames: the test a read must pass to count as one, and the files they are kept in.
#pragma once

#include <cstdint>

// True when the first `received` bytes of `buffer` are a frame: at least FRAME_MIN_READ bytes
// starting with FRAME_MAGIC. Then `cnt` (bytes 4..7, little-endian) and `type` (byte 12) are set.
bool frame_test(const unsigned char *buffer, int received, uint32_t *cnt, uint8_t *type);

// Formats the path of frame file `index` ("<output directory>/fNN.bin") into `path`.
void frame_path(char path[], int index);

// Creates the output directory when missing and checks that it is fit for frame files. On failure
// prints one line on standard error naming the directory and the reason, and returns non-zero.
int prepare_output_directory();

// Stores frame `index`: the first `received` bytes of `buffer` (at most FRAME_FILE_SIZE), then
// zeros up to FRAME_FILE_SIZE. The file appears whole under its name or not at all: it is written
// under a temporary name and renamed over "fNN.bin". On failure prints one line on standard error
// naming the file and the reason, leaves no temporary file behind and returns the errno value.
int save_frame(int index, const unsigned char *buffer, int received);
