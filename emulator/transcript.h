// The emulator's log: one line per call a camera saw, stamped with the time since the emulator
// started, so a run can be checked afterwards (order, bytes, pauses) or read by a person.
//
// Line format (fields separated by single spaces):
//   # free text                                   header and footer remarks
//   <ms> <device> <op> [key=value]...             an event; <ms> has three decimals
// Events from the camera model: open, close, set_configuration, claim_interface, clear_halt, out
// (submitted), in (submitted; what the camera will deliver). Events of the usbfs front end:
// capabilities, release_interface, reap (a URB handed back: status and length), discard (libusb
// gave up on a URB: after how long), vanished (the camera unplugged itself), removed (uevent sent,
// device gone from the testbed), unhandled (an ioctl the emulator does not know).
// A close is logged when umockdev reports it or, failing that, when the command exits.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "camera_model.h"

class Transcript {
  public:
    Transcript();
    ~Transcript();
    Transcript(const Transcript &) = delete;
    Transcript &operator=(const Transcript &) = delete;

    // Writes to `path` from now on. Returns an errno value on failure.
    int open(const std::string &path);
    void close();

    // Microseconds since the transcript was made (the emulator's start).
    uint64_t now_us() const;
    // "<ms>.<µs>", as every line starts: the time since the transcript began.
    static std::string ms_text(uint64_t time_us);

    void remark(const std::string &text);
    void line(uint64_t time_us, int device, const std::string &text);
    // A camera-model event; `head` holds the first bytes an IN transfer delivered (may be empty).
    void event(int device, const camera::Event &e, const uint8_t *head, size_t head_length);

  private:
    FILE *file_ = nullptr;
    int64_t start_us_;
};

// "done", "silence", "stall", "gone", "error".
const char *result_name(camera::Result result);
// Lower-case hex of `length` bytes, no separators.
std::string hex_bytes(const uint8_t *data, size_t length);
