// The command channel: one packet out on EP_COMMAND_OUT, one reply read on EP_REPLY_IN.
#pragma once

#include <cstdint>

#include <libusb.h>

// Command words: the opcode in the low byte, B6 B6 6B above it.
constexpr uint32_t CMD_SETUP_1 = 0x6BB6B66B;
constexpr uint32_t CMD_SETUP_2 = 0x6BB6B66C;
constexpr uint32_t CMD_SETUP_3 = 0x6BB6B66F;
constexpr uint32_t CMD_FFC = 0x6BB6B672; // the only 8-byte command: argument 0 or 1
constexpr uint32_t CMD_BEGIN = 0x6BB6B673;
constexpr uint32_t CMD_END = 0x6BB6B674;

constexpr int32_t CMD_SHORT = 4; // word alone
constexpr int32_t CMD_LONG = 8;  // word and argument

// Fills `packet` with the wire bytes of a command: the word, then the argument when `length` is
// above 7, each least significant byte first. Bytes beyond `length` are zero.
void make_packet(unsigned char packet[8], uint32_t word, uint32_t argument, int32_t length);

// Sends the first `length` bytes of the packet and, when that transfer succeeded, reads the reply.
// Returns 0, or the libusb status of the transfer that failed.
int sendcmd(libusb_device_handle *handle, uint32_t word, uint32_t argument, int32_t length);
