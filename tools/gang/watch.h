// flasher-gang --watch: a station. It waits for libusb's hotplug events and
// flashes each board as it is plugged in, once per plug-in, keyed by its usb
// path; the port is armed again when the board leaves. One plug-in, one
// flasher: a board that leaves has its flasher killed at once and fails as
// unplugged, and a board that arrives at a port is judged only once the
// flasher of the port's last plug-in has been reaped. It runs until INT,
// TERM or HUP, then stops the flashers still running and waits for them.
#pragma once

#include "tools/gang/done_check.h"
#include "tools/gang/hotplug.h"
#include "tools/gang/supervise.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

// How often a board that arrived busy (or that the user may not open) is
// judged again while it stays plugged in: both can change without a
// re-plug (another program lets go; a udev rule is applied).
constexpr auto retry_interval = std::chrono::milliseconds(2000);
// A board whose configuration cannot be read yet is looked at again sooner:
// the kernel announces a device before it has set its configuration.
constexpr auto first_config_retry = std::chrono::milliseconds(250);

class station : public loop_part
{
  public:
    station(flasher_pool &pool, board_sink &sink, done_check &checks, hotplug_listener &usb)
        : pool_(pool), sink_(sink), checks_(checks), usb_(usb)
    {
    }

    void add_to(wait_set &set) override;
    void take(const wait_set &set) override;

    // The session ends: plug-ins that never got a flasher are recorded.
    void close_session();

    // Each port's current (or last) plug-in, for the live view.
    std::vector<const board *> current_boards() const;
    // Whether the port of this board has it plugged in now.
    bool present(const board &b) const;

  private:
    struct port {
        bool present = false;      // plugged in now, as the events tell
        unsigned plug_ins = 0;     // arrivals so far
        board *current = nullptr;  // the board of the current (or last) plug-in
        board *flashing = nullptr; // a plug-in whose flasher has not been reaped (or that
                                   // waits for the database's answer before it starts)
        bool waiting = false;      // current arrived while `flashing` ran
        bool retrying = false;     // unusable for a reason that can change
        steady_time retry_at{};
    };

    void arrived(const std::string &path);
    void left(const std::string &path);
    void judge(port &p);
    void move_ports_on();

    flasher_pool &pool_;
    board_sink &sink_;
    done_check &checks_;
    hotplug_listener &usb_;
    std::map<std::string, port> ports_;
};

// Runs the session until INT, TERM or HUP; returns the exit status of a
// session that could not start, or -1.
int watch(flasher_pool &pool, board_sink &sink, done_check &checks, int signal_fd);
