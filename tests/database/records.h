// What the database tests share: record lines of schema 2 written as the
// gang writes them, a fixture with a server of its own and a fresh
// database, and the rows the database holds, read over plain libpq.
#pragma once

#include "postgres.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using ordered = nlohmann::ordered_json;

// A whole line of schema 2 for a board that came out ok: run `run`, port
// `usb_path`, plug-in `plug_in` (0: batch mode, null), serial, ended at
// second `end_second` of 2026-12-08T15:01.
ordered record_line(const std::string &run, const std::string &usb_path, int plug_in,
                    const std::string &serial, int end_second);

// Appends the lines to `path`, each one JSON line, as the gang writes them.
void append_lines(const std::string &path, const std::vector<ordered> &lines);

class DatabaseTest : public testing::Test
{
  protected:
    void SetUp() override;

    std::string conninfo(const std::string &user = "postgres") const
    {
        return server.conninfo(database, user);
    }
    // The rows of `columns` in the order they were stored.
    std::vector<support::pg_row> rows(const std::string &columns) const;

    support::postgres_server server;
    support::scratch_dir dir;
    std::string database;
    std::string record = dir.file("record.jsonl");
};
