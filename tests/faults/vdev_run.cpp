#include "vdev_run.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace
{

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void redirect(const std::string &path, int fd, int flags)
{
    const int file = open(path.c_str(), flags, 0600);
    if (file < 0 || dup2(file, fd) < 0)
        _exit(126);
    close(file);
}

} // namespace

vdev_result run_vdev(const vdev_call &call)
{
    const scratch_dir dir;
    const std::string out = dir.path + "/out", err = dir.path + "/err",
                      account = dir.path + "/account.json";
    std::vector<std::string> args{FLASHER_VDEV_BIN, "--fast-pauses", "--json", "--account",
                                  account};
    for (const auto &d : call.devices) {
        args.push_back("--device");
        args.push_back(d);
    }
    if (!call.expect_image.empty()) {
        args.push_back("--expect-image");
        args.push_back(call.expect_image);
    }
    if (!call.expect_params.empty()) {
        args.push_back("--expect-params");
        args.push_back(call.expect_params);
    }
    args.push_back("--");
    args.insert(args.end(), call.wrapper.begin(), call.wrapper.end());
    args.push_back(FLASHER_BIN);
    args.insert(args.end(), call.command.begin(), call.command.end());
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        redirect(out, 1, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(err, 2, O_WRONLY | O_CREAT | O_TRUNC);
        redirect(call.stdin_file.empty() ? "/dev/null" : call.stdin_file, 0, O_RDONLY);
        if (call.usb_path)
            setenv("FLASHER_USBPATH", call.usb_path->c_str(), 1);
        else
            unsetenv("FLASHER_USBPATH");
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    vdev_result r;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    r.out = slurp(out);
    r.err = slurp(err);
    r.account = slurp(account);
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
    std::size_t at = json.find(k);
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
    const std::string k = "\"check\":{\"result\":\"";
    std::size_t at = json.find(k);
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

scratch_dir::scratch_dir()
{
    char templ[] = "/tmp/flasher-faults-XXXXXX";
    if (mkdtemp(templ) != nullptr)
        path = templ;
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    fs::remove_all(path, ec);
}

std::string scratch_dir::file(const std::string &name,
                              const std::vector<unsigned char> &content) const
{
    std::string p = path + "/" + name;
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char *>(content.data()),
               static_cast<std::streamsize>(content.size()));
    return p;
}

std::vector<unsigned char> pattern(std::size_t size)
{
    std::vector<unsigned char> b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<unsigned char>((i * 37 + 11 + i / 253) & 0xFF);
    return b;
}
