// usb_series: captures a short series of frames from the camera (USB vendor 0x833C) and stores each
// frame as a raw file. Entry, device lifecycle and the capture loop.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <libusb.h>

#include "command.h"
#include "constants.h"
#include "frame.h"
#include "platform.h"

static void print_usage() {
    printf("usage: usb_series [-h | --help] [-V | --version]\n"
           "\n"
           "Captures up to %d frames from the USB camera with vendor id %04x and stores each\n"
           "as a raw %d-byte file f00.bin, f01.bin, ... in\n"
           "  %s\n"
           "(fixed when the tool is built). Files of an earlier run with the same names are "
           "replaced.\n"
           "\n"
           "Exit status:\n"
           "  0  the device was opened and the capture ran\n"
           "  1  no device was opened (\"no device\")\n"
           "  2  the output directory could not be used, or a frame could not be saved\n",
           MAX_FRAMES, DEVICE_VENDOR_ID, FRAME_FILE_SIZE, OUTPUT_DIR);
}

static void print_version() {
    const libusb_version *v = libusb_get_version();
    printf("usb_series %s (libusb %u.%u.%u.%u)\n", USB_SERIES_VERSION, v->major, v->minor, v->micro,
           v->nano);
}

static void print_usb_error(const char *what, int status) {
    fprintf(stderr, "%s: %s (%s)\n", what, libusb_strerror(status), libusb_error_name(status));
}

static void print_open_hint() {
#ifdef _WIN32
    fprintf(stderr, "hint: bind the WinUSB driver to the device (for example with Zadig), then "
                    "run usb_series again\n");
#else
    fprintf(stderr, "hint: install udev/60-usb-series.rules into /etc/udev/rules.d, run "
                    "'udevadm control --reload', then replug the device\n");
#endif
}

// Opens the first listed device with our vendor id that lets itself be opened. A matching device
// that refuses is reported on standard error, and the walk goes on. The permission hint follows
// unless every refusal came from a device that had gone: unplugged, it has nothing to fix.
static libusb_device_handle *open_device(libusb_context *context) {
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(context, &list);
    if (count < 0) {
        print_usb_error("cannot list USB devices", static_cast<int>(count));
        return nullptr;
    }

    libusb_device_handle *handle = nullptr;
    bool needs_hint = false;
    for (ssize_t i = 0; i < count && handle == nullptr; i++) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(list[i], &descriptor) != 0)
            continue;
        if (descriptor.idVendor != DEVICE_VENDOR_ID)
            continue;
        int status = libusb_open(list[i], &handle);
        if (status != 0) {
            handle = nullptr;
            char what[96];
            snprintf(what, sizeof(what), "cannot open USB device %04x:%04x (bus %u, address %u)",
                     descriptor.idVendor, descriptor.idProduct, libusb_get_bus_number(list[i]),
                     libusb_get_device_address(list[i]));
            print_usb_error(what, status);
            // The hint mends permissions (ACCESS) or a missing driver (NOT_SUPPORTED on
            // Windows); a device that went away or failed otherwise needs no set-up.
            needs_hint =
                needs_hint || status == LIBUSB_ERROR_ACCESS || status == LIBUSB_ERROR_NOT_SUPPORTED;
        }
    }
    libusb_free_device_list(list, 1);
    if (needs_hint)
        print_open_hint();
    return handle;
}

static void start_device(libusb_device_handle *handle) {
    // Statuses ignored: the device is known to reject configuration 2 at times and still work.
    libusb_set_configuration(handle, DEVICE_CONFIGURATION_FIRST);
    libusb_set_configuration(handle, DEVICE_CONFIGURATION);
    libusb_claim_interface(handle, DEVICE_INTERFACE);

    sendcmd(handle, CMD_SETUP_1, 0, CMD_SHORT);
    sendcmd(handle, CMD_SETUP_2, 0, CMD_SHORT);
    sendcmd(handle, CMD_SETUP_3, 0, CMD_SHORT);
    sendcmd(handle, CMD_FFC, 0, CMD_LONG);
    sendcmd(handle, CMD_FFC, 0, CMD_LONG);
    pause_ms(STARTUP_PAUSE_MS);
    sendcmd(handle, CMD_BEGIN, 0, CMD_SHORT);
    pause_ms(BEGIN_PAUSE_MS);
}

static void stop_device(libusb_device_handle *handle) {
    libusb_clear_halt(handle, EP_COMMAND_OUT);
    libusb_clear_halt(handle, EP_REPLY_IN);
    pause_ms(SHUTDOWN_PAUSE_MS);
    sendcmd(handle, CMD_END, 0, CMD_SHORT);
}

// Reads the frame stream until MAX_FRAMES frames are saved or MAX_READS reads are made, whichever
// comes first. Returns EXIT_DONE, or EXIT_NOT_SAVED when a frame could not be stored (the loop ends
// there: every later file would fail the same way, and a gap in the series would mislead).
static int capture(libusb_device_handle *handle, unsigned char buffer[], ReplacedFiles *replaced) {
    int frame_index = 0;
    uint32_t last_cnt = 0xFFFFFFFF;
    for (int reads = 0; reads < MAX_READS && frame_index < MAX_FRAMES; reads++) {
        int received = 0;
        int status = libusb_bulk_transfer(handle, EP_FRAME_IN, buffer, READ_BUFFER_SIZE, &received,
                                          FRAME_TIMEOUT_MS);
        uint32_t cnt = 0;
        uint8_t type = 0;
        if (status != 0 || !frame_test(buffer, received, &cnt, &type))
            continue;
        if (cnt == last_cnt)
            continue; // the device sent the same frame again
        last_cnt = cnt;

        if (frame_index > 0 && frame_index % FFC_INTERVAL == 0) {
            uint32_t argument = static_cast<uint32_t>(frame_index / FFC_INTERVAL % 2);
            sendcmd(handle, CMD_FFC, argument, CMD_LONG);
            printf("  FFC(%u) at frame %d\n", argument, frame_index);
            fflush(stdout);
            pause_ms(FFC_PAUSE_MS);
        }

        if (save_frame(frame_index, buffer, received, replaced) != 0)
            return EXIT_NOT_SAVED;
        printf("saved f%02d cnt=%u type=%u\n", frame_index, cnt, type);
        fflush(stdout);
        frame_index++;
    }
    return EXIT_DONE;
}

static int run() {
    libusb_context *context = nullptr;
    int status = libusb_init(&context);
    if (status != 0) {
        print_usb_error("cannot initialise libusb", status);
        printf("no device\n");
        return EXIT_NO_DEVICE;
    }

    libusb_device_handle *handle = open_device(context);
    if (handle == nullptr) {
        printf("no device\n");
        libusb_exit(context);
        return EXIT_NO_DEVICE;
    }

    // Ready the directory before the device is touched, so a run that cannot store anything
    // sends the device no command at all.
    if (prepare_output_directory() != 0) {
        libusb_close(handle);
        libusb_exit(context);
        return EXIT_NOT_SAVED;
    }

    start_device(handle);
    static_assert(READ_BUFFER_SIZE >= FRAME_FILE_SIZE, "a frame file is cut from one read");
    unsigned char buffer[READ_BUFFER_SIZE] = {};
    ReplacedFiles replaced = {};
    int result = capture(handle, buffer, &replaced);
    stop_device(handle);

    libusb_close(handle);
    libusb_exit(context);
    // The previous run's files are freed only now, when the device no longer waits on us.
    release_replaced(&replaced);
    return result;
}

int main(int argc, char *argv[]) {
    // Every other argument is ignored, but a request for help must never start a capture that
    // replaces the files of the previous run.
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-h") == 0 || strcmp(argv[i], "--help") == 0) {
            print_usage();
            return EXIT_DONE;
        }
        if (strcmp(argv[i], "-V") == 0 || strcmp(argv[i], "--version") == 0) {
            print_version();
            return EXIT_DONE;
        }
    }
    platform_init();
    return run();
}
