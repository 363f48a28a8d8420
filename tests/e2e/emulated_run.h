// Runs the real tool, on the real libusb, against the emulated camera, and reads back what each
// camera saw from the emulator's transcript.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// One event line of the transcript: "<ms> <device> <op> key=value...".
struct Event {
    double ms = 0;
    int device = 0;
    std::string op;
    std::map<std::string, std::string> fields;

    std::string field(const std::string &key) const;
    long number(const std::string &key) const; // decimal or 0x...; -1 when missing
};

struct Camera {
    int bus = 0;
    int address = 0;
};

struct EmulatedRun {
    int status = -1;      // the tool's exit status, as the emulator passed it on
    std::string out, err; // the tool's standard output and standard error
    std::vector<Event> events;
    std::map<int, Camera> cameras; // by device number, from the transcript's header

    // The events of one camera, in order.
    std::vector<Event> of(int device) const;
    // What the camera model was asked, one short string per call: "open", "set_configuration 2",
    // "claim_interface 0", "clear_halt 0x03", "out <packet hex>", "in 0x82".
    std::vector<std::string> calls(int device) const;
};

// Runs the end-to-end copy of the tool under the emulator with `options`. Its output, error and
// the transcript stay in the test's work directory, named after the running test.
EmulatedRun run_emulated(const std::vector<std::string> &options);

std::string read_text(const std::string &path);
