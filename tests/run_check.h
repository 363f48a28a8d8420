// Whole runs of the tool against the simulated libusb, without GoogleTest: running it with its
// output captured, reading the transcript, and the invariants every run keeps, reported as a list
// of violations so that tests and the fuzz target share them.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "file_bytes.h"
#include "sim_usb.h"

// The tool's main, renamed at compile time.
int usb_series_main(int argc, char *argv[]);

namespace run_check {

using test_files::Bytes;
namespace fs = std::filesystem;

// What the output directory held: name -> content (a symbolic link as "-> target").
using Snapshot = std::map<std::string, Bytes>;
Snapshot snapshot();

// Empties the output directory (and its parent, the tool's working folder) and makes it fit for
// the tool: present, private.
void fresh_output_dir();

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
    Snapshot before; // the output directory just before the run
};

// Runs the tool once with these arguments, capturing standard output and standard error.
RunResult run_tool(const std::vector<std::string> &args = {});

// What every run keeps, whatever the device did (see run_check.cpp); empty when all holds.
std::vector<std::string> run_violations(const RunResult &run);

// One line per call, e.g. "open #0", "out 03 72 b6 b6 6b 01 00 00 00", "nanosleep 300000us".
std::string describe(const sim::Call &call);
std::vector<std::string> describe(const std::vector<sim::Call> &calls);

std::vector<sim::Call> transfers(int endpoint); // bulk transfers on one endpoint
using test_files::lines;
// The bytes a command packet carries: opcode, B6 B6 6B, and the argument when there is one.
Bytes packet(uint8_t opcode);
Bytes packet(uint8_t opcode, uint32_t argument);

} // namespace run_check
