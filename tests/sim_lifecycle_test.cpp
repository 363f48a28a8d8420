// Whole runs: finding and opening the device, the start-up and shutdown sequences with their
// pauses, the command channel's failures, and the arguments that start no run.
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "case_name.h"

#include "sim_run.h"

namespace {

using namespace sim_run;
using test_files::output_dir;

using LifecycleTest = SimRunTest;

// Index of the first call matching `pred`, or calls().size().
size_t find_call(const std::function<bool(const sim::Call &)> &pred, size_t from = 0) {
    const auto &calls = sim::calls();
    for (size_t i = from; i < calls.size(); i++)
        if (pred(calls[i]))
            return i;
    return calls.size();
}

bool is_frame_read(const sim::Call &c) {
    return c.fn == "bulk_transfer" && c.endpoint == 0x81;
}

const std::vector<std::string> startup_calls = {
    "init",
    "get_device_list",
    "get_device_descriptor #0",
    "open #0",
    "free_device_list",
    "set_configuration #0 2",
    "set_configuration #0 1",
    "claim_interface #0 0",
    "out 03 6b b6 b6 6b",
    "in 82",
    "out 03 6c b6 b6 6b",
    "in 82",
    "out 03 6f b6 b6 6b",
    "in 82",
    "out 03 72 b6 b6 6b 00 00 00 00",
    "in 82",
    "out 03 72 b6 b6 6b 00 00 00 00",
    "in 82",
    "nanosleep 300000us",
    "out 03 73 b6 b6 6b",
    "in 82",
    "nanosleep 500000us",
};

const std::vector<std::string> shutdown_calls = {
    "clear_halt #0 03",
    "clear_halt #0 82",
    "nanosleep 100000us",
    "out 03 74 b6 b6 6b",
    "in 82",
    "close #0",
    "exit",
};

TEST_F(LifecycleTest, StartupAndShutdownInOrderWithExactPauses) {
    sim::add_camera(camera_spec("f*3"));
    RunResult run = run_tool();
    ASSERT_EQ(run.status, 0) << run.err;
    expect_run_invariants(run);

    const auto &calls = sim::calls();
    size_t first_read = find_call(is_frame_read);
    size_t last_read = first_read;
    for (size_t i = first_read; i < calls.size(); i++)
        if (is_frame_read(calls[i]))
            last_read = i;
    ASSERT_LT(last_read, calls.size());
    EXPECT_EQ(describe(std::vector<sim::Call>(calls.begin(), calls.begin() + first_read)),
              startup_calls);
    EXPECT_EQ(describe(std::vector<sim::Call>(calls.begin() + last_read + 1, calls.end())),
              shutdown_calls);

    // The pauses, in simulated time: nothing happens on the bus during them.
    size_t begin = find_call([](const sim::Call &c) { return c.data == packet(0x73); });
    size_t end = find_call([](const sim::Call &c) { return c.data == packet(0x74); });
    EXPECT_EQ(calls[begin].time_us - calls[begin - 2].end_us, 300000u);      // after the second FFC
    EXPECT_EQ(calls[first_read].time_us - calls[begin + 1].end_us, 500000u); // after CMD_BEGIN
    EXPECT_EQ(calls[end].time_us - calls[end - 2].end_us, 100000u); // after clearing the halts

    for (const sim::Call &c : transfers(0x03)) {
        EXPECT_EQ(c.timeout_ms, 2000u) << describe(c);
    }
    for (const sim::Call &c : transfers(0x82)) {
        EXPECT_EQ(c.value, 4096) << "reply read size";
        EXPECT_EQ(c.timeout_ms, 2000u);
    }
    for (const sim::Call &c : transfers(0x81)) {
        EXPECT_EQ(c.value, 70000) << "frame read size";
        EXPECT_EQ(c.timeout_ms, 1000u);
    }
}

// A signal that cuts a pause short does not shorten it: the pause resumes for the time left.
class InterruptedPause : public SimRunTest, public testing::WithParamInterface<int> {};

TEST_P(InterruptedPause, ResumesForTheTimeLeft) {
    const int nth = GetParam(); // of the 7 pauses of a full run: 300, 500, 150 x 4, 100 ms
    const uint64_t pauses[] = {300000, 500000, 150000, 150000, 150000, 150000, 100000};
    sim::add_camera(camera::DeviceSpec{}); // frames without end: a full run of 45
    sim::interrupt_sleep(nth, 40000);
    RunResult run = run_tool();
    ASSERT_EQ(run.status, 0) << run.err;
    expect_run_invariants(run);

    std::vector<sim::Call> sleeps = sim::calls_of("nanosleep");
    ASSERT_EQ(sleeps.size(), 8u);
    const sim::Call &cut = sleeps[static_cast<size_t>(nth - 1)];
    const sim::Call &rest = sleeps[static_cast<size_t>(nth)];
    EXPECT_EQ(cut.status, -1);
    EXPECT_EQ(static_cast<uint64_t>(cut.value), pauses[nth - 1]);
    EXPECT_EQ(static_cast<uint64_t>(rest.value), pauses[nth - 1] - 40000);
    EXPECT_EQ(rest.time_us, cut.end_us) << "resumed at once";
    // Replies and frames come at once here, so a run's time is its pauses: 1.5 s in all.
    EXPECT_EQ(sim::now_us(), 1500000u);
}

INSTANTIATE_TEST_SUITE_P(EachPause, InterruptedPause, testing::Values(1, 2, 3, 6, 7));

struct DiscoveryCase {
    const char *name;
    std::function<void()> setup;
    int status;
    int used;                     // device the run was made on; -1 for none
    std::vector<int> untouched;   // devices never opened
    std::vector<std::string> err; // standard error; "HINT" stands for the permission hint
};

camera::DeviceSpec camera_at(uint8_t bus, uint8_t address, int open_error = 0,
                             uint16_t product = 0x0001) {
    camera::DeviceSpec device_spec;
    device_spec.bus = bus;
    device_spec.address = address;
    device_spec.open_error = open_error;
    device_spec.product = product;
    return device_spec;
}

const char access_refused[] = "cannot open USB device 833c:0001 (bus 1, address 5): Access denied "
                              "(insufficient permissions) (LIBUSB_ERROR_ACCESS)";

const DiscoveryCase discovery_cases[] = {
    {"no_device", [] {}, 1, -1, {}, {}},
    {"other_vendor_only", [] { sim::add_other({}); }, 1, -1, {0}, {}},
    {"any_product_after_other_vendor",
     [] {
         sim::add_other({});
         sim::add_camera(camera_at(2, 7, 0, 0xBEEF));
     },
     0,
     1,
     {0},
     {}},
    {"first_of_two_cameras",
     [] {
         sim::add_camera(camera_at(1, 5));
         sim::add_camera(camera_at(1, 6));
     },
     0,
     0,
     {1},
     {}},
    {"first_refuses_second_used",
     [] {
         sim::add_camera(camera_at(1, 5, LIBUSB_ERROR_ACCESS));
         sim::add_camera(camera_at(1, 6));
     },
     0,
     1,
     {},
     {access_refused, "HINT"}},
    {"only_camera_refuses",
     [] { sim::add_camera(camera_at(1, 5, LIBUSB_ERROR_ACCESS)); },
     1,
     -1,
     {},
     {access_refused, "HINT"}},
    {"both_refuse_one_hint",
     [] {
         sim::add_camera(camera_at(1, 5, LIBUSB_ERROR_ACCESS));
         sim::add_camera(camera_at(3, 12, LIBUSB_ERROR_BUSY, 0x0002));
     },
     1,
     -1,
     {},
     {access_refused,
      "cannot open USB device 833c:0002 (bus 3, address 12): Resource busy (LIBUSB_ERROR_BUSY)",
      "HINT"}},
    // A camera unplugged between the listing and the open: no permission to fix, so no hint.
    {"camera_gone_before_open_no_hint",
     [] { sim::add_camera(camera_at(1, 5, LIBUSB_ERROR_NO_DEVICE)); },
     1,
     -1,
     {},
     {"cannot open USB device 833c:0001 (bus 1, address 5): No such device (it may have been "
      "disconnected) (LIBUSB_ERROR_NO_DEVICE)"}},
    {"unreadable_descriptor_skipped",
     [] {
         sim::add_camera(camera_at(1, 5));
         sim::add_camera(camera_at(1, 6));
         sim::inject({"get_device_descriptor", 1, -1, LIBUSB_ERROR_IO});
     },
     0,
     1,
     {0},
     {}},
    {"only_descriptor_unreadable",
     [] {
         sim::add_camera(camera_at(1, 5));
         sim::inject({"get_device_descriptor", 1, -1, LIBUSB_ERROR_NOT_SUPPORTED});
     },
     1,
     -1,
     {0},
     {}},
    {"enumeration_fails",
     [] {
         sim::add_camera(camera_at(1, 5));
         sim::inject({"get_device_list", 1, -1, LIBUSB_ERROR_NO_MEM});
     },
     1,
     -1,
     {0},
     {"cannot list USB devices: Insufficient memory (LIBUSB_ERROR_NO_MEM)"}},
    {"init_fails",
     [] {
         sim::add_camera(camera_at(1, 5));
         sim::inject({"init", 1, -1, LIBUSB_ERROR_OTHER});
     },
     1,
     -1,
     {0},
     {"cannot initialise libusb: Other error (LIBUSB_ERROR_OTHER)"}},
};

class Discovery : public SimRunTest, public testing::WithParamInterface<DiscoveryCase> {};

TEST_P(Discovery, UsesFirstMatchingDeviceThatOpens) {
    const DiscoveryCase &c = GetParam();
    c.setup();
    RunResult run = run_tool();
    EXPECT_EQ(run.status, c.status);
    expect_run_invariants(run);

    std::vector<std::string> err = lines(run.err);
    ASSERT_EQ(err.size(), c.err.size()) << run.err;
    for (size_t i = 0; i < err.size(); i++) {
        if (c.err[i] == "HINT") {
            EXPECT_EQ(err[i].rfind("hint: install udev/60-usb-series.rules", 0), 0u) << err[i];
        } else {
            EXPECT_EQ(err[i], c.err[i]);
        }
    }

    for (const sim::Call &call : sim::calls_of("open"))
        for (int device : c.untouched) {
            EXPECT_NE(call.device, device) << "device " << device << " was opened";
        }
    if (c.used < 0) {
        EXPECT_EQ(run.out, "no device\n");
        EXPECT_TRUE(test_files::entries(output_dir()).empty());
        return;
    }
    EXPECT_EQ(saved_counters(run.out).size(), 45u);
    for (const sim::Call &call : sim::calls()) {
        if (call.fn == "bulk_transfer" || call.fn == "set_configuration" || call.fn == "close") {
            EXPECT_EQ(call.device, c.used) << describe(call);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, Discovery, testing::ValuesIn(discovery_cases),
                         test_files::CaseName());

TEST_F(LifecycleTest, FailedInitTouchesNothingElse) {
    sim::add_camera(camera::DeviceSpec{});
    sim::inject({"init", 1, -1, LIBUSB_ERROR_OTHER});
    RunResult run = run_tool();
    expect_run_invariants(run);
    EXPECT_EQ(describe(sim::calls()), std::vector<std::string>{"init"});
    EXPECT_EQ(run.out, "no device\n");
}

// Failures the device or the host may produce on the way: none stops the run or changes what is
// sent next; the tool says nothing about them.
struct SilentFailureCase {
    const char *name;
    std::function<void()> setup;
    size_t frames; // saved in the run
};

sim::Fault on_endpoint(const char *fn, int endpoint, int nth, int error, bool reaches_device,
                       int transferred = 0) {
    sim::Fault f;
    f.fn = fn;
    f.endpoint = endpoint;
    f.nth = nth;
    f.error = error;
    f.reaches_device = reaches_device;
    f.transferred = transferred;
    return f;
}

// Command packets of a full run, counted on endpoint 0x03: SETUP_1..3 (1-3), FFC (4, 5),
// BEGIN (6), FFC at frames 10..40 (7-10), END (11).
const SilentFailureCase silent_failure_cases[] = {
    {"configuration_2_rejected",
     [] {
         camera::DeviceSpec device_spec;
         device_spec.config2_error = LIBUSB_ERROR_BUSY;
         sim::add_camera(device_spec);
     },
     45},
    {"configuration_1_rejected",
     [] {
         sim::add_camera({});
         sim::inject({"set_configuration", 2, -1, LIBUSB_ERROR_NOT_FOUND});
     },
     45},
    {"claim_rejected",
     [] {
         sim::add_camera({});
         sim::inject({"claim_interface", 1, -1, LIBUSB_ERROR_BUSY});
     },
     45},
    {"clear_halts_fail",
     [] {
         sim::add_camera({});
         sim::inject({"clear_halt", 1, 0x03, LIBUSB_ERROR_IO});
         sim::inject({"clear_halt", 1, 0x82, LIBUSB_ERROR_PIPE});
     },
     45},
    {"setup_1_packet_stalls",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x03, 1, LIBUSB_ERROR_PIPE, false));
     },
     45},
    {"startup_ffc_packet_fails",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x03, 5, LIBUSB_ERROR_IO, false));
     },
     45},
    {"begin_status_lost",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x03, 6, LIBUSB_ERROR_IO, true));
     },
     45},
    {"begin_never_arrives",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x03, 6, LIBUSB_ERROR_IO, false));
     },
     0},
    {"loop_ffc_packet_fails",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x03, 8, LIBUSB_ERROR_PIPE, false));
     },
     45},
    {"end_packet_fails",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x03, 11, LIBUSB_ERROR_NO_DEVICE, false));
     },
     45},
    {"reply_read_fails",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x82, 2, LIBUSB_ERROR_OVERFLOW, true));
     },
     45},
    // Only the status counts: a packet sent short with status 0 went out, and its reply is read.
    {"short_send_counts_as_sent",
     [] {
         sim::add_camera({});
         sim::inject(on_endpoint("bulk_transfer", 0x03, 1, 0, true, 2));
     },
     45},
};

class SilentFailure : public SimRunTest, public testing::WithParamInterface<SilentFailureCase> {};

TEST_P(SilentFailure, RunGoesOnUnchanged) {
    const SilentFailureCase &c = GetParam();
    c.setup();
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out).size(), c.frames);

    std::vector<Bytes> sent;
    for (const sim::Call &call : transfers(0x03))
        sent.push_back(call.data);
    std::vector<Bytes> expected = {packet(0x6B),    packet(0x6C),    packet(0x6F),
                                   packet(0x72, 0), packet(0x72, 0), packet(0x73)};
    if (c.frames == 45)
        for (uint32_t argument : {1, 0, 1, 0})
            expected.push_back(packet(0x72, argument));
    expected.push_back(packet(0x74));
    EXPECT_EQ(sent, expected);

    std::vector<std::string> setup;
    for (const sim::Call &call : sim::calls())
        if (call.fn == "set_configuration" || call.fn == "claim_interface")
            setup.push_back(describe(call));
    EXPECT_EQ(setup, (std::vector<std::string>{"set_configuration #0 2", "set_configuration #0 1",
                                               "claim_interface #0 0"}));
}

INSTANTIATE_TEST_SUITE_P(Faults, SilentFailure, testing::ValuesIn(silent_failure_cases),
                         test_files::CaseName());

// A device that takes packets but never replies costs one 2000 ms time-out per command.
TEST_F(LifecycleTest, MissingRepliesCostTheirTimeOut) {
    camera::DeviceSpec device_spec;
    device_spec.silent_replies = true;
    sim::add_camera(device_spec);
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out).size(), 45u);

    std::vector<sim::Call> replies = transfers(0x82);
    ASSERT_EQ(replies.size(), 11u);
    for (const sim::Call &reply : replies) {
        EXPECT_EQ(reply.status, LIBUSB_ERROR_TIMEOUT);
        EXPECT_EQ(reply.end_us - reply.time_us, 2000000u);
    }
    std::vector<sim::Call> packets = transfers(0x03);
    EXPECT_EQ(packets[5].time_us - packets[0].time_us, 5 * 2000000u + 300000u); // CMD_BEGIN
    // 11 reply time-outs and the pauses: 300, 500, 4 x 150 and 100 ms.
    EXPECT_EQ(sim::now_us(), 11 * 2000000u + 1500000u);
}

// A packet that times out costs its 2000 ms, and no reply is waited for after it.
TEST_F(LifecycleTest, PacketTimeOutSkipsTheReply) {
    sim::add_camera({});
    sim::inject(on_endpoint("bulk_transfer", 0x03, 2, LIBUSB_ERROR_TIMEOUT, false));
    RunResult run = run_tool();
    EXPECT_EQ(run.status, 0);
    expect_run_invariants(run);
    std::vector<sim::Call> packets = transfers(0x03);
    ASSERT_GE(packets.size(), 3u);
    EXPECT_EQ(packets[1].end_us - packets[1].time_us, 2000000u);
    EXPECT_EQ(packets[2].time_us, packets[1].end_us);
    EXPECT_EQ(sim::now_us(), 2000000u + 1500000u);
}

struct ArgumentsCase {
    const char *name;
    std::vector<std::string> args;
    const char *out_starts_with;
};

const ArgumentsCase no_run_cases[] = {
    {"short_help", {"-h"}, "usage: usb_series"},
    {"long_help", {"--help"}, "usage: usb_series"},
    {"help_after_other", {"--frames=3", "--help"}, "usage: usb_series"},
    {"short_version", {"-V"}, "usb_series " USB_SERIES_VERSION " (libusb 1.0.99.7)\n"},
    {"long_version", {"--version"}, "usb_series " USB_SERIES_VERSION " (libusb 1.0.99.7)\n"},
};

class NoRun : public SimRunTest, public testing::WithParamInterface<ArgumentsCase> {};

// Asking for help or the version must not start a capture that replaces the last run's files.
TEST_P(NoRun, TouchesNeitherUsbNorFiles) {
    const ArgumentsCase &c = GetParam();
    sim::add_camera({});
    fs::remove_all(output_dir().parent_path());
    RunResult run = run_tool(c.args);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.out.rfind(c.out_starts_with, 0), 0u) << run.out;
    expect_run_invariants(run);
    EXPECT_TRUE(sim::calls().empty()) << describe(sim::calls()[0]);
    EXPECT_FALSE(fs::exists(output_dir().parent_path()));
}

INSTANTIATE_TEST_SUITE_P(Arguments, NoRun, testing::ValuesIn(no_run_cases), test_files::CaseName());

TEST_F(LifecycleTest, HelpSaysWhereFramesGoAndWhatExitStatusesMean) {
    RunResult run = run_tool({"--help"});
    EXPECT_NE(run.out.find(USB_SERIES_OUTPUT_DIR), std::string::npos) << run.out;
    for (const char *status : {"  0  ", "  1  ", "  2  "}) {
        EXPECT_NE(run.out.find(status), std::string::npos) << status;
    }
}

TEST_F(LifecycleTest, OtherArgumentsAreIgnored) {
    sim::add_camera({});
    RunResult run = run_tool({"--frames=3", "-x", "help"});
    EXPECT_EQ(run.status, 0);
    expect_run_invariants(run);
    EXPECT_EQ(saved_counters(run.out).size(), 45u);
}

} // namespace
