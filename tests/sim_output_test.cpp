// Whole runs: the output directory (created when missing, refused when unsafe) and frame files that
// cannot be written.
#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "case_name.h"

#include "file_size_limit.h"
#include "sim_run.h"

// Runs after every unlink() in this executable, the tool's included, when set: lets a test act in
// the moment between the tool removing a name and creating it again, as another user could.
std::function<void(const char *path)> after_unlink;

extern "C" int unlink(const char *path) {
    int result = static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
    if (after_unlink) {
        int saved = errno;
        after_unlink(path);
        errno = saved;
    }
    return result;
}

namespace {

using namespace sim_run;
using test_files::entries;
using test_files::output_dir;
using test_files::read_file;
using test_files::write_file;

using OutputTest = SimRunTest;

unsigned mode_of(const fs::path &path) {
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Sets the process's umask for one scope.
class Umask {
  public:
    explicit Umask(mode_t mask) : saved_(umask(mask)) {}
    ~Umask() { umask(saved_); }

  private:
    mode_t saved_;
};

TEST_F(OutputTest, MissingDirectoryAndParentAreCreatedPrivate) {
    fs::remove_all(output_dir().parent_path());
    sim::add_camera({});
    RunResult run;
    {
        Umask open_umask(0); // the modes must come from the tool, not from the umask
        run = run_tool();
    }
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out).size(), 45u);
    EXPECT_EQ(mode_of(output_dir()), 0700u);
    EXPECT_EQ(mode_of(output_dir().parent_path()), 0700u);
}

struct RefusedCase {
    const char *name;
    std::function<void()> setup; // spoils the output directory
    std::string reason;          // standard error after the directory's name
    bool needs_root = false;
};

fs::path parent() {
    return output_dir().parent_path();
}

// Where a planted link in place of the parent leads: a private directory of the right name.
fs::path planted_parent() {
    return parent().string() + "_planted";
}

fs::path elsewhere() {
    return output_dir().parent_path() / "elsewhere";
}

void replace_with_link_to(const fs::path &target) {
    fs::remove_all(output_dir());
    fs::create_symlink(target, output_dir());
}

const RefusedCase refused_cases[] = {
    {"link_to_own_private_directory",
     [] {
         fs::create_directory(elsewhere());
         fs::permissions(elsewhere(), fs::perms::owner_all);
         replace_with_link_to(elsewhere());
     },
     ": is a symbolic link"},
    {"dangling_link", [] { replace_with_link_to(elsewhere()); }, ": is a symbolic link"},
    {"group_writable", [] { chmod(output_dir().c_str(), 0770); },
     ": writable by group or others (mode 0770)"},
    {"other_writable", [] { chmod(output_dir().c_str(), 0702); },
     ": writable by group or others (mode 0702)"},
    {"shared_like_tmp", [] { chmod(output_dir().c_str(), 01777); },
     ": writable by group or others (mode 1777)"},
    {"regular_file",
     [] {
         fs::remove_all(output_dir());
         write_file(output_dir(), {1, 2, 3});
     },
     std::string(": ") + strerror(ENOTDIR)},
    {"foreign_owner", [] { EXPECT_EQ(chown(output_dir().c_str(), 1, 1), 0) << strerror(errno); },
     ": owned by uid 1, not by uid 0", true},
    // Whoever holds a directory above ours could swap ours for a link once it has been checked.
    {"parent_of_another_user",
     [] { EXPECT_EQ(chown(parent().c_str(), 1, 1), 0) << strerror(errno); },
     ": " + parent().string() + " is owned by uid 1", true},
    {"parent_writable_by_others", [] { chmod(parent().c_str(), 0777); },
     ": " + parent().string() + " is writable by group or others (mode 0777)"},
    {"parent_is_link_of_another_user",
     [] {
         fs::remove_all(planted_parent());
         fs::create_directories(planted_parent() / output_dir().filename());
         fs::permissions(planted_parent() / output_dir().filename(), fs::perms::owner_all);
         fs::remove_all(parent());
         fs::create_directory_symlink(planted_parent(), parent());
         EXPECT_EQ(lchown(parent().c_str(), 1, 1), 0) << strerror(errno);
     },
     ": " + parent().string() + " is owned by uid 1", true},
};

class RefusedDirectory : public SimRunTest, public testing::WithParamInterface<RefusedCase> {};

// An output directory another user could have planted or can write into is not used: one line
// names it and the reason, the device is closed without a single command, and the exit status is 2.
TEST_P(RefusedDirectory, DeviceClosedWithoutAnyCommand) {
    const RefusedCase &c = GetParam();
    if (c.needs_root && geteuid() != 0)
        GTEST_SKIP() << "giving a directory away needs root";
    c.setup();
    sim::add_camera({});
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "refusing output directory " + output_dir().string() + c.reason + "\n");
    expect_run_invariants(run);
    EXPECT_EQ(describe(sim::calls()),
              (std::vector<std::string>{"init", "get_device_list", "get_device_descriptor #0",
                                        "open #0", "free_device_list", "close #0", "exit"}));
    if (fs::is_directory(elsewhere())) {
        EXPECT_TRUE(entries(elsewhere()).empty()) << "wrote through the link";
    } else {
        EXPECT_FALSE(fs::exists(fs::symlink_status(elsewhere())));
    }
}

INSTANTIATE_TEST_SUITE_P(Directories, RefusedDirectory, testing::ValuesIn(refused_cases),
                         test_files::CaseName());

TEST_F(OutputTest, DirectoryThatCannotBeCreatedIsReported) {
    fs::remove_all(output_dir().parent_path());
    write_file(output_dir().parent_path(), {0}); // a file where a parent directory should be
    sim::add_camera({});
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cannot create output directory " + output_dir().string() + ": " +
                           strerror(ENOTDIR) + "\n");
    expect_run_invariants(run);
    EXPECT_EQ(sim::calls_of("bulk_transfer").size(), 0u);
    fs::remove(output_dir().parent_path());
}

// Lowers the file size limit from the moment arm() is called until the end of the scope; writes
// past it then fail with EFBIG (the tool ignores SIGXFSZ).
class FailedWrite : public SimRunTest, public testing::WithParamInterface<int> {};

// The disk fills up before frame N: the run stops capturing there, says so on standard error, and
// still takes the device through its shutdown. Frames saved before stay, and so does the earlier
// run's file of frame N.
TEST_P(FailedWrite, EndsCaptureKeepsEarlierFramesAndShutsDown) {
    const int failing = GetParam();
    const std::string name = test_files::frame_name(failing);
    const Bytes older(1000, 0x5A);
    write_file(output_dir() / name, older);

    sim::add_camera({}); // every read a frame: frame N comes with read N + 1
    FileSizeLimit limit;
    signal(SIGXFSZ, SIG_IGN); // in case the limit bites before the tool ignores the signal
    sim::on_call(
        "bulk_transfer", failing + 1, [&limit] { limit.arm(20000); }, 0x81);
    RunResult run = run_tool();
    limit.arm(RLIM_INFINITY);

    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err,
              "cannot save " + (output_dir() / name).string() + ": " + strerror(EFBIG) + "\n");
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out).size(), static_cast<size_t>(failing));
    EXPECT_EQ(transfers(0x81).size(), static_cast<size_t>(failing + 1)) << "capture went on";
    EXPECT_EQ(read_file(output_dir() / name), older);
    if (failing == 10) {
        EXPECT_EQ(lines(run.out).back(), "  FFC(1) at frame 10");
    }
}

INSTANTIATE_TEST_SUITE_P(AtFrame, FailedWrite, testing::Values(0, 3, 10, 44));

// Files an earlier run left: those this run writes are replaced (a link among them replaced, not
// followed, a stale temporary file removed), the others stay as they were.
TEST_F(OutputTest, EarlierRunsFilesReplacedOrLeftAlone) {
    const fs::path victim = output_dir().parent_path() / "victim";
    const Bytes victim_bytes(100, 0x42);
    write_file(victim, victim_bytes);
    write_file(output_dir() / "f00.bin", Bytes(50000, 0x11));
    fs::create_symlink(victim, output_dir() / "f01.bin");
    write_file(output_dir() / "f02.tmp", Bytes(10, 0x22));
    for (int i = 3; i < 6; i++)
        write_file(output_dir() / test_files::frame_name(i), Bytes(38456, static_cast<uint8_t>(i)));

    sim::add_camera(camera_spec("f*3"));
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    expect_run_invariants(run); // f00..f02 are this run's frames, f03..f05 untouched
    EXPECT_EQ(saved_counters(run.out).size(), 3u);
    EXPECT_EQ(read_file(victim), victim_bytes);
    EXPECT_EQ(entries(output_dir()), (std::set<std::string>{"f00.bin", "f01.bin", "f02.bin",
                                                            "f03.bin", "f04.bin", "f05.bin"}));
}

// Another user plants a link under the temporary name right after the tool cleared it: the tool
// must not write through it. It reports the frame as not saved and leaves the link's target alone.
TEST_F(OutputTest, LinkPlantedInTheRaceIsNotFollowed) {
    const fs::path victim = output_dir().parent_path() / "victim";
    const Bytes victim_bytes(100, 0x42);
    write_file(victim, victim_bytes);
    const fs::path temp = output_dir() / "f01.tmp";
    write_file(temp, {1, 2, 3}); // stale, so the tool has to remove the name before creating it
    after_unlink = [&](const char *path) {
        if (fs::path(path) == temp && !fs::exists(fs::symlink_status(temp)))
            fs::create_symlink(victim, temp);
    };
    sim::add_camera(camera_spec("f*3"));
    RunResult run = run_tool();
    after_unlink = nullptr;

    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, "cannot save " + (output_dir() / "f01.bin").string() + ": " +
                           strerror(EEXIST) + "\n");
    EXPECT_EQ(read_file(victim), victim_bytes);
    EXPECT_FALSE(fs::exists(output_dir() / "f01.bin"));
    fs::remove(temp); // the other user's link, not the tool's to clean up
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out).size(), 1u);
}

} // namespace
