// What flasher-probe.exe tells beyond flasher-win's own steps, over the
// double of the Windows calls: a serial in the wrong case, the pipe
// flasher-win writes to, composite devices, Windows' own error texts and the
// Device Manager problem code. The device table of this test holds vendor
// 0x0A1B, product 0x00CD.
#include "tools/probe/win/report.h"
#include "usb/dryrun/winusb/winusb_dryrun.h"

#include "probe_win_support.h"
#include "write_pipe_cases.h"

#include <ostream>
#include <string>
#include <vector>

namespace
{

const char id_a[] = R"(USB\VID_0A1B&PID_00CD\SN01)";
const char id_b[] = R"(USB\VID_0A1B&PID_00CD\SN02)";

template <typename Case> std::string case_name(const testing::TestParamInfo<Case> &info)
{
    return info.param.name;
}

// ---- A serial with lower-case letters ----

struct case_case {
    const char *name;
    std::vector<std::string> args;
    std::string capitalised; // the flasher-win line the probe gives; "" for none
    int chosen;              // the device flasher-win takes with it, -1 for none
};

void PrintTo(const case_case &c, std::ostream *os)
{
    *os << c.name;
}

class case_test : public probe_win_test, public testing::WithParamInterface<case_case>
{
};

TEST_P(case_test, lower_case_serial_is_told_in_capitals)
{
    win.devices = {{id_a, CR_SUCCESS, "WINUSB"}, {id_b, CR_SUCCESS, "WINUSB"}};
    const probe_result r = run_probe(GetParam().args);
    const std::string under = line_of(r.report, "selectors: ", 1);
    if (GetParam().capitalised.empty()) {
        EXPECT_EQ(under.rfind("devices with ", 0), 0u) << r.report;
        return;
    }
    EXPECT_NE(under.find("has lower-case letters"), std::string::npos) << r.report;
    EXPECT_EQ(under.substr(under.rfind(": ") + 2), GetParam().capitalised) << r.report;
    // flasher-win's own match on the same machine, with the serial in
    // capitals: the line names the device it then takes.
    std::string serial = GetParam().capitalised.substr(GetParam().capitalised.rfind(' ') + 1);
    const dryrun_win::walk_result walk = dryrun_win::walk(serial.c_str());
    EXPECT_EQ(walk.stop, GetParam().chosen);
}

INSTANTIATE_TEST_SUITE_P(
    cases, case_test,
    testing::Values(case_case{"lower", {"erase", "sn02"}, "flasher-win erase SN02", 1},
                    case_case{
                        "mixed_with_all", {"erase", "all", "Sn0"}, "flasher-win erase all SN0", 0},
                    case_case{"capitals", {"erase", "SN02"}, "", 1},
                    case_case{"no_letters", {"erase", "02"}, "", 1}),
    case_name<case_case>);

// ---- The pipe flasher-win writes to ----

class write_pipe_test : public probe_win_test, public testing::WithParamInterface<write_pipe_case>
{
};

TEST_P(write_pipe_test, every_pipe_is_read_and_a_missing_0x02_foretold)
{
    win.devices = {{id_a, CR_SUCCESS, "WINUSB"}};
    win.pipes = GetParam().pipes;
    const probe_result r = run_probe({"erase"});
    ASSERT_EQ(r.search.devices.size(), 1u);
    EXPECT_EQ(r.search.devices[0].usable, GetParam().writes_go_through);
    EXPECT_EQ(r.v.status, GetParam().writes_go_through ? 0 : 1) << r.v.text;
    const std::string line = line_of(r.report, std::string("  ") + id_a);
    if (!GetParam().writes_go_through) {
        EXPECT_NE(line.find("flasher-win would open it and then fail at the erase: it writes to "
                            "pipe 0x02, which "),
                  std::string::npos)
            << line;
        EXPECT_NE(line.find(GetParam().why), std::string::npos) << line;
        EXPECT_NE(r.v.text.find(std::string("flasher-win would fail on ") + id_a),
                  std::string::npos);
    }
    // Every pipe of alternate setting 0, each once, after its count.
    ASSERT_EQ(win.settings_queries.size(), 1u);
    EXPECT_EQ(win.settings_queries[0].alternate, 0);
    std::vector<int> asked;
    for (std::size_t i = 2; i < win.queries.size(); ++i)
        asked.push_back(win.queries[i].index);
    std::vector<int> every(GetParam().pipes.size());
    for (std::size_t i = 0; i < every.size(); ++i)
        every[i] = static_cast<int>(i);
    EXPECT_EQ(asked, every);
}

INSTANTIATE_TEST_SUITE_P(cases, write_pipe_test, testing::ValuesIn(write_pipe_cases),
                         case_name<write_pipe_case>);

// The prediction names the first message, and a device the pipes of which
// cannot all be read is not foretold to fail.
struct pipe_reading_case {
    const char *name;
    bool parameters; // a parameter file, else "erase"
    fake_device device;
    std::string said; // in the device line or under it
    int status;
};

void PrintTo(const pipe_reading_case &c, std::ostream *os)
{
    *os << c.name;
}

class pipe_reading_test : public probe_win_test,
                          public testing::WithParamInterface<pipe_reading_case>
{
};

TEST_P(pipe_reading_test, says_what_it_read)
{
    win.pipes = {{true, 0x81}, {true, 0x01}};
    win.devices = {GetParam().device};
    const probe_result r = run_probe({GetParam().parameters ? write_image(256) : "erase"});
    EXPECT_NE(r.report.find(GetParam().said), std::string::npos) << r.report;
    EXPECT_EQ(r.v.status, GetParam().status) << r.v.text;
}

INSTANTIATE_TEST_SUITE_P(
    cases, pipe_reading_test,
    testing::Values(
        pipe_reading_case{"parameters",
                          true,
                          {id_a, CR_SUCCESS, "WINUSB"},
                          "fail at the parameter announcement: it writes to pipe 0x02",
                          1},
        pipe_reading_case{"pipes_listed",
                          false,
                          {id_a, CR_SUCCESS, "WINUSB"},
                          "    its pipes (interface 0, alternate setting 0): 0x81 bulk IN, 0x01 "
                          "bulk OUT\n",
                          1},
        pipe_reading_case{"settings_unreadable",
                          false,
                          {id_a, CR_SUCCESS, "WINUSB", 0, 0, 0, {}, ERROR_GEN_FAILURE},
                          "    its pipes cannot all be read (Windows error 31: A device attached "
                          "to the system is not functioning): whether it has the pipe 0x02",
                          0},
        pipe_reading_case{"a_query_fails",
                          false,
                          {id_a, CR_SUCCESS, "WINUSB", 0, 0, 0, {{{true, 0x01}, {false, 0x02}}}},
                          "its pipes cannot all be read (Windows error 31",
                          0}),
    case_name<pipe_reading_case>);

// ---- Composite devices ----

struct composite_case {
    const char *name;
    fake_device device;
    std::string note; // the line under it
    bool remedy;      // the line says to bind it to WinUSB
};

void PrintTo(const composite_case &c, std::ostream *os)
{
    *os << c.name;
}

class composite_test : public probe_win_test, public testing::WithParamInterface<composite_case>
{
};

TEST_P(composite_test, no_winusb_remedy_for_a_composite_device)
{
    win.devices = {GetParam().device};
    const probe_result r = run_probe({"erase"});
    EXPECT_EQ(count_of(r.report, "bind it to WinUSB"), GetParam().remedy ? 1u : 0u) << r.report;
    EXPECT_NE(r.report.find("\n    " + GetParam().note), std::string::npos) << r.report;
}

INSTANTIATE_TEST_SUITE_P(
    cases, composite_test,
    testing::Values(composite_case{"parent",
                                   {id_a, CR_SUCCESS, "usbccgp", 0, 0, ERROR_INVALID_FUNCTION},
                                   "a composite device (driver usbccgp): ",
                                   false},
                    composite_case{"winusb_interface",
                                   {R"(USB\VID_0A1B&PID_00CD&MI_00\7&1A2B3C4D&0&0000)", CR_SUCCESS,
                                    "WINUSB", 0, ERROR_FILE_NOT_FOUND},
                                   "interface MI_00 of a composite device: ",
                                   false},
                    composite_case{"other_interface",
                                   {R"(USB\VID_0A1B&PID_00CD&MI_01\7&1A2B3C4D&0&0001)", CR_SUCCESS,
                                    "HidUsb", 0, ERROR_ACCESS_DENIED},
                                   "interface MI_01 of a composite device: ",
                                   false},
                    // Not composite: "MI_" in the serial is not an interface.
                    composite_case{"serial_with_mi",
                                   {R"(USB\VID_0A1B&PID_00CD\X&MI_00)", CR_SUCCESS, "usbser", 0, 0,
                                    ERROR_INVALID_FUNCTION},
                                   "bind it to WinUSB (now: driver usbser)",
                                   true}),
    case_name<composite_case>);

// ---- Windows' own texts ----

struct error_case {
    const char *name;
    fake_device device;
    DWORD error;
    std::string said; // in the device's line or under it
};

void PrintTo(const error_case &c, std::ostream *os)
{
    *os << c.name;
}

class error_test : public probe_win_test, public testing::WithParamInterface<error_case>
{
};

TEST_P(error_test, windows_own_text_for_the_code)
{
    win.devices = {GetParam().device};
    const probe_result r = run_probe({"erase"});
    EXPECT_NE(r.report.find(GetParam().said), std::string::npos) << r.report;
    ASSERT_FALSE(win.messages.empty());
    const format_message_call &m = win.messages.back();
    EXPECT_EQ(m.id, GetParam().error);
    EXPECT_EQ(m.flags, FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS);
    EXPECT_EQ(m.source, nullptr);
    EXPECT_EQ(m.language, 0u);
    EXPECT_EQ(m.arguments, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    cases, error_test,
    testing::Values(
        error_case{"open_2",
                   {id_a, CR_SUCCESS, nullptr, 0, ERROR_FILE_NOT_FOUND},
                   ERROR_FILE_NOT_FOUND,
                   "cannot be opened (Windows error 2: The system cannot find the file "
                   "specified)\n"},
        error_case{"open_5",
                   {id_a, CR_SUCCESS, "usbser", 0, ERROR_ACCESS_DENIED},
                   ERROR_ACCESS_DENIED,
                   "cannot be opened (Windows error 5: Access is denied)\n    WinUSB lets one "
                   "program at a time open a device"},
        error_case{"winusb_8",
                   {id_a, CR_SUCCESS, "usbser", 0, 0, ERROR_NOT_ENOUGH_MEMORY},
                   ERROR_NOT_ENOUGH_MEMORY,
                   "WinUSB cannot be started on it (Windows error 8: Not enough memory resources "
                   "are available to process this command)\n"},
        error_case{"open_31",
                   {id_a, CR_SUCCESS, nullptr, 0, ERROR_GEN_FAILURE},
                   ERROR_GEN_FAILURE,
                   "(Windows error 31: A device attached to the system is not functioning)\n"},
        error_case{"driver_unreadable_no_text",
                   {id_a, CR_SUCCESS, nullptr, 1168},
                   1168,
                   "driver unreadable (Windows error 1168)  "}),
    case_name<error_case>);

// ---- The Device Manager problem code ----

struct problem_case {
    const char *name;
    fake_device device;
    bool asked;       // CM_Get_DevNode_Status was called for it
    std::string said; // under its line; "" for nothing
};

void PrintTo(const problem_case &c, std::ostream *os)
{
    *os << c.name;
}

class problem_test : public probe_win_test, public testing::WithParamInterface<problem_case>
{
};

TEST_P(problem_test, winusb_device_that_cannot_be_opened)
{
    // The device in question is the second listed.
    win.devices = {{R"(USB\ROOT_HUB30\4&1B2C3D&0&0)", CR_SUCCESS, "USBHUB3"}, GetParam().device};
    const probe_result r = run_probe({"erase"});
    if (GetParam().said.empty())
        EXPECT_EQ(count_of(r.report, "Device Manager"), 0u) << r.report;
    else
        EXPECT_NE(r.report.find("\n    " + GetParam().said + "\n"), std::string::npos) << r.report;
    if (!GetParam().asked) {
        EXPECT_TRUE(win.status_requests.empty());
        return;
    }
    ASSERT_EQ(win.status_requests.size(), 1u);
    EXPECT_EQ(win.status_requests[0].devinst, win.id_requests[1]);
    EXPECT_EQ(win.status_requests[0].flags, 0u);
}

fake_device winusb_unopenable(ULONG problem, CONFIGRET result = CR_SUCCESS)
{
    fake_device d{id_a, CR_SUCCESS, "WINUSB", 0, ERROR_FILE_NOT_FOUND};
    d.problem = problem;
    d.status_result = result;
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    cases, problem_test,
    testing::Values(
        problem_case{"disabled", winusb_unopenable(22), true,
                     "Device Manager problem code 22: the device is disabled (Device Manager: "
                     "Enable device)"},
        problem_case{"failed_start", winusb_unopenable(10), true,
                     "Device Manager problem code 10: the device cannot start"},
        problem_case{"code_not_listed", winusb_unopenable(99), true,
                     "Device Manager problem code 99: see the device's status in Device Manager"},
        problem_case{"no_problem", winusb_unopenable(0), true,
                     "Device Manager shows no problem for it"},
        problem_case{"status_unreadable", winusb_unopenable(0, CR_NO_SUCH_DEVNODE), true,
                     "its Device Manager status cannot be read (configuration manager result "
                     "13)"},
        // Not WinUSB's: binding it is the remedy, and nothing is asked.
        problem_case{
            "other_driver", {id_a, CR_SUCCESS, "usbser", 0, ERROR_FILE_NOT_FOUND}, false, ""},
        problem_case{"opens", {id_a, CR_SUCCESS, "WINUSB"}, false, ""}),
    case_name<problem_case>);

// ---- The phrases ----

struct phrase_case {
    const char *name;
    std::vector<fake_device> devices;
    bool image_there;
    std::string start; // the line that starts so...
    std::string text;  // ... holds this
};

void PrintTo(const phrase_case &c, std::ostream *os)
{
    *os << c.name;
}

class phrase_test : public probe_win_test, public testing::WithParamInterface<phrase_case>
{
};

TEST_P(phrase_test, says_it_plainly)
{
    win.devices = GetParam().devices;
    const std::string image =
        GetParam().image_there ? write_image() : testing::TempDir() + "missing.bin";
    const probe_result r = run_probe({image});
    EXPECT_NE(line_of(r.report, GetParam().start).find(GetParam().text), std::string::npos)
        << r.report;
}

const fake_device unopenable_a{id_a, CR_SUCCESS, nullptr, 0, ERROR_FILE_NOT_FOUND};
const fake_device good_b{id_b, CR_SUCCESS, "WINUSB"};
fake_device no_pipe_02_a()
{
    fake_device d{id_a, CR_SUCCESS, "WINUSB"};
    d.pipes = {{{true, 0x81}, {true, 0x01}}};
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    cases, phrase_test,
    testing::Values(
        phrase_case{"input_stops_flasher_win",
                    {good_b},
                    false,
                    "input: ",
                    "flasher-win stops here, before any USB activity: cannot open firmware"},
        phrase_case{"no_search_no_failed_attempt",
                    {unopenable_a, good_b},
                    false,
                    std::string("  ") + id_a,
                    "would fail the attempt, had flasher-win got this far: cannot be opened"},
        phrase_case{"gives_up_pins",
                    {unopenable_a, good_b},
                    true,
                    "flasher-win gives up at ",
                    std::string("; given a serial argument that only one device's instance ID "
                                "contains, it passes over ") +
                        id_a + " to that device:"},
        phrase_case{"fails_on_pins",
                    {no_pipe_02_a(), good_b},
                    true,
                    std::string("flasher-win fails on ") + id_a,
                    "it passes over"},
        phrase_case{"choose_pins",
                    {good_b, {id_a, CR_SUCCESS, "WINUSB"}},
                    true,
                    "to choose a device, ",
                    "give flasher-win a serial argument that only its instance ID contains"}),
    case_name<phrase_case>);

} // namespace
