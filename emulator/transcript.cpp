#include "transcript.h"

#include <cerrno>

#include <glib.h>

Transcript::Transcript() : start_us_(g_get_monotonic_time()) {}

Transcript::~Transcript() {
    close();
}

int Transcript::open(const std::string &path) {
    close();
    file_ = fopen(path.c_str(), "w");
    return file_ == nullptr ? errno : 0;
}

void Transcript::close() {
    if (file_ != nullptr)
        fclose(file_);
    file_ = nullptr;
}

uint64_t Transcript::now_us() const {
    return static_cast<uint64_t>(g_get_monotonic_time() - start_us_);
}

void Transcript::remark(const std::string &text) {
    if (file_ != nullptr)
        fprintf(file_, "# %s\n", text.c_str());
}

std::string Transcript::ms_text(uint64_t time_us) {
    char text[32];
    snprintf(text, sizeof(text), "%llu.%03llu", static_cast<unsigned long long>(time_us / 1000),
             static_cast<unsigned long long>(time_us % 1000));
    return text;
}

void Transcript::line(uint64_t time_us, int device, const std::string &text) {
    if (file_ != nullptr)
        fprintf(file_, "%s %d %s\n", ms_text(time_us).c_str(), device, text.c_str());
}

const char *result_name(camera::Result result) {
    switch (result) {
    case camera::Result::Done:
        return "done";
    case camera::Result::Silence:
        return "silence";
    case camera::Result::Stall:
        return "stall";
    case camera::Result::Gone:
        return "gone";
    case camera::Result::Error:
        return "error";
    }
    return "?";
}

std::string hex_bytes(const uint8_t *data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; i++) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

static uint32_t le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

static std::string endpoint_field(uint8_t endpoint) {
    char text[16];
    snprintf(text, sizeof(text), " ep=0x%02x", endpoint);
    return text;
}

void Transcript::event(int device, const camera::Event &e, const uint8_t *head,
                       size_t head_length) {
    std::string text = e.op;
    bool transfer = e.op == "out" || e.op == "in";
    if (transfer || e.op == "clear_halt")
        text += endpoint_field(e.endpoint);
    if (transfer)
        text += " req=" + std::to_string(e.value);
    else if (e.op != "close" && e.op != "clear_halt")
        text += " value=" + std::to_string(e.value);
    if (e.op == "out")
        text += " data=" + hex_bytes(e.data.data(), e.data.size());
    if (e.op != "close")
        text += std::string(" result=") + result_name(e.result);
    if (transfer)
        text += " len=" + std::to_string(e.length);
    if (head_length > 0)
        text += " head=" + hex_bytes(head, head_length);
    // The counter is shown for reads that carry the magic, whatever step the script played.
    if (e.op == "in" && e.endpoint == camera::EP_FRAME && head_length >= 8 &&
        le32(head) == camera::MAGIC)
        text += " cnt=" + std::to_string(le32(head + 4));
    line(e.time_us, device, text);
}
