// Portable reader and writer for Windows bitmap files, used for the skin and the icons.
// No platform headers: every adapter and the skin generator share this one codec.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kvn::bmp {

// 0x00RRGGBB pixels, row-major, top row first.
struct Image {
    int32_t width = 0, height = 0;
    std::vector<uint32_t> pixels;
};

// Largest width or height Decode accepts.
inline constexpr int32_t kMaxSide = 16384;

// Decodes BMP bytes: BITMAPINFOHEADER or later headers (and the old 12-byte core header),
// 1/4/8-bit with palette, 16/24/32-bit uncompressed (BI_RGB; BI_BITFIELDS for 16/32 with
// contiguous masks), bottom-up and top-down. Alpha is dropped.
// Returns false on anything malformed or unsupported; never reads outside data; refuses
// absurd sizes (width or height <= 0 or > kMaxSide). `out` is left untouched on failure.
bool Decode(const uint8_t* data, size_t size, Image& out);
bool Load(const std::string& path, Image& out);

// 24-bit BI_RGB, bottom-up, BITMAPINFOHEADER ("BMP3"). Empty when the image is not
// well formed (non-positive size or a pixel count that does not match).
std::vector<uint8_t> Encode24(const Image& img);
bool Save(const std::string& path, const Image& img);

// 32-bit BI_BITFIELDS with a BITMAPV4HEADER and an alpha mask, bottom-up. Each pixel's top
// byte is written as its alpha (0xAARRGGBB). For icons on platforms without .ico support.
std::vector<uint8_t> Encode32(const Image& img);

// Writes bytes to a file; false when the file cannot be written completely.
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace kvn::bmp
