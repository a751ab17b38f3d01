// The event lines for a supervisor, over the recording fake transport: what
// each message came to, including the results flasher does not judge (the
// zero bytes, the trailer) and the connection attempts, which the device
// never sees. The end-to-end fault sweep checks them against the device.
#include "fake_transport.h"
#include "frontend/events.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using support::pattern;

// Event lines written to a file of the test's own, read back afterwards.
class Events : public fake_test
{
  protected:
    std::string path = dir.file("events.txt");
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);

    void TearDown() override
    {
        events_start(-1);
        unsetenv("FLASHER_EVENTS_FD");
        close(fd);
        fake_test::TearDown();
    }
    std::string lines() const
    {
        return support::read_text(path);
    }
};

TEST_F(Events, FailedAttemptsThenTheOneThatOpened)
{
    events_start(fd);
    fake.open_results = {false, false, true};
    const auto r = support::run_main({"erase"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(lines(), "start version=1\n"
                       "attempt n=1 opened=0\n"
                       "attempt n=2 opened=0\n"
                       "attempt n=3 opened=1\n"
                       "begin what=erase\n"
                       "erase asked=12 took=12\n"
                       "zero n=1 asked=1 took=1\n"
                       "zero n=2 asked=1 took=1\n");
}

// Results flasher does not judge still reach the supervisor as they were.
TEST_F(Events, UnjudgedResultsAreToldAsTheyWere)
{
    const std::string image = dir.write("image.bin", pattern(11 + 2048 + 16));
    events_start(fd);
    // Writes: erase 0, zero bytes 1 and 2, page header 3, chunks 4..35, trailer 36.
    fake.write_results = {{1, 0}, {2, -1}, {36, 5}};
    const auto r = support::run_main({image});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(lines(), "start version=1\n"
                       "attempt n=1 opened=1\n"
                       "begin what=erase\n"
                       "erase asked=12 took=12\n"
                       "zero n=1 asked=1 took=0\n"
                       "zero n=2 asked=1 took=-1\n"
                       "page n=0 header=3 chunks=32\n"
                       "trailer asked=17 took=5\n");
}

TEST_F(Events, TheOpenedDeviceAsHex)
{
    struct opened_case {
        const char *path;
        const char *serial;
        const char *line;
    } cases[] = {
        {"1-1.4", "SN01", "opened path=1-1.4 serial=534e3031\n"},
        {"3", "", "opened path=3 serial=\n"},
        {nullptr, "A", "opened path=- serial=41\n"},
        {"1-2", nullptr, "opened path=1-2 serial=-\n"},
        // A serial is never raw text: a newline cannot forge a line.
        {"1-2", "a\nend status=0", "opened path=1-2 serial=610a656e64207374617475733d30\n"},
        {"1-2", "\x7f\xff", "opened path=1-2 serial=7fff\n"},
    };
    for (const opened_case &c : cases) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
        events_start(fd);
        event_opened(c.path, c.serial);
        EXPECT_EQ(lines(), std::string("start version=1\n") + c.line) << c.line;
    }
}

// The longest path and serial the libusb back-end can hold still fit in one
// line, so a pipe never splits it.
TEST_F(Events, TheLongestOpenedLineIsWhole)
{
    events_start(fd);
    const std::string serial(79, 'S');
    event_opened("255-255.255.255.255.255.255.255.255", serial.c_str());
    const std::string got = lines();
    const std::string line = got.substr(got.find("opened"));
    EXPECT_LT(line.size(), static_cast<std::size_t>(event_line_size));
    EXPECT_EQ(line, "opened path=255-255.255.255.255.255.255.255.255 serial=" +
                        support::repeat("53", 79) + "\n");
}

// Only a plain decimal number naming an open descriptor turns the lines on.
TEST_F(Events, TheVariableNamesAnOpenDescriptor)
{
    const int closed = dup(fd);
    ASSERT_GE(closed, 0);
    close(closed);
    const std::string number = std::to_string(fd);
    struct variable_case {
        std::string value;
        bool on;
    } cases[] = {
        {number, true},                  // an open descriptor
        {"", false},                     // empty
        {number + "x", false},           // not a number throughout
        {"-" + number, false},           // signed
        {"+" + number, false},           // signed too
        {" " + number, false},           // spaced
        {"99999999999", false},          // beyond any descriptor
        {std::to_string(closed), false}, // closed
    };
    for (const variable_case &c : cases) {
        ASSERT_EQ(ftruncate(fd, 0), 0);
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
        events_start(-1);
        setenv("FLASHER_EVENTS_FD", c.value.c_str(), 1);
        events_start_from_environment();
        event_end(0);
        EXPECT_EQ(lines(), c.on ? "start version=1\nend status=0\n" : "") << '"' << c.value << '"';
    }
}

} // namespace
