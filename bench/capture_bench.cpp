// Host-side cost of the capture path, on the simulated camera: what the tool spends between two
// frame reads (frame test, repeat check, frame file, console line) and what sendcmd costs apart
// from its transfers. Time spent inside the simulated libusb is the device's and is left out: the
// executable is linked with --wrap for the calls the tool makes during capture, and the wrappers
// stamp the clock on the way in and out, so each frame read gets the host time until the next one.
//
// The output directory is compiled in; this file is built twice (see CMakeLists.txt), once per
// file system. The tool's standard output goes to a regular file beside the output directory, as
// when a script captures it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <numeric>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "camera_model.h"
#include "command.h"
#include "constants.h"
#include "frame.h"
#include "platform.h"
#include "sim_usb.h"
#include "sim_wrap.h"

int usb_series_main(int argc, char *argv[]);

namespace {

using Clock = std::chrono::steady_clock;

enum class Transfers {
    Simulated, // forwarded to the simulated libusb and timed around
    Instant,   // succeed at once, nothing moved: what is left of sendcmd is its own cost
};

// What the wrappers know of the run in progress.
struct Probe {
    Transfers transfers = Transfers::Simulated;
    bool after_read = false;     // a frame read has returned and its handling is being timed
    Clock::time_point returned;  // when the tool last got control back from the library
    Clock::duration host{};      // the tool's time since the last frame read returned
    std::vector<double> gaps_ns; // per frame read: host time until the next read or loop end
};

Probe probe;

// The tool calls into the library; `ends_gap` when this call ends the handling of a frame read
// (the next frame read, or the first call after the loop).
void enter_library(bool ends_gap) {
    Clock::time_point now = Clock::now();
    if (!probe.after_read)
        return;
    probe.host += now - probe.returned;
    if (ends_gap) {
        probe.gaps_ns.push_back(std::chrono::duration<double, std::nano>(probe.host).count());
        probe.host = {};
        probe.after_read = false;
    }
}

void leave_library() {
    probe.returned = Clock::now();
}

} // namespace

extern "C" {

int __wrap_libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                unsigned char *data, int length, int *transferred,
                                unsigned int timeout) {
    if (probe.transfers == Transfers::Instant) {
        if (transferred != nullptr)
            *transferred = (endpoint & LIBUSB_ENDPOINT_IN) != 0 ? 0 : length;
        return 0;
    }
    bool frame_read = endpoint == EP_FRAME_IN;
    enter_library(frame_read);
    int status = __real_libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
    probe.after_read = probe.after_read || frame_read;
    leave_library();
    return status;
}

int __wrap_libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint) {
    enter_library(true);
    int status = __real_libusb_clear_halt(handle, endpoint);
    leave_library();
    return status;
}

int __wrap_nanosleep(const struct timespec *request, struct timespec *remaining) {
    enter_library(false);
    int status = __real_nanosleep(request, remaining);
    leave_library();
    return status;
}

} // extern "C"

namespace {

// Sends the tool's standard output to a file beside the output directory for as long as it lives.
class ConsoleToFile {
  public:
    ConsoleToFile() {
        make_directories(OUTPUT_DIR);
        std::string path = std::string(OUTPUT_DIR) + "/../console.txt";
        fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            close(fd);
        }
    }
    ~ConsoleToFile() {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
    }
    ConsoleToFile(const ConsoleToFile &) = delete;
    ConsoleToFile &operator=(const ConsoleToFile &) = delete;

  private:
    int saved_ = -1;
};

camera::DeviceSpec spec_of(const char *script) {
    camera::DeviceSpec device_spec;
    std::string error;
    if (!camera::parse_stream(script, device_spec.stream, error))
        fprintf(stderr, "bad stream script %s: %s\n", script, error.c_str());
    device_spec.after = camera::After::Frames;
    return device_spec;
}

// One whole run of the tool against a fresh simulated camera; the gaps land in probe.gaps_ns.
bool run_once(const camera::DeviceSpec &device_spec) {
    sim::reset();
    sim::add_camera(device_spec);
    probe.transfers = Transfers::Simulated;
    probe.after_read = false;
    probe.host = {};
    probe.gaps_ns.clear();
    char name[] = "usb_series";
    char *argv[] = {name, nullptr};
    return usb_series_main(1, argv) == EXIT_DONE;
}

double mean_of(const std::vector<double> &values) {
    return values.empty() ? 0.0
                          : std::accumulate(values.begin(), values.end(), 0.0) /
                                static_cast<double>(values.size());
}

double median_of(std::vector<double> values) {
    if (values.empty())
        return 0.0;
    auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// Removes the frame files, so that the next run creates them instead of replacing them.
void empty_output_directory() {
    for (int index = 0; index < MAX_FRAMES; index++) {
        char path[PATH_BUFFER_SIZE];
        frame_path(path, index);
        remove_file(path);
    }
}

// Opens a fresh simulated camera and starts its stream, for reading frames outside a run.
libusb_device_handle *open_streaming_camera(libusb_context **context) {
    sim::reset();
    sim::add_camera(camera::DeviceSpec{});
    libusb_init(context);
    libusb_device **list = nullptr;
    libusb_get_device_list(*context, &list);
    libusb_device_handle *handle = nullptr;
    libusb_open(list[0], &handle);
    libusb_free_device_list(list, 1);
    unsigned char begin[4] = {0x73, 0xB6, 0xB6, 0x6B};
    unsigned char reply[64];
    int moved = 0;
    __real_libusb_bulk_transfer(handle, EP_COMMAND_OUT, begin, 4, &moved, 100);
    __real_libusb_bulk_transfer(handle, EP_REPLY_IN, reply, sizeof(reply), &moved, 100);
    return handle;
}

std::vector<unsigned char> read_buffer(READ_BUFFER_SIZE);

// The file system's share of a kept frame: the system calls the tool makes to store one frame
// and print its line (create the temporary file, write it whole, close it, hold the file it
// replaces, rename, write the line), made directly for 45 frames with the same names, flags and
// sizes and no tool code around them. A simulated frame read comes before each frame, as in a run,
// so that the disk's completion of the last write lands where it does in a run. Returns the median
// time per frame in ns, or a negative value when a call failed.
double store_like_the_tool() {
    libusb_context *context = nullptr;
    libusb_device_handle *handle = open_streaming_camera(&context);
    std::vector<double> times;
    std::vector<int> held;
    bool stored = true;
    for (int index = 0; index < MAX_FRAMES && stored; index++) {
        char path[PATH_BUFFER_SIZE], temp[PATH_BUFFER_SIZE], line[32];
        frame_path(path, index);
        temp_path(temp, index);
        int line_length = snprintf(line, sizeof(line), "saved f%02d cnt=%d type=0\n", index, index);
        int moved = 0;
        __real_libusb_bulk_transfer(handle, EP_FRAME_IN, read_buffer.data(), READ_BUFFER_SIZE,
                                    &moved, FRAME_TIMEOUT_MS);
        Clock::time_point start = Clock::now();
        int fd = open(temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        stored = fd >= 0 && write(fd, read_buffer.data(), FRAME_FILE_SIZE) == FRAME_FILE_SIZE;
        stored = close(fd) == 0 && stored;
        int old = open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
        stored = rename(temp, path) == 0 && stored;
        stored =
            write(STDOUT_FILENO, line, static_cast<size_t>(line_length)) == line_length && stored;
        times.push_back(std::chrono::duration<double, std::nano>(Clock::now() - start).count());
        if (old >= 0)
            held.push_back(old);
    }
    for (int fd : held)
        close(fd);
    sim::reset();
    return stored ? median_of(times) : -1.0;
}

enum class Files { Replaced, New };

// Host time per kept frame. Each iteration is one run of 45 new frames; its time is the mean over
// the 41 frames saved without an FFC command before them. The four with FFC are reported apart:
// they add sendcmd, the FFC line and the pause call. The files either replace those of the run
// before (a run repeated) or are created in an empty directory (a first run). After each run the
// same files are stored once more by the bare system calls (store_like_the_tool), in the same
// state of the file system, which drifts as the benchmark frees inodes and blocks.
void BM_KeptFrame(benchmark::State &state, Files files) {
    ConsoleToFile console;
    const camera::DeviceSpec device_spec = spec_of("");
    double median_sum = 0, ffc_sum = 0, max_ns = 0, floor_sum = 0;
    for (auto _ : state) {
        if (files == Files::New)
            empty_output_directory();
        if (!run_once(device_spec) || probe.gaps_ns.size() != MAX_FRAMES) {
            state.SkipWithError("the run did not save 45 frames");
            break;
        }
        std::vector<double> plain, ffc;
        for (size_t i = 0; i < probe.gaps_ns.size(); i++)
            (i > 0 && i % FFC_INTERVAL == 0 ? ffc : plain).push_back(probe.gaps_ns[i]);
        state.SetIterationTime(mean_of(plain) * 1e-9);
        median_sum += median_of(plain);
        ffc_sum += mean_of(ffc);
        max_ns = std::max(max_ns, *std::max_element(plain.begin(), plain.end()));
        if (files == Files::New)
            empty_output_directory();
        double floor_ns = store_like_the_tool();
        if (floor_ns < 0) {
            state.SkipWithError("storing a frame file by the bare system calls failed");
            break;
        }
        floor_sum += floor_ns;
    }
    double runs = static_cast<double>(state.iterations());
    state.counters["median_us"] = median_sum / runs / 1000.0;
    state.counters["ffc_frame_us"] = ffc_sum / runs / 1000.0;
    state.counters["max_us"] = max_ns / 1000.0;
    state.counters["floor_median_us"] = floor_sum / runs / 1000.0;
}

// Host time per rejected read. Each iteration is one run of 500 reads of which only the first is
// kept; its time is the mean over the 499 rejected reads.
void BM_RejectedRead(benchmark::State &state, const char *script) {
    ConsoleToFile console;
    const camera::DeviceSpec device_spec = spec_of(script);
    for (auto _ : state) {
        if (!run_once(device_spec) || probe.gaps_ns.size() != MAX_READS) {
            state.SkipWithError("the run did not make 500 reads");
            break;
        }
        std::vector<double> rejected(probe.gaps_ns.begin() + 1, probe.gaps_ns.end());
        state.SetIterationTime(mean_of(rejected) * 1e-9);
    }
}

// What the probe itself adds to every gap: leaving and entering the library with nothing between.
void BM_ProbeFloor(benchmark::State &state) {
    for (auto _ : state) {
        probe.gaps_ns.clear();
        for (int i = 0; i < 1000; i++) {
            leave_library();
            probe.after_read = true;
            enter_library(true);
        }
        state.SetIterationTime(mean_of(probe.gaps_ns) * 1e-9);
    }
}

// sendcmd with transfers that cost nothing: packet assembly, the two calls and their checks.
void BM_Sendcmd(benchmark::State &state, uint32_t word, int32_t length) {
    int token = 0; // the wrappers never look behind the handle
    auto *handle = reinterpret_cast<libusb_device_handle *>(&token);
    probe.transfers = Transfers::Instant;
    for (auto _ : state)
        benchmark::DoNotOptimize(sendcmd(handle, word, 1, length));
    probe.transfers = Transfers::Simulated;
}

// The simulated library's own cost, for comparison with the figures above: one frame read (the
// camera model fills 38,456 bytes, the call is recorded), the model alone, the frame fill alone,
// and a call that moves nothing (recording only).
void BM_SimFrameRead(benchmark::State &state) {
    libusb_context *context = nullptr;
    libusb_device_handle *handle = open_streaming_camera(&context);
    for (auto _ : state) {
        int moved = 0;
        benchmark::DoNotOptimize(__real_libusb_bulk_transfer(
            handle, EP_FRAME_IN, read_buffer.data(), READ_BUFFER_SIZE, &moved, 1000));
    }
    sim::reset();
}

void BM_SimClearHalt(benchmark::State &state) {
    libusb_context *context = nullptr;
    libusb_device_handle *handle = open_streaming_camera(&context);
    for (auto _ : state)
        benchmark::DoNotOptimize(__real_libusb_clear_halt(handle, EP_COMMAND_OUT));
    sim::reset();
}

void BM_CameraModelFrameRead(benchmark::State &state) {
    camera::Camera cam{camera::DeviceSpec{}};
    unsigned char begin[4] = {0x73, 0xB6, 0xB6, 0x6B};
    cam.out(0, camera::EP_COMMAND, begin, sizeof(begin));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            cam.in(0, camera::EP_FRAME, read_buffer.data(), READ_BUFFER_SIZE).length);
}

void BM_FillFrame(benchmark::State &state) {
    uint32_t cnt = 0;
    for (auto _ : state) {
        camera::fill_frame(cnt++, read_buffer.data(), camera::FRAME_SIZE);
        benchmark::ClobberMemory();
    }
}

// Whole runs take milliseconds of real time each (the sim's frame fills), while their manual
// times are microseconds: a fixed iteration count keeps a repetition short.
BENCHMARK_CAPTURE(BM_KeptFrame, replacing, Files::Replaced)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_KeptFrame, new_files, Files::New)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_RejectedRead, repeat, "f,r*499")
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_RejectedRead, not_a_frame, "f,x*499")
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kNanosecond);
BENCHMARK(BM_ProbeFloor)->UseManualTime()->Iterations(200)->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_Sendcmd, ffc_8_bytes, CMD_FFC, CMD_LONG)->Unit(benchmark::kNanosecond);
BENCHMARK_CAPTURE(BM_Sendcmd, begin_4_bytes, CMD_BEGIN, CMD_SHORT)->Unit(benchmark::kNanosecond);
// The call log grows with every call until the next reset: a bounded count keeps memory flat.
BENCHMARK(BM_SimFrameRead)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SimClearHalt)->Iterations(20000)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_CameraModelFrameRead)->Iterations(2000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FillFrame)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
