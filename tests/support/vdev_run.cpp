// flasher under flasher-vdev, in a directory of the test's own.
#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace support
{

const std::string &flasher_bin()
{
    static const std::string path = FLASHER_BIN;
    return path;
}

const std::string &vdev_bin()
{
    static const std::string path = FLASHER_VDEV_BIN;
    return path;
}

const std::string &probe_bin()
{
    static const std::string path = FLASHER_PROBE_BIN;
    return path;
}

const char flashers_here_function[] =
    "flashers_here() { for p in /proc/[0-9]*; do\n"
    "  [ \"$(cat $p/comm 2>/dev/null)\" = flasher ] && [ \"$(readlink $p/cwd)\" = \"$PWD\" ] &&\n"
    "    echo $p; done; }\n";

namespace
{

void redirect(const std::string &path, int fd, int flags)
{
    const int file = open(path.c_str(), flags, 0600);
    if (file < 0 || dup2(file, fd) < 0)
        _exit(121);
    close(file);
}

vdev_result spawn(const scratch_dir &dir, std::vector<std::string> args,
                  const std::optional<std::string> &usb_path, const std::string &stdin_file)
{
    const std::string out = dir.file(".vdev-stdout"), err = dir.file(".vdev-stderr");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        if (chdir(dir.path().c_str()) != 0)
            _exit(120);
        redirect(out, 1, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(err, 2, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(stdin_file.empty() ? "/dev/null" : stdin_file, 0, O_RDONLY);
        if (usb_path)
            setenv("FLASHER_USBPATH", usb_path->c_str(), 1);
        else
            unsetenv("FLASHER_USBPATH");
        execv(argv[0], argv.data());
        _exit(122);
    }
    int status = 0;
    vdev_result r;
    if (child > 0 && waitpid(child, &status, 0) == child)
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
    r.out = read_text(out, "");
    r.err = read_text(err, "");
    return r;
}

void add(std::vector<std::string> &args, const char *option, const std::string &value)
{
    if (value.empty())
        return;
    args.emplace_back(option);
    args.push_back(value);
}

} // namespace

vdev_result run_command(const scratch_dir &dir, const std::vector<std::string> &argv)
{
    return spawn(dir, argv, std::nullopt, "");
}

vdev_result run_vdev(const scratch_dir &dir, const vdev_call &call)
{
    const std::string account = dir.file(call.json ? "account.json" : "account.txt");
    std::remove(account.c_str()); // an account left by an earlier run would hide a missing one
    std::vector<std::string> args{vdev_bin()};
    if (call.fast_pauses)
        args.emplace_back("--fast-pauses");
    if (call.json)
        args.emplace_back("--json");
    add(args, "--account", account);
    args.insert(args.end(), call.options.begin(), call.options.end());
    for (const auto &d : call.devices)
        add(args, "--device", d);
    add(args, "--expect-image", call.expect_image);
    add(args, "--expect-params", call.expect_params);
    args.emplace_back("--");
    args.insert(args.end(), call.wrapper.begin(), call.wrapper.end());
    args.push_back(call.program.empty() ? flasher_bin() : call.program);
    args.insert(args.end(), call.command.begin(), call.command.end());
    vdev_result r = spawn(dir, args, call.usb_path, call.stdin_file);
    r.account = read_text(account);
    return r;
}

long json_number(const std::string &json, const std::string &key)
{
    const std::string k = "\"" + key + "\":";
    const std::size_t at = json.find(k);
    if (at == std::string::npos)
        return -1;
    return std::strtol(json.c_str() + at + k.size(), nullptr, 10);
}

std::vector<long> json_numbers(const std::string &json, const std::string &key)
{
    std::vector<long> out;
    const std::string k = "\"" + key + "\":[";
    const std::size_t at = json.find(k);
    if (at == std::string::npos)
        return out;
    const char *p = json.c_str() + at + k.size();
    while (*p != ']' && *p != '\0') {
        char *end = nullptr;
        out.push_back(std::strtol(p, &end, 10));
        p = *end == ',' ? end + 1 : end;
    }
    return out;
}

std::vector<std::string> check_lines(const std::string &json)
{
    std::vector<std::string> lines;
    std::size_t at = json.find("\"check\":{\"result\":\"");
    if (at == std::string::npos)
        return lines;
    at = json.find("\"text\":\"", at);
    if (at == std::string::npos)
        return lines;
    std::string line;
    for (std::size_t i = at + 8; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) {
            const char c = json[++i];
            if (c == 'n') {
                lines.push_back(line);
                line.clear();
            } else {
                line.push_back(c);
            }
            continue;
        }
        line.push_back(json[i]);
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

} // namespace support
