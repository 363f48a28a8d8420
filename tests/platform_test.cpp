// The platform unit against the real file system: on Linux, and under wine for the Windows half.
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "platform.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string read_all(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_all(const fs::path &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

// Each test works in a directory of its own under the system's temporary directory.
class Platform : public ::testing::Test {
  protected:
    void SetUp() override {
        std::random_device random;
        dir = fs::temp_directory_path() /
              ("usb_series_platform_" + std::to_string(random()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }
    std::string at(const std::string &relative) const { return (dir / relative).string(); }

    fs::path dir;
};

TEST_F(Platform, MakeDirectoriesCreatesEveryMissingParent) {
    const char *cases[] = {
        "a/b/c",   // forward slashes
        "d//e/f/", // doubled and trailing separators
#ifdef _WIN32
        "g\\h\\i", // Windows' own separators
        "j/k\\l",  // both kinds in one path
#endif
    };
    for (const char *relative : cases) {
        SCOPED_TRACE(relative);
        std::string path = dir.string() + "/" + relative;
        EXPECT_EQ(0, make_directories(path.c_str()));
        EXPECT_TRUE(fs::is_directory(path));
    }
}

TEST_F(Platform, MakeDirectoriesKeepsAnExistingDirectoryAndItsFiles) {
    fs::create_directories(at("series"));
    write_all(at("series/f00.bin"), "earlier run");

    EXPECT_EQ(0, make_directories(at("series").c_str()));
    EXPECT_EQ("earlier run", read_all(at("series/f00.bin")));
}

TEST_F(Platform, MakeDirectoriesStopsAtAFileInTheWay) {
    write_all(at("plain"), "not a directory");

    EXPECT_EQ(ENOTDIR, make_directories(at("plain/series").c_str()));
    EXPECT_EQ(ENOTDIR, make_directories(at("plain/usb_series/series").c_str()));

    // The file itself counts as an existing name: it is check_directory that refuses it.
    make_directories(at("plain").c_str());
    char reason[128] = "";
    EXPECT_EQ(ENOTDIR, check_directory(at("plain").c_str(), reason, sizeof(reason)));
    EXPECT_EQ("not a directory", read_all(at("plain")));
}

TEST_F(Platform, CheckDirectoryAcceptsADirectoryAndNamesWhatIsWrongWithAnythingElse) {
    fs::create_directories(at("dir"));
    write_all(at("file"), "x");
    struct Case {
        const char *name;
        int error;
    } cases[] = {{"dir", 0}, {"missing", ENOENT}, {"file", ENOTDIR}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        char reason[128] = "";
        EXPECT_EQ(c.error, check_directory(at(c.name).c_str(), reason, sizeof(reason)));
        EXPECT_EQ(c.error != 0, reason[0] != '\0');
    }
}

TEST_F(Platform, CreateFileRefusesAnExistingPath) {
    write_all(at("taken"), "earlier");
    fs::create_directories(at("folder"));

    int fd = -1;
    EXPECT_EQ(EEXIST, create_file(at("taken").c_str(), &fd));
    EXPECT_EQ("earlier", read_all(at("taken")));
    EXPECT_NE(0, create_file(at("folder").c_str(), &fd));
    EXPECT_TRUE(fs::is_directory(at("folder")));
}

TEST_F(Platform, WriteFileStoresEveryByteUnchanged) {
    // Every byte value, "\n", "\r\n" and Ctrl-Z among them, in a body larger than any one buffer
    // of the C runtime: a text-mode file would grow or stop early.
    std::string body;
    for (int i = 0; i < 300000; i++)
        body += static_cast<char>(i * 7 % 256);
    body += "\n\r\n\x1a";

    int fd = -1;
    ASSERT_EQ(0, create_file(at("f00.tmp").c_str(), &fd));
    EXPECT_EQ(0, write_file(fd, body.data(), body.size()));
    EXPECT_EQ(0, write_file(fd, body.data(), 0));
    EXPECT_EQ(0, close_file(fd));
    EXPECT_EQ(body.size(), fs::file_size(at("f00.tmp")));
    EXPECT_TRUE(read_all(at("f00.tmp")) == body);
}

TEST_F(Platform, ReplaceFileReplacesAnExistingFile) {
    write_all(at("f00.tmp"), "new frame");
    write_all(at("f00.bin"), "frame of an earlier run, longer than the new one");

    EXPECT_EQ(0, replace_file(at("f00.tmp").c_str(), at("f00.bin").c_str()));
    EXPECT_EQ("new frame", read_all(at("f00.bin")));
    EXPECT_FALSE(fs::exists(at("f00.tmp")));
}

TEST_F(Platform, ReplaceFileMovesToAFreeNameAndReportsAMissingSource) {
    write_all(at("f01.tmp"), "frame");

    EXPECT_EQ(0, replace_file(at("f01.tmp").c_str(), at("f01.bin").c_str()));
    EXPECT_EQ("frame", read_all(at("f01.bin")));
    EXPECT_EQ(ENOENT, replace_file(at("f01.tmp").c_str(), at("f01.bin").c_str()));
    EXPECT_EQ("frame", read_all(at("f01.bin")));
}

TEST_F(Platform, RemoveFileRemovesAFileAndTakesAMissingOneForDone) {
    write_all(at("f02.tmp"), "stale");
    fs::create_directories(at("folder"));

    EXPECT_EQ(0, remove_file(at("f02.tmp").c_str()));
    EXPECT_FALSE(fs::exists(at("f02.tmp")));
    EXPECT_EQ(0, remove_file(at("f02.tmp").c_str()));
    EXPECT_EQ(0, remove_file(at("no/such/dir/f03.tmp").c_str()));
    EXPECT_NE(0, remove_file(at("folder").c_str()));
    EXPECT_TRUE(fs::is_directory(at("folder")));
}

#ifdef _WIN32
// A frame file that a viewer holds open without sharing it: Windows refuses to replace or remove
// it, and the tool must say "Permission denied", not some other error.
TEST_F(Platform, AFileHeldOpenByAnotherProgramIsPermissionDenied) {
    write_all(at("f00.bin"), "shown in a viewer");
    write_all(at("f00.tmp"), "new frame");
    HANDLE viewer = CreateFileA(at("f00.bin").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, viewer);

    EXPECT_EQ(EACCES, replace_file(at("f00.tmp").c_str(), at("f00.bin").c_str()));
    EXPECT_EQ(EACCES, remove_file(at("f00.bin").c_str()));

    CloseHandle(viewer);
    EXPECT_EQ(0, replace_file(at("f00.tmp").c_str(), at("f00.bin").c_str()));
    EXPECT_EQ("new frame", read_all(at("f00.bin")));
}
#else
// A link planted where a file is about to be written must neither be followed nor be written
// through.
TEST_F(Platform, LinksAreNeverFollowed) {
    write_all(at("target"), "someone else's file");
    fs::create_symlink(at("target"), at("f00.tmp"));
    fs::create_symlink(at("target"), at("f00.bin"));
    fs::create_symlink(at("nowhere"), at("f01.tmp"));
    write_all(at("f02.tmp"), "new frame");

    int fd = -1;
    EXPECT_EQ(EEXIST, create_file(at("f00.tmp").c_str(), &fd));
    EXPECT_EQ(EEXIST, create_file(at("f01.tmp").c_str(), &fd));
    EXPECT_FALSE(fs::exists(at("nowhere")));

    EXPECT_EQ(0, replace_file(at("f02.tmp").c_str(), at("f00.bin").c_str()));
    EXPECT_FALSE(fs::is_symlink(at("f00.bin")));
    EXPECT_EQ("new frame", read_all(at("f00.bin")));
    EXPECT_EQ("someone else's file", read_all(at("target")));

    char reason[128] = "";
    fs::create_directories(at("real"));
    fs::create_directory_symlink(at("real"), at("series"));
    EXPECT_EQ(ELOOP, check_directory(at("series").c_str(), reason, sizeof(reason)));
}
#endif

TEST(PlatformPause, PausesForAboutTheTimeAsked) {
    // A lower bound only, and a loose one: Windows' Sleep keeps to its timer tick, and a busy
    // machine may make the pause as long as it likes.
    auto start = std::chrono::steady_clock::now();
    pause_ms(100);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(75));
}

} // namespace
