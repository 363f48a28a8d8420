#include "camera_model.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <libusb.h>

namespace camera {

namespace {

void put_le32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; i++)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

bool parse_number(const std::string &text, uint32_t &value) {
    if (text.empty())
        return false;
    char *end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFull)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

int error_by_name(const std::string &name) {
    static const std::pair<const char *, int> names[] = {
        {"IO", LIBUSB_ERROR_IO},
        {"INVALID_PARAM", LIBUSB_ERROR_INVALID_PARAM},
        {"ACCESS", LIBUSB_ERROR_ACCESS},
        {"NO_DEVICE", LIBUSB_ERROR_NO_DEVICE},
        {"NOT_FOUND", LIBUSB_ERROR_NOT_FOUND},
        {"BUSY", LIBUSB_ERROR_BUSY},
        {"TIMEOUT", LIBUSB_ERROR_TIMEOUT},
        {"OVERFLOW", LIBUSB_ERROR_OVERFLOW},
        {"PIPE", LIBUSB_ERROR_PIPE},
        {"INTERRUPTED", LIBUSB_ERROR_INTERRUPTED},
        {"NO_MEM", LIBUSB_ERROR_NO_MEM},
        {"NOT_SUPPORTED", LIBUSB_ERROR_NOT_SUPPORTED},
        {"OTHER", LIBUSB_ERROR_OTHER},
    };
    for (const auto &entry : names)
        if (name == entry.first)
            return entry.second;
    return 0;
}

// One step's text ("f:100", "c=7", "stall") into a StreamStep.
bool parse_step(const std::string &text, StreamStep &step, std::string &error) {
    std::string word = text, arg;
    bool has_arg = false;
    size_t sep = text.find_first_of(":=");
    if (sep != std::string::npos) {
        word = text.substr(0, sep);
        arg = text.substr(sep + 1);
        has_arg = true;
    }
    uint32_t number = 0;
    if (has_arg && word != "err" && !parse_number(arg, number)) {
        error = "bad number in '" + text + "'";
        return false;
    }
    step = StreamStep{};
    if (word == "f") {
        step.kind = Step::Frame;
        if (has_arg)
            step.length = number;
    } else if (word == "c" && has_arg) {
        step.kind = Step::Frame;
        step.has_cnt = true;
        step.cnt = number;
    } else if (word == "r") {
        step.kind = Step::Repeat;
        if (has_arg)
            step.length = number;
    } else if (word == "x") {
        step.kind = Step::Junk;
        if (has_arg)
            step.length = number;
    } else if (word == "stall" && !has_arg) {
        step.kind = Step::Stall;
    } else if (word == "quiet" && !has_arg) {
        step.kind = Step::Silence;
        step.length = 0;
    } else if (word == "part" && has_arg) {
        step.kind = Step::Silence;
        step.length = number;
    } else if (word == "gone" && !has_arg) {
        step.kind = Step::Gone;
    } else if (word == "err" && has_arg) {
        step.kind = Step::Error;
        step.error = error_by_name(arg);
        if (step.error == 0) {
            error = "unknown libusb error '" + arg + "'";
            return false;
        }
    } else {
        error = "unknown step '" + text + "'";
        return false;
    }
    return true;
}

Event event(uint64_t now_us, const char *op) {
    Event e;
    e.time_us = now_us;
    e.op = op;
    return e;
}

} // namespace

bool parse_stream(const std::string &script, std::vector<StreamStep> &out, std::string &error) {
    out.clear();
    size_t start = 0;
    while (start <= script.size()) {
        size_t end = script.find(',', start);
        if (end == std::string::npos)
            end = script.size();
        std::string item = script.substr(start, end - start);
        start = end + 1;
        if (item.empty()) {
            if (end == script.size())
                break;
            error = "empty step";
            return false;
        }
        uint32_t times = 1;
        size_t star = item.find('*');
        if (star != std::string::npos) {
            if (!parse_number(item.substr(star + 1), times) || times > 100000) {
                error = "bad repeat count in '" + item + "'";
                return false;
            }
            item.resize(star);
        }
        StreamStep step;
        if (!parse_step(item, step, error))
            return false;
        out.insert(out.end(), times, step);
    }
    return true;
}

uint8_t frame_type(uint32_t cnt) {
    return static_cast<uint8_t>(cnt % 4);
}

void fill_frame(uint32_t cnt, uint8_t *out, size_t length) {
    // The header first, then a payload that no other counter produces (xorshift seeded by cnt).
    uint8_t header[16] = {};
    put_le32(header, MAGIC);
    put_le32(header + 4, cnt);
    put_le32(header + 8, ~cnt);
    header[12] = frame_type(cnt);
    memcpy(out, header, length < sizeof(header) ? length : sizeof(header));
    // Four bytes per step: whole runs (and the fuzzer) generate megabytes of frames.
    uint32_t x = cnt * 2654435761u + 0x9E3779B9u;
    for (size_t i = sizeof(header); i < length; i += 4) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        for (size_t k = 0; k < 4 && i + k < length; k++)
            out[i + k] = static_cast<uint8_t>(x >> (8 * k));
    }
}

Camera::Camera(DeviceSpec device_spec) : spec_(std::move(device_spec)) {}

int Camera::record(Event e, int status) {
    e.result = status == 0 ? Result::Done : Result::Error;
    log_.push_back(std::move(e));
    return status;
}

int Camera::open(uint64_t now_us) {
    Event e = event(now_us, "open");
    int status = gone_ ? LIBUSB_ERROR_NO_DEVICE : spec_.open_error;
    e.value = status;
    return record(std::move(e), status);
}

void Camera::close(uint64_t now_us) {
    log_.push_back(event(now_us, "close"));
}

int Camera::set_configuration(uint64_t now_us, int value) {
    int status = 0;
    if (gone_)
        status = LIBUSB_ERROR_NO_DEVICE;
    else if (value == 2 && spec_.config2_error != 0)
        status = spec_.config2_error;
    else if (value != 1 && value != 2)
        status = LIBUSB_ERROR_NOT_FOUND;
    Event e = event(now_us, "set_configuration");
    e.value = value;
    return record(std::move(e), status);
}

int Camera::claim_interface(uint64_t now_us, int number) {
    int status = gone_ ? LIBUSB_ERROR_NO_DEVICE : (number == 0 ? 0 : LIBUSB_ERROR_NOT_FOUND);
    Event e = event(now_us, "claim_interface");
    e.value = number;
    return record(std::move(e), status);
}

int Camera::clear_halt(uint64_t now_us, uint8_t endpoint) {
    int status = gone_ ? LIBUSB_ERROR_NO_DEVICE : 0;
    Event e = event(now_us, "clear_halt");
    e.endpoint = endpoint;
    return record(std::move(e), status);
}

Transfer Camera::out(uint64_t now_us, uint8_t endpoint, const uint8_t *data, size_t length) {
    Event e = event(now_us, "out");
    e.endpoint = endpoint;
    e.value = static_cast<int>(length);
    e.data.assign(data, data + length);
    Transfer t;
    if (gone_) {
        t.result = Result::Gone;
    } else if (endpoint != EP_COMMAND) {
        t.result = Result::Stall;
    } else {
        t.length = length;
        // Every packet whose first bytes look like a command word gets one reply.
        if (length >= 4 && data[1] == 0xB6 && data[2] == 0xB6 && data[3] == 0x6B) {
            const auto &dropped = spec_.dropped_replies;
            bool drop = std::find(dropped.begin(), dropped.end(), packets_) != dropped.end();
            if (!spec_.silent_replies && !drop)
                pending_replies_++;
            packets_++;
            if (data[0] == OPCODE_BEGIN)
                streaming_ = true;
            else if (data[0] == OPCODE_END)
                streaming_ = false;
        }
    }
    e.result = t.result;
    e.length = t.length;
    log_.push_back(std::move(e));
    return t;
}

Transfer Camera::in(uint64_t now_us, uint8_t endpoint, uint8_t *buffer, size_t max_length) {
    Event e = event(now_us, "in");
    e.endpoint = endpoint;
    e.value = static_cast<int>(max_length);
    Transfer t;
    if (gone_) {
        t.result = Result::Gone;
    } else if (endpoint == EP_REPLY) {
        if (pending_replies_ > 0) {
            pending_replies_--;
            uint8_t reply[REPLY_SIZE] = {0x5A, 0xA5};
            t.length = max_length < REPLY_SIZE ? max_length : REPLY_SIZE;
            memcpy(buffer, reply, t.length);
        } else {
            t.result = Result::Silence;
        }
    } else if (endpoint == EP_FRAME && streaming_) {
        StreamStep step;
        if (step_ < spec_.stream.size())
            step = spec_.stream[step_++];
        else if (spec_.after == After::Silence)
            step.kind = Step::Silence, step.length = 0;
        // Bytes the device would send are cut to what the host asked for, as on the bus.
        size_t length = step.length < max_length ? step.length : max_length;
        switch (step.kind) {
        case Step::Frame:
            last_cnt_ = step.has_cnt ? step.cnt : next_cnt_;
            next_cnt_ = last_cnt_ + 1;
            fill_frame(last_cnt_, buffer, length);
            e.cnt = last_cnt_;
            t.length = length;
            break;
        case Step::Repeat:
            fill_frame(last_cnt_, buffer, length);
            e.cnt = last_cnt_;
            t.length = length;
            break;
        case Step::Junk:
            for (size_t i = 0; i < length; i++)
                buffer[i] = static_cast<uint8_t>(0xA0 + i);
            t.length = length;
            break;
        case Step::Raw:
            for (size_t i = 0; i < length; i++)
                buffer[i] = i < step.data.size() ? step.data[i] : raw_fill(i);
            t.length = length;
            break;
        case Step::Stall:
            t.result = Result::Stall;
            break;
        case Step::Silence:
            // Part of a frame arrives, then nothing: the host's time-out ends the transfer.
            fill_frame(next_cnt_, buffer, length);
            t.result = Result::Silence;
            t.length = length;
            break;
        case Step::Gone:
            gone_ = true;
            t.result = Result::Gone;
            break;
        case Step::Error:
            t.result = Result::Error;
            t.error = step.error;
            break;
        }
    } else {
        t.result = Result::Silence; // nothing streams before CMD_BEGIN, nothing else talks
    }
    e.result = t.result;
    e.length = t.length;
    log_.push_back(std::move(e));
    return t;
}

} // namespace camera
