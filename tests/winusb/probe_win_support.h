// What the tests of flasher-probe.exe's dry run over the double of the
// Windows calls share: the machine each starts from, the check that the dry
// run gave back everything and wrote nothing, and whole runs of the probe.
#pragma once

#include "tools/probe/report.h"

#include "win_double.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

class probe_win_test : public testing::Test
{
  protected:
    void SetUp() override;
    // Whatever the dry run did: every list, file and interface given back,
    // and not one write, not even a pipe policy.
    void TearDown() override;
};

// A file of this test process's own (ctest runs the cases side by side) of
// `size` bytes: a firmware image with 3 pages and a trailer by default.
std::string write_image(std::size_t size = 11 + 3 * 2048 + 16);

std::string report_text(const probe_findings &findings, const verdict &v);

// The report's line that starts with `start`, or the `after`th line after it.
std::string line_of(const std::string &report, const std::string &start, int after = 0);

std::size_t count_of(const std::string &text, const std::string &what);

struct probe_result {
    verdict v;
    std::string report;
    listed_search search;
};

// flasher-probe.exe's whole run with flasher-win's arguments over the
// double's machine: the front end run dry, and the search it made (or, when
// it stops first, the one made with the serial it would have read).
probe_result run_probe(std::vector<std::string> args);
