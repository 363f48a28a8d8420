// Whole runs on a disk that fails mid-run: full (a small tmpfs whose blocks or inodes run out), the
// output directory removed, or made read-only. Each must end the capture at the frame that could
// not be saved with one line on standard error and exit status 2, still take the device through
// its shutdown, and leave the frames saved before whole and no temporary file.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "case_name.h"
#include "scoped_mount.h"

#include "sim_run.h"

// Runs once, right before the next rename() in this executable (the tool's included) that moves a
// temporary frame file: lets a test act between a frame being written and it taking its name.
static std::function<void()> before_frame_rename;

extern "C" int rename(const char *from, const char *to) {
    size_t length = strlen(from);
    if (before_frame_rename && length > 4 && strcmp(from + length - 4, ".tmp") == 0) {
        std::function<void()> action = std::move(before_frame_rename);
        before_frame_rename = nullptr;
        action();
    }
    return static_cast<int>(syscall(SYS_renameat, AT_FDCWD, from, AT_FDCWD, to));
}

namespace {

using namespace sim_run;
using test_files::frame_name;
using test_files::output_dir;
using test_files::ScopedMount;

// Frame N arrives with read N + 1 (the default camera sends a new frame on every read): the run
// must save frames 0 to N - 1, fail on N with `error`, and read no further.
void expect_stopped_at(const RunResult &run, int failing, int error) {
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "cannot save " + (output_dir() / frame_name(failing)).string() + ": " +
                           strerror(error) + "\n");
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out).size(), static_cast<size_t>(failing));
    EXPECT_EQ(transfers(0x81).size(), static_cast<size_t>(failing + 1)) << "capture went on";
}

// Runs `action` right before the read that brings frame `index`.
void before_frame(int index, std::function<void()> action) {
    sim::on_call("bulk_transfer", index + 1, std::move(action), 0x81);
}

struct FullDiskCase {
    const char *name;
    int failing; // index of the frame that no longer fits
    enum { MID_FRAME, AT_FILE_START, NO_INODE } limit;
};

const FullDiskCase full_disk_cases[] = {
    {"first_frame_mid_file", 0, FullDiskCase::MID_FRAME},
    {"mid_file", 3, FullDiskCase::MID_FRAME},
    {"mid_file_after_ffc", 10, FullDiskCase::MID_FRAME},
    {"last_frame_mid_file", 44, FullDiskCase::MID_FRAME},
    {"no_block_for_the_file", 3, FullDiskCase::AT_FILE_START},
    {"no_inode_for_the_file", 3, FullDiskCase::NO_INODE},
};

// tmpfs options that leave room for `failing` frame files and then run out as the case says.
std::string tmpfs_options(const FullDiskCase &c) {
    const long page = sysconf(_SC_PAGESIZE);
    const long pages_per_frame = (38456 + page - 1) / page;
    long pages = pages_per_frame * c.failing;
    long inodes = 1 + c.failing + 1; // the root directory, the saved frames, one temporary file
    if (c.limit == FullDiskCase::MID_FRAME)
        pages += pages_per_frame / 2; // the write stops halfway through the file
    if (c.limit == FullDiskCase::NO_INODE) {
        pages += pages_per_frame;
        inodes -= 1;
    }
    return "mode=0700,size=" + std::to_string(pages * page) +
           ",nr_inodes=" + std::to_string(inodes);
}

class FullDisk : public SimRunTest, public testing::WithParamInterface<FullDiskCase> {};

// The disk fills up while frame N is written (or has no room left to start it): the tool reports
// that frame as not saved, drops its partial temporary file, and shuts the device down.
TEST_P(FullDisk, EndsAtTheFrameThatDoesNotFit) {
    const FullDiskCase &c = GetParam();
    ScopedMount tmpfs(output_dir().string(), "usb_series_test", "tmpfs", 0, tmpfs_options(c));
    if (tmpfs.error() != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(tmpfs.error());
    sim::add_camera({});
    RunResult run = run_tool();
    expect_stopped_at(run, c.failing, ENOSPC);
}

INSTANTIATE_TEST_SUITE_P(Tmpfs, FullDisk, testing::ValuesIn(full_disk_cases),
                         test_files::CaseName());

// Where the output directory goes while it is removed: the test keeps what the tool had saved
// there, to check it afterwards.
fs::path removed_to() {
    return output_dir().parent_path() / "removed";
}

// Takes the output directory away as `rm -rf` would, keeping its frame files aside (a temporary
// file the tool was writing goes for good).
void remove_output_directory() {
    fs::rename(output_dir(), removed_to());
    for (const auto &entry : fs::directory_iterator(removed_to()))
        if (entry.path().extension() == ".tmp")
            fs::remove(entry.path());
}

struct RemovedCase {
    const char *name;
    int failing;
    bool while_writing; // between the frame's write and its rename; else before its read
};

const RemovedCase removed_cases[] = {
    {"before_the_first_frame", 0, false},
    {"between_frames", 3, false},
    {"while_a_frame_is_written", 3, true},
};

class RemovedDirectory : public SimRunTest, public testing::WithParamInterface<RemovedCase> {};

// The output directory disappears mid-run: the tool does not recreate it, and stops at the first
// frame it cannot store.
TEST_P(RemovedDirectory, EndsAtTheNextFrameWithoutRecreatingIt) {
    const RemovedCase &c = GetParam();
    sim::add_camera({});
    if (c.while_writing) {
        before_frame(c.failing, [] { before_frame_rename = remove_output_directory; });
    } else {
        before_frame(c.failing, remove_output_directory);
    }
    RunResult run = run_tool();
    before_frame_rename = nullptr;

    EXPECT_FALSE(fs::exists(fs::symlink_status(output_dir()))) << "directory recreated";
    fs::remove_all(output_dir());
    fs::rename(removed_to(), output_dir()); // the frames saved before, for the invariants
    expect_stopped_at(run, c.failing, ENOENT);
}

using SwappedDirectory = SimRunTest;

// Whoever may write to the directory above the output directory can swap the output directory
// for a link between two frames: the frame files would then go wherever the link leads. Such a
// directory is refused before the device gets any command, as one others may write to is.
TEST_F(SwappedDirectory, LinkPutInItsPlaceThroughAParentOthersMayWriteTo) {
    const fs::path parent = output_dir().parent_path();
    const fs::path elsewhere = parent / "elsewhere";
    fs::create_directory(elsewhere);
    chmod(parent.c_str(), 0777);
    sim::add_camera({});
    before_frame(3, [&] {
        fs::rename(output_dir(), removed_to());
        fs::create_directory_symlink(elsewhere, output_dir());
    });
    RunResult run = run_tool();
    chmod(parent.c_str(), 0755);

    EXPECT_TRUE(test_files::entries(elsewhere).empty()) << "frames went through the link";
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "refusing output directory " + output_dir().string() + ": " +
                           parent.string() + " is writable by group or others (mode 0777)\n");
    EXPECT_EQ(sim::calls_of("bulk_transfer").size(), 0u) << "the device got commands";
    expect_run_invariants(run);
}

// A parent that everyone may write to but whose sticky bit keeps them from renaming the output
// directory, as /tmp is, is fine.
TEST_F(SwappedDirectory, AParentSharedLikeTmpIsFine) {
    const fs::path parent = output_dir().parent_path();
    chmod(parent.c_str(), 01777);
    sim::add_camera({});
    RunResult run = run_tool();
    chmod(parent.c_str(), 0755);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(saved_counters(run.out).size(), 45u);
    expect_run_invariants(run);
}

INSTANTIATE_TEST_SUITE_P(MidRun, RemovedDirectory, testing::ValuesIn(removed_cases),
                         test_files::CaseName());

// Root writes into a directory whatever its mode: the capabilities that let it are put out of
// effect for one scope (still permitted, so they can be taken back).
class WithoutAccessOverride {
  public:
    WithoutAccessOverride() {
        if (syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct lowered[_LINUX_CAPABILITY_U32S_3];
        memcpy(lowered, saved_, sizeof(lowered));
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        lowered_ = syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~WithoutAccessOverride() {
        if (lowered_)
            syscall(SYS_capset, &header_, saved_);
    }

  private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[_LINUX_CAPABILITY_U32S_3] = {};
    bool lowered_ = false;
};

using ReadOnlyDirectory = SimRunTest;

// The owner takes write permission away from the output directory between two frames.
TEST_F(ReadOnlyDirectory, ModeWithoutWriteEndsTheRunAtTheNextFrame) {
    sim::add_camera({});
    RunResult run;
    {
        WithoutAccessOverride as_any_user;
        before_frame(3, [] { chmod(output_dir().c_str(), 0500); });
        run = run_tool();
        chmod(output_dir().c_str(), 0700);
    }
    expect_stopped_at(run, 3, EACCES);
}

// The file system under the output directory turns read-only between two frames.
TEST_F(ReadOnlyDirectory, ReadOnlyRemountEndsTheRunAtTheNextFrame) {
    const std::string dir = output_dir().string();
    ScopedMount bind(dir, dir.c_str(), nullptr, MS_BIND, "");
    if (bind.error() != 0)
        GTEST_SKIP() << "cannot bind-mount here: " << strerror(bind.error());
    sim::add_camera({});
    int remount_error = 0;
    before_frame(10, [&] {
        if (mount(nullptr, dir.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0)
            remount_error = errno;
    });
    RunResult run = run_tool();
    ASSERT_EQ(remount_error, 0) << strerror(remount_error);
    expect_stopped_at(run, 10, EROFS);
}

} // namespace
