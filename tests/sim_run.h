// Whole runs of the tool against the simulated libusb, for GoogleTest: the shared run and
// invariants of run_check.h, and the fixture every case starts from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "camera_model.h"
#include "frame_files.h"
#include "run_check.h"
#include "sim_usb.h"

namespace sim_run {

using run_check::describe;
using run_check::fresh_output_dir;
using run_check::lines;
using run_check::packet;
using run_check::run_tool;
using run_check::RunResult;
using run_check::snapshot;
using run_check::Snapshot;
using run_check::transfers;
using test_files::Bytes;
namespace fs = std::filesystem;

// What every run keeps, whatever the device did: one failure per violation (run_check.cpp).
void expect_run_invariants(const RunResult &run);

// A camera whose frame stream follows `script` (camera::parse_stream), then `after`.
camera::DeviceSpec camera_spec(const std::string &script,
                               camera::After after = camera::After::Silence);

std::vector<uint32_t> saved_counters(const std::string &out); // cnt of each "saved" line

// Every case starts with the simulation reset, and an empty output directory fit for the tool.
class SimRunTest : public testing::Test {
  protected:
    void SetUp() override;
};

} // namespace sim_run
