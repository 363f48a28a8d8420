// Every fixed value of the tool: endpoints, sizes, limits, time-outs and the output directory.
#pragma once

#include <cstdint>

#ifndef USB_SERIES_OUTPUT_DIR
#error "USB_SERIES_OUTPUT_DIR must be defined by the build"
#endif
#ifndef USB_SERIES_VERSION
#define USB_SERIES_VERSION "0.0.0"
#endif

constexpr uint16_t DEVICE_VENDOR_ID = 0x833C;
constexpr int DEVICE_CONFIGURATION_FIRST = 2; // the device wants 2 set before 1
constexpr int DEVICE_CONFIGURATION = 1;
constexpr int DEVICE_INTERFACE = 0;

constexpr unsigned char EP_COMMAND_OUT = 0x03; // bulk OUT: command packets
constexpr unsigned char EP_REPLY_IN = 0x82;    // bulk IN: one reply per accepted packet
constexpr unsigned char EP_FRAME_IN = 0x81;    // bulk IN: the frame stream

constexpr int COMMAND_PACKET_SIZE = 8; // word and argument; the 4-byte form sends the word only
constexpr int REPLY_BUFFER_SIZE = 4096;
constexpr unsigned int COMMAND_TIMEOUT_MS = 2000; // packet and reply alike

constexpr uint32_t FRAME_MAGIC = 0x1BB1B11B;
constexpr int FRAME_MIN_READ = 28;      // a shorter read is never a frame
constexpr int FRAME_FILE_SIZE = 38456;  // every frame file has exactly this size
constexpr int READ_BUFFER_SIZE = 70000; // one frame read asks for this much
constexpr unsigned int FRAME_TIMEOUT_MS = 1000;

constexpr int MAX_READS = 500;
constexpr int MAX_FRAMES = 45;
constexpr int FFC_INTERVAL = 10;

constexpr unsigned int STARTUP_PAUSE_MS = 300;  // after the second FFC of the start-up
constexpr unsigned int BEGIN_PAUSE_MS = 500;    // after CMD_BEGIN, before the first read
constexpr unsigned int FFC_PAUSE_MS = 150;      // after each FFC in the capture loop
constexpr unsigned int SHUTDOWN_PAUSE_MS = 100; // between clearing the halts and CMD_END

constexpr char OUTPUT_DIR[] = USB_SERIES_OUTPUT_DIR;
constexpr int PATH_BUFFER_SIZE = 128; // frame paths, temporary names included, stay below this
constexpr char FRAME_NAME_FORMAT[] = "f%02d.bin";
constexpr char TEMP_NAME_FORMAT[] =
    "f%02d.tmp"; // as long as the frame name, so one limit covers both

// The longest frame path is ".../f44.bin" (its temporary twin ".../f44.tmp" is as long): it must
// fit, or formatting would cut it and the tool would write somewhere else.
static_assert(sizeof(OUTPUT_DIR) - 1 + sizeof("/f44.bin") - 1 <= PATH_BUFFER_SIZE - 1,
              "output directory too long: frame paths must fit in 127 characters");
static_assert(MAX_FRAMES <= 100, "frame names have two digits");

// Exit statuses.
constexpr int EXIT_DONE = 0;      // the device opened and the run went through
constexpr int EXIT_NO_DEVICE = 1; // nothing opened
constexpr int EXIT_NOT_SAVED = 2; // output directory unusable, or a frame could not be saved
