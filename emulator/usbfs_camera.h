// One emulated camera: a USB device in a umockdev testbed whose usbfs node answers the ioctls that
// libusb issues (open, configure, claim, bulk transfers, clear halt) from the camera model.
//
// The ioctl handler runs on umockdev's worker thread; every camera of a run shares one mutex with
// the main thread (the transcript and the cameras' state sit behind it).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <umockdev.h>

#include "camera_model.h"
#include "transcript.h"

// What the cameras of a run share.
struct Shared {
    std::mutex mutex;
    Transcript transcript;
};

class UsbfsCamera {
  public:
    // `number` names the camera in the transcript (1 = the first libusb lists); `port` is its port
    // on the root hub (sysfs name "<bus>-<port>"); bus and address come from `device_spec`.
    UsbfsCamera(int number, int port, camera::DeviceSpec device_spec, Shared &shared);
    ~UsbfsCamera();
    UsbfsCamera(const UsbfsCamera &) = delete;
    UsbfsCamera &operator=(const UsbfsCamera &) = delete;

    // Adds the device to the testbed and attaches the ioctl handler. With `fifo` the node becomes
    // a FIFO that is kept full while nothing can be reaped, so that libusb's poll() sleeps instead
    // of spinning on REAPURBNDELAY. A refused open (device_spec.open_error ACCESS or NO_DEVICE) is
    // made by the node's mode or its absence. Returns false and sets `error` on failure.
    bool attach(UMockdevTestbed *testbed, bool fifo, std::string &error);

    // Called (on the worker thread, mutex held) when the camera has just vanished; the owner
    // removes the device from the testbed on its own thread.
    std::function<void(UsbfsCamera &)> on_vanished;
    // Sends the remove uevent and removes the device; main thread, mutex not held.
    void remove(UMockdevTestbed *testbed);
    // The command has exited, closing whatever it had open. umockdev (0.17) does not report a
    // client's close while the testbed lives, so the close is logged at the exit. Main thread.
    void command_exited();

    std::string describe() const; // one line for the transcript's header

  private:
    struct Urb {
        UMockdevIoctlData *data = nullptr; // the child's URB, resolved at submit; we hold a ref
        uint8_t endpoint = 0;
        std::vector<uint8_t> bytes; // IN: what the device delivers (all of it, or the part that
                                    // came before a time-out)
        int status = 0;             // the kernel's URB status once complete (0 or -errno)
        uint64_t submitted_us = 0;
    };
    struct Outcome {
        long result = 0;
        int error = 0;
    };

    static gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self);
    static void on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer self);
    static void on_client_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer self);

    Outcome dispatch(unsigned long request, UMockdevIoctlData *arg, uint64_t now);
    Outcome control(unsigned long request, UMockdevIoctlData *arg, uint64_t now);
    Outcome submit(UMockdevIoctlData *arg, uint64_t now);
    Outcome reap(UMockdevIoctlData *arg, uint64_t now);
    Outcome discard(UMockdevIoctlData *arg, uint64_t now);
    void complete(Urb urb, int status);
    void vanish(uint64_t now);
    void closed(uint64_t now); // one client closed the node: in-flight URBs die with it
    void log_model_events();
    void line(uint64_t now, const std::string &text);
    void set_node_ready(bool ready);

    const int number_;
    const int port_;
    camera::Camera model_;
    Shared &shared_;
    UMockdevTestbed *testbed_ = nullptr;
    UMockdevIoctlBase *handler_ = nullptr;
    std::string syspath_, devnode_, node_file_;
    int fifo_ = -1;
    bool fifo_drained_ = false; // one block is out of the FIFO: poll() reports POLLOUT
    std::vector<Urb> pending_;  // submitted, waiting for the device
    std::deque<Urb> completed_; // waiting to be reaped, in completion order
    std::vector<UMockdevIoctlData *> release_; // dropped once the current ioctl has completed
    size_t logged_ = 0;                        // model events already in the transcript
    // First bytes of the last IN transfer, for the transcript.
    std::vector<uint8_t> last_head_;
    int clients_ = 0; // opens of this camera's node not yet closed
};
