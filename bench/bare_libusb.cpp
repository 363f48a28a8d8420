// The smallest program that brings libusb up and down: the reference for the tool's peak resident
// memory, run the same way as the tool.
#include <libusb.h>

int main() {
    libusb_context *context = nullptr;
    if (libusb_init(&context) != 0)
        return 1;
    libusb_exit(context);
    return 0;
}
