#include "sim_run.h"

#include <cstdio>
#include <regex>
#include <sstream>

namespace sim_run {

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

RunResult run_tool(const std::vector<std::string> &args) {
    RunResult run;
    run.before = snapshot();
    std::vector<std::string> storage = {"usb_series"};
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    fflush(stdout);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run.status = usb_series_main(static_cast<int>(storage.size()), argv.data());
    run.err = testing::internal::GetCapturedStderr();
    run.out = testing::internal::GetCapturedStdout();
    return run;
}

camera::DeviceSpec camera_spec(const std::string &script, camera::After after) {
    camera::DeviceSpec spec;
    std::string error;
    EXPECT_TRUE(camera::parse_stream(script, spec.stream, error)) << script << ": " << error;
    spec.after = after;
    return spec;
}

std::string describe(const sim::Call &c) {
    std::ostringstream s;
    char hex[8];
    if (c.fn == "bulk_transfer") {
        bool in = (c.endpoint & 0x80) != 0;
        snprintf(hex, sizeof(hex), "%02x", c.endpoint);
        s << (in ? "in " : "out ") << hex;
        for (uint8_t b : c.data) {
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

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

std::vector<uint32_t> saved_counters(const std::string &out) {
    static const std::regex saved(R"(saved f\d\d cnt=(\d+) type=\d+)");
    std::vector<uint32_t> cnts;
    std::smatch m;
    for (const std::string &line : lines(out))
        if (std::regex_match(line, m, saved))
            cnts.push_back(static_cast<uint32_t>(std::stoul(m[1])));
    return cnts;
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

void SimRunTest::SetUp() {
    sim::reset();
    fs::remove_all(output_dir().parent_path());
    fs::create_directories(output_dir());
    fs::permissions(output_dir(), fs::perms::owner_all);
}

namespace {

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

// Standard output holds only the tool's three kinds of line; an FFC line is followed by the saved
// line of the same frame (unless saving that frame failed, which ends the run). Returns the saved
// lines.
std::vector<SavedLine> check_stdout(const RunResult &run) {
    static const std::regex saved(R"(saved f(\d\d) cnt=(\d+) type=(\d+))");
    static const std::regex ffc(R"(  FFC\((\d+)\) at frame (\d+))");
    std::vector<SavedLine> out;
    std::vector<std::string> text = lines(run.out);
    int64_t end = 0, ffc_end = 0;
    EXPECT_TRUE(run.out.empty() || run.out.back() == '\n') << "last line unterminated";
    for (size_t i = 0; i < text.size(); i++) {
        std::smatch m;
        end += static_cast<int64_t>(text[i].size()) + 1;
        if (std::regex_match(text[i], m, saved)) {
            out.push_back({std::stoi(m[1]), static_cast<uint32_t>(std::stoul(m[2])),
                           static_cast<unsigned>(std::stoul(m[3])), end, ffc_end});
            ffc_end = 0;
        } else if (std::regex_match(text[i], m, ffc)) {
            ffc_end = end;
            char next[32];
            snprintf(next, sizeof(next), "saved f%02d ", std::stoi(m[2]));
            if (i + 1 < text.size()) {
                EXPECT_EQ(text[i + 1].rfind(next, 0), 0u) << "FFC line not followed by its frame";
            } else {
                EXPECT_EQ(run.status, 2) << "FFC line without its frame in a run that saved all";
            }
        } else if (text[i] == "no device") {
            EXPECT_EQ(text.size(), 1u) << "\"no device\" among other lines";
        } else {
            ADD_FAILURE() << "stray line on standard output: '" << text[i] << "'";
        }
    }
    return out;
}

bool is_frame_read(const sim::Call &c) {
    return c.fn == "bulk_transfer" && c.endpoint == 0x81;
}

// Index of the first call from `from` on that `pred` accepts, or calls().size().
template <typename Pred> size_t next_call(size_t from, Pred pred) {
    const std::vector<sim::Call> &calls = sim::calls();
    while (from < calls.size() && !pred(calls[from]))
        from++;
    return from;
}

// A line reached standard output (it was flushed) before the call at `index` was made.
void expect_flushed(size_t index, int64_t line_end, const char *before) {
    const std::vector<sim::Call> &calls = sim::calls();
    if (index < calls.size() && calls[index].stdout_bytes >= 0) {
        EXPECT_GE(calls[index].stdout_bytes, line_end) << "line not flushed before " << before;
    }
}

// Every saved line has its file, complete and byte-exact: the bytes of a frame read carrying that
// counter (reads matched in order), then zeros up to 38,456. Each line, and the FFC line before
// it, was flushed before the loop went on.
void check_files(const std::vector<SavedLine> &saved) {
    const std::vector<sim::Call> &calls = sim::calls();
    size_t next = 0;
    for (size_t k = 0; k < saved.size(); k++) {
        const SavedLine &line = saved[k];
        EXPECT_EQ(line.index, static_cast<int>(k)) << "saved lines out of sequence";
        next = next_call(next, [&line](const sim::Call &c) {
            return is_frame_read(c) && c.status == 0 && c.has_cnt && c.cnt == line.cnt;
        });
        if (next == calls.size()) {
            ADD_FAILURE() << "saved f" << line.index << " cnt=" << line.cnt
                          << " matches no frame read";
            return;
        }
        const size_t read = next++;
        EXPECT_EQ(line.type, camera::frame_type(line.cnt)) << "f" << line.index;

        Bytes frame(static_cast<size_t>(calls[read].transferred));
        camera::fill_frame(line.cnt, frame.data(), frame.size());
        Bytes expected = test_files::frame_file(frame.data(), frame.size());
        fs::path path = output_dir() / test_files::frame_name(line.index);
        EXPECT_FALSE(fs::is_symlink(fs::symlink_status(path))) << path;
        Bytes file = read_file(path);
        EXPECT_EQ(file.size(), 38456u) << path;
        EXPECT_TRUE(file == expected) << path << " differs from the frame read";

        expect_flushed(
            next_call(read + 1,
                      [](const sim::Call &c) { return is_frame_read(c) || c.fn == "clear_halt"; }),
            line.end, "the next read");
        if (line.ffc_end != 0) {
            expect_flushed(
                next_call(read + 1, [](const sim::Call &c) { return c.fn == "nanosleep"; }),
                line.ffc_end, "the FFC pause");
        }
    }
}
// Nothing in the output directory but this run's frames and what was there before, untouched.
void check_directory(const RunResult &run, const std::vector<SavedLine> &saved) {
    std::set<std::string> written;
    for (const SavedLine &line : saved)
        written.insert(test_files::frame_name(line.index));
    for (const auto &[name, content] : snapshot()) {
        if (written.count(name) != 0)
            continue;
        EXPECT_EQ(name.find(".tmp"), std::string::npos) << "temporary file left: " << name;
        auto before = run.before.find(name);
        if (before == run.before.end()) {
            ADD_FAILURE() << "unexpected file in the output directory: " << name;
        } else {
            EXPECT_TRUE(before->second == content) << name << " changed, but no line says so";
        }
    }
}

// The device, once configured, is taken through the shutdown once, at the end: clear halt 0x03
// and 0x82, 100 ms, CMD_END (its reply read when the packet went out), close. A device that was
// never configured received nothing at all.
void check_shutdown(int device) {
    const std::vector<sim::Call> &calls = sim::calls();
    std::vector<size_t> mine; // indices of the calls on this device and the pauses
    for (size_t i = 0; i < calls.size(); i++)
        if (calls[i].device == device || calls[i].fn == "nanosleep")
            mine.push_back(i);

    if (count("set_configuration") == 0) {
        for (const char *fn : {"claim_interface", "bulk_transfer", "clear_halt"}) {
            EXPECT_EQ(count(fn), 0u) << fn << " on a device that was never configured";
        }
        return;
    }
    EXPECT_EQ(count("clear_halt"), 2u);
    size_t first_halt = calls.size();
    for (size_t i : mine)
        if (calls[i].fn == "clear_halt") {
            first_halt = i;
            break;
        }
    ASSERT_LT(first_halt, calls.size()) << "no shutdown";

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
    EXPECT_EQ(tail, expected) << "shutdown sequence";
    EXPECT_EQ(end_sent - halts_done, 100000u) << "pause before CMD_END";

    size_t end_packets = 0;
    for (const sim::Call &c : transfers(0x03))
        end_packets += c.data == packet(0x74) ? 1 : 0;
    EXPECT_EQ(end_packets, 1u) << "CMD_END sent more than once";
}

// A reply is read after each command packet that went out, and only then.
void check_replies() {
    const std::vector<sim::Call> &calls = sim::calls();
    for (size_t i = 0; i < calls.size(); i++) {
        if (calls[i].fn != "bulk_transfer" || calls[i].endpoint != 0x03)
            continue;
        size_t next = i + 1;
        bool reply_read = next < calls.size() && calls[next].fn == "bulk_transfer" &&
                          calls[next].endpoint == 0x82;
        EXPECT_EQ(reply_read, calls[i].status == 0)
            << describe(calls[i]) << " returned " << calls[i].status << "; reply read "
            << (reply_read ? "" : "not ") << "next";
    }
}

} // namespace

void expect_run_invariants(const RunResult &run) {
    SCOPED_TRACE("run invariants");
    for (const std::string &m : sim::misuse()) {
        ADD_FAILURE() << "libusb misuse: " << m;
    }

    if (sim::calls().empty()) { // help or version: no run at all
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(snapshot() == run.before) << "the output directory changed";
        return;
    }
    // libusb: initialised once, everything it handed out given back, released last.
    ASSERT_EQ(count("init"), 1u);
    bool init_ok = sim::calls_of("init")[0].status == 0;
    EXPECT_EQ(count("exit"), init_ok ? 1u : 0u);
    if (init_ok) {
        EXPECT_EQ(sim::calls().back().fn, "exit");
    }
    EXPECT_EQ(sim::live_contexts(), 0);
    EXPECT_EQ(sim::live_lists(), 0) << "device list not freed";
    EXPECT_EQ(sim::live_handles(), 0) << "device not closed";

    std::vector<int> opened;
    for (const sim::Call &c : sim::calls_of("open"))
        if (c.status == 0)
            opened.push_back(c.device);
    ASSERT_LE(opened.size(), 1u) << "more than one device opened";
    EXPECT_EQ(count("close"), opened.size());

    check_replies();
    std::vector<SavedLine> saved = check_stdout(run);
    check_files(saved);
    check_directory(run, saved);

    if (opened.empty()) {
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "no device\n");
        return;
    }
    EXPECT_NE(run.status, 1);
    check_shutdown(opened[0]);
    if (run.status == 0) {
        for (const std::string &line : lines(run.err)) {
            EXPECT_TRUE(line.rfind("cannot open USB device ", 0) == 0 ||
                        line.rfind("hint: ", 0) == 0)
                << "a run that went through reported: " << line;
        }
    } else {
        EXPECT_FALSE(run.err.empty()) << "exit " << run.status << " without a reason";
    }
}

} // namespace sim_run
