#include "command.h"

#include "constants.h"

void make_packet(unsigned char packet[8], uint32_t word, uint32_t argument, int32_t length) {
    for (int i = 0; i < COMMAND_PACKET_SIZE; i++)
        packet[i] = 0;
    for (int i = 0; i < 4; i++)
        packet[i] = static_cast<unsigned char>(word >> (8 * i));
    if (length > 7)
        for (int i = 0; i < 4; i++)
            packet[4 + i] = static_cast<unsigned char>(argument >> (8 * i));
}

int sendcmd(libusb_device_handle *handle, uint32_t word, uint32_t argument, int32_t length) {
    if (length < 0 || length > COMMAND_PACKET_SIZE)
        return LIBUSB_ERROR_INVALID_PARAM; // no packet is longer than word and argument

    unsigned char packet[COMMAND_PACKET_SIZE];
    make_packet(packet, word, argument, length);

    // Only the status counts: a packet sent short but with status 0 still gets its reply read.
    int sent = 0;
    int status =
        libusb_bulk_transfer(handle, EP_COMMAND_OUT, packet, length, &sent, COMMAND_TIMEOUT_MS);
    if (status != 0)
        return status;

    unsigned char reply[REPLY_BUFFER_SIZE];
    int received = 0;
    return libusb_bulk_transfer(handle, EP_REPLY_IN, reply, REPLY_BUFFER_SIZE, &received,
                                COMMAND_TIMEOUT_MS);
}
