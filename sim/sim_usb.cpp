// The simulated libusb-1.0: the libusb_* functions the tool calls, and nanosleep(), backed by the
// camera model and a simulated clock. See sim_usb.h.
#include "sim_usb.h"

#include <cerrno>
#include <ctime>
#include <memory>
#include <utility>

#include <sys/stat.h>
#include <unistd.h>

// libusb declares these types opaque; the simulation gives them the little state it needs.
struct libusb_context {
    bool live = true;
};
struct libusb_device {
    int index = 0;
};
struct libusb_device_handle {
    int device = 0;
    bool open = true;
};

namespace sim {

namespace {

struct Slot {
    std::unique_ptr<camera::Camera> camera; // null for another vendor's device
    OtherDevice other;
    std::unique_ptr<libusb_device> device;
};

struct ArmedFault {
    Fault fault;
    int seen = 0;
};

struct Action {
    std::string fn;
    int nth = 0;
    int endpoint = -1;
    std::function<void()> run;
    int seen = 0;
};

struct State {
    uint64_t now = 0;
    std::vector<Slot> slots;
    std::vector<Call> calls;
    std::vector<ArmedFault> faults;
    std::vector<Action> actions;
    std::vector<std::string> misuse;
    std::vector<std::unique_ptr<libusb_context>> contexts;
    std::vector<std::unique_ptr<libusb_device_handle>> handles;
    std::vector<libusb_device **> lists;
    int sleeps = 0;
    int interrupt_nth = 0;
    uint64_t interrupt_after_us = 0;
};

State &state() {
    static State s;
    return s;
}

bool matches(const std::string &want_fn, int want_endpoint, const std::string &fn, int endpoint) {
    return want_fn == fn && (want_endpoint < 0 || want_endpoint == endpoint);
}

// Counts this call for every action and fault that watches it, runs the actions that are due and
// returns the fault that is due, if any.
const Fault *before_call(const std::string &fn, int endpoint = -1) {
    State &s = state();
    for (size_t i = 0; i < s.actions.size(); i++) {
        Action &a = s.actions[i];
        if (matches(a.fn, a.endpoint, fn, endpoint) && ++a.seen == a.nth)
            a.run(); // may add actions: index, not iterator
    }
    const Fault *due = nullptr;
    for (ArmedFault &armed : s.faults)
        if (matches(armed.fault.fn, armed.fault.endpoint, fn, endpoint) &&
            ++armed.seen == armed.fault.nth && due == nullptr)
            due = &armed.fault;
    return due;
}

// Starts the record of a call; returns its index (the vector may grow before it is finished).
size_t record(const char *fn, int device = -1) {
    State &s = state();
    Call c;
    c.time_us = s.now;
    c.end_us = s.now;
    c.fn = fn;
    c.device = device;
    struct stat out;
    if (fstat(STDOUT_FILENO, &out) == 0 && S_ISREG(out.st_mode))
        c.stdout_bytes = static_cast<int64_t>(out.st_size);
    s.calls.push_back(std::move(c));
    return s.calls.size() - 1;
}

Call &at(size_t index) {
    return state().calls[index];
}

int64_t finish(size_t index, int64_t status, bool injected = false) {
    Call &c = at(index);
    c.status = status;
    c.injected = injected;
    c.end_us = state().now;
    return status;
}

void complain(const std::string &what) {
    state().misuse.push_back(what);
}

bool known_context(libusb_context *context) {
    for (const auto &c : state().contexts)
        if (c.get() == context)
            return c->live;
    return false;
}

// The slot of a device pointer handed out by get_device_list, or -1.
int index_of(libusb_device *device) {
    const State &s = state();
    for (size_t i = 0; i < s.slots.size(); i++)
        if (s.slots[i].device.get() == device)
            return static_cast<int>(i);
    return -1;
}

// The slot behind an open handle, or -1 (and a complaint) for a closed or unknown one.
int open_slot(libusb_device_handle *handle, const char *fn) {
    for (const auto &h : state().handles)
        if (h.get() == handle && h->open)
            return h->device;
    complain(std::string(fn) + " on a handle that is not open");
    return -1;
}

// A frame file holds no more of a read than this: the rest need not be kept.
constexpr int kFrameFileSize = 38456;

uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// set_configuration, claim_interface and clear_halt: one control request each.
template <typename Op>
int control(const char *fn, libusb_device_handle *handle, int endpoint, int64_t value, Op op) {
    int slot = open_slot(handle, fn);
    const Fault *fault = before_call(fn, endpoint);
    size_t index = record(fn, slot);
    at(index).endpoint = endpoint;
    at(index).value = value;
    if (slot < 0)
        return static_cast<int>(finish(index, LIBUSB_ERROR_NO_DEVICE));
    camera::Camera &cam = *state().slots[static_cast<size_t>(slot)].camera;
    int status = 0;
    if (fault == nullptr || fault->reaches_device)
        status = op(cam, state().now);
    if (fault != nullptr)
        return static_cast<int>(finish(index, fault->error, true));
    return static_cast<int>(finish(index, status));
}

// get_bus_number and get_device_address: one field of where the device sits.
uint8_t device_number(const char *fn, libusb_device *device, uint8_t camera::DeviceSpec::*of_camera,
                      uint8_t OtherDevice::*of_other) {
    int slot = index_of(device);
    size_t index = record(fn, slot);
    if (slot < 0) {
        complain(std::string(fn) + " of an unknown device");
        return static_cast<uint8_t>(finish(index, 0));
    }
    const Slot &s = state().slots[static_cast<size_t>(slot)];
    return static_cast<uint8_t>(
        finish(index, s.camera ? s.camera->device_spec().*of_camera : s.other.*of_other));
}

} // namespace

void reset() {
    State &s = state();
    for (libusb_device **list : s.lists)
        delete[] list;
    s = State{};
}

camera::Camera &add_camera(camera::DeviceSpec device_spec) {
    State &s = state();
    Slot slot;
    slot.camera = std::make_unique<camera::Camera>(std::move(device_spec));
    slot.device = std::make_unique<libusb_device>();
    slot.device->index = static_cast<int>(s.slots.size());
    s.slots.push_back(std::move(slot));
    return *s.slots.back().camera;
}

void add_other(OtherDevice device) {
    State &s = state();
    Slot slot;
    slot.other = device;
    slot.device = std::make_unique<libusb_device>();
    slot.device->index = static_cast<int>(s.slots.size());
    s.slots.push_back(std::move(slot));
}

void inject(Fault fault) {
    state().faults.push_back(ArmedFault{std::move(fault), 0});
}

void on_call(const std::string &fn, int nth, std::function<void()> action, int endpoint) {
    Action a;
    a.fn = fn;
    a.nth = nth;
    a.endpoint = endpoint;
    a.run = std::move(action);
    state().actions.push_back(std::move(a));
}

void interrupt_sleep(int nth, uint64_t after_us) {
    state().interrupt_nth = nth;
    state().interrupt_after_us = after_us;
}

const libusb_version &version() {
    // Not a real release, so a test sees that the tool prints what the library reports.
    static const libusb_version v = {1, 0, 99, 7, "", "simulated"};
    return v;
}

uint64_t now_us() {
    return state().now;
}

const std::vector<Call> &calls() {
    return state().calls;
}

std::vector<Call> calls_of(const std::string &fn) {
    std::vector<Call> out;
    for (const Call &c : state().calls)
        if (c.fn == fn)
            out.push_back(c);
    return out;
}

const std::vector<std::string> &misuse() {
    return state().misuse;
}

int live_contexts() {
    int n = 0;
    for (const auto &c : state().contexts)
        n += c->live ? 1 : 0;
    return n;
}

int live_lists() {
    return static_cast<int>(state().lists.size());
}

int live_handles() {
    int n = 0;
    for (const auto &h : state().handles)
        n += h->open ? 1 : 0;
    return n;
}

camera::Camera *camera_at(int device) {
    State &s = state();
    if (device < 0 || static_cast<size_t>(device) >= s.slots.size())
        return nullptr;
    return s.slots[static_cast<size_t>(device)].camera.get();
}

} // namespace sim

using namespace sim;

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context **context) {
    const Fault *fault = before_call("init");
    size_t index = record("init");
    if (fault != nullptr && fault->error != 0) // success is the plain call
        return static_cast<int>(finish(index, fault->error, true));
    if (context == nullptr) {
        complain("init without a context of its own");
        return static_cast<int>(finish(index, LIBUSB_ERROR_INVALID_PARAM));
    }
    state().contexts.push_back(std::make_unique<libusb_context>());
    *context = state().contexts.back().get();
    return static_cast<int>(finish(index, 0));
}

void LIBUSB_CALL libusb_exit(libusb_context *context) {
    size_t index = record("exit");
    if (!known_context(context))
        complain("exit of a context that is not live");
    else
        for (auto &c : state().contexts)
            if (c.get() == context)
                c->live = false;
    finish(index, 0);
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context *context, libusb_device ***list) {
    const Fault *fault = before_call("get_device_list");
    size_t index = record("get_device_list");
    if (!known_context(context))
        complain("get_device_list on a context that is not live");
    if (fault != nullptr && fault->error < 0)
        return finish(index, fault->error, true); // the list is left as it was
    State &s = state();
    size_t listed = s.slots.size();
    if (fault != nullptr && static_cast<size_t>(fault->error) < listed)
        listed = static_cast<size_t>(fault->error); // devices missed by the enumeration
    auto *devices = new libusb_device *[listed + 1];
    for (size_t i = 0; i < listed; i++)
        devices[i] = s.slots[i].device.get();
    devices[listed] = nullptr;
    s.lists.push_back(devices);
    *list = devices;
    return finish(index, static_cast<int64_t>(listed), fault != nullptr);
}

void LIBUSB_CALL libusb_free_device_list(libusb_device **list, int unref_devices) {
    size_t index = record("free_device_list");
    at(index).value = unref_devices;
    auto &lists = state().lists;
    bool found = false;
    for (size_t i = 0; i < lists.size() && !found; i++) {
        if (lists[i] == list) {
            delete[] list;
            lists.erase(lists.begin() + static_cast<std::ptrdiff_t>(i));
            found = true;
        }
    }
    if (!found)
        complain("free_device_list of a list that is not live");
    if (unref_devices == 0)
        complain("free_device_list keeps a reference to every device: they leak");
    finish(index, 0);
}

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device *device,
                                             struct libusb_device_descriptor *descriptor) {
    int slot = index_of(device);
    const Fault *fault = before_call("get_device_descriptor");
    size_t index = record("get_device_descriptor", slot);
    if (slot < 0) {
        complain("get_device_descriptor of an unknown device");
        return static_cast<int>(finish(index, LIBUSB_ERROR_NO_DEVICE));
    }
    const Slot &s = state().slots[static_cast<size_t>(slot)];
    // Filled even when a fault is injected: only the status may tell the caller it is not valid.
    *descriptor = libusb_device_descriptor{};
    descriptor->bLength = LIBUSB_DT_DEVICE_SIZE;
    descriptor->bDescriptorType = LIBUSB_DT_DEVICE;
    descriptor->bcdUSB = 0x0200;
    descriptor->bMaxPacketSize0 = 64;
    descriptor->idVendor = s.camera ? s.camera->device_spec().vendor : s.other.vendor;
    descriptor->idProduct = s.camera ? s.camera->device_spec().product : s.other.product;
    descriptor->bNumConfigurations = s.camera ? 2 : 1;
    if (fault != nullptr)
        return static_cast<int>(finish(index, fault->error, true));
    return static_cast<int>(finish(index, 0));
}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device *device) {
    return device_number("get_bus_number", device, &camera::DeviceSpec::bus, &OtherDevice::bus);
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device *device) {
    return device_number("get_device_address", device, &camera::DeviceSpec::address,
                         &OtherDevice::address);
}

int LIBUSB_CALL libusb_open(libusb_device *device, libusb_device_handle **handle) {
    int slot = index_of(device);
    const Fault *fault = before_call("open");
    if (fault != nullptr && fault->error == 0)
        fault = nullptr; // only the device can let itself be opened
    size_t index = record("open", slot);
    if (slot < 0) {
        complain("open of an unknown device");
        return static_cast<int>(finish(index, LIBUSB_ERROR_NO_DEVICE));
    }
    State &s = state();
    camera::Camera *cam = s.slots[static_cast<size_t>(slot)].camera.get();
    int status = LIBUSB_ERROR_ACCESS; // another vendor's device is not ours to open
    if (cam != nullptr && (fault == nullptr || fault->reaches_device))
        status = cam->open(s.now);
    bool injected = fault != nullptr;
    if (injected)
        status = fault->error;
    if (status == 0) {
        s.handles.push_back(std::make_unique<libusb_device_handle>());
        s.handles.back()->device = slot;
        *handle = s.handles.back().get();
    }
    return static_cast<int>(finish(index, status, injected)); // on failure *handle is untouched
}

void LIBUSB_CALL libusb_close(libusb_device_handle *handle) {
    int slot = open_slot(handle, "close");
    size_t index = record("close", slot);
    if (slot >= 0) {
        handle->open = false;
        state().slots[static_cast<size_t>(slot)].camera->close(state().now);
    }
    finish(index, 0);
}

int LIBUSB_CALL libusb_set_configuration(libusb_device_handle *handle, int configuration) {
    return control("set_configuration", handle, -1, configuration,
                   [configuration](camera::Camera &cam, uint64_t now) {
                       return cam.set_configuration(now, configuration);
                   });
}

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle *handle, int number) {
    return control(
        "claim_interface", handle, -1, number,
        [number](camera::Camera &cam, uint64_t now) { return cam.claim_interface(now, number); });
}

int LIBUSB_CALL libusb_clear_halt(libusb_device_handle *handle, unsigned char endpoint) {
    return control(
        "clear_halt", handle, endpoint, 0,
        [endpoint](camera::Camera &cam, uint64_t now) { return cam.clear_halt(now, endpoint); });
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *handle, unsigned char endpoint,
                                     unsigned char *data, int length, int *transferred,
                                     unsigned int timeout) {
    int slot = open_slot(handle, "bulk_transfer");
    const Fault *fault = before_call("bulk_transfer", endpoint);
    size_t index = record("bulk_transfer", slot);
    State &s = state();
    {
        Call &c = at(index);
        c.endpoint = endpoint;
        c.value = length;
        c.timeout_ms = timeout;
    }
    if (transferred != nullptr)
        *transferred = 0;
    if (slot < 0)
        return static_cast<int>(finish(index, LIBUSB_ERROR_NO_DEVICE));
    if (length < 0 || (length > 0 && data == nullptr)) {
        complain("bulk_transfer with a bad buffer");
        return static_cast<int>(finish(index, LIBUSB_ERROR_INVALID_PARAM));
    }
    bool in = (endpoint & LIBUSB_ENDPOINT_IN) != 0;
    if (!in)
        at(index).data.assign(data, data + length);

    camera::Camera &cam = *s.slots[static_cast<size_t>(slot)].camera;
    int status = 0;
    int moved = 0;
    bool waited = false; // the device left the transfer to run into its time-out
    if (fault == nullptr || fault->reaches_device) {
        camera::Transfer t = in ? cam.in(s.now, endpoint, data, static_cast<size_t>(length))
                                : cam.out(s.now, endpoint, data, static_cast<size_t>(length));
        moved = static_cast<int>(t.length);
        switch (t.result) {
        case camera::Result::Done:
            break;
        case camera::Result::Silence:
            status = LIBUSB_ERROR_TIMEOUT;
            waited = true;
            break;
        case camera::Result::Stall:
            status = LIBUSB_ERROR_PIPE;
            break;
        case camera::Result::Gone:
            status = LIBUSB_ERROR_NO_DEVICE;
            break;
        case camera::Result::Error:
            status = t.error;
            break;
        }
    }
    if (fault != nullptr) {
        if (in && !fault->reaches_device)
            for (int i = 0; i < fault->transferred && i < length; i++)
                data[i] = 0xEE; // bytes from nowhere: no device sent them
        status = fault->error;
        moved = fault->transferred < length ? fault->transferred : length;
        waited = waited || status == LIBUSB_ERROR_TIMEOUT;
    }
    if (waited) {
        if (timeout == 0)
            complain("bulk_transfer without a time-out on a silent endpoint never returns");
        s.now += static_cast<uint64_t>(timeout) * 1000;
    }
    if (transferred != nullptr)
        *transferred = moved;

    Call &c = at(index);
    c.transferred = moved;
    if (in && status == 0 && moved >= 8 && le32(data) == camera::MAGIC) {
        c.has_cnt = true;
        c.cnt = le32(data + 4);
        c.data.assign(data, data + (moved < kFrameFileSize ? moved : kFrameFileSize));
    }
    return static_cast<int>(finish(index, status, fault != nullptr));
}

const char *LIBUSB_CALL libusb_error_name(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO:
        return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS:
        return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE:
        return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND:
        return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY:
        return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT:
        return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW:
        return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE:
        return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED:
        return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM:
        return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER:
        return "LIBUSB_ERROR_OTHER";
    default:
        return "**UNKNOWN**";
    }
}

const char *LIBUSB_CALL libusb_strerror(int code) {
    switch (code) {
    case LIBUSB_SUCCESS:
        return "Success";
    case LIBUSB_ERROR_IO:
        return "Input/Output Error";
    case LIBUSB_ERROR_INVALID_PARAM:
        return "Invalid parameter";
    case LIBUSB_ERROR_ACCESS:
        return "Access denied (insufficient permissions)";
    case LIBUSB_ERROR_NO_DEVICE:
        return "No such device (it may have been disconnected)";
    case LIBUSB_ERROR_NOT_FOUND:
        return "Entity not found";
    case LIBUSB_ERROR_BUSY:
        return "Resource busy";
    case LIBUSB_ERROR_TIMEOUT:
        return "Operation timed out";
    case LIBUSB_ERROR_OVERFLOW:
        return "Overflow";
    case LIBUSB_ERROR_PIPE:
        return "Pipe error";
    case LIBUSB_ERROR_INTERRUPTED:
        return "System call interrupted (perhaps due to signal)";
    case LIBUSB_ERROR_NO_MEM:
        return "Insufficient memory";
    case LIBUSB_ERROR_NOT_SUPPORTED:
        return "Operation not supported or unimplemented on this platform";
    default:
        return "Other error";
    }
}

const struct libusb_version *LIBUSB_CALL libusb_get_version(void) {
    return &sim::version();
}

// Overrides libc's for the whole test executable: a pause advances the simulated clock at once.
int nanosleep(const struct timespec *request, struct timespec *remaining) {
    if (request == nullptr || request->tv_sec < 0 || request->tv_nsec < 0 ||
        request->tv_nsec >= 1000000000L) {
        errno = EINVAL;
        return -1;
    }
    State &s = state();
    uint64_t us = static_cast<uint64_t>(request->tv_sec) * 1000000 +
                  (static_cast<uint64_t>(request->tv_nsec) + 999) / 1000;
    size_t index = record("nanosleep");
    at(index).value = static_cast<int64_t>(us);
    if (++s.sleeps == s.interrupt_nth && s.interrupt_after_us < us) {
        s.now += s.interrupt_after_us;
        uint64_t left = us - s.interrupt_after_us;
        if (remaining != nullptr) {
            remaining->tv_sec = static_cast<time_t>(left / 1000000);
            remaining->tv_nsec = static_cast<long>(left % 1000000) * 1000;
        }
        finish(index, -1);
        errno = EINTR;
        return -1;
    }
    s.now += us;
    finish(index, 0);
    return 0;
}

} // extern "C"
