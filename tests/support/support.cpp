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

std::vector<wire_write> image_wire(const bytes &header, const bytes &pages_from, bool erase_all)
{
    bytes erase{static_cast<unsigned char>(erase_all ? 0xE2 : 0xE1)};
    for (std::size_t i = 0; i < 11; ++i)
        erase.push_back(i < header.size() ? header[i] : 0);
    std::vector<wire_write> w{{erase, 5000}, {{0x00}, 10000}, {{0x00}, 10000}};
    std::size_t offset = 11;
    unsigned page = 0;
    for (; page < 240 && pages_from.size() >= offset + 2048; ++page, offset += 2048) {
        w.push_back(
            {{0xE4, static_cast<unsigned char>(page >> 8), static_cast<unsigned char>(page & 0xFF)},
             1000});
        for (std::size_t k = 0; k < 32; ++k) {
            const auto at = pages_from.begin() + static_cast<long>(offset + 64 * k);
            w.push_back({bytes(at, at + 64), 1000});
        }
    }
    if (page < 240 && pages_from.size() == offset + 16) {
        bytes trailer{0xE0};
        trailer.insert(trailer.end(), pages_from.begin() + static_cast<long>(offset),
                       pages_from.end());
        w.push_back({trailer, 10000});
    }
    return w;
}

std::vector<bytes> wire_bytes(const std::vector<wire_write> &writes)
{
    std::vector<bytes> out;
    out.reserve(writes.size());
    for (const auto &w : writes)
        out.push_back(w.data);
    return out;
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

const char *fault_name(fault f)
{
    switch (f) {
    case fault::stall:
        return "stall";
    case fault::timeout:
        return "timeout";
    case fault::short_taken:
        return "short";
    case fault::gone:
        return "gone";
    }
    return "?";
}

std::string fault_spec(fault f, std::size_t at, std::size_t length)
{
    std::string spec = std::string(fault_name(f)) + "=" + std::to_string(at);
    if (f == fault::short_taken)
        spec.append(":").append(std::to_string(length > 1 ? length - 1 : 0));
    return spec;
}

std::string repeat(const std::string &text, int times)
{
    std::string all;
    for (int i = 0; i < times; ++i)
        all += text;
    return all;
}

} // namespace support
