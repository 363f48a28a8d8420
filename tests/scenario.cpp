#include "scenario.h"

#include <algorithm>
#include <csignal>
#include <memory>
#include <sstream>

#include <libusb.h>

#include "file_size_limit.h"

namespace scenario {

namespace {

// Code tables: an input byte picks an entry modulo the table's size.
const int kErrors[] = {0,
                       LIBUSB_ERROR_TIMEOUT,
                       LIBUSB_ERROR_PIPE,
                       LIBUSB_ERROR_NO_DEVICE,
                       LIBUSB_ERROR_IO,
                       LIBUSB_ERROR_OVERFLOW,
                       LIBUSB_ERROR_ACCESS,
                       LIBUSB_ERROR_BUSY,
                       LIBUSB_ERROR_NOT_FOUND,
                       LIBUSB_ERROR_OTHER,
                       LIBUSB_ERROR_INTERRUPTED,
                       LIBUSB_ERROR_NO_MEM,
                       LIBUSB_ERROR_NOT_SUPPORTED,
                       LIBUSB_ERROR_INVALID_PARAM};
const char *const kFunctions[] = {"init",          "get_device_list",   "get_device_descriptor",
                                  "open",          "set_configuration", "claim_interface",
                                  "bulk_transfer", "clear_halt"};
const int kEndpoints[] = {-1, 0x03, 0x82, 0x81};
// Read lengths around every threshold the tool has; anything else is spelled out.
const uint32_t kLengths[] = {38456, 0, 1, 27, 28, 29, 100, 38455, 38457, 70000, 70001};
constexpr uint32_t kMaxLength = 100000;
constexpr int kMaxNth = 1024;
constexpr size_t kMaxSteps = 600; // more than the 500 reads a run makes
constexpr size_t kMaxHeader = 32;

enum Flag : uint8_t { kOther = 1, kSilentReplies = 2, kAfterSilence = 4 };
// The first byte: the device count in its low two bits, then whether the disk fills.
constexpr uint8_t kDiskFull = 4;
// A limit below this would cut the captured standard output too, not only frame files.
constexpr uint32_t kMinLimit = 4096;
constexpr uint32_t kFrameFileSize = 38456;
constexpr int kMaxDiskRead = 512;
enum Kind : uint8_t {
    kFrame,
    kFrameCnt,
    kRepeat,
    kJunk,
    kStall,
    kPart,
    kGone,
    kError,
    kRaw,
    kKinds
};

template <typename T, size_t N> constexpr size_t size_of(const T (&)[N]) {
    return N;
}

// Position of `value` in `table`; N when it is not there.
template <typename T, size_t N, typename V> uint8_t index_in(const T (&table)[N], const V &value) {
    return static_cast<uint8_t>(std::find(table, table + N, value) - table);
}

class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    uint32_t u(int bytes) { // little-endian; zeros once the input has run out
        uint32_t v = 0;
        for (int i = 0; i < bytes; i++)
            v |= static_cast<uint32_t>(at_ < size_ ? data_[at_++] : 0) << (8 * i);
        return v;
    }
    uint8_t u8() { return static_cast<uint8_t>(u(1)); }
    template <typename T, size_t N> T pick(const T (&table)[N]) { return table[u8() % N]; }
    uint32_t length() {
        uint8_t sel = u8();
        return sel < size_of(kLengths) ? kLengths[sel] : u(3) % (kMaxLength + 1);
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

class Writer {
  public:
    void u(uint32_t v, int bytes) {
        for (int i = 0; i < bytes; i++)
            out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void u8(uint32_t v) { u(v, 1); }
    void length(uint32_t v) {
        uint8_t sel = index_in(kLengths, v);
        u8(sel < size_of(kLengths) ? sel : 0xFF);
        if (sel == size_of(kLengths))
            u(v, 3);
    }
    Bytes take() { return std::move(out_); }

  private:
    Bytes out_;
};

const char *error_text(int error) {
    return error == 0 ? "OK" : libusb_error_name(error) + sizeof("LIBUSB_ERROR_") - 1;
}

std::string hex(unsigned v, int digits) {
    char s[16];
    snprintf(s, sizeof(s), "%0*x", digits, v);
    return s;
}

std::string where(const std::string &fn, int endpoint, int nth) {
    return fn + (endpoint >= 0 ? "@" + hex(static_cast<unsigned>(endpoint), 2) : "") + "#" +
           std::to_string(nth);
}

std::string describe_step(const camera::StreamStep &step) {
    const std::string len = ":" + std::to_string(step.length);
    switch (step.kind) {
    case camera::Step::Frame:
        return (step.has_cnt ? "c=" + std::to_string(step.cnt) : std::string("f")) + len;
    case camera::Step::Repeat:
        return "r" + len;
    case camera::Step::Junk:
        return "x" + len;
    case camera::Step::Stall:
        return "stall";
    case camera::Step::Silence:
        return "part" + len;
    case camera::Step::Gone:
        return "gone";
    case camera::Step::Error:
        return std::string("err:") + error_text(step.error);
    case camera::Step::Raw: {
        std::string s = "raw[";
        for (uint8_t b : step.data)
            s += hex(b, 2);
        return s + "]" + len;
    }
    }
    return "?";
}

void encode_step(Writer &w, const camera::StreamStep &step) {
    switch (step.kind) {
    case camera::Step::Frame:
        w.u8(step.has_cnt ? kFrameCnt : kFrame);
        if (step.has_cnt)
            w.u(step.cnt, 4);
        w.length(step.length);
        break;
    case camera::Step::Repeat:
    case camera::Step::Junk:
    case camera::Step::Silence:
        w.u8(step.kind == camera::Step::Repeat ? kRepeat
             : step.kind == camera::Step::Junk ? kJunk
                                               : kPart);
        w.length(step.length);
        break;
    case camera::Step::Stall:
        w.u8(kStall);
        break;
    case camera::Step::Gone:
        w.u8(kGone);
        break;
    case camera::Step::Error:
        w.u8(kError);
        w.u8(index_in(kErrors, step.error));
        break;
    case camera::Step::Raw:
        w.u8(kRaw);
        w.u8(static_cast<uint32_t>(step.data.size()));
        for (uint8_t b : step.data)
            w.u8(b);
        w.length(step.length);
        break;
    }
}

camera::StreamStep decode_step(Reader &r) {
    camera::StreamStep step;
    switch (r.u8() % kKinds) {
    case kFrame:
        step.length = r.length();
        break;
    case kFrameCnt:
        step.has_cnt = true;
        step.cnt = r.u(4);
        step.length = r.length();
        break;
    case kRepeat:
        step.kind = camera::Step::Repeat;
        step.length = r.length();
        break;
    case kJunk:
        step.kind = camera::Step::Junk;
        step.length = r.length();
        break;
    case kStall:
        step.kind = camera::Step::Stall;
        break;
    case kPart:
        step.kind = camera::Step::Silence;
        step.length = r.length();
        break;
    case kGone:
        step.kind = camera::Step::Gone;
        break;
    case kError:
        step.kind = camera::Step::Error;
        step.error = r.pick(kErrors);
        break;
    default:
        step.kind = camera::Step::Raw;
        step.data.resize(r.u8() % (kMaxHeader + 1));
        for (uint8_t &b : step.data)
            b = r.u8();
        step.length = r.length();
        break;
    }
    return step;
}

} // namespace

const std::vector<int> &libusb_errors() {
    static const std::vector<int> errors(kErrors + 1, kErrors + size_of(kErrors));
    return errors;
}

std::unique_ptr<FileSizeLimit> &disk_limit() {
    static std::unique_ptr<FileSizeLimit> limit;
    return limit;
}

void apply(const Scenario &s) {
    end_run();
    sim::reset();
    if (s.disk.frame_read > 0) {
        signal(SIGXFSZ, SIG_IGN); // the limit may bite before the tool ignores the signal
        disk_limit() = std::make_unique<FileSizeLimit>();
        FileSizeLimit *limit = disk_limit().get();
        rlim_t bytes = s.disk.limit;
        sim::on_call(
            "bulk_transfer", s.disk.frame_read, [limit, bytes] { limit->arm(bytes); }, 0x81);
    }
    for (size_t i = 0; i < s.devices.size(); i++) {
        if (s.devices[i].camera)
            sim::add_camera(s.devices[i].device_spec);
        else
            sim::add_other(s.devices[i].other);
    }
    for (const sim::Fault &f : s.faults)
        sim::inject(f);
    for (const Vanish &v : s.vanish) {
        int device = v.device;
        sim::on_call(
            v.fn, v.nth,
            [device] {
                if (camera::Camera *cam = sim::camera_at(device))
                    cam->unplug();
            },
            v.endpoint);
    }
}

void end_run() {
    disk_limit().reset();
}

std::string describe(const Scenario &s) {
    std::ostringstream o;
    o << "devices:";
    for (const Device &d : s.devices) {
        if (!d.camera) {
            o << " other(" << hex(d.other.vendor, 4) << ":" << hex(d.other.product, 4) << ")";
            continue;
        }
        const camera::DeviceSpec &c = d.device_spec;
        o << " camera(" << hex(c.product, 4) << " open " << error_text(c.open_error) << " config2 "
          << error_text(c.config2_error) << (c.silent_replies ? " silent" : "");
        for (uint32_t p : c.dropped_replies)
            o << " drop" << p;
        o << " stream";
        for (const camera::StreamStep &step : c.stream)
            o << " " << describe_step(step);
        o << (c.after == camera::After::Frames ? " frames..." : " silence...") << ")";
    }
    o << "; faults:";
    for (const sim::Fault &f : s.faults)
        o << " " << where(f.fn, f.endpoint, f.nth) << " "
          << (f.fn == "get_device_list" && f.error >= 0 ? "count " + std::to_string(f.error)
                                                        : error_text(f.error))
          << " moved " << f.transferred << (f.reaches_device ? " reached" : "");
    o << "; vanish:";
    for (const Vanish &v : s.vanish)
        o << " #" << v.device << " before " << where(v.fn, v.endpoint, v.nth);
    if (s.disk.frame_read > 0)
        o << "; disk full (" << s.disk.limit << " bytes a file) before "
          << where("bulk_transfer", 0x81, s.disk.frame_read);
    return o.str();
}

Bytes encode(const Scenario &s) {
    Writer w;
    w.u8(static_cast<uint32_t>(s.devices.size() + 3) % 4 | (s.disk.frame_read > 0 ? kDiskFull : 0));
    if (s.disk.frame_read > 0) {
        w.u(static_cast<uint32_t>(s.disk.frame_read - 1), 2);
        w.u(s.disk.limit - kMinLimit, 2);
    }
    for (const Device &d : s.devices) {
        const camera::DeviceSpec &c = d.device_spec;
        w.u8((d.camera ? 0 : kOther) | (c.silent_replies ? kSilentReplies : 0) |
             (c.after == camera::After::Silence ? kAfterSilence : 0));
        if (!d.camera) {
            w.u(d.other.vendor, 2);
            w.u(d.other.product, 2);
            continue;
        }
        w.u(c.product, 2);
        w.u8(index_in(kErrors, c.open_error));
        w.u8(index_in(kErrors, c.config2_error));
        w.u8(static_cast<uint32_t>(c.dropped_replies.size()));
        for (uint32_t p : c.dropped_replies)
            w.u8(p);
    }
    w.u8(static_cast<uint32_t>(s.faults.size()));
    for (const sim::Fault &f : s.faults) {
        w.u8(index_in(kFunctions, f.fn));
        w.u8(index_in(kEndpoints, f.endpoint));
        w.u(static_cast<uint32_t>(f.nth - 1), 2);
        bool count = f.fn == "get_device_list" && f.error >= 0;
        w.u8(count ? 0 : index_in(kErrors, f.error));
        w.u(static_cast<uint32_t>(count ? f.error : f.transferred), 4);
        w.u8(f.reaches_device ? 1 : 0);
    }
    w.u8(static_cast<uint32_t>(s.vanish.size()));
    for (const Vanish &v : s.vanish) {
        w.u8(static_cast<uint32_t>(v.device));
        w.u8(index_in(kFunctions, v.fn));
        w.u8(index_in(kEndpoints, v.endpoint));
        w.u(static_cast<uint32_t>(v.nth - 1), 2);
    }
    // The stream of the first camera: the rest of the input.
    for (const Device &d : s.devices)
        if (d.camera) {
            for (const camera::StreamStep &step : d.device_spec.stream)
                encode_step(w, step);
            break;
        }
    return w.take();
}

Scenario decode(const uint8_t *data, size_t size) {
    Reader r(data, size);
    Scenario s;
    uint8_t first = r.u8();
    s.devices.resize(((first & 3) + 1) % 4);
    if ((first & kDiskFull) != 0) {
        s.disk.frame_read = 1 + static_cast<int>(r.u(2) % kMaxDiskRead);
        s.disk.limit = kMinLimit + r.u(2) % (kFrameFileSize - kMinLimit);
    }
    for (size_t i = 0; i < s.devices.size(); i++) {
        Device &d = s.devices[i];
        uint8_t flags = r.u8();
        d.camera = (flags & kOther) == 0;
        d.device_spec.silent_replies = (flags & kSilentReplies) != 0;
        d.device_spec.after =
            (flags & kAfterSilence) != 0 ? camera::After::Silence : camera::After::Frames;
        d.device_spec.address = static_cast<uint8_t>(2 + i);
        d.other.address = static_cast<uint8_t>(2 + i);
        if (!d.camera) {
            d.device_spec = camera::DeviceSpec{};
            d.other.vendor = static_cast<uint16_t>(r.u(2));
            d.other.product = static_cast<uint16_t>(r.u(2));
            continue;
        }
        d.device_spec.product = static_cast<uint16_t>(r.u(2));
        d.device_spec.open_error = r.pick(kErrors);
        d.device_spec.config2_error = r.pick(kErrors);
        d.device_spec.dropped_replies.resize(r.u8() % 4);
        for (uint32_t &p : d.device_spec.dropped_replies)
            p = r.u8();
    }
    s.faults.resize(r.u8() % 8);
    for (sim::Fault &f : s.faults) {
        f.fn = r.pick(kFunctions);
        f.endpoint = r.pick(kEndpoints);
        f.nth = 1 + static_cast<int>(r.u(2) % kMaxNth);
        f.error = r.pick(kErrors);
        uint32_t moved = r.u(4);
        if (f.fn == "get_device_list" && f.error == 0)
            f.error = static_cast<int>(moved % 8); // a count: the list cut short
        else
            f.transferred = static_cast<int>(moved % (kMaxLength + 1));
        f.reaches_device = (r.u8() & 1) != 0;
    }
    s.vanish.resize(r.u8() % 4);
    for (Vanish &v : s.vanish) {
        v.device = r.u8() % 4;
        v.fn = r.pick(kFunctions);
        v.endpoint = r.pick(kEndpoints);
        v.nth = 1 + static_cast<int>(r.u(2) % kMaxNth);
    }
    for (Device &d : s.devices)
        if (d.camera) {
            while (r.more() && d.device_spec.stream.size() < kMaxSteps)
                d.device_spec.stream.push_back(decode_step(r));
            break;
        }
    return s;
}

} // namespace scenario
