// Whole runs: the capture loop against frame streams of every kind, its two limits, and FFC.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.h"

#include "sim_run.h"

namespace {

using namespace sim_run;

using CaptureTest = SimRunTest;

struct StreamCase {
    const char *name;
    const char *script; // camera::parse_stream
    camera::After after;
    std::vector<uint32_t> saved; // counters of the saved frames, in order
    size_t reads;                // frame reads made
};

constexpr auto Silence = camera::After::Silence;
constexpr auto Frames = camera::After::Frames;

// Counters first, first + 1, ... (n of them): what a stream without gaps delivers.
std::vector<uint32_t> counters(uint32_t first, uint32_t n) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < n; i++)
        out.push_back(first + i);
    return out;
}

const StreamCase stream_cases[] = {
    {"same_counter_over_and_over", "c=5*20", Silence, {5}, 500},
    {"first_counter_all_ones_is_a_repeat", "c=0xFFFFFFFF*2,c=3", Silence, {3}, 500},
    {"all_ones_after_another_is_new", "c=1,c=0xFFFFFFFF", Silence, {1, 0xFFFFFFFF}, 500},
    {"counter_going_back", "c=7,c=5", Silence, {7, 5}, 500},
    {"counter_alternating", "c=10,c=11,c=10,c=11", Silence, {10, 11, 10, 11}, 500},
    {"repeats_of_any_length", "f,r,r:100,r:70000,f", Silence, {0, 1}, 500},
    {"partial_read_then_time_out", "part:30000,part:38456", Silence, {}, 500},
    {"partial_read_then_whole_frame", "part:30000,f", Silence, {0}, 500},
    {"too_short_or_no_magic", "f:27,x:100,x:70000,f:28", Silence, {1}, 500},
    {"failed_reads", "stall,err:IO,err:OVERFLOW,err:INTERRUPTED,f", Silence, {0}, 500},
    // A short frame after a long one: its file must not carry the long one's bytes.
    {"long_frame_then_short_ones", "f:70000,f:100,f:28,f:38455", Silence, {0, 1, 2, 3}, 500},
    {"device_gone_mid_run", "f,f,gone", Silence, {0, 1}, 500},
    {"junk_beyond_the_read_limit", "x*600", Silence, {}, 500},
    {"frames_then_silence_are_kept", "f*3", Silence, {0, 1, 2}, 500},
    {"stops_at_45_frames", "", Frames, counters(0, 45), 45},
    {"stops_at_45_frames_among_junk", "x,f,x,r,f", Frames, counters(0, 45), 48},
    {"45th_frame_on_the_last_read", "x*455", Frames, counters(0, 45), 500},
    {"read_limit_before_45th_frame", "x*456", Frames, counters(0, 44), 500},
};

class Stream : public SimRunTest, public testing::WithParamInterface<StreamCase> {};

TEST_P(Stream, KeepsEachNewFrameOnce) {
    const StreamCase &c = GetParam();
    sim::add_camera(camera_spec(c.script, c.after));
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out), c.saved);
    EXPECT_EQ(transfers(0x81).size(), c.reads);
}

INSTANTIATE_TEST_SUITE_P(Streams, Stream, testing::ValuesIn(stream_cases), test_files::CaseName());

// A silent device: 500 reads, each ending in its 1000 ms time-out, back to back. In simulated time
// the run lasts 500.9 s; in real time it must take no longer than any other case.
TEST_F(CaptureTest, SilentDeviceEndsAfter500TimedOutReads) {
    sim::add_camera(camera_spec("", Silence));
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    expect_run_invariants(run);

    std::vector<sim::Call> reads = transfers(0x81);
    ASSERT_EQ(reads.size(), 500u);
    for (size_t i = 0; i < reads.size(); i++) {
        EXPECT_EQ(reads[i].status, LIBUSB_ERROR_TIMEOUT);
        EXPECT_EQ(reads[i].end_us - reads[i].time_us, 1000000u);
        if (i > 0) {
            EXPECT_EQ(reads[i].time_us, reads[i - 1].end_us) << "pause between reads " << i;
        }
    }
    EXPECT_EQ(sim::now_us(), 800000u + 500 * 1000000u + 100000u);
}

TEST_F(CaptureTest, FullRunPrints49LinesAndSendsFfcBeforeFrames10To40) {
    sim::add_camera(camera_spec("c=1000", Frames)); // counters 1000 to 1044
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    expect_run_invariants(run);

    const std::map<int, std::string> ffc_lines = {{10, "  FFC(1) at frame 10\n"},
                                                  {20, "  FFC(0) at frame 20\n"},
                                                  {30, "  FFC(1) at frame 30\n"},
                                                  {40, "  FFC(0) at frame 40\n"}};
    std::string expected;
    for (int i = 0; i < 45; i++) {
        auto ffc = ffc_lines.find(i);
        if (ffc != ffc_lines.end())
            expected += ffc->second;
        char line[64];
        snprintf(line, sizeof(line), "saved f%02d cnt=%d type=%d\n", i, 1000 + i, i % 4);
        expected += line;
    }
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(lines(run.out).size(), 49u);
}

struct FfcCase {
    const char *name;
    const char *script;
    camera::After after;
    std::vector<size_t> after_reads; // frame reads (0-based) right after which an FFC goes out
};

const FfcCase ffc_cases[] = {
    {"every_read_a_frame", "", Frames, {10, 20, 30, 40}},
    // Reads that keep no frame do not count: no FFC before f00, the first before f10.
    {"junk_before_the_first_frame", "x*10,f*11", Silence, {20}},
    {"repeats_among_frames", "f*10,r*5,f*2", Silence, {15}},
    {"ten_frames_only", "f*10", Silence, {}},
};

class Ffc : public SimRunTest, public testing::WithParamInterface<FfcCase> {};

TEST_P(Ffc, SentBeforeEveryTenthFrameWithAlternatingArgument) {
    const FfcCase &c = GetParam();
    sim::add_camera(camera_spec(c.script, c.after));
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    expect_run_invariants(run);

    const auto &calls = sim::calls();
    std::vector<size_t> after_reads;
    std::vector<Bytes> sent;
    size_t reads = 0;
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i].fn == "bulk_transfer" && calls[i].endpoint == 0x81)
            reads++;
        if (reads == 0 || calls[i].fn != "bulk_transfer" || calls[i].data.empty() ||
            calls[i].data[0] != 0x72)
            continue;
        after_reads.push_back(reads - 1);
        sent.push_back(calls[i].data);
        // Packet, reply, 150 ms of silence, then the next read.
        ASSERT_LT(i + 3, calls.size());
        EXPECT_EQ(describe(calls[i + 1]), "in 82");
        EXPECT_EQ(describe(calls[i + 2]), "nanosleep 150000us");
        EXPECT_EQ(calls[i + 3].time_us - calls[i + 1].end_us, 150000u);
    }
    EXPECT_EQ(after_reads, c.after_reads);
    std::vector<Bytes> expected;
    for (size_t k = 0; k < c.after_reads.size(); k++)
        expected.push_back(packet(0x72, k % 2 == 0 ? 1 : 0));
    EXPECT_EQ(sent, expected);
}

INSTANTIATE_TEST_SUITE_P(Streams, Ffc, testing::ValuesIn(ffc_cases), test_files::CaseName());

} // namespace
