// End-to-end: the real usb_series binary, linked with the system's libusb, against emulated
// cameras (usb_emulator). What the tool prints and writes is checked against what the cameras
// report having seen; time is checked only as lower bounds (a pause lasts at least so long).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "camera_model.h"
#include "emulated_run.h"
#include "frame_files.h"
#include "scoped_mount.h"

namespace fs = std::filesystem;
using namespace test_files;

namespace {

const std::string OUTPUT = output_dir().string();                    // compiled into usb_series_e2e
const std::string OUTPUT_ROOT = output_dir().parent_path().string(); // only the tests use it

const std::string SETUP_1 = "6bb6b66b", SETUP_2 = "6cb6b66b", SETUP_3 = "6fb6b66b";
const std::string FFC_0 = "72b6b66b00000000", FFC_1 = "72b6b66b01000000";
const std::string BEGIN = "73b6b66b", END = "74b6b66b";

// A short run: three frames, then stalls up to the 500-read limit.
const std::string THREE_FRAMES = "f*3,stall*497";

std::string saved_line(int index, uint32_t cnt) {
    char line[64];
    snprintf(line, sizeof(line), "saved f%02d cnt=%u type=%u\n", index, cnt,
             camera::frame_type(cnt));
    return line;
}

// The output of a run whose first `frames` reads were frames 0, 1, 2, ...
std::string consecutive_output(int frames) {
    std::string out;
    for (int i = 0; i < frames; i++) {
        if (i > 0 && i % 10 == 0)
            out += "  FFC(" + std::to_string(i / 10 % 2) + ") at frame " + std::to_string(i) + "\n";
        out += saved_line(i, static_cast<uint32_t>(i));
    }
    return out;
}

// What a camera is asked in a run whose first `frames` reads were frames 0, 1, 2, ... and which
// made `reads` reads in all.
std::vector<std::string> consecutive_calls(int frames, int reads) {
    std::vector<std::string> calls = {"open", "set_configuration 2", "set_configuration 1",
                                      "claim_interface 0"};
    auto command = [&calls](const std::string &packet) {
        calls.push_back("out " + packet);
        calls.push_back("in 0x82");
    };
    for (const std::string &packet : {SETUP_1, SETUP_2, SETUP_3, FFC_0, FFC_0, BEGIN})
        command(packet);
    for (int i = 0; i < reads; i++) {
        calls.push_back("in 0x81");
        if (i < frames && i > 0 && i % 10 == 0)
            command(i / 10 % 2 ? FFC_1 : FFC_0);
    }
    calls.push_back("clear_halt 0x03");
    calls.push_back("clear_halt 0x82");
    command(END);
    return calls;
}

std::set<std::string> frame_names(int count) {
    std::set<std::string> names;
    for (int i = 0; i < count; i++)
        names.insert(frame_name(i));
    return names;
}

// A frame file holds the bytes the camera delivered (fill_frame), zero-padded to 38,456 bytes.
void expect_frame_file(int index, uint32_t cnt, size_t delivered) {
    SCOPED_TRACE(frame_name(index) + " cnt=" + std::to_string(cnt));
    Bytes sent(delivered);
    camera::fill_frame(cnt, sent.data(), sent.size());
    Bytes want = frame_file(sent.data(), sent.size());
    Bytes file = read_file(output_dir() / frame_name(index));
    ASSERT_EQ(file.size(), want.size());
    auto differ = std::mismatch(file.begin(), file.end(), want.begin());
    EXPECT_TRUE(differ.first == file.end())
        << "first difference at byte " << (differ.first - file.begin());
}

size_t count_op(const std::vector<Event> &events, const std::string &op,
                const std::string &endpoint) {
    return static_cast<size_t>(std::count_if(events.begin(), events.end(), [&](const Event &e) {
        return e.op == op && e.field("ep") == endpoint;
    }));
}

// Index of the first event at or after `from` that is `op` with `key`=`value`; events.size()
// when there is none.
size_t find(const std::vector<Event> &events, const std::string &op, const std::string &key,
            const std::string &value, size_t from = 0) {
    for (size_t i = from; i < events.size(); i++)
        if (events[i].op == op && events[i].field(key) == value)
            return i;
    return events.size();
}

size_t find_op(const std::vector<Event> &events, const std::string &op) {
    return static_cast<size_t>(
        std::find_if(events.begin(), events.end(), [&](const Event &e) { return e.op == op; }) -
        events.begin());
}

// How long the tool let pass between the end of the call before event `i` (its reap, or the
// control request itself) and the start of event `i`.
double quiet_before(const std::vector<Event> &events, size_t i) {
    return i > 0 && i < events.size() ? events[i].ms - events[i - 1].ms : -1;
}

class EndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { fs::remove_all(OUTPUT_ROOT); }
};

TEST_F(EndToEnd, FullRunSavesFortyFiveFramesAsTheCameraSentThem) {
    EmulatedRun run = run_emulated({});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");

    // 45 saved lines and four FFC lines, each just before the saved line of its frame.
    EXPECT_EQ(test_files::lines(run.out).size(), 49u);
    EXPECT_EQ(run.out, consecutive_output(45));

    EXPECT_EQ(entries(output_dir()), frame_names(45));
    for (int i = 0; i < 45; i++)
        expect_frame_file(i, static_cast<uint32_t>(i), camera::FRAME_SIZE);

    // Configuration 2, then 1, interface 0, then the start-up packets, each followed by one reply
    // read; FFC 1, 0, 1, 0 after the reads of frames 10, 20, 30, 40; no read after the 45th frame;
    // halts cleared on 0x03 then 0x82, then CMD_END and its reply read.
    EXPECT_EQ(run.calls(1), consecutive_calls(45, 45));

    std::vector<Event> events = run.of(1);
    for (const Event &e : events) {
        SCOPED_TRACE(e.op + " at " + std::to_string(e.ms) + " ms");
        if (e.op == "in" || e.op == "out" || e.op == "set_configuration" ||
            e.op == "claim_interface" || e.op == "clear_halt") {
            EXPECT_EQ(e.field("result"), "done");
        }
        if (e.op == "in") {
            EXPECT_EQ(e.number("req"), e.field("ep") == "0x81" ? 70000 : 4096);
        }
        if (e.op == "reap") {
            EXPECT_EQ(e.field("status"), "0");
        }
    }
    EXPECT_EQ(count_op(events, "reap", "0x81"), 45u); // one URB per 70,000-byte read

    // Pauses, as lower bounds only.
    size_t begin = find(events, "out", "data", BEGIN);
    EXPECT_GE(quiet_before(events, begin), 300.0);
    EXPECT_GE(quiet_before(events, find(events, "in", "ep", "0x81")), 500.0);
    for (size_t i = find(events, "out", "data", FFC_1, begin); i < events.size();
         i = std::min(find(events, "out", "data", FFC_1, i + 1),
                      find(events, "out", "data", FFC_0, i + 1))) {
        size_t next_read = find(events, "in", "ep", "0x81", i);
        SCOPED_TRACE("read after the FFC at " + std::to_string(events[i].ms) + " ms");
        EXPECT_GE(quiet_before(events, next_read), 150.0);
    }
    EXPECT_GE(quiet_before(events, find(events, "out", "data", END)), 100.0);
}

TEST_F(EndToEnd, WithoutTheCameraOnlyNoDeviceIsPrinted) {
    const std::vector<std::vector<std::string>> buses = {
        {"--devices=0"},                   // nothing attached
        {"--devices=0", "--other-device"}, // only a device of another vendor
    };
    for (const auto &bus : buses) {
        SCOPED_TRACE(bus.back());
        fs::remove_all(OUTPUT_ROOT);
        EmulatedRun run = run_emulated(bus);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "no device\n");
        EXPECT_EQ(run.err, "");
        EXPECT_TRUE(run.events.empty()) << "the other vendor's device was touched";
        EXPECT_FALSE(fs::exists(OUTPUT_ROOT));
    }
}

TEST_F(EndToEnd, OfTwoCamerasOnlyTheFirstListedIsOpened) {
    // Another product id, too: only the vendor id counts.
    EmulatedRun run = run_emulated({"--devices=2", "--product=0xbeef", "--stream=" + THREE_FRAMES});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, consecutive_output(3));
    EXPECT_EQ(run.calls(1), consecutive_calls(3, 500));
    EXPECT_TRUE(run.of(2).empty()) << "the second camera was touched";
}

TEST_F(EndToEnd, ACameraThatRefusesToOpenIsReportedAndTheNextOneUsed) {
    struct Case {
        const char *refusal;
        std::string reason;
        bool hint; // only a permission problem is the user's to mend
    };
    const Case cases[] = {
        {"ACCESS", "Access denied (insufficient permissions) (LIBUSB_ERROR_ACCESS)", true},
        {"NO_DEVICE", "No such device (it may have been disconnected) (LIBUSB_ERROR_NO_DEVICE)",
         false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.refusal);
        fs::remove_all(OUTPUT_ROOT);
        EmulatedRun run = run_emulated({"--devices=2", std::string("--refuse-open=1:") + c.refusal,
                                        "--stream=" + THREE_FRAMES});
        ASSERT_EQ(run.status, 0) << run.err;
        ASSERT_EQ(run.cameras.count(1), 1u);
        std::vector<std::string> err = test_files::lines(run.err);
        ASSERT_EQ(err.size(), c.hint ? 2u : 1u) << run.err;
        EXPECT_EQ(err[0], "cannot open USB device 833c:0001 (bus " +
                              std::to_string(run.cameras[1].bus) + ", address " +
                              std::to_string(run.cameras[1].address) + "): " + c.reason);
        if (c.hint) {
            EXPECT_EQ(err[1].rfind("hint: ", 0), 0u) << err[1];
        }

        for (const Event &e : run.of(1)) // at most the failed open itself
            EXPECT_TRUE(e.op == "open" && e.field("result") == "error") << e.op;
        EXPECT_EQ(run.out, consecutive_output(3));
        EXPECT_EQ(run.calls(2), consecutive_calls(3, 500));
        EXPECT_EQ(entries(output_dir()), frame_names(3));
    }
}

TEST_F(EndToEnd, ACameraThatRejectsConfigurationTwoIsStillStarted) {
    EmulatedRun run = run_emulated({"--refuse-config2=BUSY", "--stream=" + THREE_FRAMES});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.calls(1), consecutive_calls(3, 500));
    std::vector<Event> events = run.of(1);
    size_t config2 = find(events, "set_configuration", "value", "2");
    size_t config1 = find(events, "set_configuration", "value", "1");
    ASSERT_LT(config1, events.size());
    EXPECT_EQ(events[config2].field("result"), "error");
    EXPECT_EQ(events[config1].field("result"), "done");
    EXPECT_EQ(run.out, consecutive_output(3));
}

TEST_F(EndToEnd, AReplyThatNeverComesCostsTwoSecondsAndTheRunGoesOn) {
    EmulatedRun run = run_emulated({"--drop-reply=0"}); // the reply to CMD_SETUP_1
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.calls(1), consecutive_calls(45, 45));
    EXPECT_EQ(run.out, consecutive_output(45));

    std::vector<Event> events = run.of(1);
    size_t reply = find(events, "in", "ep", "0x82");
    size_t discard = find(events, "discard", "ep", "0x82");
    ASSERT_LT(discard, events.size());
    EXPECT_EQ(events[reply].field("result"), "silence");
    // From the moment the packet's transfer ended to the moment libusb gave up on the reply.
    EXPECT_GE(events[discard].ms - events[reply - 1].ms, 2000.0);
    EXPECT_EQ(events[discard + 1].op, "reap");
    EXPECT_EQ(events[discard + 1].field("status"), "ENOENT");
    EXPECT_EQ(events[discard + 2].field("data"), SETUP_2);
}

TEST_F(EndToEnd, ACameraThatVanishesMidStreamUsesUpTheFiveHundredReads) {
    EmulatedRun run = run_emulated({"--stream=f*5,gone"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, consecutive_output(5));
    EXPECT_EQ(entries(output_dir()), frame_names(5));
    std::vector<Event> events = run.of(1);
    EXPECT_EQ(count_op(events, "in", "0x81"), 500u);
    size_t vanished = find_op(events, "vanished");
    ASSERT_LT(vanished, events.size());
    size_t in_flight = find(events, "reap", "ep", "0x81", vanished);
    ASSERT_LT(in_flight, events.size());
    EXPECT_EQ(events[in_flight].field("status"), "ESHUTDOWN");
    EXPECT_LT(find_op(events, "removed"), events.size()); // the remove uevent
    // The shutdown sequence still runs: its packet fails like everything else.
    size_t end = find(events, "out", "data", END);
    ASSERT_LT(end, events.size());
    EXPECT_EQ(events[end].field("result"), "gone");
}

TEST_F(EndToEnd, ReadsThatBringNoNewFrameUseUpTheFiveHundredReads) {
    // A frame, a time-out after part of one, a 28-byte frame, junk, a 27-byte frame, a repeat of
    // it at full length, bus errors, counters that go back, then stalls to the limit.
    EmulatedRun run = run_emulated(
        {"--stream=f,part:1000,f:28,x:20,f:27,r,err:IO,err:OVERFLOW,c=7,c=5,stall*490"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, saved_line(0, 0) + saved_line(1, 1) + saved_line(2, 2) + saved_line(3, 7) +
                           saved_line(4, 5));
    EXPECT_EQ(entries(output_dir()), frame_names(5));
    expect_frame_file(0, 0, camera::FRAME_SIZE);
    expect_frame_file(1, 1, 28);
    expect_frame_file(2, 2, camera::FRAME_SIZE);
    expect_frame_file(3, 7, camera::FRAME_SIZE);
    expect_frame_file(4, 5, camera::FRAME_SIZE);

    std::vector<Event> events = run.of(1);
    EXPECT_EQ(count_op(events, "in", "0x81"), 500u);
    // libusb gave up on the partial frame no sooner than the 1000 ms time-out.
    size_t discard = find(events, "discard", "ep", "0x81");
    ASSERT_LT(discard, events.size());
    EXPECT_EQ(events[discard - 1].field("result"), "silence");
    EXPECT_GE(events[discard].ms - events[discard - 2].ms, 1000.0);
    std::vector<std::string> statuses;
    for (const Event &e : events)
        if (e.op == "reap" && e.field("ep") == "0x81" && e.field("status") != "0")
            statuses.push_back(e.field("status") + "/" + e.field("len"));
    std::vector<std::string> want = {"ENOENT/1000", "EPROTO/0", "EOVERFLOW/0"};
    want.insert(want.end(), 490, "EPIPE/0");
    EXPECT_EQ(statuses, want);
    EXPECT_EQ(run.calls(1).back(), "in 0x82"); // the shutdown sequence ran to its end
}

TEST_F(EndToEnd, AMissingOutputDirectoryIsCreatedPrivate) {
    ASSERT_FALSE(fs::exists(OUTPUT_ROOT));
    EmulatedRun run = run_emulated({"--stream=" + THREE_FRAMES});
    ASSERT_EQ(run.status, 0) << run.err;
    struct stat st {};
    ASSERT_EQ(lstat(OUTPUT.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(entries(output_dir()), frame_names(3));
}

TEST_F(EndToEnd, FilesOfAnEarlierRunAreReplacedOnlyWhereThisRunSavesFrames) {
    fs::create_directories(OUTPUT);
    fs::permissions(OUTPUT, fs::perms::owner_all);
    for (const std::string name : {"f00.bin", "f01.tmp", "f45.bin"}) {
        FILE *f = fopen((OUTPUT + "/" + name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("earlier run", f);
        fclose(f);
    }
    EmulatedRun run = run_emulated({"--stream=" + THREE_FRAMES});
    ASSERT_EQ(run.status, 0) << run.err;
    expect_frame_file(0, 0, camera::FRAME_SIZE);
    EXPECT_EQ(read_text(OUTPUT + "/f45.bin"), "earlier run");
    // The stale temporary file of frame 1 went with the saving of frame 1.
    EXPECT_EQ(entries(output_dir()),
              (std::set<std::string>{"f00.bin", "f01.bin", "f02.bin", "f45.bin"}));
}

TEST_F(EndToEnd, AnUnfitOutputDirectoryStopsTheRunBeforeAnyCommand) {
    struct Case {
        const char *what;
        void (*make)();
        std::string reason;
    };
    const std::string elsewhere = OUTPUT_ROOT + "/elsewhere";
    static const auto symlink_to_elsewhere = [] {
        fs::create_directories(OUTPUT_ROOT + "/elsewhere");
        fs::create_directory_symlink(OUTPUT_ROOT + "/elsewhere", OUTPUT);
    };
    static const auto writable_by_group = [] {
        fs::create_directories(OUTPUT);
        fs::permissions(OUTPUT, fs::perms::owner_all | fs::perms::group_all);
    };
    const Case cases[] = {
        {"symbolic link", +symlink_to_elsewhere, "is a symbolic link"},
        {"group-writable", +writable_by_group, "writable by group or others (mode 0770)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(OUTPUT_ROOT);
        c.make();
        EmulatedRun run = run_emulated({"--stream=" + THREE_FRAMES});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "refusing output directory " + OUTPUT + ": " + c.reason + "\n");
        EXPECT_EQ(run.calls(1), std::vector<std::string>{"open"}); // opened, then let go
        EXPECT_TRUE(entries(output_dir()).empty());
        EXPECT_TRUE(entries(elsewhere).empty());
    }
}

TEST_F(EndToEnd, AFrameThatCannotBeWrittenEndsTheRunWithStatusTwo) {
    // The file size limit makes the write fail; SIGXFSZ at its default action would kill a tool
    // that did not set it aside itself.
    EmulatedRun run = run_emulated({"--file-size-limit=20000", "--stream=" + THREE_FRAMES});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cannot save " + OUTPUT + "/f00.bin: File too large\n");
    EXPECT_TRUE(entries(output_dir()).empty()) << "a partial or temporary file was left";
    // The device is still taken through its shutdown after the one read.
    EXPECT_EQ(run.calls(1), consecutive_calls(1, 1));
}

TEST_F(EndToEnd, ADiskThatFillsUpMidFrameEndsTheRunWithStatusTwo) {
    // A tmpfs over the output directory with room for twelve frame files and half of another.
    fs::create_directories(OUTPUT);
    const long page = sysconf(_SC_PAGESIZE);
    const long pages = 12 * ((camera::FRAME_SIZE + page - 1) / page) + 5;
    test_files::ScopedMount tmpfs(OUTPUT, "usb_series_e2e", "tmpfs", 0,
                                  "mode=0700,size=" + std::to_string(pages * page));
    if (tmpfs.error() != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << strerror(tmpfs.error());

    EmulatedRun run = run_emulated({});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, consecutive_output(12));
    EXPECT_EQ(run.err, "cannot save " + OUTPUT + "/f12.bin: No space left on device\n");
    EXPECT_EQ(entries(output_dir()), frame_names(12)) << "a partial or temporary file was left";
    for (int i = 0; i < 12; i++)
        expect_frame_file(i, static_cast<uint32_t>(i), camera::FRAME_SIZE);
    // No read after the frame that could not be saved, and the shutdown all the same.
    EXPECT_EQ(run.calls(1), consecutive_calls(12, 13));
}

} // namespace
