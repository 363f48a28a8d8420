#include "fault_matrix.h"

#include <libusb.h>

namespace fault_matrix {

namespace {

// How a call can go wrong besides returning an error.
enum class Kind {
    Local,   // init, the device list, the descriptor: nothing reaches the device
    Control, // open and the control requests: the device may have acted on it before the error
    Packet,  // command packet on 0x03
    Reply,   // reply read on 0x82
    Frame,   // frame read on 0x81
};

struct Point {
    const char *name;
    const char *fn;
    int endpoint;
    int nth;
    Kind kind;
    size_t frames_if_vanished; // frames a run saves when the device vanishes before this call
};

constexpr size_t ALL = 45;

// The calls of a full run that matter, in order. Command packets and their replies count alike:
// SETUP_1..3 (1-3), FFC (4, 5), BEGIN (6), FFC before frames 10, 20, 30, 40 (7-10), END (11).
// Frame read n delivers the frame with counter n - 1.
const Point points[] = {
    {"init", "init", -1, 1, Kind::Local, 0},
    {"device_list", "get_device_list", -1, 1, Kind::Local, 0},
    {"descriptor", "get_device_descriptor", -1, 1, Kind::Local, 0},
    {"open", "open", -1, 1, Kind::Control, 0},
    {"config_2", "set_configuration", -1, 1, Kind::Control, 0},
    {"config_1", "set_configuration", -1, 2, Kind::Control, 0},
    {"claim", "claim_interface", -1, 1, Kind::Control, 0},
    {"packet_setup_1", "bulk_transfer", 0x03, 1, Kind::Packet, 0},
    {"packet_setup_3", "bulk_transfer", 0x03, 3, Kind::Packet, 0},
    {"packet_ffc_startup_2", "bulk_transfer", 0x03, 5, Kind::Packet, 0},
    {"packet_begin", "bulk_transfer", 0x03, 6, Kind::Packet, 0},
    {"packet_ffc_f10", "bulk_transfer", 0x03, 7, Kind::Packet, 11},
    {"packet_ffc_f40", "bulk_transfer", 0x03, 10, Kind::Packet, 41},
    {"packet_end", "bulk_transfer", 0x03, 11, Kind::Packet, ALL},
    {"reply_setup_1", "bulk_transfer", 0x82, 1, Kind::Reply, 0},
    {"reply_setup_3", "bulk_transfer", 0x82, 3, Kind::Reply, 0},
    {"reply_ffc_startup_2", "bulk_transfer", 0x82, 5, Kind::Reply, 0},
    {"reply_begin", "bulk_transfer", 0x82, 6, Kind::Reply, 0},
    {"reply_ffc_f10", "bulk_transfer", 0x82, 7, Kind::Reply, 11},
    {"reply_ffc_f40", "bulk_transfer", 0x82, 10, Kind::Reply, 41},
    {"reply_end", "bulk_transfer", 0x82, 11, Kind::Reply, ALL},
    {"read_1", "bulk_transfer", 0x81, 1, Kind::Frame, 0},
    {"read_2", "bulk_transfer", 0x81, 2, Kind::Frame, 1},
    {"read_10", "bulk_transfer", 0x81, 10, Kind::Frame, 9},
    {"read_11", "bulk_transfer", 0x81, 11, Kind::Frame, 10},
    {"read_30", "bulk_transfer", 0x81, 30, Kind::Frame, 29},
    {"read_44", "bulk_transfer", 0x81, 44, Kind::Frame, 43},
    {"read_45", "bulk_transfer", 0x81, 45, Kind::Frame, 44},
    {"halt_03", "clear_halt", 0x03, 1, Kind::Control, ALL},
    {"halt_82", "clear_halt", 0x82, 1, Kind::Control, ALL},
};

// An outcome of a call other than a plain error.
struct Partial {
    const char *name;
    Kind kind;
    int error;
    int transferred;
};

// Transfers cut short, with or without an error: the device took or sent part of the data.
const Partial partials[] = {
    {"short_send_ok", Kind::Packet, 0, 2},
    {"TIMEOUT_part_sent", Kind::Packet, LIBUSB_ERROR_TIMEOUT, 2},
    {"short_reply_ok", Kind::Reply, 0, 1},
    {"TIMEOUT_part_reply", Kind::Reply, LIBUSB_ERROR_TIMEOUT, 8},
    {"OVERFLOW_reply", Kind::Reply, LIBUSB_ERROR_OVERFLOW, 4096},
    {"short_frame_ok", Kind::Frame, 0, 1000},
    {"short_of_header_ok", Kind::Frame, 0, 27},
    {"header_only_ok", Kind::Frame, 0, 28},
    {"TIMEOUT_part_frame", Kind::Frame, LIBUSB_ERROR_TIMEOUT, 20000},
    {"OVERFLOW_frame", Kind::Frame, LIBUSB_ERROR_OVERFLOW, 38456},
    {"list_empty", Kind::Local, 0, 0}, // get_device_list only: a count of 0
};

bool before_open(const Point &p) {
    return p.kind == Kind::Local || std::string(p.fn) == "open";
}

scenario::Scenario one_camera() {
    scenario::Scenario world;
    world.devices.emplace_back(); // frames without end once CMD_BEGIN is in
    return world;
}

std::string error_name(int error) {
    return libusb_error_name(error) + sizeof("LIBUSB_ERROR_") - 1;
}

Case fault_case(const Point &p, const std::string &outcome, int error, int transferred,
                bool reached) {
    Case c{std::string(p.name) + "_" + outcome + (reached ? "_reached" : ""), one_camera(),
           before_open(p) ? 1 : 0, before_open(p) ? 0 : ALL};
    sim::Fault f;
    f.fn = p.fn;
    f.nth = p.nth;
    f.endpoint = p.endpoint;
    f.error = error;
    f.transferred = transferred;
    f.reaches_device = reached;
    c.world.faults.push_back(f);
    // CMD_BEGIN that never reached the device: it streams nothing.
    if (std::string(p.name) == "packet_begin" && !reached)
        c.frames = 0;
    return c;
}

std::vector<Case> generate() {
    std::vector<Case> out;
    for (const Point &p : points) {
        const bool reachable = p.kind != Kind::Local;
        for (int error : scenario::libusb_errors()) {
            out.push_back(fault_case(p, error_name(error), error, 0, false));
            if (reachable)
                out.push_back(fault_case(p, error_name(error), error, 0, true));
        }
        for (const Partial &partial : partials)
            if (partial.kind == p.kind &&
                (p.kind != Kind::Local || std::string(p.fn) == "get_device_list"))
                out.push_back(fault_case(p, partial.name, partial.error, partial.transferred,
                                         p.kind != Kind::Local));

        Case gone{std::string("vanish_before_") + p.name, one_camera(), before_open(p) ? 1 : 0,
                  p.frames_if_vanished};
        gone.world.vanish.push_back({0, p.fn, p.nth, p.endpoint});
        out.push_back(gone);

        // The disk fills in the middle of the frame this read brings: the run says so and ends.
        if (p.kind == Kind::Frame) {
            Case full{std::string("disk_full_before_") + p.name, one_camera(), 2,
                      p.frames_if_vanished};
            full.world.disk = {p.nth, 20000};
            out.push_back(full);
        }
    }
    return out;
}

} // namespace

const std::vector<Case> &cases() {
    static const std::vector<Case> all = generate();
    return all;
}

} // namespace fault_matrix
