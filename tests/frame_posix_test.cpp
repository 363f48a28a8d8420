// The frame file writer against what only POSIX systems let a test set up: symbolic links planted
// under the names it writes, and a write that fails through the file size limit.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>

#include <sys/resource.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "case_name.h"

#include "frame.h"
#include "frame_files.h"

namespace {

using namespace test_files;

Bytes read_buffer() {
    Bytes b(70000);
    for (size_t i = 0; i < b.size(); i++)
        b[i] = static_cast<uint8_t>(i % 253 + 1);
    return b;
}

bool is_regular_file_not_link(const fs::path &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct LinkCase {
    const char *name;
    const char *link_name; // planted in the output directory, pointing at the victim file
    bool victim_exists;
};

const LinkCase link_cases[] = {
    {"frame_name_to_file", "f01.bin", true},
    {"frame_name_dangling", "f01.bin", false},
    {"temporary_name_to_file", "f01.tmp", true},
    {"temporary_name_dangling", "f01.tmp", false},
};

class SaveFrameLink : public FrameDirTest, public testing::WithParamInterface<LinkCase> {};

// Another user's link under a name the writer uses is replaced, never written through.
TEST_P(SaveFrameLink, PlantedLinkIsReplacedNotFollowed) {
    const LinkCase &c = GetParam();
    const fs::path victim = output_dir().parent_path() / "victim";
    fs::remove(victim);
    const Bytes victim_bytes(64, 0x42);
    if (c.victim_exists)
        write_file(victim, victim_bytes);
    fs::create_symlink(victim, output_dir() / c.link_name);

    Bytes buffer = read_buffer();
    ASSERT_EQ(save_frame(1, buffer.data(), 38456), 0);

    EXPECT_TRUE(is_regular_file_not_link(output_dir() / "f01.bin"));
    EXPECT_EQ(read_file(output_dir() / "f01.bin"), frame_file(buffer.data(), 38456));
    EXPECT_EQ(entries(output_dir()), std::set<std::string>{"f01.bin"});
    if (c.victim_exists) {
        EXPECT_EQ(read_file(victim), victim_bytes);
    } else {
        EXPECT_FALSE(fs::exists(fs::symlink_status(victim)));
    }
    fs::remove(victim);
}

INSTANTIATE_TEST_SUITE_P(Links, SaveFrameLink, testing::ValuesIn(link_cases),
                         test_files::CaseName());

// Lowers the file size limit for one scope; a write past it fails with EFBIG (SIGXFSZ ignored).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit lowered = saved_;
        lowered.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &lowered);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

  private:
    rlimit saved_{};
};

using SaveFrameFailure = FrameDirTest;

// A write that fails leaves no temporary file, and the earlier run's file of that name intact.
TEST_F(SaveFrameFailure, FailedWriteLeavesNoTraceAndKeepsOlderFile) {
    const Bytes older(38456, 0x5A);
    write_file(output_dir() / "f02.bin", older);
    Bytes buffer = read_buffer();
    int error_existing = 0, error_new = 0;
    std::string err;
    {
        FileSizeLimit limit(10000);
        testing::internal::CaptureStderr();
        error_existing = save_frame(2, buffer.data(), 38456);
        error_new = save_frame(3, buffer.data(), 38456);
        err = testing::internal::GetCapturedStderr();
    }
    EXPECT_EQ(error_existing, EFBIG);
    EXPECT_EQ(error_new, EFBIG);
    const std::string dir = output_dir().string();
    EXPECT_EQ(err, "cannot save " + dir + "/f02.bin: " + std::strerror(EFBIG) + "\n" +
                       "cannot save " + dir + "/f03.bin: " + std::strerror(EFBIG) + "\n");
    EXPECT_EQ(read_file(output_dir() / "f02.bin"), older);
    EXPECT_EQ(entries(output_dir()), std::set<std::string>{"f02.bin"});
}

} // namespace
