#include "run_vdev.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <ftw.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace e2e
{

scratch_dir::scratch_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base != nullptr ? base : "/tmp") + "/flasher-e2e.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        std::abort();
    path_ = buf.data();
}

scratch_dir::~scratch_dir()
{
    nftw(
        path_.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return std::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void scratch_dir::write(const std::string &name, const std::vector<unsigned char> &bytes) const
{
    std::FILE *f = std::fopen(file(name).c_str(), "wb");
    if (f == nullptr)
        std::abort();
    if (!bytes.empty())
        std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

std::string read_text(const std::string &path)
{
    std::string text;
    std::FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return "(missing)";
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

namespace
{

outcome spawn(const scratch_dir &dir, const std::vector<std::string> &argv, bool set_usbpath,
              const std::string &usbpath)
{
    std::string out = dir.file("stdout.txt");
    std::string err = dir.file("stderr.txt");
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.path().c_str()) != 0)
            _exit(120);
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0)
            _exit(121);
        if (set_usbpath)
            setenv("FLASHER_USBPATH", usbpath.c_str(), 1);
        else
            unsetenv("FLASHER_USBPATH");
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(122);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    outcome r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 200 + WTERMSIG(status);
    r.out = read_text(out);
    r.err = read_text(err);
    return r;
}

} // namespace

outcome run_raw(const scratch_dir &dir, const std::vector<std::string> &argv)
{
    return spawn(dir, argv, false, "");
}

outcome run(const scratch_dir &dir, const invocation &inv)
{
    std::vector<std::string> argv = {FLASHER_VDEV_PATH};
    if (inv.fast_pauses)
        argv.push_back("--fast-pauses");
    argv.push_back("--account");
    argv.push_back(dir.file("account.txt"));
    argv.insert(argv.end(), inv.vdev_args.begin(), inv.vdev_args.end());
    argv.push_back("--");
    argv.push_back(FLASHER_PATH);
    argv.insert(argv.end(), inv.flasher_args.begin(), inv.flasher_args.end());
    outcome r = spawn(dir, argv, inv.set_usbpath, inv.usbpath);
    r.account = read_text(dir.file("account.txt"));
    return r;
}

std::vector<unsigned char> make_image(unsigned pages, std::size_t tail)
{
    std::vector<unsigned char> image;
    for (unsigned i = 0; i < 11; ++i)
        image.push_back(static_cast<unsigned char>(i + 1));
    for (unsigned p = 0; p < pages; ++p) {
        for (unsigned k = 0; k < 2048; ++k)
            image.push_back(static_cast<unsigned char>((p * 7 + k) & 0xFF));
    }
    for (std::size_t t = 0; t < tail; ++t)
        image.push_back(static_cast<unsigned char>(0xA0 + t));
    return image;
}

} // namespace e2e
