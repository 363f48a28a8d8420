#include "sim_run.h"

#include <regex>

namespace sim_run {

void expect_run_invariants(const RunResult &run) {
    SCOPED_TRACE("run invariants");
    for (const std::string &violation : run_check::run_violations(run)) {
        ADD_FAILURE() << violation;
    }
}

camera::DeviceSpec camera_spec(const std::string &script, camera::After after) {
    camera::DeviceSpec device_spec;
    std::string error;
    EXPECT_TRUE(camera::parse_stream(script, device_spec.stream, error)) << script << ": " << error;
    device_spec.after = after;
    return device_spec;
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

void SimRunTest::SetUp() {
    sim::reset();
    fresh_output_dir();
}

} // namespace sim_run
