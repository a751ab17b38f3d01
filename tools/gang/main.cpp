// flasher-gang: flashes every attached target device at once. It reads the
// input once, decides with flasher's own code what each device would get,
// starts one unmodified flasher per usable device, pinned to it by
// FLASHER_USBPATH, follows each one's lines, and keeps a record of every
// device: a result comes only from the exit status of a flasher this run
// started and waited for.
#include "tools/gang/options.h"
#include "tools/gang/process.h"
#include "tools/gang/signals.h"
#include "tools/gang/snapshot.h"
#include "tools/gang/summary.h"
#include "tools/gang/supervise.h"
#include "tools/gang/survey.h"
#include "tools/gang/watch.h"
#include "usb/transport.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace
{

int refuse(const std::string &why)
{
    std::fprintf(stderr, "flasher-gang: %s\n", why.c_str());
    return gang_failed;
}

std::string host_name()
{
    char name[HOST_NAME_MAX + 1] = {};
    return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

const char *mode_name(run_mode mode)
{
    switch (mode) {
    case run_mode::firmware:
        return "firmware";
    case run_mode::parameters:
        return "parameters";
    case run_mode::erase_only:
        break;
    }
    return "erase";
}

// The run's directory, its own record, and --record: all made before any
// device is touched, so a path that cannot be written stops nothing midway.
bool open_run_files(const gang_options &opt, gang_run &run, std::string &error)
{
    const wall_time start = std::chrono::system_clock::now();
    run.facts.run_id = run_id(start, static_cast<long>(getpid()));
    if (!make_run_dir(opt.logs, run.facts.run_id, run.dir, error))
        return false;
    run.own_record_fd = open_record(run.dir + "/record.jsonl");
    if (run.own_record_fd < 0) {
        error = "cannot write " + run.dir + "/record.jsonl";
        return false;
    }
    if (!opt.record.empty() && (run.record_fd = open_record(opt.record)) < 0) {
        error = "cannot write the record " + opt.record;
        return false;
    }
    return true;
}

// The input read once; the flasher's arguments name the snapshot.
bool take_input(const gang_options &opt, gang_run &run, std::string &error)
{
    std::string input = "erase";
    if (opt.input != "erase") {
        snapshot snap;
        if (!take_snapshot(opt.input, run.dir + "/input.bin", snap, error, stop_requested))
            return false;
        input = snap.path;
        run.facts.image = opt.input;
        run.facts.image_size = snap.size;
        run.facts.image_sha256 = snap.sha256;
    }
    run.flasher_argv.push_back(input);
    if (opt.erase_all)
        run.flasher_argv.emplace_back("all");
    return true;
}

void fill_facts(const gang_options &opt, const input_survey &input, gang_run &run)
{
    run.facts.host = host_name();
    run.facts.mode = mode_name(input.plan.mode);
    run.facts.erase_all = opt.erase_all;
    run.facts.plan_pages = input.plan.pages;
    run.facts.plan_trailer = input.plan.trailer;
    run.facts.flasher = run.flasher_argv[0];
    run.facts.vid = usb_ids[0].vid;
    run.facts.pid = usb_ids[0].pid;
    run.disp.plan_pages = input.plan.pages;
}

// Every attached device, flashed at once.
int run_batch(const gang_options &opt, gang_run &run)
{
    device_survey devices = survey_devices(dryrun::searched());
    if (!devices.listed)
        return refuse("the USB devices cannot be listed");
    if (devices.boards.empty())
        return refuse(devices.none_attached);
    for (const std::string &other : devices.other_products)
        std::fprintf(stderr, "flasher-gang: not flashed: %s\n", other.c_str());
    for (board &b : devices.boards) {
        b.log_name = b.usb_path + ".log";
        run.boards.push_back(std::move(b));
    }
    run.disp.live_lines = [&run](steady_time now) {
        std::vector<std::string> lines;
        for (const board &b : run.boards)
            lines.push_back(live_line(run.disp, b, now));
        return lines;
    };
    supervise(run);
    return summarize(run, opt.skip_unusable);
}

int run_station(gang_run &run)
{
    if (run.disp.mode == display_mode::plain)
        std::printf("flasher-gang: waiting for boards with %04X:%04X; INT, TERM or HUP ends the "
                    "session\n",
                    run.facts.vid, run.facts.pid);
    std::fflush(stdout);
    if (const int status = watch(run); status != 0)
        return status;
    return summarize_session(run);
}

int run_gang(const gang_options &opt, gang_run &run)
{
    std::string error;
    const std::string flasher = flasher_beside_this_program();
    if (flasher.empty())
        return refuse("flasher not found beside this program; they are installed together");
    run.flasher_argv = {flasher};
    done_index done;
    if (opt.skip_done) {
        if (!load_done_index(opt.record, done, error))
            return refuse(error);
        run.done = &done;
    }
    if (!open_run_files(opt, run, error))
        return refuse(error);
    if (!take_input(opt, run, error)) {
        if (!stop_requested())
            return refuse(error);
        std::fprintf(stderr, "flasher-gang: interrupted while reading %s; no device was touched\n",
                     opt.input.c_str());
        return gang_interrupted;
    }

    const input_survey input = survey_input(run.flasher_argv[1], opt.erase_all);
    if (!input.taken)
        return refuse(input.refusal);
    if (!input.warning.empty())
        std::fprintf(stderr, "flasher-gang: warning: %s\n", input.warning.c_str());
    fill_facts(opt, input, run);
    return opt.watch ? run_station(run) : run_batch(opt, run);
}

} // namespace

int main(int argc, char **argv)
{
    gang_options opt;
    if (const int status = parse_gang_options(argc, argv, opt); status >= 0)
        return status;
    gang_run run;
    run.signal_fd = catch_stop_signals();
    // Each flasher is pinned to its own device; a pin meant for one flasher
    // must not narrow the gang's search.
    unsetenv("FLASHER_USBPATH");
    run.disp.mode = choose_display(opt.json, opt.quiet, stdout);
    return run_gang(opt, run);
}
