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
#include <csignal>
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

// A run refused before it touched a device: it says why and leaves no run
// directory behind.
int refuse_run(gang_run &run, const std::string &why)
{
    remove_run_dir(run.dir, run.made_dirs);
    return refuse(why);
}

// The run's directory, its own record, and --record: all made before any
// device is touched, so a path that cannot be written stops nothing midway.
bool open_run_files(const gang_options &opt, gang_run &run, std::string &error)
{
    const wall_time start = std::chrono::system_clock::now();
    run.facts.run_id = run_id(start, static_cast<long>(getpid()));
    run.facts.host = host_name();
    run.facts.station = opt.station.empty() ? run.facts.host : opt.station;
    if (!make_run_dir(opt.logs, run.facts.run_id, run.dir, run.made_dirs, error))
        return false;
    return run.records.open(run.dir + "/record.jsonl", error) &&
           (opt.record.empty() || run.records.open(opt.record, error));
}

// The input read once, and checked against --sha256; the flasher's
// arguments name the snapshot.
bool take_input(const gang_options &opt, gang_run &run, std::string &error)
{
    std::string input = "erase";
    if (opt.input != "erase") {
        snapshot snap;
        if (!take_snapshot(opt.input, run.dir + "/input.bin", snap, error, stop_requested))
            return false;
        error = sha256_refusal(snap, opt.input, opt.sha256);
        if (!error.empty())
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
    run.facts.mode = mode_name(input.plan.mode);
    run.facts.erase_all = opt.erase_all;
    run.facts.plan_pages = input.plan.pages;
    run.facts.plan_trailer = input.plan.trailer;
    run.facts.flasher = run.flasher_argv[0];
    run.facts.vid = usb_ids[0].vid;
    run.facts.pid = usb_ids[0].pid;
    run.disp.plan_pages = input.plan.pages;
}

// The record's last chance: lines still waiting are written now, or the
// run fails and they are given here, so that none is lost unseen.
void finish_record(gang_run &run)
{
    if (run.records.flush())
        return;
    run.record_failed = true;
    std::fprintf(stderr, "flasher-gang: %s\n", run.records.error().c_str());
    for (const record_writer::unwritten_lines &left : run.records.unwritten()) {
        std::fprintf(stderr, "flasher-gang: %zu lines are missing from %s:\n", left.lines.size(),
                     left.path.c_str());
        for (const std::string &line : left.lines)
            std::fputs(line.c_str(), stderr);
    }
}

// Every attached device, flashed at once.
int run_batch(const gang_options &opt, gang_run &run)
{
    device_survey devices = survey_devices(dryrun::searched());
    if (!devices.listed)
        return refuse_run(run, "the USB devices cannot be listed");
    if (devices.boards.empty())
        return refuse_run(run, devices.none_attached);
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
    finish_record(run);
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
    finish_record(run);
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
        if (!open_done_index(done, opt.record, error))
            return refuse(error);
        run.done = &done;
    }
    if (!open_run_files(opt, run, error))
        return refuse_run(run, error);
    if (!take_input(opt, run, error)) {
        if (!stop_requested())
            return refuse_run(run, error);
        refuse_run(run, "interrupted while reading " + input_name(opt.input) +
                            "; no device was touched");
        return gang_interrupted;
    }

    const input_survey input = survey_input(run.flasher_argv[1], opt.erase_all);
    if (!input.taken)
        return refuse_run(run, input.refusal);
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
    // Past a file size limit a write fails with EFBIG, which the record
    // reports naming the file, instead of the signal ending the gang.
    std::signal(SIGXFSZ, SIG_IGN);
    // Each flasher is pinned to its own device; a pin meant for one flasher
    // must not narrow the gang's search.
    unsetenv("FLASHER_USBPATH");
    run.disp.mode = choose_display(opt.json, opt.quiet, stdout);
    return run_gang(opt, run);
}
