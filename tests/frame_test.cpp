// The frame test and the frame file writer.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.h"

#include "frame.h"
#include "frame_files.h"

namespace {

using namespace test_files;

// 28 bytes: magic 1B B1 B1 1B, cnt 2A 00 00 00 (42), bytes 8..11 FF, type 03 at 12, 13.. 77.
Bytes header() {
    Bytes b = {0x1B, 0xB1, 0xB1, 0x1B, 0x2A, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0x03};
    b.resize(28, 0x77);
    return b;
}

Bytes with(Bytes b, size_t offset, Bytes bytes) {
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
    return b;
}

struct FrameCase {
    const char *name;
    Bytes buffer; // padded to 70,000 bytes of 0x77 before the test
    int received;
    bool is_frame;
    uint32_t cnt;
    uint8_t type;
};

const FrameCase frame_cases[] = {
    {"exactly_28_bytes", header(), 28, true, 42, 3},
    {"only_27_bytes", header(), 27, false, 0, 0},
    {"nothing_received", header(), 0, false, 0, 0},
    {"negative_count", header(), -1, false, 0, 0},
    {"whole_buffer", header(), 70000, true, 42, 3},
    {"magic_last_byte_1C", with(header(), 0, {0x1B, 0xB1, 0xB1, 0x1C}), 28, false, 0, 0},
    {"magic_first_byte_1A", with(header(), 0, {0x1A, 0xB1, 0xB1, 0x1B}), 28, false, 0, 0},
    {"magic_middle_byte_B0", with(header(), 0, {0x1B, 0xB1, 0xB0, 0x1B}), 28, false, 0, 0},
    {"magic_shifted_by_one", with(header(), 0, {0x00, 0x1B, 0xB1, 0xB1}), 28, false, 0, 0},
    {"all_zero", Bytes(28, 0), 28, false, 0, 0},
    {"cnt_little_endian", with(header(), 4, {0x01, 0x02, 0x03, 0x04}), 28, true, 0x04030201, 3},
    {"cnt_all_ones", with(header(), 4, {0xFF, 0xFF, 0xFF, 0xFF}), 28, true, 0xFFFFFFFF, 3},
    {"cnt_top_byte_only", with(header(), 4, {0x00, 0x00, 0x00, 0x80}), 28, true, 0x80000000, 3},
    {"type_is_byte_12", with(header(), 11, {0x11, 0xAB, 0x22}), 28, true, 42, 0xAB},
    {"type_ff", with(header(), 12, {0xFF}), 28, true, 42, 0xFF},
};

class FrameTestTable : public testing::TestWithParam<FrameCase> {};

TEST_P(FrameTestTable, Verdict) {
    const FrameCase &c = GetParam();
    Bytes buffer = c.buffer;
    buffer.resize(70000, 0x77);
    uint32_t cnt = 0x5EED;
    uint8_t type = 0x5E;
    bool is_frame = frame_test(buffer.data(), c.received, &cnt, &type);
    ASSERT_EQ(is_frame, c.is_frame);
    if (c.is_frame) {
        EXPECT_EQ(cnt, c.cnt);
        EXPECT_EQ(type, c.type);
    }
}

INSTANTIATE_TEST_SUITE_P(Reads, FrameTestTable, testing::ValuesIn(frame_cases),
                         test_files::CaseName());

// A read buffer whose every byte is non-zero and depends on its offset, so a file shows exactly
// which bytes of it were stored.
Bytes read_buffer() {
    Bytes b(70000);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = static_cast<uint8_t>(i % 251 + 1);
    return b;
}

using SaveFrameTest = FrameDirTest;

TEST_F(SaveFrameTest, NameFollowsIndex) {
    Bytes buffer = read_buffer();
    for (int index : {0, 7, 44}) {
        char path[128];
        frame_path(path, index);
        EXPECT_EQ(fs::path(path), output_dir() / frame_name(index));
        ASSERT_EQ(save_frame(index, buffer.data(), 38456), 0);
    }
    EXPECT_EQ(entries(output_dir()), (std::set<std::string>{"f00.bin", "f07.bin", "f44.bin"}));
}

struct ContentCase {
    const char *name;
    int received;
};

// Whatever a read delivered, the file holds 38,456 bytes: what arrived (at most 38,456 of it),
// then zeros, never bytes an earlier read left in the buffer.
const ContentCase content_cases[] = {
    {"nothing", 0},
    {"minimum_frame", 28},
    {"short_frame", 1000},
    {"one_short", 38455},
    {"exact_size", 38456},
    {"one_over", 38457},
    {"whole_read_buffer", 70000},
};

class SaveFrameContent : public FrameDirTest, public testing::WithParamInterface<ContentCase> {};

TEST_P(SaveFrameContent, FileHoldsReceivedBytesThenZeros) {
    const ContentCase &c = GetParam();
    Bytes buffer = read_buffer();
    ASSERT_EQ(save_frame(3, buffer.data(), c.received), 0);
    Bytes file = read_file(output_dir() / "f03.bin");
    ASSERT_EQ(file.size(), 38456u);
    EXPECT_EQ(file, frame_file(buffer.data(), static_cast<size_t>(c.received)));
    EXPECT_EQ(entries(output_dir()), std::set<std::string>{"f03.bin"}); // no temporary file left
}

INSTANTIATE_TEST_SUITE_P(Lengths, SaveFrameContent, testing::ValuesIn(content_cases),
                         test_files::CaseName());

TEST_F(SaveFrameTest, ReplacesOlderFilesAndLeavesLaterOnes) {
    // An earlier run left f00 (longer than a frame), f01 (shorter) and f02..f03 beyond this run.
    const Bytes older_long(50000, 0x55), older_short(10, 0x66), later(38456, 0x77);
    write_file(output_dir() / "f00.bin", older_long);
    write_file(output_dir() / "f01.bin", older_short);
    write_file(output_dir() / "f02.bin", later);
    write_file(output_dir() / "f03.bin", later);

    Bytes buffer = read_buffer();
    ASSERT_EQ(save_frame(0, buffer.data(), 38456), 0);
    ASSERT_EQ(save_frame(1, buffer.data(), 100), 0);

    EXPECT_EQ(read_file(output_dir() / "f00.bin"), frame_file(buffer.data(), 38456));
    EXPECT_EQ(read_file(output_dir() / "f01.bin"), frame_file(buffer.data(), 100));
    EXPECT_EQ(read_file(output_dir() / "f02.bin"), later);
    EXPECT_EQ(read_file(output_dir() / "f03.bin"), later);
    EXPECT_EQ(entries(output_dir()),
              (std::set<std::string>{"f00.bin", "f01.bin", "f02.bin", "f03.bin"}));
}

TEST_F(SaveFrameTest, StaleTemporaryFileIsReplaced) {
    // A run that died mid-write left its temporary file; it never was a frame.
    write_file(output_dir() / "f02.tmp", Bytes(123, 0x99));
    Bytes buffer = read_buffer();
    ASSERT_EQ(save_frame(2, buffer.data(), 38456), 0);
    EXPECT_EQ(read_file(output_dir() / "f02.bin"), frame_file(buffer.data(), 38456));
    EXPECT_EQ(entries(output_dir()), std::set<std::string>{"f02.bin"});
}

TEST_F(SaveFrameTest, MissingDirectoryIsReportedNotCreated) {
    fs::remove_all(output_dir());
    Bytes buffer = read_buffer();
    testing::internal::CaptureStderr();
    int error = save_frame(5, buffer.data(), 38456);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(error, ENOENT);
    EXPECT_EQ(err, "cannot save " + (output_dir() / "f05.bin").generic_string() + ": " +
                       std::strerror(ENOENT) + "\n");
    EXPECT_FALSE(fs::exists(output_dir()));
}

} // namespace
