#include "support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace support
{

scratch_dir::scratch_dir()
{
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base != nullptr ? base : "/tmp") + "/flasher-test.XXXXXX";
    if (mkdtemp(templ.data()) == nullptr)
        std::abort();
    path_ = templ;
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string scratch_dir::write(const std::string &name, const bytes &content) const
{
    std::string p = file(name);
    write_file(p, content);
    return p;
}

void write_file(const std::string &path, const bytes &content)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(content.data()),
               static_cast<std::streamsize>(content.size()));
}

std::string read_text(const std::string &path, const std::string &missing)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return missing;
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bytes pattern(std::size_t size, unsigned seed)
{
    bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<unsigned char>((i * 31 + seed + i / 251) & 0xFF);
    return b;
}

std::string page_lines(unsigned pages)
{
    std::string s;
    char line[32];
    for (unsigned p = 0; p < pages; ++p) {
        std::snprintf(line, sizeof line, "page: %-3u\n", p);
        s += line;
    }
    return s;
}

std::string repeat(const std::string &text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

} // namespace support
