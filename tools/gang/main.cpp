// flasher-gang: flashes every attached target device at once. It reads the
// input once, decides with flasher's own code what each device would get,
// starts one unmodified flasher per usable device, pinned to it by
// FLASHER_USBPATH, follows each one's account of its messages, and keeps a
// record of every device: a board is ok only when the flasher this run
// started and waited for exited 0 and its account shows every message that
// counts taken whole.
#include "tools/gang/done_check.h"
#include "tools/gang/ending.h"
#include "tools/gang/options.h"
#include "tools/gang/process.h"
#include "tools/gang/record_file.h"
#include "tools/gang/signals.h"
#include "tools/gang/snapshot.h"
#include "tools/gang/summary.h"
#include "tools/gang/supervise.h"
#include "tools/gang/survey.h"
#include "tools/gang/watch.h"
#include "usb/transport.h"

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace
{

// What the run sets up before any device is touched.
struct gang_run {
    run_facts facts;
    std::vector<std::string> flasher_argv; // the flasher, then its arguments
    std::string dir;                       // the run's own directory
    std::vector<std::string> made_dirs;    // made for the run: taken back if it is refused
    record_writer records;                 // the run directory's record and --record
    display disp;
    std::unique_ptr<record_database> database; // --record-db
    port_health ports;
};

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

// --record-db, before any device is touched: a database that answers and
// refuses (or a connection string that cannot be used) stops the run; one
// that cannot be reached within the short wait is away, and its lines wait.
bool open_database(const gang_options &opt, gang_run &run, std::string &error)
{
    if (opt.record_db.empty())
        return true;
    database_start started = start_record_database(opt.record_db, opt.record, opt.skip_done,
                                                   run.disp, database_start_wait);
    if (started.verdict == database_verdict::refused) {
        error = "--record-db: " + started.message + "; no device was touched";
        return false;
    }
    run.database = std::move(started.db);
    if (started.verdict == database_verdict::away)
        show_database(run.disp, "away", run.database->waiting(),
                      started.message + "; the record's lines wait in " + opt.record +
                          " and are shipped when it can take them");
    return true;
}

// The database's last chance at the end of a run, bounded: what it has not
// taken by then waits in the record for the next start.
struct database_end {
    long waiting = -1; // -1: no database
    std::string note;
};
database_end finish_database(gang_run &run)
{
    if (!run.database)
        return {};
    return {static_cast<long>(run.database->finish(database_finish_wait)),
            run.database->passed_note()};
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
}

// The record's last chance: lines still waiting are written now, or they
// are given here, so that none is lost unseen. True when all are written.
bool finish_record(record_writer &records)
{
    if (records.flush())
        return true;
    std::fprintf(stderr, "flasher-gang: %s\n", records.error().c_str());
    for (const record_writer::unwritten_lines &left : records.unwritten()) {
        std::fprintf(stderr, "flasher-gang: %zu lines are missing from %s:\n", left.lines.size(),
                     left.path.c_str());
        for (const std::string &line : left.lines)
            std::fputs(line.c_str(), stderr);
    }
    return false;
}

// Every attached device, flashed at once.
int run_batch(const gang_options &opt, gang_run &run, const dryrun::walk_result &walk,
              flasher_pool &pool, board_sink &sink, done_check &checks, int signal_fd)
{
    const device_survey devices = survey_devices(walk);
    if (!devices.listed)
        return refuse_run(run, "the USB devices cannot be listed");
    if (devices.boards.empty())
        return refuse_run(run, devices.none_attached);
    for (const std::string &other : devices.other_products)
        std::fprintf(stderr, "flasher-gang: not flashed: %s\n", other.c_str());
    for (const survey_facts &found : devices.boards) {
        board &b = pool.boards.emplace_back();
        b.found = found;
        b.log_name = found.usb_path + ".log";
    }
    sink.disp.live_boards = [&pool] {
        std::vector<const board *> boards;
        for (const board &b : pool.boards)
            boards.push_back(&b);
        return boards;
    };
    sink.disp.live_footer = [&sink] { return status_lines(sink); };
    for (board &b : pool.boards) {
        if (!b.found.usable)
            end_unstarted(sink, b, board_result::not_flashed, b.found.reason);
    }
    for (board &b : pool.boards) {
        if (b.found.usable)
            checks.flash_unless_done(b, serial_shared(pool.boards, b));
    }
    signal_part signals(signal_fd, [&pool](int count) { pool.stop(count); });
    display_tick tick(sink.disp, [&pool] { return pool.any_running(); });
    std::vector<loop_part *> parts{&signals, &checks, &pool, &tick};
    if (sink.database != nullptr)
        parts.insert(parts.begin() + 1, sink.database);
    run_loop(parts, [&pool, &checks] { return !pool.any_running() && !checks.pending(); });
    // Interrupted: a stop came while boards were being flashed or before
    // they were started (one after the last ended changed nothing).
    const bool interrupted =
        pool.stopping() || std::any_of(pool.boards.begin(), pool.boards.end(), [](const board &b) {
            return b.outcome.result == board_result::interrupted;
        });
    const bool record_failed = !finish_record(run.records);
    const database_end db = finish_database(run);
    return summarize({pool.boards, run.flasher_argv, run.dir, run.facts.run_id, sink.disp.mode,
                      interrupted, record_failed, opt.skip_unusable, db.waiting, db.note});
}

int run_station(gang_run &run, flasher_pool &pool, board_sink &sink, done_check &checks,
                int signal_fd)
{
    if (sink.disp.mode == display_mode::plain)
        std::printf("flasher-gang: waiting for boards with %s; INT, TERM or HUP ends the "
                    "session\n",
                    table_ids_text().c_str());
    std::fflush(stdout);
    if (const int status = watch(pool, sink, checks, signal_fd); status >= 0)
        return status;
    const bool record_failed = !finish_record(run.records);
    const database_end db = finish_database(run);
    return summarize_session({pool.boards, run.flasher_argv, run.dir, run.facts.run_id,
                              sink.disp.mode, true, record_failed, false, db.waiting, db.note});
}

int run_gang(const gang_options &opt, int signal_fd)
{
    std::string error;
    const std::string flasher = flasher_beside_this_program();
    if (flasher.empty())
        return refuse("flasher not found beside this program; they are installed together");
    gang_run run;
    run.flasher_argv = {flasher};
    done_index done;
    if (opt.skip_done && !open_done_index(done, opt.record, error))
        return refuse(error);
    run.disp.mode = choose_display(opt.json, opt.quiet, stdout);
    // A connection string that cannot be used leaves nothing behind, not
    // even an empty record.
    if (!opt.record_db.empty()) {
        if (const std::string why = record_db_refusal(opt.record_db); !why.empty())
            return refuse("--record-db: " + why + "; no device was touched");
    }
    if (!open_run_files(opt, run, error) || !open_database(opt, run, error))
        return refuse_run(run, error);
    if (!opt.record_db.empty() && stop_requested()) {
        refuse_run(run, "interrupted while the database was asked; no device was touched");
        return gang_interrupted;
    }
    bool taken = false;
    {
        // A stop that lands just before a FIFO's open or read is still seen.
        const stop_watch_during_wait watching;
        taken = take_input(opt, run, error);
    }
    if (stop_requested()) {
        refuse_run(run, "interrupted while reading " + input_name(opt.input) +
                            "; no device was touched");
        return gang_interrupted;
    }
    if (!taken)
        return refuse_run(run, error);

    const input_survey input = survey_input(run.flasher_argv[1], opt.erase_all);
    if (!input.taken)
        return refuse_run(run, input.refusal);
    if (!input.warning.empty())
        std::fprintf(stderr, "flasher-gang: warning: %s\n", input.warning.c_str());
    fill_facts(opt, input, run);

    run.disp.plan_pages = input.plan.pages;
    board_sink sink{run.facts,   flash_plan_of(input.plan),       run.disp,
                    run.records, opt.skip_done ? &done : nullptr, run.database.get(),
                    &run.ports};
    flasher_pool pool(sink, run.flasher_argv, run.dir);
    done_check checks(sink, pool, lookup_wait());
    return opt.watch ? run_station(run, pool, sink, checks, signal_fd)
                     : run_batch(opt, run, input.devices, pool, sink, checks, signal_fd);
}

} // namespace

int main(int argc, char **argv)
{
    // First of all: a stop asked from here on is seen, and starts nothing.
    const int signal_fd = catch_signals();
    gang_options opt;
    if (const int status = parse_gang_options(argc, argv, opt); status >= 0)
        return status;
    // Past a file size limit a write fails with EFBIG, which the record
    // reports naming the file, instead of the signal ending the gang.
    std::signal(SIGXFSZ, SIG_IGN);
    // Each flasher is pinned to its own device; a pin meant for one flasher
    // must not narrow the gang's search.
    unsetenv("FLASHER_USBPATH");
    return run_gang(opt, signal_fd);
}
