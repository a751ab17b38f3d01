// flasher-vdev: hosts virtual target devices and runs a command against them
// through the real libusb (umockdev emulates sysfs and usbfs for it), then
// tells what each device received.
#include "tools/vdev/vdev.h"

#include <umockdev.h>

#include <glib-unix.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#if !defined(FLASHER_VDEV_DEFAULT_VID) || !defined(FLASHER_VDEV_DEFAULT_PID)
#error "the build must define FLASHER_VDEV_DEFAULT_VID and FLASHER_VDEV_DEFAULT_PID"
#endif
#ifndef FLASHER_VDEV_SHIM_RELDIR
#error "the build must define FLASHER_VDEV_SHIM_RELDIR (the shim's directory from the program's)"
#endif

namespace vdev
{
run_state state;
}

namespace
{

using vdev::state;

constexpr int exit_usage = 2;
constexpr int exit_differs = 3;
constexpr int exit_cannot_start = 127;
constexpr std::size_t params_size = 256;

const char usage_text[] =
    "Usage: flasher-vdev [options] -- COMMAND [ARGS...]\n"
    "Runs COMMAND against virtual target devices and tells what each received.\n"
    "Options:\n"
    "  --device SPEC         add a device (repeatable; default: one device)\n"
    "                        SPEC is KEY=VALUE or FLAG items joined by commas:\n"
    "                        vid=HEX pid=HEX serial=TEXT path=BUS[-PORT[.PORT...]]\n"
    "                        endpoints=EP[:EP...] (hex, in order) service-us=N\n"
    "                        stall=N timeout=N short=N:K gone=N (bulk transfer N from 0)\n"
    "                        unconfigured no-interface no-out no-open serial-fails\n"
    "                        no-access (the node has mode 0000: EACCES unless root)\n"
    "  --fast-pauses         the command's sleeps return at once (still recorded)\n"
    "  --account FILE        write the account to FILE instead of standard error\n"
    "  --json                write the account as JSON\n"
    "  --expect-image FILE   check the device received what FILE puts on the wire\n"
    "  --expect-params FILE  check the device received FILE as a parameter block\n"
    "  --help                print this text\n"
    "Exit status: the command's (128+N when a signal N ends it); 3 when an\n"
    "expectation is not met; 2 for bad options, an expected file that cannot be\n"
    "read or is no 256-byte parameter file, an account file that cannot be\n"
    "written, or devices that clash, all found before the command starts; 127\n"
    "when the command cannot be started or the shim is missing.\n";

struct options {
    bool fast_pauses = false;
    bool json = false;
    const char *account_file = nullptr;
    const char *expect_image = nullptr;
    const char *expect_params = nullptr;
    char **command = nullptr;
};

// The options that take a value, and what the value is called.
struct valued_option {
    const char *name;
    const char *value_name;
    const char *options::*field; // null for --device, which may repeat
};

constexpr valued_option valued_options[] = {
    {"--device", "SPEC", nullptr},
    {"--account", "FILE", &options::account_file},
    {"--expect-image", "FILE", &options::expect_image},
    {"--expect-params", "FILE", &options::expect_params},
};

const valued_option *valued_option_named(const std::string &name)
{
    for (const valued_option &v : valued_options) {
        if (name == v.name)
            return &v;
    }
    return nullptr;
}

int usage_error(const std::string &what)
{
    std::fprintf(stderr, "flasher-vdev: %s\n%s", what.c_str(), usage_text);
    return exit_usage;
}

vdev::device_spec default_spec(std::size_t index)
{
    vdev::device_spec spec;
    spec.vid = FLASHER_VDEV_DEFAULT_VID;
    spec.pid = FLASHER_VDEV_DEFAULT_PID;
    spec.serial = "vdev-" + std::to_string(index + 1);
    spec.bus = 1;
    spec.ports = {static_cast<unsigned>(index + 1)};
    return spec;
}

// Returns -1 when parsed, else the exit status.
int parse_options(int argc, char **argv, options &opt)
{
    std::vector<const char *> specs;
    int i = 1;
    for (; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        const std::string a = argv[i];
        if (a == "--help") {
            std::fputs(usage_text, stdout);
            return 0;
        }
        if (a == "--fast-pauses" || a == "--json") {
            (a == "--json" ? opt.json : opt.fast_pauses) = true;
            continue;
        }
        const valued_option *v = valued_option_named(a);
        if (v == nullptr && a[0] == '-')
            return usage_error("unknown option " + a);
        if (v == nullptr) // most likely the command, given without the -- before it
            return usage_error(a + " is not an option: put -- before the command");
        // No value starts with "--": that is the next option, or the command's --.
        if (i + 1 >= argc || std::strncmp(argv[i + 1], "--", 2) == 0)
            return usage_error(a + " needs a " + v->value_name);
        ++i;
        if (v->field == nullptr)
            specs.push_back(argv[i]);
        else
            opt.*(v->field) = argv[i];
    }
    if (i >= argc || i + 1 >= argc)
        return usage_error("no command given after --");
    if (opt.expect_image != nullptr && opt.expect_params != nullptr)
        return usage_error("give --expect-image or --expect-params, not both");
    opt.command = argv + i + 1;

    if (specs.empty())
        specs.push_back("");
    for (std::size_t k = 0; k < specs.size(); ++k) {
        vdev::virtual_device dev;
        dev.spec = default_spec(k);
        std::string error;
        if (specs[k][0] != '\0' && !vdev::parse_device_spec(specs[k], dev.spec, error))
            return usage_error(error);
        state.devices.push_back(std::move(dev));
    }
    return -1;
}

constexpr const char *shim_name = "libflasher_vdev_shim.so";

// Where the sleep shim is, given this program's directory (with its trailing
// '/'): next to it in the build tree, else in the private library directory
// of an installed copy. Both are relative to the program, so a tree moved or
// unpacked under another prefix still finds its own shim and never one of
// another build. "" when neither is there.
std::string shim_path_from(const std::string &exe_dir)
{
    const std::string candidates[] = {
        exe_dir + shim_name,
        exe_dir + FLASHER_VDEV_SHIM_RELDIR + "/" + shim_name,
    };
    for (const std::string &path : candidates) {
        if (access(path.c_str(), R_OK) == 0)
            return path;
    }
    return "";
}

std::string shim_path()
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0)
        return "";
    exe[n] = '\0';
    std::string dir(exe);
    dir.resize(dir.rfind('/') + 1); // keep up to the last '/'
    return shim_path_from(dir);
}

struct run;

// One process of the command, connected on its first report. It holds open
// the device nodes it reported opened and not yet closed.
struct connection {
    run *owner = nullptr;
    int fd = -1;
    guint watch = 0;
    std::vector<vdev::virtual_device *> held; // one entry per open node
};

struct run {
    bool fast_pauses = false;
    GMainLoop *loop = nullptr;
    int listen_fd = -1;
    guint listen_watch = 0;
    std::list<connection> connections;
    pid_t child = -1;
    int status = 0;
};

// The device whose node is /dev/bus/usb/BBB/DDD, where bus_devnum is
// BBB << 8 | DDD.
vdev::virtual_device *device_at(std::uint32_t bus_devnum)
{
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", bus_devnum >> 8, bus_devnum & 0xFF);
    for (vdev::virtual_device &dev : state.devices) {
        if (dev.devnode == node)
            return &dev;
    }
    return nullptr;
}

bool holds(const connection &c, const vdev::virtual_device *dev)
{
    return std::find(c.held.begin(), c.held.end(), dev) != c.held.end();
}

// A pause belongs to the account of each device its own process holds open
// and has claimed: another process's device knows nothing of it.
void record_pause(const connection &c, unsigned seconds)
{
    account::record_pause(state.pauses, seconds);
    for (vdev::virtual_device &dev : state.devices) {
        if (dev.claimed && holds(c, &dev))
            account::record_pause(dev.rec, seconds);
    }
}

void record_open_or_close(connection &c, char kind, std::uint32_t bus_devnum)
{
    vdev::virtual_device *dev = device_at(bus_devnum);
    if (dev == nullptr)
        return;
    if (kind == 'O') {
        dev->opens += 1;
        c.held.push_back(dev);
        return;
    }
    dev->closes += 1;
    if (auto it = std::find(c.held.begin(), c.held.end(), dev); it != c.held.end())
        c.held.erase(it);
}

void drop_connection(connection &c)
{
    close(c.fd);
    run *r = c.owner;
    r->connections.remove_if([&](const connection &other) { return &other == &c; });
}

// A report from the shim in one process of the command: a pause ('P',
// seconds), or an open ('O') or close ('C') of a device node. The process
// waits for the answer, so the report lands in order with its transfers.
gboolean on_report(gint fd, GIOCondition, gpointer user)
{
    auto *c = static_cast<connection *>(user);
    unsigned char msg[5];
    if (recv(fd, msg, sizeof msg, MSG_WAITALL) != static_cast<ssize_t>(sizeof msg)) {
        drop_connection(*c); // the process has ended
        return G_SOURCE_REMOVE;
    }
    std::uint32_t value;
    std::memcpy(&value, msg + 1, sizeof value);
    char answer = 'R';
    {
        std::lock_guard<std::mutex> hold(state.lock);
        if (msg[0] == 'P') {
            record_pause(*c, value);
            answer = c->owner->fast_pauses ? 'F' : 'R';
        } else {
            record_open_or_close(*c, static_cast<char>(msg[0]), value);
        }
    }
    if (send(fd, &answer, 1, MSG_NOSIGNAL) != 1) {
        drop_connection(*c);
        return G_SOURCE_REMOVE;
    }
    return G_SOURCE_CONTINUE;
}

gboolean on_connect(gint fd, GIOCondition, gpointer user)
{
    auto *r = static_cast<run *>(user);
    int conn = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn < 0)
        return G_SOURCE_CONTINUE;
    connection &c = r->connections.emplace_back();
    c.owner = r;
    c.fd = conn;
    c.watch = g_unix_fd_add(conn, G_IO_IN, on_report, &c);
    return G_SOURCE_CONTINUE;
}

// The socket the command's processes report to, in the testbed's own
// directory (private to this user, and removed with the testbed).
bool listen_for_reports(UMockdevTestbed *testbed, run &r, std::string &path, std::string &error)
{
    gchar *root = umockdev_testbed_get_root_dir(testbed);
    path = std::string(root) + "/vdev-control";
    g_free(root);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        error = "the path of the control socket is too long (TMPDIR?): " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    r.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (r.listen_fd < 0 ||
        bind(r.listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(r.listen_fd, SOMAXCONN) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return false;
    }
    r.listen_watch = g_unix_fd_add(r.listen_fd, G_IO_IN, on_connect, &r);
    return true;
}

void stop_listening(run &r)
{
    for (connection &c : r.connections) {
        g_source_remove(c.watch);
        close(c.fd);
    }
    r.connections.clear();
    if (r.listen_watch != 0)
        g_source_remove(r.listen_watch);
    if (r.listen_fd >= 0)
        close(r.listen_fd);
}

void on_child_exit(GPid, gint status, gpointer user)
{
    auto *r = static_cast<run *>(user);
    r->status = status;
    g_main_loop_quit(r->loop);
}

void set_preload(const std::string &shim)
{
    // The shim goes first, so that its open() and close() see the command's
    // calls before umockdev's do.
    std::string preload = shim + ":libumockdev-preload.so.0";
    if (const char *old = std::getenv("LD_PRELOAD"); old != nullptr && old[0] != '\0')
        preload += std::string(":") + old;
    setenv("LD_PRELOAD", preload.c_str(), 1);
}

// The command starts with the signals a shell would give it: what this
// process ignores (SIGPIPE, once umockdev is up) would stay ignored across
// exec, and a reader that goes away would not end the command as it should.
void restore_default_signals()
{
    for (int sig = 1; sig < NSIG; ++sig) {
        struct sigaction old {
        };
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            std::signal(sig, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Forks and execs the command with the shim preloaded and the control
// socket named. Returns its pid, or -1 with `exec_errno` set when it could
// not be started.
pid_t start_command(const options &opt, const std::string &shim, const std::string &control,
                    int &exec_errno)
{
    int exec_error[2];
    if (pipe2(exec_error, O_CLOEXEC) != 0) {
        exec_errno = errno;
        return -1;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(exec_error[0]);
        setenv("FLASHER_VDEV_CONTROL", control.c_str(), 1);
        set_preload(shim);
        restore_default_signals();
        execvp(opt.command[0], opt.command);
        int e = errno;
        if (write(exec_error[1], &e, sizeof e) < 0)
            _exit(exit_cannot_start);
        _exit(exit_cannot_start);
    }
    exec_errno = errno;
    close(exec_error[1]);
    if (pid > 0) {
        // Closed by a successful exec; holds errno when exec failed.
        if (read(exec_error[0], &exec_errno, sizeof exec_errno) ==
            static_cast<ssize_t>(sizeof exec_errno)) {
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    close(exec_error[0]);
    return pid;
}

// Starts the command with its own stdout and stderr (ours), waits for it,
// and answers the reports of its processes meanwhile. Returns its exit
// status, or exit_cannot_start.
int run_command(const options &opt, UMockdevTestbed *testbed)
{
    // Without the shim the command would sleep for real and its opens go
    // unreported: a misplaced install must not pass for a working one.
    const std::string shim = shim_path();
    if (shim.empty()) {
        std::fprintf(stderr, "flasher-vdev: cannot find %s beside the program or in %s from it\n",
                     shim_name, FLASHER_VDEV_SHIM_RELDIR);
        return exit_cannot_start;
    }
    run r;
    r.fast_pauses = opt.fast_pauses;
    r.loop = g_main_loop_new(nullptr, FALSE);
    std::string control, error;
    int status = exit_cannot_start;
    if (!listen_for_reports(testbed, r, control, error)) {
        std::fprintf(stderr, "flasher-vdev: %s\n", error.c_str());
    } else if (int e = 0; (r.child = start_command(opt, shim, control, e)) < 0) {
        std::fprintf(stderr, "flasher-vdev: cannot start %s: %s\n", opt.command[0],
                     std::strerror(e));
    } else {
        g_child_watch_add(r.child, on_child_exit, &r);
        g_main_loop_run(r.loop);
        status = WIFEXITED(r.status)     ? WEXITSTATUS(r.status)
                 : WIFSIGNALED(r.status) ? 128 + WTERMSIG(r.status)
                                         : 1;
    }
    stop_listening(r);
    g_main_loop_unref(r.loop);
    return status;
}

// The device whose recording the expectation is checked against: the first
// that received anything, else the first.
vdev::virtual_device &checked_device()
{
    for (vdev::virtual_device &dev : state.devices) {
        if (dev.bulk_transfers > 0)
            return dev;
    }
    return state.devices.front();
}

// What the run is checked against, read before the command starts.
struct expectation {
    const char *path = nullptr; // null when nothing is checked
    bool image = false;
    std::vector<unsigned char> bytes;
};

account::check_result check(const expectation &expected, std::FILE *out)
{
    const account::recording &rec = checked_device().rec;
    if (expected.image)
        return account::check_image_bytes(rec, expected.bytes, expected.path, out);
    return account::check_params_bytes(rec, expected.bytes, expected.path, out);
}

void print_text(const options &opt, std::FILE *out, int status)
{
    std::fprintf(out, "flasher-vdev: %s exited with status %d\n", opt.command[0], status);
    std::fprintf(out, "pauses:");
    bool any = false;
    for (const account::event &ev : state.pauses.events) {
        std::fprintf(out, "%s %u s", any ? "," : "", ev.seconds);
        any = true;
    }
    std::fprintf(out, "%s\n", any ? (opt.fast_pauses ? " (returned at once)" : "") : " none");
    for (std::size_t i = 0; i < state.devices.size(); ++i) {
        const vdev::virtual_device &dev = state.devices[i];
        std::fprintf(out, "device %zu: %04X:%04X serial \"%s\" usb path %s\n", i + 1, dev.spec.vid,
                     dev.spec.pid, dev.spec.serial.c_str(), vdev::usb_path_of(dev.spec).c_str());
        std::fprintf(out, "  opened %u, closed %u, serial read %u, interface 0 %s\n", dev.opens,
                     dev.closes, dev.serial_reads, dev.claimed ? "claimed" : "not claimed");
        if (dev.bulk_transfers == 0) {
            std::fprintf(out, "  no transfers\n");
            continue;
        }
        std::fprintf(out, "  bulk OUT:");
        for (unsigned ep = 0; ep < 16; ++ep) {
            if (dev.endpoint_counts[ep] > 0)
                std::fprintf(out, " endpoint %02X %u", ep, dev.endpoint_counts[ep]);
        }
        std::fprintf(out, "\n");
        account::print_account(dev.rec, out, "  ");
    }
}

void print_json(const options &opt, std::FILE *out, int status, const char *check_text,
                account::check_result verdict)
{
    std::fprintf(out, "{\"command_status\":%d,\"fast_pauses\":%s,\"pauses\":[", status,
                 opt.fast_pauses ? "true" : "false");
    for (std::size_t i = 0; i < state.pauses.events.size(); ++i)
        std::fprintf(out, "%s%u", i == 0 ? "" : ",", state.pauses.events[i].seconds);
    std::fprintf(out, "],\"devices\":[");
    for (std::size_t i = 0; i < state.devices.size(); ++i) {
        const vdev::virtual_device &dev = state.devices[i];
        std::fprintf(out,
                     "%s{\"device\":%zu,\"vid\":\"%04X\",\"pid\":\"%04X\",\"usb_path\":\"%s\","
                     "\"opened\":%u,\"closed\":%u,\"serial_reads\":%u,"
                     "\"claimed\":%s,\"endpoints\":{",
                     i == 0 ? "" : ",", i + 1, dev.spec.vid, dev.spec.pid,
                     vdev::usb_path_of(dev.spec).c_str(), dev.opens, dev.closes, dev.serial_reads,
                     dev.claimed ? "true" : "false");
        bool first = true;
        for (unsigned ep = 0; ep < 16; ++ep) {
            if (dev.endpoint_counts[ep] == 0)
                continue;
            std::fprintf(out, "%s\"%02X\":%u", first ? "" : ",", ep, dev.endpoint_counts[ep]);
            first = false;
        }
        std::fprintf(out, "},\"account\":");
        account::print_account_json(dev.rec, out);
        std::fprintf(out, "}");
    }
    std::fprintf(out, "]");
    if (check_text != nullptr) {
        std::fprintf(out, ",\"check\":{\"result\":\"%s\",\"text\":\"",
                     verdict == account::check_result::intact ? "intact" : "differs");
        for (const char *c = check_text; *c != '\0'; ++c) {
            if (*c == '\n')
                std::fputs("\\n", out);
            else if (*c == '"' || *c == '\\')
                std::fprintf(out, "\\%c", *c);
            else
                std::fputc(*c, out);
        }
        std::fprintf(out, "\"}");
    }
    std::fprintf(out, "}\n");
}

// Prints the account and the check to `out`; returns the run's exit status.
int report(const options &opt, const expectation &expected, std::FILE *out, int status)
{
    std::lock_guard<std::mutex> hold(state.lock);
    char *check_text = nullptr;
    std::size_t check_size = 0;
    account::check_result verdict = account::check_result::intact;
    if (expected.path != nullptr) {
        std::FILE *mem = open_memstream(&check_text, &check_size);
        verdict = check(expected, mem);
        std::fclose(mem);
    }
    if (opt.json) {
        print_json(opt, out, status, check_text, verdict);
    } else {
        print_text(opt, out, status);
        if (check_text != nullptr)
            std::fputs(check_text, out);
    }
    std::free(check_text);
    return verdict == account::check_result::intact ? status : exit_differs;
}

// Reads the expected file before the command starts: one that cannot be
// read, or a parameter file of the wrong size, would otherwise be found only
// after the device had been erased. Returns -1 when it is fine, else the
// exit status.
int read_expectation(const options &opt, expectation &expected)
{
    expected.image = opt.expect_image != nullptr;
    expected.path = expected.image ? opt.expect_image : opt.expect_params;
    if (expected.path == nullptr)
        return -1;
    std::FILE *f = std::fopen(expected.path, "rb");
    unsigned char buf[65536];
    std::size_t n = 0;
    while (f != nullptr && (n = std::fread(buf, 1, sizeof buf, f)) > 0)
        expected.bytes.insert(expected.bytes.end(), buf, buf + n);
    const int error = f == nullptr ? errno : std::ferror(f) != 0 ? errno : 0;
    if (f != nullptr)
        std::fclose(f);
    if (error != 0) {
        std::fprintf(stderr, "flasher-vdev: cannot read %s: %s\n", expected.path,
                     std::strerror(error));
        return exit_usage;
    }
    if (!expected.image && expected.bytes.size() != params_size) {
        std::fprintf(stderr, "flasher-vdev: %s is %zu bytes, not a %zu-byte parameter file\n",
                     expected.path, expected.bytes.size(), params_size);
        return exit_usage;
    }
    return -1;
}

// Where the account goes: the --account file, created (or emptied) before
// the command starts so that a path that cannot be written stops the run
// while the device is untouched; else standard error.
std::FILE *open_account(const options &opt)
{
    if (opt.account_file == nullptr)
        return stderr;
    std::FILE *out = std::fopen(opt.account_file, "we");
    if (out == nullptr)
        std::fprintf(stderr, "flasher-vdev: cannot write %s: %s\n", opt.account_file,
                     std::strerror(errno));
    return out;
}

// Everything that can be found wrong before the command starts; the
// command then runs and the account and check follow.
int run_and_report(const options &opt)
{
    expectation expected;
    if (int status = read_expectation(opt, expected); status >= 0)
        return status;
    std::FILE *out = open_account(opt);
    if (out == nullptr)
        return exit_usage;
    UMockdevTestbed *testbed = umockdev_testbed_new();
    std::string error;
    int status = exit_usage;
    if (!vdev::build_testbed(testbed, error))
        std::fprintf(stderr, "flasher-vdev: %s\n", error.c_str());
    else if (status = run_command(opt, testbed); status != exit_cannot_start)
        status = report(opt, expected, out, status);
    g_object_unref(testbed);
    if (out != stderr)
        std::fclose(out);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    options opt;
    if (int status = parse_options(argc, argv, opt); status >= 0)
        return status;
    return run_and_report(opt);
}
