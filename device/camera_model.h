// The camera (USB vendor 0x833C) as the tool's tests see it: one model of the device's behaviour
// that two front ends drive. The simulated libusb (sim/) calls it in-process under a simulated
// clock; the emulator (emulator/) calls it from umockdev's ioctl handler while the real libusb
// talks to it.
//
// The model knows the device's side of the wire only: command packets in on 0x03, one reply per
// accepted packet on 0x82, frames on 0x81 once CMD_BEGIN has arrived. It deliberately does not
// include the tool's headers, so a wrong constant in the tool shows up as a failing test instead of
// agreeing with itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace camera {

constexpr uint16_t VENDOR_ID = 0x833C;
constexpr uint8_t EP_COMMAND = 0x03;
constexpr uint8_t EP_REPLY = 0x82;
constexpr uint8_t EP_FRAME = 0x81;
constexpr uint32_t MAGIC = 0x1BB1B11B;
constexpr uint32_t FRAME_SIZE = 38456; // what a real frame read delivers
constexpr uint32_t REPLY_SIZE = 16;    // a reply the device sends after each command packet
constexpr uint8_t OPCODE_BEGIN = 0x73;
constexpr uint8_t OPCODE_END = 0x74;

// What the device does with one read of the frame endpoint.
enum class Step : uint8_t {
    Frame,   // a frame with the next counter (or `cnt` when `has_cnt`), `length` bytes delivered
    Repeat,  // the previous frame again, same counter and bytes, `length` bytes delivered
    Junk,    // `length` bytes that do not start with the magic
    Stall,   // the endpoint halts: LIBUSB_ERROR_PIPE
    Silence, // nothing until the host gives up; `length` bytes arrive before the time-out
    Gone,    // the device vanishes: this and every later call fails with LIBUSB_ERROR_NO_DEVICE
    Error,   // the transfer fails with the libusb error `error` (IO, OVERFLOW, ...)
    Raw,     // `length` bytes: `data`, then raw_fill() beyond it; nothing else is implied
};

struct StreamStep {
    Step kind = Step::Frame;
    uint32_t length = FRAME_SIZE;
    bool has_cnt = false;
    uint32_t cnt = 0;
    int error = 0;
    std::vector<uint8_t> data; // Raw
};

// What the stream does once the script has run out.
enum class After : uint8_t { Frames, Silence };

struct DeviceSpec {
    uint16_t vendor = VENDOR_ID;
    uint16_t product = 0x0001;
    uint8_t bus = 1;
    uint8_t address = 2;
    int open_error = 0;          // libusb error that libusb_open returns; 0 opens
    int config2_error = 0;       // libusb error for SET_CONFIGURATION 2; 0 accepts
    bool silent_replies = false; // accepts command packets but never replies on 0x82
    // Command packets (0 = the first the device accepts) whose reply never comes; the others are
    // answered as usual. One lost reply costs a run a single reply time-out instead of one per
    // command.
    std::vector<uint32_t> dropped_replies;
    std::vector<StreamStep> stream; // played in order, one step per frame read, after CMD_BEGIN
    After after = After::Frames;
};

// Parses a stream script: comma-separated steps, each optionally followed by "*N" (repeat N times).
//   f        frame, next counter, full length      f:LEN    frame of LEN bytes
//   c=V      frame with counter V (decimal or 0x)   r[:LEN]  repeat of the previous frame
//   x[:LEN]  junk (no magic)                        stall    endpoint halt
//   quiet    silence until time-out                 part:LEN time-out after LEN bytes
//   gone     device vanishes                        err:NAME libusb error (IO, OVERFLOW, PIPE, ...)
// Returns false and sets `error` on a malformed script.
bool parse_stream(const std::string &script, std::vector<StreamStep> &out, std::string &error);

// The bytes of frame `cnt`: magic, cnt, a sequence word, type (cnt % 4) at offset 12, and a payload
// derived from cnt, so every frame is unique and a file can be checked byte by byte.
void fill_frame(uint32_t cnt, uint8_t *out, size_t length);
uint8_t frame_type(uint32_t cnt);
// Byte `i` of a Raw step beyond its given data: never all zeros, so a stale tail shows.
inline uint8_t raw_fill(size_t i) {
    return static_cast<uint8_t>(0x5B + i * 31);
}

// How a transfer ended, from the device's side.
enum class Result : uint8_t {
    Done,    // completed; `length` bytes moved
    Silence, // the device never answered; `length` bytes arrived before the host gave up
    Stall,   // LIBUSB_ERROR_PIPE
    Gone,    // LIBUSB_ERROR_NO_DEVICE
    Error,   // `error` holds the libusb error
};

struct Transfer {
    Result result = Result::Done;
    size_t length = 0;
    int error = 0;
};

// One record of the transcript that every call leaves.
struct Event {
    uint64_t time_us = 0; // front end's clock at the call
    std::string op; // "open", "set_configuration", "claim_interface", "clear_halt", "out", "in"
    uint8_t endpoint = 0;
    int value = 0;                // configuration, interface or requested length
    std::vector<uint8_t> data;    // OUT: the packet bytes
    Result result = Result::Done; // how it ended
    size_t length = 0;            // bytes moved
    uint32_t cnt = 0;             // IN on 0x81 with a frame: its counter
};

class Camera {
  public:
    explicit Camera(DeviceSpec device_spec);

    const DeviceSpec &device_spec() const { return spec_; }
    bool gone() const { return gone_; }
    bool streaming() const { return streaming_; }
    const std::vector<Event> &log() const { return log_; }

    // Control requests: 0 or a negative libusb error code.
    int open(uint64_t now_us);
    void close(uint64_t now_us);
    int set_configuration(uint64_t now_us, int value);
    int claim_interface(uint64_t now_us, int number);
    int clear_halt(uint64_t now_us, uint8_t endpoint);

    // Bulk transfers. `in` writes at most `max_length` bytes into `buffer`.
    Transfer out(uint64_t now_us, uint8_t endpoint, const uint8_t *data, size_t length);
    Transfer in(uint64_t now_us, uint8_t endpoint, uint8_t *buffer, size_t max_length);

    // Makes the device vanish now (unplugged), whatever the script says.
    void unplug() { gone_ = true; }

  private:
    // Logs a control request with its outcome and hands the status back.
    int record(Event e, int status);

    DeviceSpec spec_;
    std::vector<Event> log_;
    bool gone_ = false;
    bool streaming_ = false;
    int pending_replies_ = 0;
    uint32_t packets_ = 0; // command packets accepted so far
    size_t step_ = 0;
    uint32_t next_cnt_ = 0;
    uint32_t last_cnt_ = 0;
};

} // namespace camera
