// Command packets: the bytes on the wire for every command word, in both lengths.
#include <array>
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "case_name.h"

#include "command.h"

namespace {

using Bytes = std::array<unsigned char, 8>;

struct PacketCase {
    const char *name;
    uint32_t word;
    uint32_t argument;
    int32_t length;
    Bytes expected; // all 8 bytes of the scratch area: beyond `length` it stays zero
};

// Wire bytes written out by hand: opcode, B6, B6, 6B, then the argument least significant first.
const PacketCase packet_cases[] = {
    {"setup1", CMD_SETUP_1, 0, 4, {0x6B, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    {"setup2", CMD_SETUP_2, 0, 4, {0x6C, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    {"setup3", CMD_SETUP_3, 0, 4, {0x6F, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    {"ffc0", CMD_FFC, 0, 8, {0x72, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    {"ffc1", CMD_FFC, 1, 8, {0x72, 0xB6, 0xB6, 0x6B, 1, 0, 0, 0}},
    {"begin", CMD_BEGIN, 0, 4, {0x73, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    {"end", CMD_END, 0, 4, {0x74, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    // The argument is stored byte by byte, least significant first.
    {"long_argument_order", CMD_FFC, 0x04030201, 8, {0x72, 0xB6, 0xB6, 0x6B, 1, 2, 3, 4}},
    {"long_form_of_short_word",
     CMD_BEGIN,
     0xA1B2C3D4,
     8,
     {0x73, 0xB6, 0xB6, 0x6B, 0xD4, 0xC3, 0xB2, 0xA1}},
    // The 4-byte form never carries its argument, whatever the caller passes.
    {"short_form_drops_argument", CMD_FFC, 1, 4, {0x72, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    {"short_form_drops_wide_argument",
     CMD_SETUP_1,
     0xFFFFFFFF,
     4,
     {0x6B, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
    {"length_7_is_short", CMD_FFC, 0x01010101, 7, {0x72, 0xB6, 0xB6, 0x6B, 0, 0, 0, 0}},
};

class PacketTest : public testing::TestWithParam<PacketCase> {};

TEST_P(PacketTest, WireBytes) {
    const PacketCase &c = GetParam();
    Bytes packet;
    packet.fill(0xCC); // the scratch area must be cleared, not merely overwritten
    make_packet(packet.data(), c.word, c.argument, c.length);
    EXPECT_EQ(packet, c.expected);
}

INSTANTIATE_TEST_SUITE_P(Commands, PacketTest, testing::ValuesIn(packet_cases),
                         test_files::CaseName());

} // namespace
