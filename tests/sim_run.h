// Whole runs of the tool against the simulated libusb: running it, reading its transcript, and the
// invariants every run must keep.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera_model.h"
#include "frame_files.h"
#include "sim_usb.h"

// The tool's main, renamed at compile time.
int usb_series_main(int argc, char *argv[]);

namespace sim_run {

using test_files::Bytes;
namespace fs = std::filesystem;

// What the output directory held: name -> content (a symbolic link as "-> target").
using Snapshot = std::map<std::string, Bytes>;
Snapshot snapshot();

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    Snapshot before; // the output directory just before the run
};

// Runs the tool once with these arguments, capturing standard output and standard error.
RunResult run_tool(const std::vector<std::string> &args = {});

// What every run keeps, whatever the device did: see sim_run.cpp.
void expect_run_invariants(const RunResult &run);

// A camera whose frame stream follows `script` (camera::parse_stream), then `after`.
camera::DeviceSpec camera_spec(const std::string &script,
                               camera::After after = camera::After::Silence);

// One line per call, e.g. "open #0", "out 03 72 b6 b6 6b 01 00 00 00", "nanosleep 300000us".
std::string describe(const sim::Call &call);
std::vector<std::string> describe(const std::vector<sim::Call> &calls);

std::vector<sim::Call> transfers(int endpoint); // bulk transfers on one endpoint
std::vector<std::string> lines(const std::string &text);
std::vector<uint32_t> saved_counters(const std::string &out); // cnt of each "saved" line
// The bytes a command packet carries: opcode, B6 B6 6B, and the argument when there is one.
Bytes packet(uint8_t opcode);
Bytes packet(uint8_t opcode, uint32_t argument);

// Every case starts with the simulation reset, and an empty output directory fit for the tool.
class SimRunTest : public testing::Test {
  protected:
    void SetUp() override;
};

} // namespace sim_run
