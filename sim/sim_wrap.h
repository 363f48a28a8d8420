// For executables that watch the tool's calls into the simulated libusb: linked with
// -Wl,--wrap=libusb_bulk_transfer -Wl,--wrap=libusb_clear_halt -Wl,--wrap=nanosleep, the tool's
// calls go to __wrap_* functions that the executable defines, and these reach the simulation
// through the __real_* names declared here.
#pragma once

#include <ctime>

#include <libusb.h>

extern "C" {
int __real_libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                unsigned char *data, int length, int *transferred,
                                unsigned int timeout);
int __real_libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint);
int __real_nanosleep(const struct timespec *request, struct timespec *remaining);
}
