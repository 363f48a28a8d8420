#include "emulated_run.h"

#include "frame_files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

std::string Event::field(const std::string &key) const {
    auto it = fields.find(key);
    return it == fields.end() ? std::string() : it->second;
}

long Event::number(const std::string &key) const {
    std::string text = field(key);
    return text.empty() ? -1 : strtol(text.c_str(), nullptr, 0);
}

std::vector<Event> EmulatedRun::of(int device) const {
    std::vector<Event> mine;
    for (const Event &e : events)
        if (e.device == device)
            mine.push_back(e);
    return mine;
}

std::vector<std::string> EmulatedRun::calls(int device) const {
    std::vector<std::string> seen;
    for (const Event &e : of(device)) {
        if (e.op == "open")
            seen.push_back("open");
        else if (e.op == "set_configuration" || e.op == "claim_interface")
            seen.push_back(e.op + " " + e.field("value"));
        else if (e.op == "clear_halt" || e.op == "in")
            seen.push_back(e.op + " " + e.field("ep"));
        else if (e.op == "out")
            seen.push_back("out " + e.field("data"));
    }
    return seen;
}

std::string read_text(const std::string &path) {
    test_files::Bytes bytes = test_files::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

static void parse_transcript(const std::string &path, EmulatedRun &run) {
    for (const std::string &line : test_files::lines(read_text(path))) {
        std::istringstream words(line);
        if (line.rfind("# device ", 0) == 0) {
            // "# device 1: 833c:0001 bus 1 address 3 node ..."
            int number = 0;
            Camera camera;
            if (sscanf(line.c_str(), "# device %d: %*x:%*x bus %d address %d", &number, &camera.bus,
                       &camera.address) == 3)
                run.cameras[number] = camera;
            continue;
        }
        if (line.empty() || line[0] == '#')
            continue;
        Event e;
        words >> e.ms >> e.device >> e.op;
        for (std::string word; words >> word;) {
            size_t equals = word.find('=');
            if (equals != std::string::npos)
                e.fields[word.substr(0, equals)] = word.substr(equals + 1);
        }
        run.events.push_back(e);
    }
}

// Runs are numbered within a test, so that a test made of several runs keeps every transcript.
static int &runs_in_test(const ::testing::TestInfo *test) {
    static std::map<const ::testing::TestInfo *, int> runs;
    return runs[test];
}

EmulatedRun run_emulated(const std::vector<std::string> &options) {
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string base = std::string(E2E_WORK_DIR) + "/" + test->test_suite_name() + "." +
                       test->name() + "." + std::to_string(++runs_in_test(test));
    std::string out = base + ".out", err = base + ".err", log = base + ".log";

    std::vector<std::string> args = {E2E_EMULATOR, "--log", log};
    args.insert(args.end(), options.begin(), options.end());
    args.push_back("--");
    args.push_back(E2E_TOOL);
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);

    EmulatedRun run;
    int out_fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int err_fd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out_fd < 0 || err_fd < 0) {
        ADD_FAILURE() << "cannot create " << out << " or " << err << ": " << strerror(errno);
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        // Should the test be killed (ctest's time-out), the emulator passes SIGTERM on to the tool.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    int wait_status = 0;
    if (pid < 0 || waitpid(pid, &wait_status, 0) != pid) {
        ADD_FAILURE() << "cannot run " << E2E_EMULATOR << ": " << strerror(errno);
        return run;
    }
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.out = read_text(out);
    run.err = read_text(err);
    parse_transcript(log, run);
    return run;
}
