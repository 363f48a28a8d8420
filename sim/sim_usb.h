// A simulated libusb-1.0 for whole-run tests of the tool, linked in place of the real library.
//
// It defines every libusb_* function the tool calls, routes them to camera::Camera instances (and
// to plain devices of other vendors), and keeps a simulated clock in microseconds: a transfer that
// the device leaves unanswered costs exactly its time-out, and nanosleep() (interposed by this
// library) advances the clock at once instead of sleeping. Every call is recorded with the clock
// at its start and end, so tests can check what was sent, in which order and when.
//
// Faults the device model does not produce itself are injected per call: "the 7th bulk_transfer
// returns LIBUSB_ERROR_IO with 12 bytes transferred". Actions run before a given call, so a test
// can change the world mid-run (unplug, a file size limit) at an exact point.
//
// The state is global, as a C library's is: call reset() before each run. Single-threaded.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <libusb.h>

#include "camera_model.h"

namespace sim {

// A listed device that is not the camera. It refuses to open, as a device of another user would.
struct OtherDevice {
    uint16_t vendor = 0x046D;
    uint16_t product = 0xC31C;
    uint8_t bus = 1;
    uint8_t address = 9;
};

// One call made into the simulated library.
struct Call {
    uint64_t time_us = 0;    // simulated clock when the call was made
    uint64_t end_us = 0;     // and when it returned
    std::string fn;          // libusb function without its prefix ("bulk_transfer"), or "nanosleep"
    int device = -1;         // index of the addressed device, in the order added; -1 for none
    int endpoint = -1;       // bulk_transfer, clear_halt
    int64_t value = 0;       // configuration, interface, requested length, requested pause (µs)
    unsigned timeout_ms = 0; // bulk_transfer
    // bulk_transfer OUT: the bytes handed over; IN that delivered a frame (has_cnt): the bytes
    // delivered, up to the 38,456 a frame file holds.
    std::vector<uint8_t> data;
    int64_t status = 0;   // return value (the count for get_device_list; -1 for nanosleep)
    int transferred = 0;  // bulk_transfer: bytes reported to the caller
    bool has_cnt = false; // a frame read that delivered a frame: its counter
    uint32_t cnt = 0;
    bool injected = false; // the status came from an injected fault
    // Bytes on standard output when the call was made, when that is a regular file (a test
    // capturing it); -1 otherwise. Shows whether a line was flushed before the tool went on.
    int64_t stdout_bytes = -1;
};

// A fault planted in the nth call of one libusb function.
struct Fault {
    std::string fn;              // "init", "get_device_list", "get_device_descriptor", "open",
                                 // "set_configuration", "claim_interface", "bulk_transfer",
                                 // "clear_halt"
    int nth = 1;                 // 1-based, counting only the calls that match fn and endpoint
    int endpoint = -1;           // bulk_transfer, clear_halt: count calls on this endpoint only
    int error = LIBUSB_ERROR_IO; // what the call returns; for get_device_list a count of 0 or
                                 // more lists only that many of the devices; 0 for init and
                                 // open is no fault
    int transferred = 0;         // bulk_transfer: bytes reported as moved
    bool reaches_device = false; // the device sees the call and its result is then replaced (a
                                 // packet that went out, a reply taken off the endpoint)
};

// Clears everything: no devices, clock at 0, no calls, faults, actions or misuse.
void reset();

// Devices are listed in the order added; the returned reference stays valid until reset().
camera::Camera &add_camera(camera::DeviceSpec device_spec);
void add_other(OtherDevice device);

void inject(Fault fault);
// Runs `action` right before the nth call of `fn` (counted as for faults) is handled.
void on_call(const std::string &fn, int nth, std::function<void()> action, int endpoint = -1);
// The nth nanosleep() returns -1 with errno EINTR after `after_us`, the time left in *rem.
void interrupt_sleep(int nth, uint64_t after_us);
// What libusb_get_version() reports.
const libusb_version &version();

uint64_t now_us();
const std::vector<Call> &calls();
std::vector<Call> calls_of(const std::string &fn);
// Ways the caller broke libusb's rules (a handle used after close, a list freed twice, ...).
const std::vector<std::string> &misuse();

// What is still held at the moment: contexts not exited, lists not freed, handles not closed.
int live_contexts();
int live_lists();
int live_handles();

// The device behind index `device` (as in Call::device), or nullptr when it is not a camera.
camera::Camera *camera_at(int device);

} // namespace sim
