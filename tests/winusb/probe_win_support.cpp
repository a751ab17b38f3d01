#include "probe_win_support.h"

#include "tools/probe/win/report.h"

#include <cstdio>
#include <unistd.h>

void probe_win_test::SetUp()
{
    win_double_reset();
    win.pipes = {{true, 0x81}, {true, 0x02}};
}

void probe_win_test::TearDown()
{
    EXPECT_EQ(win.misuse, std::vector<std::string>{});
    EXPECT_EQ(win.lists_destroyed, win.lists_created);
    EXPECT_EQ(win.files_closed, win.files_opened);
    EXPECT_EQ(win.interfaces_freed, win.interfaces_created);
    EXPECT_EQ(win.writes.size(), 0u);
    EXPECT_EQ(win.policies.size(), 0u);
}

std::string write_image(std::size_t size)
{
    std::string path = testing::TempDir() + std::to_string(getpid()) + ".probe_win_image.bin";
    std::FILE *f = std::fopen(path.c_str(), "wb");
    for (std::size_t i = 0; f != nullptr && i < size; ++i)
        std::fputc(static_cast<int>(i * 7 % 251), f);
    if (f != nullptr)
        std::fclose(f);
    return path;
}

std::string report_text(const probe_findings &findings, const verdict &v)
{
    std::FILE *out = std::tmpfile();
    print_report(out, flasher_win_probe, findings, v);
    std::rewind(out);
    std::string text;
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out))
        text += static_cast<char>(c);
    std::fclose(out);
    return text;
}

std::string line_of(const std::string &report, const std::string &start, int after)
{
    std::size_t at = report.find("\n" + start);
    for (int i = 0; i < after && at != std::string::npos; ++i)
        at = report.find('\n', at + 1);
    if (at == std::string::npos)
        return "(no line " + start + ")";
    return report.substr(at + 1, report.find('\n', at + 1) - at - 1);
}

std::size_t count_of(const std::string &text, const std::string &what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

probe_result run_probe(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    probe_subject subject;
    subject.args = args;
    const std::size_t sent_before = dryrun::sent().size();
    const dry_run run = run_program_dry("flasher-win", static_cast<int>(args.size()), argv.data(),
                                        0, subject.serial);
    const input_plan plan = plan_input(
        run, {dryrun::sent().begin() + static_cast<long>(sent_before), dryrun::sent().end()});
    const listed_search search = win_listed_search(
        run.prepared ? dryrun_win::searched() : dryrun_win::walk(subject.serial), subject, &run);
    const probe_findings findings{subject, &run, &plan, search};
    const verdict v = judge(flasher_win_probe, findings);
    return {v, report_text(findings, v), search};
}
