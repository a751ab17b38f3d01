// The device protocol: message codes, sizes, time-outs and the encoding of
// each message. No I/O here, so every byte layout can be checked alone.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

constexpr unsigned char CMD_PARAMS = 0xE8;
constexpr unsigned char CMD_ERASE = 0xE1;
constexpr unsigned char CMD_ERASE_ALL = 0xE2;
constexpr unsigned char CMD_PAGE = 0xE4;
constexpr unsigned char CMD_TRAILER = 0xE0;

constexpr std::size_t image_header_size = 11;
constexpr std::size_t page_size = 2048;
constexpr std::size_t chunk_size = 64;
constexpr std::size_t chunks_per_page = page_size / chunk_size;
constexpr std::size_t trailer_size = 16;
constexpr unsigned max_pages = 240;
constexpr std::size_t params_size = 256;

constexpr std::size_t erase_message_size = 1 + image_header_size;
constexpr std::size_t page_header_size = 3;
constexpr std::size_t trailer_message_size = 1 + trailer_size;

// Time-outs in milliseconds, one per kind of write.
constexpr unsigned int params_timeout_ms = 1000;
constexpr unsigned int erase_timeout_ms = 5000;
constexpr unsigned int zero_byte_timeout_ms = 10000;
constexpr unsigned int page_timeout_ms = 1000;
constexpr unsigned int trailer_timeout_ms = 10000;

// Pauses in whole seconds.
constexpr unsigned int reconnect_pause_s = 1;
constexpr unsigned int erase_settle_pause_s = 4;

using image_header = std::array<unsigned char, image_header_size>;

// [CMD_ERASE or CMD_ERASE_ALL, header bytes 0..10]
inline std::array<unsigned char, erase_message_size> encode_erase(bool erase_all,
                                                                  const image_header &header)
{
    std::array<unsigned char, erase_message_size> msg{};
    msg[0] = erase_all ? CMD_ERASE_ALL : CMD_ERASE;
    for (std::size_t i = 0; i < header.size(); ++i)
        msg[1 + i] = header[i];
    return msg;
}

// [CMD_PAGE, page number high byte, low byte]: the number is big-endian.
constexpr std::array<unsigned char, page_header_size> encode_page_header(std::uint16_t page)
{
    return {CMD_PAGE, static_cast<unsigned char>(page >> 8),
            static_cast<unsigned char>(page & 0xFF)};
}

// [CMD_TRAILER, the 16 trailer bytes]
inline std::array<unsigned char, trailer_message_size>
encode_trailer(std::span<const unsigned char, trailer_size> trailer)
{
    std::array<unsigned char, trailer_message_size> msg{};
    msg[0] = CMD_TRAILER;
    for (std::size_t i = 0; i < trailer.size(); ++i)
        msg[1 + i] = trailer[i];
    return msg;
}
