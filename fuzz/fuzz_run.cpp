// Fuzz target: the input bytes become a whole simulated world (scenario::decode: the devices, the
// outcome of every transfer and the bytes of every frame read, faults in the calls around them,
// devices vanishing, the disk filling) and the tool's real main runs in it. Any broken run
// invariant aborts, after printing what the input stood for and what did not hold.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "run_check.h"
#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    scenario::Scenario world = scenario::decode(data, size);
    run_check::fresh_output_dir();
    scenario::apply(world);
    run_check::RunResult run = run_check::run_tool();
    scenario::end_run();

    std::vector<std::string> violations = run_check::run_violations(run);
    if (run.status == 2 && world.disk.frame_read == 0)
        violations.push_back("exit 2 though every file could be written");
    if (violations.empty())
        return 0;
    fprintf(stderr, "world: %s\nexit status: %d\n", scenario::describe(world).c_str(), run.status);
    for (const std::string &v : violations)
        fprintf(stderr, "violation: %s\n", v.c_str());
    fprintf(stderr, "standard output:\n%s\nstandard error:\n%s\n", run.out.c_str(),
            run.err.c_str());
    abort();
}
