// flasher-probe.exe's dry run over the double of the Windows calls: what each
// device comes to and which driver it has, the device in front that stops
// flasher-win before the one behind, the text that pins each usable device,
// and that nothing is written. The device table of this test holds vendor
// 0x0A1B, product 0x00CD.
#include "tools/probe/win/report.h"
#include "usb/dryrun/winusb/winusb_dryrun.h"

#include "probe_win_support.h"

#include <ostream>
#include <string>
#include <vector>

namespace
{

using dryrun_win::driver_state;

const char id_a[] = R"(USB\VID_0A1B&PID_00CD\SN01)";
const char id_b[] = R"(USB\VID_0A1B&PID_00CD\SN02)";
const char id_other_product[] = R"(USB\VID_0A1B&PID_00CE\SN01)";
const char id_hub[] = R"(USB\ROOT_HUB30\4&1B2C3D&0&0)";
const std::string id_too_long = R"(USB\VID_0A1B&PID_00CD\)" + std::string(200, 'L');

// ---- Each device's outcome and driver ----

struct expected_device {
    win_verdict verdict;
    driver_state driver;
    std::string service; // with bound
    DWORD error;         // of the open, WinUSB or the driver reading
};

struct outcome_case {
    const char *name;
    std::vector<fake_device> devices;
    const char *serial;
    std::vector<expected_device> listed; // every device whose ID was read
    int stop;
};

void PrintTo(const outcome_case &c, std::ostream *os)
{
    *os << c.name;
}

class outcome_test : public probe_win_test, public testing::WithParamInterface<outcome_case>
{
};

TEST_P(outcome_test, says_what_each_device_comes_to)
{
    win.devices = GetParam().devices;
    const dryrun_win::walk_result walk = dryrun_win::walk(GetParam().serial);
    ASSERT_TRUE(walk.listed);
    ASSERT_EQ(walk.devices.size(), GetParam().listed.size());
    for (std::size_t i = 0; i < walk.devices.size(); ++i) {
        const expected_device &want = GetParam().listed[i];
        const dryrun_win::listed_device &got = walk.devices[i];
        EXPECT_EQ(got.device.verdict, want.verdict) << "device " << i;
        EXPECT_EQ(got.driver.state, want.driver) << "device " << i;
        EXPECT_EQ(got.driver.service, want.service) << "device " << i;
        EXPECT_EQ(want.driver == driver_state::unreadable ? got.driver.error : got.device.error,
                  want.error)
            << "device " << i;
    }
    EXPECT_EQ(walk.stop, GetParam().stop);
    EXPECT_EQ(win.properties_read, std::vector<DWORD>(walk.devices.size(), SPDRP_SERVICE));
}

const expected_device chosen_winusb{win_verdict::chosen, driver_state::bound, "WinUSB", 0};

INSTANTIATE_TEST_SUITE_P(
    cases, outcome_test,
    testing::Values(
        outcome_case{"winusb_chosen", {{id_a, CR_SUCCESS, "WinUSB"}}, nullptr, {chosen_winusb}, 0},
        outcome_case{"no_driver_cannot_open",
                     {{id_a, CR_SUCCESS, nullptr, 0, ERROR_FILE_NOT_FOUND}},
                     nullptr,
                     {{win_verdict::cannot_open, driver_state::none, "", ERROR_FILE_NOT_FOUND}},
                     0},
        outcome_case{
            "other_driver_winusb_fails",
            {{id_a, CR_SUCCESS, "usbser", 0, 0, ERROR_NOT_SUPPORTED}},
            nullptr,
            {{win_verdict::winusb_failed, driver_state::bound, "usbser", ERROR_NOT_SUPPORTED}},
            0},
        outcome_case{"no_out_pipe",
                     {{id_a, CR_SUCCESS, "WinUSB", 0, 0, 0, {{{true, 0x81}, {true, 0x82}}}}},
                     nullptr,
                     {{win_verdict::no_out_pipe, driver_state::bound, "WinUSB", 0}},
                     0},
        outcome_case{"driver_unreadable",
                     {{id_a, CR_SUCCESS, nullptr, 1168}},
                     nullptr,
                     {{win_verdict::chosen, driver_state::unreadable, "", 1168}},
                     0},
        outcome_case{
            "serial_not_in_id",
            {{id_a, CR_SUCCESS, "WinUSB"}, {id_b, CR_SUCCESS, "WinUSB"}},
            "SN02",
            {{win_verdict::serial_not_in_id, driver_state::bound, "WinUSB", 0}, chosen_winusb},
            1},
        outcome_case{
            "path_too_long",
            {{id_too_long, CR_SUCCESS, "WinUSB"}, {id_b, CR_SUCCESS, "WinUSB"}},
            nullptr,
            {{win_verdict::path_too_long, driver_state::bound, "WinUSB", 0}, chosen_winusb},
            1},
        outcome_case{"others_and_unreadable_ids",
                     {{id_hub, CR_SUCCESS, "USBHUB3"},
                      {id_other_product},
                      {id_a, CR_NO_SUCH_DEVNODE},
                      {id_b, CR_SUCCESS, "WinUSB"}},
                     nullptr,
                     {{win_verdict::not_target, driver_state::bound, "USBHUB3", 0},
                      {win_verdict::not_target, driver_state::none, "", 0},
                      chosen_winusb},
                     2},
        // flasher-win stops at the first device it takes; the one behind is
        // still examined, for what it would come to when pinned.
        outcome_case{
            "front_blocks_behind",
            {{id_a, CR_SUCCESS, "usbser", 0, ERROR_FILE_NOT_FOUND}, {id_b, CR_SUCCESS, "WinUSB"}},
            nullptr,
            {{win_verdict::cannot_open, driver_state::bound, "usbser", ERROR_FILE_NOT_FOUND},
             chosen_winusb},
            0}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- The text that pins each usable device ----

struct pin_case {
    const char *name;
    std::vector<fake_device> devices; // usable unless they say otherwise
    std::vector<std::string> pins;    // of the usable ones, in order
    std::string last_command;         // flasher-win's line with the last pin
};

void PrintTo(const pin_case &c, std::ostream *os)
{
    *os << c.name;
}

class pin_test : public probe_win_test, public testing::WithParamInterface<pin_case>
{
};

TEST_P(pin_test, shortest_text_that_selects_it_alone)
{
    win.devices = GetParam().devices;
    const dryrun_win::walk_result walk = dryrun_win::walk(nullptr);
    const probe_subject survey;
    const listed_search search = win_listed_search(walk, survey, nullptr);
    std::vector<std::string> texts;
    for (const listed_target &d : search.devices) {
        if (d.usable)
            texts.push_back(d.pin);
    }
    EXPECT_EQ(texts, GetParam().pins);
    EXPECT_EQ(pinned_command(survey, nullptr, texts.back()), GetParam().last_command);
}

const std::string id_prefix = R"(USB\VID_0A1B&PID_00CD)";

INSTANTIATE_TEST_SUITE_P(
    cases, pin_test,
    testing::Values(
        pin_case{"serials", {{id_a}, {id_b}}, {"SN01", "SN02"}, "flasher-win image.bin SN02"},
        // Wine's IDs carry no serial; the command prompt needs the quotes.
        pin_case{"parts_with_ampersands",
                 {{id_prefix + R"(\512&256&1&1)"}, {id_prefix + R"(\512&256&1&2)"}},
                 {"512&256&1&1", "512&256&1&2"},
                 R"(flasher-win image.bin "512&256&1&2")"},
        pin_case{"same_serial_on_two_interfaces",
                 {{id_prefix + R"(&MI_00\SN7)"}, {id_prefix + R"(&MI_01\SN7)"}},
                 {R"(0\)", R"(1\)"},
                 R"(flasher-win image.bin 1\)"},
        pin_case{"id_inside_another",
                 {{id_prefix + R"(\SN1)"}, {id_prefix + R"(\SN12)"}},
                 {"", "SN12"},
                 "flasher-win image.bin SN12"},
        // A device it cannot use gets no pin but still shares texts; one of
        // another product does not count.
        pin_case{"only_table_devices_count",
                 {{id_a},
                  {id_prefix + R"(\XSN01)", CR_SUCCESS, nullptr, 0, ERROR_FILE_NOT_FOUND},
                  {id_other_product}},
                 {R"(\S)"},
                 R"(flasher-win image.bin \S)"},
        pin_case{"all_is_the_erase_flag",
                 {{id_prefix + R"(\all)"}, {id_prefix + R"(\xyz)"}},
                 {"l", "xyz"},
                 "flasher-win image.bin xyz"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- Whole dry runs of the front end, and the report ----

// A fact the report must state: in the line that starts with `start`, or
// the `after`th line after it.
struct fact {
    std::string start;
    std::string text;
    int after = 0;
};

struct run_case {
    const char *name;
    std::vector<fake_device> devices;
    bool image_there; // else the input cannot be opened
    int status;
    std::vector<fact> facts;
    std::size_t remedies; // lines that say to bind a device to WinUSB
};

void PrintTo(const run_case &c, std::ostream *os)
{
    *os << c.name;
}

class run_test : public probe_win_test, public testing::WithParamInterface<run_case>
{
};

TEST_P(run_test, runs_the_front_end_and_writes_nothing)
{
    win.devices = GetParam().devices;
    const std::string image = GetParam().image_there ? write_image(11 + 3 * 2048 + 16)
                                                     : testing::TempDir() + "missing.bin";
    std::vector<char *> argv{const_cast<char *>("flasher-win"), const_cast<char *>(image.c_str()),
                             nullptr};
    const std::size_t sent_before = dryrun::sent().size();
    const dry_run run = run_dry(2, argv.data());
    // erase, two zero bytes, three pages of a header and 32 chunks, trailer
    EXPECT_EQ(dryrun::sent().size() - sent_before,
              GetParam().image_there ? 1 + 2 + 3 * 33 + 1u : 0u);

    const probe_subject subject{{image}, nullptr, nullptr};
    const input_plan plan = plan_input(
        run, {dryrun::sent().begin() + static_cast<long>(sent_before), dryrun::sent().end()});
    // Without an input the front end does not search; the probe does.
    const listed_search search = win_listed_search(
        run.prepared ? dryrun_win::searched() : dryrun_win::walk(nullptr), subject, &run);
    const probe_findings findings{subject, &run, &plan, search};
    const verdict v = judge(flasher_win_probe, findings);
    EXPECT_EQ(v.status, GetParam().status) << v.text;
    const std::string report = report_text(findings, v);
    for (const fact &f : GetParam().facts)
        EXPECT_NE(line_of(report, f.start, f.after).find(f.text), std::string::npos)
            << "no \"" << f.text << "\" in:\n"
            << report;
    EXPECT_EQ(count_of(report, "bind it to WinUSB"), GetParam().remedies) << report;
}

INSTANTIATE_TEST_SUITE_P(
    cases, run_test,
    testing::Values(
        run_case{
            "front_device_blocks",
            {{id_a, CR_SUCCESS, "usbser", 0, ERROR_FILE_NOT_FOUND}, {id_b, CR_SUCCESS, "WinUSB"}},
            true,
            1,
            {{std::string("  ") + id_a, "driver usbser"},
             {std::string("  ") + id_a, "cannot be opened (Windows error 2"},
             {std::string("  ") + id_a, "bind it to WinUSB (now: driver usbser)", 1},
             {std::string("  ") + id_b, std::string("not examined: flasher-win stops at ") + id_a},
             {"flasher-win gives up at ", id_a},
             {std::string("  ") + id_b + "  flasher-win ", "probe_win_image.bin SN02"},
             {"verdict: ", std::string("give up: every attempt fails at ") + id_a}},
            1},
        run_case{"chosen_beside_another_product",
                 {{id_other_product, CR_SUCCESS, "WinUSB"}, {id_b, CR_SUCCESS, "WINUSB"}},
                 true,
                 0,
                 {{std::string("  ") + id_b, "chosen"},
                  {std::string("  ") + id_other_product,
                   "has 0A1B:00CE; flasher-win looks for 0A1B:00CD"},
                  {"verdict: ", std::string("flasher-win would erase ") + id_b +
                                    " and send the whole file: 3 pages and the trailer"}},
                 0},
        // An input it cannot open stops flasher-win before any search: the
        // usable device only passes, and nothing pins it.
        run_case{
            "input_stops_first",
            {{id_a, CR_SUCCESS, nullptr, 0, ERROR_FILE_NOT_FOUND}, {id_b, CR_SUCCESS, "WinUSB"}},
            false,
            1,
            {{std::string("  ") + id_b, "passes: flasher-win would use it, had it got this far"},
             {"verdict: ", "flasher-win would stop at once: cannot open firmware "},
             {"flasher-win gives up", "(no line"}},
            1}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
