#include "usbfs_camera.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// What GET_CAPABILITIES answers: zero packets, bulk continuation, no packet size limit, scatter-
// gather and reap after disconnect. With scatter-gather libusb sends each transfer as one URB, so a
// 70,000-byte read is one submit and one reap.
constexpr uint32_t CAPABILITIES =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

constexpr size_t HEAD_BYTES = 16; // of each IN transfer, in the transcript
constexpr size_t FIFO_BLOCK = 4096;

uint8_t lo(uint16_t v) {
    return static_cast<uint8_t>(v & 0xFF);
}
uint8_t hi(uint16_t v) {
    return static_cast<uint8_t>(v >> 8);
}

// Device descriptor, then configurations 1 and 2: each has interface 0 (vendor class) with the
// bulk endpoints 0x03 OUT, 0x81 IN and 0x82 IN, 512-byte packets (high speed).
std::string descriptors_hex(const camera::DeviceSpec &device_spec) {
    std::vector<uint8_t> d = {18,
                              1,
                              0x00,
                              0x02,
                              0x00,
                              0x00,
                              0x00,
                              64,
                              lo(device_spec.vendor),
                              hi(device_spec.vendor),
                              lo(device_spec.product),
                              hi(device_spec.product),
                              0x00,
                              0x01,
                              0,
                              0,
                              0,
                              2};
    for (uint8_t value : {1, 2}) {
        const uint8_t config[] = {
            9,    2,       39,
            0,    1,       value,
            0,    0x80,    250, // configuration, 39 bytes in all
            9,    4,       0,
            0,    3,       0xFF,
            0x00, 0x00,    0, // interface 0, three endpoints
            7,    5,       camera::EP_COMMAND,
            2,    lo(512), hi(512),
            0, // bulk OUT
            7,    5,       camera::EP_FRAME,
            2,    lo(512), hi(512),
            0, // bulk IN
            7,    5,       camera::EP_REPLY,
            2,    lo(512), hi(512),
            0, // bulk IN
        };
        d.insert(d.end(), config, config + sizeof(config));
    }
    return hex_bytes(d.data(), d.size());
}

std::string libusb_name(int status) {
    return status == 0 ? "ok" : libusb_error_name(status) + strlen("LIBUSB_ERROR_");
}

// The errno a failed control ioctl gives, chosen so that libusb reports `status` again.
int control_errno(int status, unsigned long request) {
    switch (status) {
    case LIBUSB_ERROR_NO_DEVICE:
        return ENODEV;
    case LIBUSB_ERROR_BUSY:
        return EBUSY;
    case LIBUSB_ERROR_NOT_FOUND:
        return request == USBDEVFS_SETCONFIGURATION ? EINVAL : ENOENT;
    case LIBUSB_ERROR_INVALID_PARAM:
        return request == USBDEVFS_SETCONFIGURATION ? EIO : EINVAL;
    default:
        return EIO; // LIBUSB_ERROR_OTHER
    }
}

// The URB status a completed transfer carries. usbfs can express only a few of libusb's errors:
// every other one arrives as a bus error, which libusb reports as LIBUSB_ERROR_IO.
int urb_status(const camera::Transfer &t) {
    switch (t.result) {
    case camera::Result::Done:
        return 0;
    case camera::Result::Stall:
        return -EPIPE;
    case camera::Result::Gone:
        return -ESHUTDOWN;
    case camera::Result::Error:
        if (t.error == LIBUSB_ERROR_PIPE)
            return -EPIPE;
        if (t.error == LIBUSB_ERROR_OVERFLOW)
            return -EOVERFLOW;
        if (t.error == LIBUSB_ERROR_NO_DEVICE)
            return -ENODEV;
        return -EPROTO;
    case camera::Result::Silence:
        break;
    }
    return -EPROTO;
}

std::string status_name(int status) {
    switch (-status) {
    case 0:
        return "0";
    case ENOENT:
        return "ENOENT";
    case EPIPE:
        return "EPIPE";
    case ESHUTDOWN:
        return "ESHUTDOWN";
    case EOVERFLOW:
        return "EOVERFLOW";
    case ENODEV:
        return "ENODEV";
    case EPROTO:
        return "EPROTO";
    }
    return std::to_string(status);
}

std::string endpoint_text(uint8_t endpoint) {
    char text[8];
    snprintf(text, sizeof(text), "0x%02x", endpoint);
    return text;
}

// The value an ioctl's argument points at (an int or unsigned int for the control requests).
bool read_u32(UMockdevIoctlData *arg, uint32_t &value) {
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), &error);
    if (data == nullptr) {
        g_clear_error(&error);
        return false;
    }
    memcpy(&value, data->data, sizeof(value));
    g_object_unref(data);
    return true;
}

} // namespace

UsbfsCamera::UsbfsCamera(int number, int port, camera::DeviceSpec device_spec, Shared &shared)
    : number_(number), port_(port), model_(std::move(device_spec)), shared_(shared) {}

UsbfsCamera::~UsbfsCamera() {
    for (auto &urb : pending_)
        g_object_unref(urb.data);
    for (auto &urb : completed_)
        g_object_unref(urb.data);
    for (auto *data : release_)
        g_object_unref(data);
    if (handler_ != nullptr)
        g_object_unref(handler_);
    if (fifo_ >= 0)
        ::close(fifo_);
}

std::string UsbfsCamera::describe() const {
    const camera::DeviceSpec &device_spec = model_.device_spec();
    char text[160];
    snprintf(text, sizeof(text),
             "device %d: %04x:%04x bus %u address %u node %s open=%s config2=%s replies=%s",
             number_, device_spec.vendor, device_spec.product, device_spec.bus, device_spec.address,
             devnode_.c_str(), libusb_name(device_spec.open_error).c_str(),
             libusb_name(device_spec.config2_error).c_str(),
             device_spec.silent_replies             ? "silent"
             : !device_spec.dropped_replies.empty() ? "some-dropped"
                                                    : "all");
    return text;
}

bool UsbfsCamera::attach(UMockdevTestbed *testbed, bool fifo, std::string &error) {
    const camera::DeviceSpec &device_spec = model_.device_spec();
    testbed_ = testbed;
    char node[32];
    snprintf(node, sizeof(node), "bus/usb/%03u/%03u", device_spec.bus, device_spec.address);
    devnode_ = std::string("/dev/") + node;
    syspath_ = "/sys/devices/pci0000:00/0000:00:14.0/usb" + std::to_string(device_spec.bus) + "/" +
               std::to_string(device_spec.bus) + "-" + std::to_string(port_);

    char ids[64];
    snprintf(ids, sizeof(ids), "A: idVendor=%04x\nA: idProduct=%04x\n", device_spec.vendor,
             device_spec.product);
    std::string record = "P: " + syspath_.substr(strlen("/sys")) + "\nN: " + node +
                         "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=" + devnode_ +
                         "\nA: busnum=" + std::to_string(device_spec.bus) +
                         "\nA: devnum=" + std::to_string(device_spec.address) + "\n" + ids +
                         "A: bConfigurationValue=1\nA: bNumConfigurations=2\nA: speed=480\n"
                         "H: descriptors=" +
                         descriptors_hex(device_spec) + "\n";
    GError *gerror = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &gerror)) {
        error = std::string("cannot add ") + devnode_ + ": " + gerror->message;
        g_error_free(gerror);
        return false;
    }

    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(on_client_connected), this);
    g_signal_connect(handler_, "client-vanished", G_CALLBACK(on_client_vanished), this);
    if (!umockdev_testbed_attach_ioctl(testbed, devnode_.c_str(), handler_, &gerror)) {
        error = std::string("cannot attach to ") + devnode_ + ": " + gerror->message;
        g_error_free(gerror);
        return false;
    }

    gchar *root = umockdev_testbed_get_root_dir(testbed);
    node_file_ = std::string(root) + devnode_;
    g_free(root);
    if (fifo) {
        // libusb sleeps in poll(POLLOUT) on the node: a full FIFO keeps it asleep, one block
        // taken out wakes it to reap.
        if (unlink(node_file_.c_str()) != 0 || mkfifo(node_file_.c_str(), 0600) != 0 ||
            (fifo_ = ::open(node_file_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
            error = "cannot make " + node_file_ + " a FIFO: " + strerror(errno);
            return false;
        }
        static const char block[FIFO_BLOCK] = {};
        while (write(fifo_, block, sizeof(block)) > 0) {
        }
    }
    int refused = 0;
    if (device_spec.open_error == LIBUSB_ERROR_ACCESS)
        refused = chmod(node_file_.c_str(), 0);
    else if (device_spec.open_error == LIBUSB_ERROR_NO_DEVICE)
        refused = unlink(node_file_.c_str());
    if (refused != 0) {
        error = "cannot refuse " + node_file_ + ": " + strerror(errno);
        return false;
    }
    return true;
}

void UsbfsCamera::remove(UMockdevTestbed *testbed) {
    umockdev_testbed_uevent(testbed, syspath_.c_str(), "remove");
    umockdev_testbed_remove_device(testbed, syspath_.c_str());
    std::lock_guard<std::mutex> lock(shared_.mutex);
    line(shared_.transcript.now_us(), "removed");
}

void UsbfsCamera::line(uint64_t now, const std::string &text) {
    shared_.transcript.line(now, number_, text);
}

void UsbfsCamera::log_model_events() {
    const auto &events = model_.log();
    for (; logged_ < events.size(); logged_++) {
        bool newest = logged_ + 1 == events.size();
        const uint8_t *head = newest ? last_head_.data() : nullptr;
        shared_.transcript.event(number_, events[logged_], head, newest ? last_head_.size() : 0);
    }
    last_head_.clear();
}

void UsbfsCamera::set_node_ready(bool ready) {
    if (fifo_ < 0 || ready == fifo_drained_)
        return;
    char block[FIFO_BLOCK] = {};
    ssize_t n = ready ? read(fifo_, block, sizeof(block)) : write(fifo_, block, sizeof(block));
    if (n == static_cast<ssize_t>(sizeof(block)))
        fifo_drained_ = ready;
}

gboolean UsbfsCamera::on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    auto &camera = *static_cast<UsbfsCamera *>(self);
    std::lock_guard<std::mutex> lock(camera.shared_.mutex);
    // The previous ioctl has completed by now: what it handed back can go.
    for (auto *data : camera.release_)
        g_object_unref(data);
    camera.release_.clear();

    uint64_t now = camera.shared_.transcript.now_us();
    Outcome outcome = camera.dispatch(umockdev_ioctl_client_get_request(client),
                                      umockdev_ioctl_client_get_arg(client), now);
    // Before the ioctl returns, so that the child's next poll() already sees the state.
    camera.set_node_ready(!camera.completed_.empty());
    umockdev_ioctl_client_complete(client, outcome.result, outcome.error);
    return TRUE;
}

void UsbfsCamera::on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer self) {
    auto &camera = *static_cast<UsbfsCamera *>(self);
    std::lock_guard<std::mutex> lock(camera.shared_.mutex);
    // umockdev reports the connection even when the open itself failed (mode 000).
    if (camera.model_.open(camera.shared_.transcript.now_us()) == 0)
        camera.clients_++;
    camera.log_model_events();
}

void UsbfsCamera::on_client_vanished(UMockdevIoctlBase *, UMockdevIoctlClient *, gpointer self) {
    auto &camera = *static_cast<UsbfsCamera *>(self);
    std::lock_guard<std::mutex> lock(camera.shared_.mutex);
    camera.closed(camera.shared_.transcript.now_us());
}

void UsbfsCamera::command_exited() {
    std::lock_guard<std::mutex> lock(shared_.mutex);
    while (clients_ > 0)
        closed(shared_.transcript.now_us());
}

void UsbfsCamera::closed(uint64_t now) {
    if (clients_ == 0)
        return;
    clients_--;
    model_.close(now);
    log_model_events();
    // Closing the node kills whatever was still in flight.
    for (auto &urb : pending_)
        release_.push_back(urb.data);
    for (auto &urb : completed_)
        release_.push_back(urb.data);
    pending_.clear();
    completed_.clear();
    set_node_ready(false);
}

UsbfsCamera::Outcome UsbfsCamera::dispatch(unsigned long request, UMockdevIoctlData *arg,
                                           uint64_t now) {
    switch (request) {
    case USBDEVFS_SUBMITURB:
        return submit(arg, now);
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB:
        return reap(arg, now);
    case USBDEVFS_DISCARDURB:
        return discard(arg, now);
    case USBDEVFS_GET_CAPABILITIES:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
    case USBDEVFS_CLEAR_HALT:
        return control(request, arg, now);
    default: {
        char text[48];
        snprintf(text, sizeof(text), "unhandled request=0x%lx", request);
        line(now, text);
        return {-1, ENOTTY};
    }
    }
}

UsbfsCamera::Outcome UsbfsCamera::control(unsigned long request, UMockdevIoctlData *arg,
                                          uint64_t now) {
    uint32_t value = 0;
    if (!read_u32(arg, value))
        return {-1, EFAULT};
    if (request == USBDEVFS_GET_CAPABILITIES || request == USBDEVFS_RELEASEINTERFACE) {
        // Not the device's business: usbfs answers these itself.
        bool capabilities = request == USBDEVFS_GET_CAPABILITIES;
        line(now, std::string(capabilities ? "capabilities" : "release_interface") +
                      " value=" + std::to_string(capabilities ? CAPABILITIES : value));
        if (model_.gone())
            return {-1, ENODEV};
        if (capabilities) {
            GError *error = nullptr;
            UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(value), &error);
            if (data == nullptr) {
                g_clear_error(&error);
                return {-1, EFAULT};
            }
            memcpy(data->data, &CAPABILITIES, sizeof(CAPABILITIES));
            release_.push_back(data);
        }
        return {0, 0};
    }

    int status = 0;
    if (request == USBDEVFS_SETCONFIGURATION)
        status = model_.set_configuration(now, static_cast<int>(value));
    else if (request == USBDEVFS_CLAIMINTERFACE)
        status = model_.claim_interface(now, static_cast<int>(value));
    else
        status = model_.clear_halt(now, static_cast<uint8_t>(value));
    log_model_events();
    if (status != 0)
        return {-1, control_errno(status, request)};
    if (request == USBDEVFS_SETCONFIGURATION) // libusb_get_configuration reads it from sysfs
        umockdev_testbed_set_attribute_int(testbed_, syspath_.c_str(), "bConfigurationValue",
                                           static_cast<int>(value));
    return {0, 0};
}

UsbfsCamera::Outcome UsbfsCamera::submit(UMockdevIoctlData *arg, uint64_t now) {
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (data == nullptr) {
        g_clear_error(&error);
        return {-1, EFAULT};
    }
    const auto *urb = reinterpret_cast<const usbdevfs_urb *>(data->data);
    if (urb->type != USBDEVFS_URB_TYPE_BULK || urb->buffer_length < 0) {
        line(now, "unhandled urb type=" + std::to_string(urb->type));
        g_object_unref(data);
        return {-1, EINVAL};
    }

    Urb submitted;
    submitted.data = data;
    submitted.endpoint = urb->endpoint;
    submitted.submitted_us = now;
    size_t length = static_cast<size_t>(urb->buffer_length);
    bool was_gone = model_.gone();
    camera::Transfer t;
    if (submitted.endpoint & 0x80) {
        submitted.bytes.resize(length);
        t = model_.in(now, submitted.endpoint, submitted.bytes.data(), length);
        submitted.bytes.resize(t.length);
        last_head_.assign(submitted.bytes.begin(),
                          submitted.bytes.begin() +
                              static_cast<long>(std::min(t.length, HEAD_BYTES)));
    } else {
        std::vector<uint8_t> packet(length);
        if (length > 0) {
            UMockdevIoctlData *buffer =
                umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), length, &error);
            if (buffer == nullptr) {
                g_clear_error(&error);
                g_object_unref(data);
                return {-1, EFAULT};
            }
            memcpy(packet.data(), buffer->data, length);
            g_object_unref(buffer);
        }
        t = model_.out(now, submitted.endpoint, packet.data(), length);
    }
    log_model_events();

    if (t.result == camera::Result::Gone && was_gone) {
        g_object_unref(data);
        return {-1, ENODEV};
    }
    if (t.result == camera::Result::Error && t.error == LIBUSB_ERROR_NO_MEM) {
        g_object_unref(data);
        return {-1, ENOMEM};
    }
    bool silent = t.result == camera::Result::Silence ||
                  (t.result == camera::Result::Error && t.error == LIBUSB_ERROR_TIMEOUT);
    if (silent) {
        pending_.push_back(std::move(submitted)); // until libusb gives up and discards it
        return {0, 0};
    }
    if (!(submitted.endpoint & 0x80))
        submitted.bytes.assign(t.length, 0); // only the count matters on the way back
    complete(std::move(submitted), urb_status(t));
    if (t.result == camera::Result::Gone)
        vanish(now);
    return {0, 0};
}

void UsbfsCamera::complete(Urb urb, int status) {
    urb.status = status;
    completed_.push_back(std::move(urb));
}

void UsbfsCamera::vanish(uint64_t now) {
    // Unplugged: the kernel ends every URB in flight with -ESHUTDOWN; each can still be reaped.
    for (auto &urb : pending_) {
        urb.bytes.clear();
        complete(std::move(urb), -ESHUTDOWN);
    }
    pending_.clear();
    line(now, "vanished");
    if (on_vanished)
        on_vanished(*this);
}

UsbfsCamera::Outcome UsbfsCamera::reap(UMockdevIoctlData *arg, uint64_t now) {
    if (completed_.empty())
        return {-1, model_.gone() ? ENODEV : EAGAIN};
    Urb done = std::move(completed_.front());
    completed_.pop_front();
    release_.push_back(done.data);

    GError *error = nullptr;
    bool in = done.endpoint & 0x80;
    if (in && !done.bytes.empty()) {
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
            done.data, offsetof(usbdevfs_urb, buffer), done.bytes.size(), &error);
        if (buffer == nullptr) {
            g_clear_error(&error);
            return {-1, EFAULT};
        }
        memcpy(buffer->data, done.bytes.data(), done.bytes.size());
        release_.push_back(buffer);
    }
    auto *urb = reinterpret_cast<usbdevfs_urb *>(done.data->data);
    urb->status = done.status;
    urb->actual_length = static_cast<int>(done.bytes.size());

    // The argument points at the child's `struct usbdevfs_urb *`: aim it at the reaped URB.
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &error);
    if (slot == nullptr) {
        g_clear_error(&error);
        return {-1, EFAULT};
    }
    umockdev_ioctl_data_set_ptr(slot, 0, done.data);
    release_.push_back(slot);
    line(now, "reap ep=" + endpoint_text(done.endpoint) + " status=" + status_name(done.status) +
                  " len=" + std::to_string(done.bytes.size()));
    return {0, 0};
}

UsbfsCamera::Outcome UsbfsCamera::discard(UMockdevIoctlData *arg, uint64_t now) {
    // DISCARDURB's argument is the URB's address in the child itself.
    uint64_t address = 0;
    memcpy(&address, arg->data, std::min(sizeof(address), static_cast<size_t>(arg->data_len)));
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->data->client_addr != address)
            continue;
        Urb urb = std::move(*it);
        pending_.erase(it);
        char text[96];
        snprintf(text, sizeof(text), "discard ep=%s after=%.3f result=ok len=%zu",
                 endpoint_text(urb.endpoint).c_str(), (now - urb.submitted_us) / 1000.0,
                 urb.bytes.size());
        line(now, text);
        complete(std::move(urb), -ENOENT); // with whatever arrived before the time-out
        return {0, 0};
    }
    // Already complete (or unknown): libusb then expects to reap it.
    int error = model_.gone() ? ENODEV : EINVAL;
    line(now, std::string("discard result=") + (error == ENODEV ? "ENODEV" : "EINVAL"));
    return {-1, error};
}
