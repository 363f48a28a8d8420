// usb_emulator: runs a command against emulated USB cameras (vendor 0x833C). The cameras live in a
// umockdev testbed; the command runs unmodified under umockdev's preload library, so the real
// libusb finds the cameras in the testbed's sysfs and talks to their usbfs nodes, whose ioctls
// this process answers from the camera model.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <getopt.h>
#include <glib-unix.h>
#include <libusb.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "usbfs_camera.h"

namespace {

constexpr int EXIT_EMULATOR_FAILED = 125; // as env(1) and timeout(1) do
constexpr int EXIT_CANNOT_EXECUTE = 126;
constexpr int EXIT_NOT_FOUND = 127;
constexpr uint16_t OTHER_VENDOR = 0x1d6b; // a device the tool must walk past
constexpr char PRELOAD_LIBRARY[] = "libumockdev-preload.so.0";

void print_usage() {
    printf(
        "usage: usb_emulator [OPTION]... [--] COMMAND [ARGUMENT]...\n"
        "\n"
        "Runs COMMAND against emulated USB cameras (vendor 833c) and exits with its status.\n"
        "COMMAND runs unmodified, with the system's libusb, under umockdev's preload library\n"
        "(LD_PRELOAD=libumockdev-preload.so.0, UMOCKDEV_DIR=<testbed>). It inherits standard\n"
        "input, output and error.\n"
        "\n"
        "Cameras:\n"
        "  -n, --devices=N            cameras to attach (default 1; 0 for none)\n"
        "      --other-device         also attach a device of another vendor (%04x), listed\n"
        "                             before the cameras\n"
        "      --product=ID           product id of the cameras (default 0x0001)\n"
        "  -s, --stream=SCRIPT        what each read of 0x81 gets once CMD_BEGIN has come, one\n"
        "                             step per read (default: frames, counters 0, 1, 2, ...)\n"
        "      --then=frames|silence  what the stream does after the script (default frames)\n"
        "      --refuse-open=K[:ERR]  camera K (1 = the first libusb lists) cannot be opened:\n"
        "                             ERR is ACCESS (node mode 000; default) or NO_DEVICE (no\n"
        "                             node). As root, COMMAND runs without CAP_DAC_OVERRIDE and\n"
        "                             CAP_DAC_READ_SEARCH so that the mode holds.\n"
        "      --refuse-config2[=ERR] configuration 2 is rejected: BUSY (default), NOT_FOUND,\n"
        "                             NO_DEVICE or OTHER\n"
        "      --silent-replies       command packets are taken, but no reply ever comes on 0x82\n"
        "      --drop-reply=I[,I]...  the replies to these command packets (0 = the first) never\n"
        "                             come\n"
        "\n"
        "Stream script: comma-separated steps, each optionally followed by *N (N times):\n"
        "  f        frame, next counter          f:LEN     frame of LEN bytes (cut to the read)\n"
        "  c=V      frame with counter V         r[:LEN]   the previous frame again\n"
        "  x[:LEN]  bytes without the magic      stall     endpoint halt (LIBUSB_ERROR_PIPE)\n"
        "  quiet    nothing: the read times out  part:LEN  LEN bytes, then the read times out\n"
        "  gone     the camera vanishes: this and every later call fails with NO_DEVICE\n"
        "  err:NAME the read fails; usbfs carries IO, PIPE, OVERFLOW, NO_DEVICE, NO_MEM and\n"
        "           TIMEOUT (= quiet); any other name arrives as IO\n"
        "  Example: f*3,r,x:20,stall,quiet,part:1000,f*40,gone\n"
        "\n"
        "Run:\n"
        "  -l, --log=FILE             write every call the cameras saw, with its time (ms since\n"
        "                             the emulator started), reaps and discards included\n"
        "      --file-size-limit=N    RLIMIT_FSIZE of COMMAND in bytes, SIGXFSZ at its default\n"
        "      --cpu                  print the CPU time of COMMAND and of the emulator at the "
        "end\n"
        "                             (standard error, and the log)\n"
        "      --no-fifo              leave the device nodes plain files: libusb then polls them\n"
        "                             without pause (to measure what the FIFOs save)\n"
        "  -h, --help                 this text\n"
        "\n"
        "Exit status: COMMAND's; 128+N when it died of signal N; 125 when the emulator failed;\n"
        "126 when COMMAND could not be run, 127 when it was not found.\n",
        OTHER_VENDOR);
}

struct Options {
    int devices = 1;
    bool other_device = false;
    uint16_t product = 0x0001;
    std::vector<camera::StreamStep> stream;
    camera::After then = camera::After::Frames;
    std::vector<std::pair<int, int>> refused; // camera number, libusb error
    int config2_error = 0;
    bool silent_replies = false;
    std::vector<uint32_t> dropped_replies;
    long long file_size_limit = -1;
    std::string log;
    bool cpu = false;
    bool fifo = true;
    std::vector<char *> command;
};

int error_named(const std::string &name, std::initializer_list<int> allowed) {
    for (int error : allowed)
        if (name == libusb_error_name(error) + strlen("LIBUSB_ERROR_"))
            return error;
    return 0;
}

bool parse_number(const char *text, long long low, long long high, long long &value) {
    char *end = nullptr;
    errno = 0;
    value = strtoll(text, &end, 0);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

bool parse_refusal(const std::string &text, std::pair<int, int> &refusal) {
    size_t colon = text.find(':');
    long long number = 0;
    if (!parse_number(text.substr(0, colon).c_str(), 1, 64, number))
        return false;
    refusal.first = static_cast<int>(number);
    refusal.second = LIBUSB_ERROR_ACCESS;
    if (colon != std::string::npos)
        refusal.second =
            error_named(text.substr(colon + 1), {LIBUSB_ERROR_ACCESS, LIBUSB_ERROR_NO_DEVICE});
    return refusal.second != 0;
}

bool parse_list(const std::string &text, std::vector<uint32_t> &values) {
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = std::min(text.find(',', start), text.size());
        long long value = 0;
        if (!parse_number(text.substr(start, end - start).c_str(), 0, 1000000, value))
            return false;
        values.push_back(static_cast<uint32_t>(value));
        start = end + 1;
    }
    return true;
}

// Returns -1 to go on, or the status to exit with.
int parse_options(int argc, char *argv[], Options &options) {
    enum {
        OPT_OTHER = 256,
        OPT_PRODUCT,
        OPT_THEN,
        OPT_REFUSE_OPEN,
        OPT_REFUSE_CONFIG2,
        OPT_SILENT,
        OPT_DROP,
        OPT_FSIZE,
        OPT_CPU,
        OPT_NO_FIFO,
    };
    static const option longs[] = {
        {"devices", required_argument, nullptr, 'n'},
        {"other-device", no_argument, nullptr, OPT_OTHER},
        {"product", required_argument, nullptr, OPT_PRODUCT},
        {"stream", required_argument, nullptr, 's'},
        {"then", required_argument, nullptr, OPT_THEN},
        {"refuse-open", required_argument, nullptr, OPT_REFUSE_OPEN},
        {"refuse-config2", optional_argument, nullptr, OPT_REFUSE_CONFIG2},
        {"silent-replies", no_argument, nullptr, OPT_SILENT},
        {"drop-reply", required_argument, nullptr, OPT_DROP},
        {"log", required_argument, nullptr, 'l'},
        {"file-size-limit", required_argument, nullptr, OPT_FSIZE},
        {"cpu", no_argument, nullptr, OPT_CPU},
        {"no-fifo", no_argument, nullptr, OPT_NO_FIFO},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    long long number = 0;
    std::string error;
    while ((c = getopt_long(argc, argv, "+n:s:l:h", longs, nullptr)) != -1) {
        std::string arg = optarg != nullptr ? optarg : "";
        bool ok = true;
        switch (c) {
        case 'n':
            ok = parse_number(optarg, 0, 32, number);
            options.devices = static_cast<int>(number);
            break;
        case OPT_OTHER:
            options.other_device = true;
            break;
        case OPT_PRODUCT:
            ok = parse_number(optarg, 0, 0xFFFF, number);
            options.product = static_cast<uint16_t>(number);
            break;
        case 's':
            ok = camera::parse_stream(arg, options.stream, error);
            break;
        case OPT_THEN:
            ok = arg == "frames" || arg == "silence";
            options.then = arg == "silence" ? camera::After::Silence : camera::After::Frames;
            break;
        case OPT_REFUSE_OPEN: {
            std::pair<int, int> refusal;
            ok = parse_refusal(arg, refusal);
            options.refused.push_back(refusal);
            break;
        }
        case OPT_REFUSE_CONFIG2:
            options.config2_error =
                optarg == nullptr ? LIBUSB_ERROR_BUSY
                                  : error_named(arg, {LIBUSB_ERROR_BUSY, LIBUSB_ERROR_NOT_FOUND,
                                                      LIBUSB_ERROR_NO_DEVICE, LIBUSB_ERROR_OTHER});
            ok = options.config2_error != 0;
            break;
        case OPT_SILENT:
            options.silent_replies = true;
            break;
        case OPT_DROP:
            ok = parse_list(arg, options.dropped_replies);
            break;
        case 'l':
            options.log = arg;
            break;
        case OPT_FSIZE:
            ok = parse_number(optarg, 0, 1LL << 40, options.file_size_limit);
            break;
        case OPT_CPU:
            options.cpu = true;
            break;
        case OPT_NO_FIFO:
            options.fifo = false;
            break;
        case 'h':
            print_usage();
            return 0;
        default:
            fprintf(stderr, "usb_emulator: try --help\n");
            return EXIT_EMULATOR_FAILED;
        }
        if (!ok) {
            const char *name = "?";
            for (const option *o = longs; o->name != nullptr; o++)
                if (o->val == c)
                    name = o->name;
            fprintf(stderr, "usb_emulator: bad value for --%s: '%s'%s%s\n", name, arg.c_str(),
                    error.empty() ? "" : ": ", error.c_str());
            return EXIT_EMULATOR_FAILED;
        }
    }
    for (const auto &refusal : options.refused) {
        if (refusal.first > options.devices) {
            fprintf(stderr, "usb_emulator: --refuse-open=%d: there are only %d cameras\n",
                    refusal.first, options.devices);
            return EXIT_EMULATOR_FAILED;
        }
    }
    if (optind >= argc) {
        fprintf(stderr, "usb_emulator: no command given; try --help\n");
        return EXIT_EMULATOR_FAILED;
    }
    options.command.assign(argv + optind, argv + argc);
    options.command.push_back(nullptr);
    return -1;
}

camera::DeviceSpec camera_spec(const Options &options, int number) {
    camera::DeviceSpec device_spec;
    device_spec.product = options.product;
    device_spec.config2_error = options.config2_error;
    device_spec.silent_replies = options.silent_replies;
    device_spec.dropped_replies = options.dropped_replies;
    device_spec.stream = options.stream;
    device_spec.after = options.then;
    for (const auto &refusal : options.refused)
        if (refusal.first == number)
            device_spec.open_error = refusal.second;
    return device_spec;
}

// As root the child would open a mode-000 node all the same: take away the two capabilities
// that let it, for good (bounding set too, or the exec would hand them back).
void drop_file_access_override() {
    prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0);
    prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0);
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return;
    uint32_t keep = ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
    data[0].effective &= keep;
    data[0].permitted &= keep;
    data[0].inheritable &= keep;
    syscall(SYS_capset, &header, data);
}

struct Child {
    char **argv;
    char **envp;
    long long file_size_limit;
    bool drop_access_override;
};

// Runs between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const Child &child) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (child.file_size_limit >= 0) {
        rlimit limit{static_cast<rlim_t>(child.file_size_limit),
                     static_cast<rlim_t>(child.file_size_limit)};
        setrlimit(RLIMIT_FSIZE, &limit);
        signal(SIGXFSZ, SIG_DFL);
    }
    if (child.drop_access_override)
        drop_file_access_override();
    execvpe(child.argv[0], child.argv, child.envp);
    int error = errno;
    static const char prefix[] = "usb_emulator: cannot run ";
    ssize_t ignored = write(STDERR_FILENO, prefix, sizeof(prefix) - 1);
    ignored = write(STDERR_FILENO, child.argv[0], strlen(child.argv[0]));
    ignored = write(STDERR_FILENO, ": ", 2);
    ignored = write(STDERR_FILENO, strerror(error), strlen(strerror(error)));
    ignored = write(STDERR_FILENO, "\n", 1);
    (void)ignored;
    _exit(error == ENOENT ? EXIT_NOT_FOUND : EXIT_CANNOT_EXECUTE);
}

struct Run {
    GMainLoop *loop = nullptr;
    UMockdevTestbed *testbed = nullptr;
    pid_t child = -1;
    int status = EXIT_EMULATOR_FAILED;
};

void on_child_exit(GPid, gint wait_status, gpointer data) {
    auto *run = static_cast<Run *>(data);
    if (WIFEXITED(wait_status))
        run->status = WEXITSTATUS(wait_status);
    else if (WIFSIGNALED(wait_status))
        run->status = 128 + WTERMSIG(wait_status);
    g_main_loop_quit(run->loop);
}

// Ctrl-C and friends are meant for the command: pass them on and wait for it to end.
template <int SIGNAL> gboolean forward_signal(gpointer data) {
    kill(static_cast<Run *>(data)->child, SIGNAL);
    return G_SOURCE_CONTINUE;
}

struct Removal {
    UsbfsCamera *camera;
    UMockdevTestbed *testbed;
};

gboolean remove_camera(gpointer data) {
    auto *removal = static_cast<Removal *>(data);
    removal->camera->remove(removal->testbed);
    delete removal;
    return G_SOURCE_REMOVE;
}

double ms(const timeval &t) {
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_usec) / 1000.0;
}

std::string cpu_report(uint64_t wall_us) {
    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    char text[200];
    snprintf(text, sizeof(text),
             "cpu: command %.1f ms (user %.1f, system %.1f), emulator %.1f ms (user %.1f, "
             "system %.1f), wall %.1f ms",
             ms(children.ru_utime) + ms(children.ru_stime), ms(children.ru_utime),
             ms(children.ru_stime), ms(self.ru_utime) + ms(self.ru_stime), ms(self.ru_utime),
             ms(self.ru_stime), static_cast<double>(wall_us) / 1000.0);
    return text;
}

int run(const Options &options) {
    Shared shared;
    if (!options.log.empty()) {
        int error = shared.transcript.open(options.log);
        if (error != 0) {
            fprintf(stderr, "usb_emulator: cannot write %s: %s\n", options.log.c_str(),
                    strerror(error));
            return EXIT_EMULATOR_FAILED;
        }
    }

    Run state;
    state.testbed = umockdev_testbed_new();
    state.loop = g_main_loop_new(nullptr, FALSE);

    // libusb lists the device added last first: add the other vendor's device last so that the
    // tool has to walk past it, and camera 1 just before it.
    int count = options.devices + (options.other_device ? 1 : 0);
    std::vector<std::unique_ptr<UsbfsCamera>> cameras;
    for (int i = 0; i < count; i++) {
        bool other = i == options.devices;
        int number = other ? count : options.devices - i;
        camera::DeviceSpec device_spec = camera_spec(options, number);
        if (other)
            device_spec = camera::DeviceSpec{}, device_spec.vendor = OTHER_VENDOR;
        device_spec.bus = 1;
        device_spec.address = static_cast<uint8_t>(2 + i);
        cameras.push_back(std::make_unique<UsbfsCamera>(number, 1 + i, device_spec, shared));
        UsbfsCamera &camera = *cameras.back();
        camera.on_vanished = [&state](UsbfsCamera &gone) {
            g_idle_add(remove_camera, new Removal{&gone, state.testbed});
        };
        std::string error;
        if (!camera.attach(state.testbed, options.fifo, error)) {
            fprintf(stderr, "usb_emulator: %s\n", error.c_str());
            return EXIT_EMULATOR_FAILED;
        }
    }

    gchar *root = umockdev_testbed_get_root_dir(state.testbed);
    gchar **env = g_get_environ();
    const gchar *preload = g_environ_getenv(env, "LD_PRELOAD");
    if (preload == nullptr || strstr(preload, PRELOAD_LIBRARY) == nullptr)
        env = g_environ_setenv(env, "LD_PRELOAD", PRELOAD_LIBRARY, TRUE);
    env = g_environ_setenv(env, "UMOCKDEV_DIR", root, TRUE);

    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.transcript.remark("usb_emulator transcript: <ms since start> <device> <event>");
        shared.transcript.remark(std::string("testbed ") + root);
        for (auto it = cameras.rbegin(); it != cameras.rend(); ++it)
            shared.transcript.remark((*it)->describe());
        std::string command = "command";
        for (char *arg : options.command)
            if (arg != nullptr)
                command += std::string(" ") + arg;
        shared.transcript.remark(command);
    }
    g_free(root);

    bool refuses = false;
    for (const auto &refusal : options.refused)
        refuses = refuses || refusal.second == LIBUSB_ERROR_ACCESS;
    Child child{const_cast<char **>(options.command.data()), env, options.file_size_limit,
                refuses && geteuid() == 0};
    fflush(stdout);
    fflush(stderr);
    state.child = fork();
    if (state.child == 0)
        exec_child(child);
    g_strfreev(env);
    if (state.child < 0) {
        fprintf(stderr, "usb_emulator: cannot fork: %s\n", strerror(errno));
        return EXIT_EMULATOR_FAILED;
    }

    g_child_watch_add(state.child, on_child_exit, &state);
    g_unix_signal_add(SIGINT, forward_signal<SIGINT>, &state);
    g_unix_signal_add(SIGTERM, forward_signal<SIGTERM>, &state);
    g_unix_signal_add(SIGHUP, forward_signal<SIGHUP>, &state);
    g_main_loop_run(state.loop);

    for (auto &camera : cameras)
        camera->command_exited();
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        uint64_t now = shared.transcript.now_us();
        shared.transcript.remark("command exit status " + std::to_string(state.status) + " after " +
                                 Transcript::ms_text(now) + " ms");
        if (options.cpu) {
            std::string report = cpu_report(now);
            shared.transcript.remark(report);
            fprintf(stderr, "usb_emulator: %s\n", report.c_str());
        }
        shared.transcript.close();
    }
    // The testbed goes first: its worker thread calls into the cameras until it is gone.
    g_object_unref(state.testbed);
    cameras.clear();
    g_main_loop_unref(state.loop);
    return state.status;
}

// umockdev sends uevents through libudev, which must see the testbed's sysfs: the emulator itself
// runs under the preload library too, as umockdev-wrapper would run it.
void enter_mock_environment(char *argv[]) {
    const char *preload = getenv("LD_PRELOAD");
    if (preload != nullptr && strstr(preload, PRELOAD_LIBRARY) != nullptr)
        return;
    std::string preloads = PRELOAD_LIBRARY;
    if (preload != nullptr && *preload != '\0')
        preloads = std::string(preload) + ":" + preloads;
    setenv("LD_PRELOAD", preloads.c_str(), 1);
    execv("/proc/self/exe", argv);
    fprintf(stderr, "usb_emulator: cannot restart under %s: %s\n", PRELOAD_LIBRARY,
            strerror(errno));
    exit(EXIT_EMULATOR_FAILED);
}

} // namespace

int main(int argc, char *argv[]) {
    Options options;
    int status = parse_options(argc, argv, options);
    if (status >= 0)
        return status;
    enter_mock_environment(argv);
    return run(options);
}
