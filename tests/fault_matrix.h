// The fault matrix: every libusb call of a run that matters fails in turn with every error libusb
// has (and with short or partial transfers where one can happen), and the device vanishes before
// each of those calls; and the disk fills before each frame read. Generated, not written out: one
// table of call points, one of outcomes.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "scenario.h"

namespace fault_matrix {

struct Case {
    std::string name;         // e.g. "packet_begin_PIPE_reached", "vanish_before_read_11"
    scenario::Scenario world; // one camera streaming frames without end, and the fault
    int status;               // exit status the run must end with
    size_t frames;            // frames it must save
};

const std::vector<Case> &cases();

} // namespace fault_matrix
