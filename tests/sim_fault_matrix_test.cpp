// The fault matrix (fault_matrix.cpp) on the simulated device: each case is one whole run that
// must end with its exit status, save its frames and keep every run invariant.
#include <gtest/gtest.h>

#include "case_name.h"
#include "fault_matrix.h"
#include "sim_run.h"

namespace fault_matrix {
// GoogleTest prints a failing case by its name, not its bytes.
void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}
} // namespace fault_matrix

namespace {

using namespace sim_run;

class FaultMatrix : public SimRunTest, public testing::WithParamInterface<fault_matrix::Case> {};

TEST_P(FaultMatrix, RunKeepsItsPromise) {
    const fault_matrix::Case &c = GetParam();
    // Run what the case's fuzz seed decodes to, so the seeds replay exactly these cases.
    scenario::Bytes seed = scenario::encode(c.world);
    scenario::Scenario world = scenario::decode(seed.data(), seed.size());
    ASSERT_EQ(scenario::describe(world), scenario::describe(c.world)) << "seed bytes lose a detail";
    scenario::apply(world);

    RunResult run = run_tool();
    scenario::end_run();
    SCOPED_TRACE(scenario::describe(world));
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(saved_counters(run.out).size(), c.frames);
    expect_run_invariants(run);
}

INSTANTIATE_TEST_SUITE_P(Calls, FaultMatrix, testing::ValuesIn(fault_matrix::cases()),
                         test_files::CaseName());

} // namespace
