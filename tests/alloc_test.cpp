// What a run holds: the capture loop allocates nothing, and the files a run replaces are let go
// by its end.
//
// Allocations: every heap allocation made from the first frame read until
// the loop hands the device back (its first call after the loop, clear_halt) is counted, and those
// made outside the simulated libusb must number zero. The simulated library records every call and
// allocates for it; those allocations are counted apart, which also shows that counting works.
//
// The executable replaces malloc and its family (forwarding to glibc's own), so allocations made
// inside the C library on the tool's behalf (stdio, formatting) count as the tool's. It is linked
// with --wrap for the three libusb-side calls that mark the window and bracket the simulation.
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "case_name.h"
#include "sim_run.h"
#include "sim_wrap.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ALLOC_COUNTING 0 // the sanitizers own malloc
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define ALLOC_COUNTING 0
#endif
#endif
#ifndef ALLOC_COUNTING
#define ALLOC_COUNTING 1
#endif

namespace {

struct Window {
    bool open = false;   // the first frame read has begun
    bool closed = false; // the loop has ended
    int in_library = 0;  // depth of calls into the simulated libusb
    long tool = 0;       // allocations outside the library while the window was open
    long library = 0;    // and inside it
};

Window window;

[[maybe_unused]] void note_allocation() { // unused when the sanitizers own malloc
    if (!window.open || window.closed)
        return;
    if (window.in_library > 0)
        window.library++;
    else
        window.tool++;
}

} // namespace

extern "C" {

int __wrap_libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                unsigned char *data, int length, int *transferred,
                                unsigned int timeout) {
    if (endpoint == 0x81)
        window.open = true;
    window.in_library++;
    int status = __real_libusb_bulk_transfer(handle, endpoint, data, length, transferred, timeout);
    window.in_library--;
    return status;
}

int __wrap_libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint) {
    if (window.open)
        window.closed = true;
    return __real_libusb_clear_halt(handle, endpoint);
}

int __wrap_nanosleep(const struct timespec *request, struct timespec *remaining) {
    window.in_library++;
    int status = __real_nanosleep(request, remaining);
    window.in_library--;
    return status;
}

#if ALLOC_COUNTING
// glibc's allocator under its internal names: replacing malloc, calloc, realloc and free (and the
// aligned forms) is what glibc supports; everything ends up in the same allocator.
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
void __libc_free(void *);

void *malloc(size_t size) {
    note_allocation();
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size) {
    note_allocation();
    return __libc_calloc(count, size);
}
void *realloc(void *old, size_t size) {
    note_allocation();
    return __libc_realloc(old, size);
}
void *memalign(size_t alignment, size_t size) {
    note_allocation();
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size) {
    note_allocation();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **out, size_t alignment, size_t size) {
    note_allocation();
    void *p = __libc_memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}
void free(void *p) {
    __libc_free(p);
}
#endif

} // extern "C"

namespace {

using namespace sim_run;

struct AllocCase {
    const char *name;
    const char *script; // camera::parse_stream; new frames follow
    int saved;
};

// Every path through the loop: kept frames with and without FFC, repeats, reads that are not
// frames (short, no magic), failed and timed-out reads, and a run ended by the read limit.
const AllocCase alloc_cases[] = {
    {"forty_five_new_frames", "", 45},
    {"every_kind_of_read", "f*3,r*2,x:100,f:27,stall,quiet,part:100,err:IO,f*10,r,c=7", 45},
    {"read_limit", "f*12,r*488", 12},
};

class AllocTest : public SimRunTest, public testing::WithParamInterface<AllocCase> {};

TEST_P(AllocTest, CaptureAllocatesNothing) {
#if !ALLOC_COUNTING
    GTEST_SKIP() << "allocations cannot be counted under a sanitizer";
#endif
    const AllocCase &c = GetParam();
    // A first run sets up what the C library does once per process (the buffer of standard
    // output at its first line); the loop's own allocations would show in every run.
    sim::add_camera(camera_spec(c.script, camera::After::Frames));
    ASSERT_EQ(run_tool().status, 0);

    sim::reset();
    sim::add_camera(camera_spec(c.script, camera::After::Frames));
    window = Window{};
    RunResult run = run_tool();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(static_cast<int>(saved_counters(run.out).size()), c.saved);
    ASSERT_TRUE(window.open && window.closed) << "the capture window was not seen whole";
    EXPECT_GT(window.library, 0) << "allocations are not being counted";
    EXPECT_EQ(window.tool, 0) << "heap allocations during capture";
}

INSTANTIATE_TEST_SUITE_P(Runs, AllocTest, testing::ValuesIn(alloc_cases), test_files::CaseName());

} // namespace

namespace {

int open_descriptors() {
    int n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        n++;
    }
    return n;
}

// The frame files a run replaces stay referenced until the run is over, then are let go: a run
// over a full directory ends with as many open descriptors as it began with.
TEST_F(SimRunTest, ReplacedFilesAreReleasedByTheEnd) {
    sim::add_camera(camera_spec("", camera::After::Frames));
    ASSERT_EQ(run_tool().status, 0);
    sim::reset();
    sim::add_camera(camera_spec("", camera::After::Frames));
    int before = open_descriptors();
    RunResult run = run_tool();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(saved_counters(run.out).size(), 45u);
    EXPECT_EQ(open_descriptors(), before);
}

} // namespace
