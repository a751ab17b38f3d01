#include "tools/gang/record_database.h"

#include "tools/gang/database/conninfo.h"
#include "tools/gang/database/record_db.h"

#include <utility>

namespace
{

using recorddb::db_state;

// The state as the JSON events name it, in db_state's order.
const char *state_word(db_state state)
{
    constexpr const char *words[] = {"connecting", "ready", "away", "refused"};
    return words[static_cast<int>(state)];
}

// "the database did not answer in time: no answer within 5 s": the words
// before the first colon are done_lookup's.
std::string first_clause(const std::string &detail)
{
    return detail.substr(0, detail.find(": "));
}

line_facts facts_of(const recorddb::latest_line &l)
{
    line_facts f;
    f.end = l.end;
    f.result = l.result;
    f.mode = l.mode;
    f.sha256 = l.sha256;
    f.done = {l.run, l.end, l.usb_path, l.station};
    return f;
}

// recorddb::record_db as a part of the gang's loop, telling the view when
// the database goes away, refuses or comes back, and when the lines waiting
// change.
class pg_record final : public record_database
{
  public:
    pg_record(recorddb::db_settings settings, display &disp)
        : record_(settings.ship.record), db_(std::move(settings)), disp_(disp)
    {
    }

    recorddb::start_outcome start(milliseconds wait)
    {
        recorddb::start_outcome out = db_.start(wait);
        if (out.verdict == recorddb::start_verdict::away && db_.why().empty())
            out.message =
                "the database did not answer within " + std::to_string(wait.count() / 1000) + " s";
        away_told_ = db_.state() != db_state::ready;
        shown_waiting_ = db_.waiting();
        return out;
    }

    void add_to(wait_set &set) override
    {
        std::vector<pollfd> fds;
        db_.add_fds(fds);
        polled_ = !fds.empty();
        for (std::size_t i = 0; i < fds.size(); ++i) {
            const std::size_t slot = set.watch(fds[i].fd, fds[i].events);
            if (i == 0)
                first_ = slot;
        }
        const steady_time now = std::chrono::steady_clock::now();
        if (const int ms = db_.timeout_ms(now); ms >= 0)
            set.wake_by(now + milliseconds(ms));
    }

    void take(const wait_set &set) override
    {
        db_.take(polled_ ? set.polled(first_) : nullptr, std::chrono::steady_clock::now());
        polled_ = false;
        tell_changes();
    }

    void appended() override
    {
        db_.appended(std::chrono::steady_clock::now());
    }

    unsigned look_up(const std::string &serial, const std::string &sha256, const std::string &mode,
                     steady_time deadline) override
    {
        return db_.look_up({serial, sha256, mode}, deadline);
    }

    std::vector<database_answer> take_answers() override
    {
        std::vector<database_answer> answers;
        for (const recorddb::lookup_answer &a : db_.take_answers()) {
            database_answer &d = answers.emplace_back();
            d.id = a.id;
            d.answered = a.verdict != recorddb::lookup_verdict::not_looked_up;
            if (!d.answered) {
                d.not_looked_up = first_clause(a.detail);
                d.detail = a.detail;
            } else if (a.latest) {
                d.latest = facts_of(*a.latest);
            }
        }
        return answers;
    }

    std::size_t waiting() const override
    {
        return db_.waiting();
    }

    std::string status_line() const override
    {
        const std::size_t lines = db_.waiting();
        if (lines == 0)
            return "";
        // Between two tries (connecting again) the last reason still holds.
        const db_state state = db_.state();
        if (state == db_state::ready || db_.why().empty())
            return recorddb::waiting_text(lines);
        return recorddb::waiting_text(lines) + " (" +
               state_word(state == db_state::refused ? state : db_state::away) + ": " + db_.why() +
               ")";
    }

    std::size_t finish(milliseconds wait) override
    {
        // Away or refused already: a moment more will not bring it back,
        // and the run ends at once.
        const db_state state = db_.state();
        if (state == db_state::away || state == db_state::refused)
            return db_.waiting();
        return db_.finish(wait);
    }

    std::string passed_note() const override
    {
        const std::size_t passed = db_.ship().passed_over();
        if (passed == 0)
            return "";
        return db_.ship().passed_note() +
               (passed > 1 ? " (" + std::to_string(passed) + " lines passed over in all)" : "");
    }

  private:
    // Away (or refused) is told once, when it begins; back, when it ends.
    void tell_changes()
    {
        const db_state state = db_.state();
        const std::size_t lines = db_.waiting();
        if (!away_told_ && (state == db_state::away || state == db_state::refused)) {
            away_told_ = true;
            const std::string what = state == db_state::away
                                         ? "the database cannot be reached: "
                                         : "the database refused flasher-gang: ";
            show_database(disp_, state_word(state), lines,
                          what + db_.why() + "; the record's lines wait in " + record_ +
                              " and are shipped when it can take them");
        } else if (away_told_ && state == db_state::ready) {
            away_told_ = false;
            show_database(disp_, state_word(state), lines,
                          "the database is back; " + recorddb::waiting_text(lines));
        } else if (lines != shown_waiting_) {
            show_changed(disp_);
        }
        shown_waiting_ = lines;
    }

    std::string record_;
    recorddb::record_db db_;
    display &disp_;
    bool polled_ = false;
    std::size_t first_ = 0;
    bool away_told_ = false;
    std::size_t shown_waiting_ = 0;
};

} // namespace

std::string record_db_refusal(const std::string &conninfo)
{
    return recorddb::conninfo_refusal(conninfo);
}

database_start start_record_database(const std::string &conninfo, const std::string &record,
                                     bool lookups, display &disp, milliseconds wait)
{
    recorddb::db_settings settings;
    settings.ship.conninfo = conninfo;
    settings.ship.record = record;
    settings.lookups = lookups;
    auto db = std::make_unique<pg_record>(std::move(settings), disp);
    const recorddb::start_outcome started = db->start(wait);
    database_start out;
    out.message = started.message;
    switch (started.verdict) {
    case recorddb::start_verdict::ready:
        out.verdict = database_verdict::ready;
        break;
    case recorddb::start_verdict::away:
        out.verdict = database_verdict::away;
        break;
    case recorddb::start_verdict::refused:
        out.verdict = database_verdict::refused;
        return out;
    }
    out.db = std::move(db);
    return out;
}
