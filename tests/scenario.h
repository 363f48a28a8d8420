// A whole simulated world for one run: the devices listed, the faults planted in libusb calls and
// the moments devices vanish. The fault matrix builds scenarios case by case; the fuzz target
// decodes them from its input. Every byte string decodes to some scenario, and encode() writes the
// bytes that decode back to the same one, so matrix cases become fuzz seeds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "camera_model.h"
#include "sim_usb.h"

namespace scenario {

using Bytes = std::vector<uint8_t>;

struct Device {
    bool camera = true;
    camera::DeviceSpec device_spec; // a camera
    sim::OtherDevice other{};       // another vendor's device
};

// Device `device` is unplugged right before the nth call of `fn` (on `endpoint`, when given).
struct Vanish {
    int device = 0;
    std::string fn;
    int nth = 1;
    int endpoint = -1;
};

// The disk fills before the nth frame read: from then on no file grows beyond `limit` bytes.
struct DiskFull {
    int frame_read = 0; // 0: never
    uint32_t limit = 0;
};

struct Scenario {
    std::vector<Device> devices;
    std::vector<sim::Fault> faults;
    std::vector<Vanish> vanish;
    DiskFull disk;
};

// Every libusb error code, for tables of cases.
const std::vector<int> &libusb_errors();

// Resets the simulation, then lists the devices and plants the faults, vanishings and the full
// disk. Call end_run() once the run is over: it lifts the disk's limit.
void apply(const Scenario &s);
void end_run();

// One readable line: what a fuzz input or a matrix case stands for.
std::string describe(const Scenario &s);

Bytes encode(const Scenario &s);
Scenario decode(const uint8_t *data, size_t size);

} // namespace scenario
