#include "run_check.h"

#include <cstdio>
#include <regex>
#include <set>
#include <sstream>

#include <sys/mman.h>
#include <unistd.h>

namespace run_check {

using test_files::output_dir;
using test_files::read_file;

Snapshot snapshot() {
    Snapshot shot;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(output_dir(), ec)) {
        std::string name = entry.path().filename().string();
        if (fs::is_symlink(entry.symlink_status())) {
            std::string target = "-> " + fs::read_symlink(entry.path()).string();
            shot[name] = Bytes(target.begin(), target.end());
        } else {
            shot[name] = read_file(entry.path());
        }
    }
    return shot;
}

void fresh_output_dir() {
    fs::remove_all(output_dir().parent_path());
    fs::create_directories(output_dir());
    fs::permissions(output_dir(), fs::perms::owner_all);
}

namespace {

// Sends file descriptor `fd` into an anonymous in-memory file until finished. A regular file, so
// the simulation can see how much of standard output was flushed at each call.
class Capture {
  public:
    explicit Capture(int fd) : fd_(fd) {
        fflush(nullptr);
        file_ = memfd_create("usb_series_capture", MFD_CLOEXEC);
        saved_ = dup(fd_);
        if (file_ < 0 || saved_ < 0 || dup2(file_, fd_) < 0)
            perror("capturing the tool's output");
    }
    std::string finish() {
        fflush(nullptr);
        dup2(saved_, fd_);
        close(saved_);
        std::string text;
        char chunk[4096];
        ssize_t n = 0;
        for (off_t at = 0; (n = pread(file_, chunk, sizeof(chunk), at)) > 0; at += n)
            text.append(chunk, static_cast<size_t>(n));
        close(file_);
        return text;
    }

  private:
    int fd_;
    int file_ = -1;
    int saved_ = -1;
};

} // namespace

RunResult run_tool(const std::vector<std::string> &args) {
    RunResult run;
    run.before = snapshot();
    std::vector<std::string> storage = {"usb_series"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    Capture out(STDOUT_FILENO);
    Capture err(STDERR_FILENO);
    run.status = usb_series_main(static_cast<int>(storage.size()), argv.data());
    run.err = err.finish();
    run.out = out.finish();
    return run;
}

std::string describe(const sim::Call &c) {
    std::ostringstream s;
    char hex[8];
    if (c.fn == "bulk_transfer") {
        bool in = (c.endpoint & 0x80) != 0;
        snprintf(hex, sizeof(hex), "%02x", c.endpoint);
        s << (in ? "in " : "out ") << hex;
        for (uint8_t b : in ? Bytes() : c.data) {
            snprintf(hex, sizeof(hex), " %02x", b);
            s << hex;
        }
        return s.str();
    }
    s << c.fn;
    if (c.fn == "nanosleep")
        s << " " << c.value << "us";
    if (c.device >= 0)
        s << " #" << c.device;
    if (c.fn == "set_configuration" || c.fn == "claim_interface")
        s << " " << c.value;
    if (c.fn == "clear_halt") {
        snprintf(hex, sizeof(hex), "%02x", c.endpoint);
        s << " " << hex;
    }
    return s.str();
}

std::vector<std::string> describe(const std::vector<sim::Call> &calls) {
    std::vector<std::string> out;
    for (const sim::Call &c : calls)
        out.push_back(describe(c));
    return out;
}

std::vector<sim::Call> transfers(int endpoint) {
    std::vector<sim::Call> out;
    for (const sim::Call &c : sim::calls())
        if (c.fn == "bulk_transfer" && c.endpoint == endpoint)
            out.push_back(c);
    return out;
}

Bytes packet(uint8_t opcode) {
    return {opcode, 0xB6, 0xB6, 0x6B};
}

Bytes packet(uint8_t opcode, uint32_t argument) {
    Bytes b = packet(opcode);
    for (int i = 0; i < 4; i++)
        b.push_back(static_cast<uint8_t>(argument >> (8 * i)));
    return b;
}

namespace {

// Collects what does not hold; each message says what was seen.
class Report {
  public:
    template <typename... Parts> void fail(const Parts &...parts) {
        std::ostringstream s;
        (s << ... << parts);
        list_.push_back(s.str());
    }
    template <typename... Parts> void check(bool ok, const Parts &...parts) {
        if (!ok)
            fail(parts...);
    }
    std::vector<std::string> take() { return std::move(list_); }

  private:
    std::vector<std::string> list_;
};

size_t count(const std::string &fn) {
    return sim::calls_of(fn).size();
}

struct SavedLine {
    int index;
    uint32_t cnt;
    unsigned type;
    int64_t end;     // offset on standard output just past this line
    int64_t ffc_end; // just past the FFC line before it; 0 when there is none
};

// Standard output holds only the tool's three kinds of line; an FFC line comes at frames 10, 20,
// 30 and 40 only, with arguments 1, 0, 1, 0, and is followed by the saved line of the same frame
// (unless saving that frame failed, which ends the run); those frames are not saved without it.
// Returns the saved lines.
std::vector<SavedLine> check_stdout(const RunResult &run, Report &r) {
    static const std::regex saved(R"(saved f(\d\d) cnt=(\d+) type=(\d+))");
    static const std::regex ffc(R"(  FFC\((\d+)\) at frame (\d+))");
    std::vector<SavedLine> out;
    std::vector<std::string> text = lines(run.out);
    int64_t end = 0, ffc_end = 0;
    r.check(run.out.empty() || run.out.back() == '\n', "last line unterminated");
    for (size_t i = 0; i < text.size(); i++) {
        std::smatch m;
        end += static_cast<int64_t>(text[i].size()) + 1;
        if (std::regex_match(text[i], m, saved)) {
            int index = std::stoi(m[1]);
            r.check(index == 0 || index % 10 != 0 || ffc_end != 0, "f", index,
                    " saved without an FFC line before it");
            out.push_back({index, static_cast<uint32_t>(std::stoul(m[2])),
                           static_cast<unsigned>(std::stoul(m[3])), end, ffc_end});
            ffc_end = 0;
        } else if (std::regex_match(text[i], m, ffc)) {
            ffc_end = end;
            int index = std::stoi(m[2]);
            r.check(index > 0 && index % 10 == 0 && index < 45 &&
                        std::stoul(m[1]) == static_cast<unsigned long>(index / 10 % 2),
                    "wrong FFC line: '", text[i], "'");
            char next[32];
            snprintf(next, sizeof(next), "saved f%02d ", index);
            if (i + 1 < text.size()) {
                r.check(text[i + 1].rfind(next, 0) == 0, "FFC line not followed by its frame");
            } else {
                r.check(run.status == 2, "FFC line without its frame in a run that saved all");
            }
        } else if (text[i] == "no device") {
            r.check(text.size() == 1, "\"no device\" among other lines");
        } else {
            r.fail("stray line on standard output: '", text[i], "'");
        }
    }
    return out;
}

bool is_frame_read(const sim::Call &c) {
    return c.fn == "bulk_transfer" && c.endpoint == 0x81;
}

// A read the tool must keep: it succeeded, delivered 28 bytes or more, and starts with the magic.
bool is_frame(const sim::Call &c) {
    return is_frame_read(c) && c.status == 0 && c.has_cnt && c.transferred >= 28;
}

// Index of the first call from `from` on that `pred` accepts, or calls().size().
template <typename Pred> size_t next_call(size_t from, Pred pred) {
    const std::vector<sim::Call> &calls = sim::calls();
    while (from < calls.size() && !pred(calls[from]))
        from++;
    return from;
}

// A line reached standard output (it was flushed) before the call at `index` was made.
void expect_flushed(size_t index, int64_t line_end, const char *before, Report &r) {
    const std::vector<sim::Call> &calls = sim::calls();
    if (index < calls.size() && calls[index].stdout_bytes >= 0) {
        r.check(calls[index].stdout_bytes >= line_end, "line not flushed before ", before);
    }
}

// Every saved line has its file, complete and byte-exact: the bytes of the frame read carrying
// that counter (reads that are frames, matched in order), then zeros up to 38,456. Each line, and
// the FFC line before it, was flushed before the loop went on.
void check_files(const std::vector<SavedLine> &saved, Report &r) {
    const std::vector<sim::Call> &calls = sim::calls();
    size_t next = 0;
    for (size_t k = 0; k < saved.size(); k++) {
        const SavedLine &line = saved[k];
        r.check(line.index == static_cast<int>(k), "saved lines out of sequence");
        next = next_call(next,
                         [&line](const sim::Call &c) { return is_frame(c) && c.cnt == line.cnt; });
        if (next == calls.size()) {
            r.fail("saved f", line.index, " cnt=", line.cnt, " matches no frame read");
            return;
        }
        const size_t read = next++;
        const sim::Call &c = calls[read];
        r.check(line.type == c.data[12], "f", line.index, " type=", line.type, " but byte 12 is ",
                unsigned(c.data[12]));

        Bytes expected = test_files::frame_file(c.data.data(), c.data.size());
        fs::path path = output_dir() / test_files::frame_name(line.index);
        r.check(!fs::is_symlink(fs::symlink_status(path)), path, " is a symbolic link");
        Bytes file = read_file(path);
        r.check(file.size() == 38456u, path, " holds ", file.size(), " bytes");
        r.check(file == expected, path, " differs from the frame read");

        expect_flushed(
            next_call(read + 1,
                      [](const sim::Call &c) { return is_frame_read(c) || c.fn == "clear_halt"; }),
            line.end, "the next read", r);
        if (line.ffc_end != 0) {
            expect_flushed(
                next_call(read + 1, [](const sim::Call &c) { return c.fn == "nanosleep"; }),
                line.ffc_end, "the FFC pause", r);
        }
    }
}

// Nothing is lost in silence: every new frame the device delivered was saved, in order, up to 45;
// a run that ended early says so with status 2. The loop stops at 45 frames or 500 reads, no
// sooner when it ended well.
void check_nothing_lost(const RunResult &run, const std::vector<SavedLine> &saved, Report &r) {
    std::vector<uint32_t> delivered;
    uint32_t last = 0xFFFFFFFF;
    size_t reads = 0;
    bool full_before_last_read = false;
    for (const sim::Call &c : sim::calls()) {
        if (!is_frame_read(c))
            continue;
        reads++;
        full_before_last_read = delivered.size() >= 45;
        if (is_frame(c) && c.cnt != last && delivered.size() < 45) {
            delivered.push_back(c.cnt);
            last = c.cnt;
        }
    }
    std::vector<uint32_t> kept;
    for (const SavedLine &line : saved)
        kept.push_back(line.cnt);
    r.check(reads <= 500, reads, " frame reads");
    r.check(!full_before_last_read, "frames read after the 45th was saved");
    if (run.status == 2) {
        r.check(kept.size() <= delivered.size() &&
                    std::equal(kept.begin(), kept.end(), delivered.begin()),
                "saved frames are not the frames delivered");
        return;
    }
    r.check(kept == delivered, kept.size(), " frames saved of ", delivered.size(),
            " new frames delivered, or another order");
    if (run.status == 0 && count("set_configuration") > 0)
        r.check(reads == 500 || kept.size() == 45, "capture ended after ", reads, " reads and ",
                kept.size(), " frames");
}

// Nothing in the output directory but this run's frames and what was there before, untouched.
void check_directory(const RunResult &run, const std::vector<SavedLine> &saved, Report &r) {
    std::set<std::string> written;
    for (const SavedLine &line : saved)
        written.insert(test_files::frame_name(line.index));
    for (const auto &[name, content] : snapshot()) {
        if (written.count(name) != 0)
            continue;
        r.check(name.find(".tmp") == std::string::npos, "temporary file left: ", name);
        auto before = run.before.find(name);
        if (before == run.before.end()) {
            r.fail("unexpected file in the output directory: ", name);
        } else {
            r.check(before->second == content, name, " changed, but no line says so");
        }
    }
}

// The device, once configured, is taken through the shutdown once, at the end: clear halt 0x03
// and 0x82, 100 ms, CMD_END (its reply read when the packet went out), close. A device that was
// never configured received nothing at all.
void check_shutdown(int device, Report &r) {
    const std::vector<sim::Call> &calls = sim::calls();
    std::vector<size_t> mine; // indices of the calls on this device and the pauses
    for (size_t i = 0; i < calls.size(); i++)
        if (calls[i].device == device || calls[i].fn == "nanosleep")
            mine.push_back(i);

    if (count("set_configuration") == 0) {
        for (const char *fn : {"claim_interface", "bulk_transfer", "clear_halt"}) {
            r.check(count(fn) == 0, fn, " on a device that was never configured");
        }
        return;
    }
    r.check(count("clear_halt") == 2, count("clear_halt"), " halts cleared, not 2");
    size_t first_halt = calls.size();
    for (size_t i : mine)
        if (calls[i].fn == "clear_halt") {
            first_halt = i;
            break;
        }
    if (first_halt == calls.size()) {
        r.fail("no shutdown");
        return;
    }

    std::vector<std::string> tail;
    uint64_t halts_done = 0, end_sent = 0;
    bool end_ok = false;
    for (size_t i : mine) {
        if (i < first_halt)
            continue;
        const sim::Call &c = calls[i];
        if (c.fn == "nanosleep")
            continue; // timed below
        tail.push_back(describe(c));
        if (c.fn == "clear_halt")
            halts_done = c.end_us;
        if (c.fn == "bulk_transfer" && c.endpoint == 0x03) {
            end_sent = c.time_us;
            end_ok = c.status == 0;
        }
    }
    const std::string dev = "#" + std::to_string(device);
    std::vector<std::string> expected = {"clear_halt " + dev + " 03", "clear_halt " + dev + " 82",
                                         "out 03 74 b6 b6 6b"};
    if (end_ok)
        expected.push_back("in 82");
    expected.push_back("close " + dev);
    if (tail != expected) {
        std::string seen;
        for (const std::string &t : tail)
            seen += "\n  " + t;
        r.fail("shutdown sequence:", seen);
    }
    r.check(end_sent - halts_done == 100000u, "pause before CMD_END: ", end_sent - halts_done,
            " us");

    size_t end_packets = 0;
    for (const sim::Call &c : transfers(0x03))
        end_packets += c.data == packet(0x74) ? 1 : 0;
    r.check(end_packets == 1, "CMD_END sent ", end_packets, " times");
}

// A reply is read after each command packet that went out, and only then.
void check_replies(Report &r) {
    const std::vector<sim::Call> &calls = sim::calls();
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i].fn != "bulk_transfer" || calls[i].endpoint != 0x03)
            continue;
        size_t next = i + 1;
        bool reply_read = next < calls.size() && calls[next].fn == "bulk_transfer" &&
                          calls[next].endpoint == 0x82;
        r.check(reply_read == (calls[i].status == 0), describe(calls[i]), " returned ",
                calls[i].status, "; reply read ", (reply_read ? "" : "not "), "next");
    }
}

// The run ends, however the device behaves: at most 11 commands of two 2000 ms transfers, 500
// frame reads of 1000 ms, and the pauses (300, 500, 4 x 150 and 100 ms).
void check_duration(Report &r) {
    const uint64_t bound_us = 11 * 2 * 2000000ull + 500 * 1000000ull + 1500000ull;
    r.check(sim::now_us() <= bound_us, "the run took ", sim::now_us(), " us of simulated time");
}

} // namespace

std::vector<std::string> run_violations(const RunResult &run) {
    Report r;
    for (const std::string &m : sim::misuse())
        r.fail("libusb misuse: ", m);

    if (sim::calls().empty()) { // help or version: no run at all
        r.check(run.status == 0, "exit ", run.status, " without a run");
        r.check(snapshot() == run.before, "the output directory changed");
        return r.take();
    }
    // libusb: initialised once, everything it handed out given back, released last.
    if (count("init") != 1) {
        r.fail("libusb_init called ", count("init"), " times");
        return r.take();
    }
    bool init_ok = sim::calls_of("init")[0].status == 0;
    r.check(count("exit") == (init_ok ? 1u : 0u), "libusb_exit called ", count("exit"), " times");
    if (init_ok)
        r.check(sim::calls().back().fn == "exit", "libusb_exit is not the last call");
    r.check(sim::live_contexts() == 0, "libusb context not released");
    r.check(sim::live_lists() == 0, "device list not freed");
    r.check(sim::live_handles() == 0, "device not closed");

    std::vector<int> opened;
    for (const sim::Call &c : sim::calls_of("open"))
        if (c.status == 0)
            opened.push_back(c.device);
    if (opened.size() > 1) {
        r.fail(opened.size(), " devices opened");
        return r.take();
    }
    r.check(count("close") == opened.size(), "libusb_close called ", count("close"), " times");

    check_duration(r);
    check_replies(r);
    std::vector<SavedLine> saved = check_stdout(run, r);
    check_files(saved, r);
    check_nothing_lost(run, saved, r);
    check_directory(run, saved, r);

    if (opened.empty()) {
        r.check(run.status == 1, "exit ", run.status, " with no device open");
        r.check(run.out == "no device\n", "no device open, yet standard output holds '", run.out,
                "'");
        return r.take();
    }
    r.check(run.status == 0 || run.status == 2, "exit ", run.status, " after the device opened");
    check_shutdown(opened[0], r);
    if (run.status == 0) {
        for (const std::string &line : lines(run.err)) {
            r.check(line.rfind("cannot open USB device ", 0) == 0 || line.rfind("hint: ", 0) == 0,
                    "a run that went through reported: ", line);
        }
    } else {
        r.check(!run.err.empty(), "exit ", run.status, " without a reason");
    }
    return r.take();
}

} // namespace run_check
