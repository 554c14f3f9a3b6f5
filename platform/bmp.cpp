#include "platform/bmp.h"

#include <cstdio>

namespace kvn::bmp {
namespace {

constexpr uint32_t kBiRgb = 0;
constexpr uint32_t kBiBitfields = 3;
constexpr uint32_t kBiAlphaBitfields = 6;

uint32_t Rd16(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }
uint32_t Rd32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

void Wr16(std::vector<uint8_t>& v, uint32_t x) {
    v.push_back(uint8_t(x));
    v.push_back(uint8_t(x >> 8));
}
void Wr32(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// One colour channel of a bitfield pixel format.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    // Only a contiguous, non-empty run of bits is a usable channel.
    bool Set(uint32_t m) {
        mask = m;
        if (m == 0) return false;
        shift = 0;
        while (!((m >> shift) & 1u)) ++shift;
        uint32_t run = m >> shift;
        bits = 0;
        while (run & 1u) {
            ++bits;
            run >>= 1;
        }
        return run == 0;
    }

    uint32_t Get(uint32_t px) const {
        uint32_t v = (px & mask) >> shift;
        if (bits >= 8) return v >> (bits - 8);
        // Repeat the bits downward so that full scale stays full scale (0x1F -> 0xFF).
        const uint32_t top = v << (8 - bits);
        uint32_t r = top;
        for (int s = bits; s < 8; s += bits) r |= top >> s;
        return r;
    }
};

}  // namespace

bool Decode(const uint8_t* data, size_t size, Image& out) {
    if (data == nullptr || size < 14 + 12) return false;
    if (data[0] != 'B' || data[1] != 'M') return false;
    const uint64_t offBits = Rd32(data + 10);
    const uint32_t hdrSize = Rd32(data + 14);

    int64_t width = 0, height = 0;
    uint32_t planes = 0, bpp = 0, compression = kBiRgb, clrUsed = 0;
    size_t palEntry = 4;
    bool topDown = false;

    if (hdrSize == 12) {
        // The old core header: 16-bit sizes, always bottom-up, three-byte palette entries.
        width = Rd16(data + 18);
        height = Rd16(data + 20);
        planes = Rd16(data + 22);
        bpp = Rd16(data + 24);
        palEntry = 3;
        if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 24) return false;
    } else if (hdrSize == 40 || hdrSize == 52 || hdrSize == 56 || hdrSize == 64 || hdrSize == 108 ||
               hdrSize == 124) {
        if (size < 14 + uint64_t(hdrSize)) return false;
        width = int32_t(Rd32(data + 18));
        height = int32_t(Rd32(data + 22));
        planes = Rd16(data + 26);
        bpp = Rd16(data + 28);
        compression = Rd32(data + 30);
        clrUsed = Rd32(data + 46);
        if (height < 0) {
            topDown = true;
            height = -height;
        }
        // OS/2 2.x headers number their compressions differently; take only plain RGB there.
        if (hdrSize == 64 && compression != kBiRgb) return false;
    } else {
        return false;
    }

    if (planes != 1) return false;
    if (width <= 0 || height <= 0 || width > kMaxSide || height > kMaxSide) return false;

    const bool indexed = bpp == 1 || bpp == 4 || bpp == 8;
    if (!indexed && bpp != 16 && bpp != 24 && bpp != 32) return false;

    Channel ch[3];
    uint64_t afterHeader = 14 + uint64_t(hdrSize);
    if (compression == kBiRgb) {
        if (bpp == 16) {
            ch[0].Set(0x7C00);
            ch[1].Set(0x03E0);
            ch[2].Set(0x001F);
        } else if (bpp == 32) {
            ch[0].Set(0xFF0000);
            ch[1].Set(0x00FF00);
            ch[2].Set(0x0000FF);
        }
    } else if ((compression == kBiBitfields || compression == kBiAlphaBitfields) &&
               (bpp == 16 || bpp == 32)) {
        // A bare info header is followed by the masks; later headers carry them inside.
        const uint64_t maskAt = hdrSize == 40 ? afterHeader : 14 + 40;
        const uint64_t maskCount = compression == kBiAlphaBitfields ? 4 : 3;
        if (maskAt + 4 * maskCount > size) return false;
        const uint32_t limit = bpp == 16 ? 0xFFFFu : 0xFFFFFFFFu;
        for (int i = 0; i < 3; ++i) {
            const uint32_t m = Rd32(data + maskAt + 4 * i);
            if (!ch[i].Set(m) || (m & ~limit) != 0) return false;
        }
        if ((ch[0].mask & ch[1].mask) || (ch[0].mask & ch[2].mask) || (ch[1].mask & ch[2].mask)) return false;
        if (hdrSize == 40) afterHeader += 4 * maskCount;
    } else {
        return false;  // RLE, JPEG, PNG and the rest are not used by any of our files
    }

    std::vector<uint32_t> palette;
    if (indexed) {
        const uint32_t full = 1u << bpp;
        uint32_t n = clrUsed == 0 ? full : clrUsed;
        if (n > full) n = full;  // extra entries can never be addressed
        if (afterHeader + uint64_t(n) * palEntry > size) return false;
        palette.resize(n);
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t* p = data + afterHeader + uint64_t(i) * palEntry;
            palette[i] = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
        }
    }

    if (offBits < 14 + uint64_t(hdrSize)) return false;
    const uint64_t stride = ((uint64_t(width) * bpp + 31) / 32) * 4;
    if (offBits > size || stride * uint64_t(height) > size - offBits) return false;

    Image img;
    img.width = int32_t(width);
    img.height = int32_t(height);
    img.pixels.resize(size_t(width) * size_t(height));
    for (int64_t y = 0; y < height; ++y) {
        const int64_t fileRow = topDown ? y : height - 1 - y;
        const uint8_t* row = data + offBits + uint64_t(fileRow) * stride;
        uint32_t* dst = img.pixels.data() + size_t(y) * size_t(width);
        for (int64_t x = 0; x < width; ++x) {
            uint32_t px = 0;
            switch (bpp) {
            case 1:
            case 4:
            case 8: {
                const uint64_t bit = uint64_t(x) * bpp;
                const uint32_t byte = row[bit / 8];
                const uint32_t idx = (byte >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1u);
                if (idx >= palette.size()) return false;
                dst[x] = palette[idx];
                continue;
            }
            case 16:
                px = Rd16(row + 2 * x);
                break;
            case 24:
                dst[x] = (uint32_t(row[3 * x + 2]) << 16) | (uint32_t(row[3 * x + 1]) << 8) | row[3 * x];
                continue;
            default:
                px = Rd32(row + 4 * x);
                break;
            }
            dst[x] = (ch[0].Get(px) << 16) | (ch[1].Get(px) << 8) | ch[2].Get(px);
        }
    }
    out = std::move(img);
    return true;
}

bool Load(const std::string& path, Image& out) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    std::vector<uint8_t> bytes;
    uint8_t buf[65536];
    size_t n = 0;
    bool ok = true;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        // Nothing we accept is anywhere near this; stop before memory becomes the problem.
        if (bytes.size() + n > (size_t(1) << 30)) {
            ok = false;
            break;
        }
        bytes.insert(bytes.end(), buf, buf + n);
    }
    if (std::ferror(f)) ok = false;
    std::fclose(f);
    return ok && Decode(bytes.data(), bytes.size(), out);
}

namespace {

bool WellFormed(const Image& img) {
    return img.width > 0 && img.height > 0 && img.width <= kMaxSide && img.height <= kMaxSide &&
           img.pixels.size() == size_t(img.width) * size_t(img.height);
}

}  // namespace

std::vector<uint8_t> Encode24(const Image& img) {
    std::vector<uint8_t> v;
    if (!WellFormed(img)) return v;
    const uint32_t stride = ((uint32_t(img.width) * 24 + 31) / 32) * 4;
    const uint32_t imageSize = stride * uint32_t(img.height);
    v.reserve(54 + imageSize);
    v.push_back('B');
    v.push_back('M');
    Wr32(v, 54 + imageSize);
    Wr32(v, 0);
    Wr32(v, 54);
    Wr32(v, 40);
    Wr32(v, uint32_t(img.width));
    Wr32(v, uint32_t(img.height));
    Wr16(v, 1);
    Wr16(v, 24);
    Wr32(v, kBiRgb);
    Wr32(v, imageSize);
    Wr32(v, 2835);  // 72 dpi
    Wr32(v, 2835);
    Wr32(v, 0);
    Wr32(v, 0);
    for (int32_t y = img.height - 1; y >= 0; --y) {
        const uint32_t* src = img.pixels.data() + size_t(y) * size_t(img.width);
        for (int32_t x = 0; x < img.width; ++x) {
            v.push_back(uint8_t(src[x]));
            v.push_back(uint8_t(src[x] >> 8));
            v.push_back(uint8_t(src[x] >> 16));
        }
        for (uint32_t pad = uint32_t(img.width) * 3; pad < stride; ++pad) v.push_back(0);
    }
    return v;
}

std::vector<uint8_t> Encode32(const Image& img) {
    std::vector<uint8_t> v;
    if (!WellFormed(img)) return v;
    const uint32_t hdr = 108;
    const uint32_t imageSize = 4 * uint32_t(img.width) * uint32_t(img.height);
    v.reserve(14 + hdr + imageSize);
    v.push_back('B');
    v.push_back('M');
    Wr32(v, 14 + hdr + imageSize);
    Wr32(v, 0);
    Wr32(v, 14 + hdr);
    Wr32(v, hdr);
    Wr32(v, uint32_t(img.width));
    Wr32(v, uint32_t(img.height));
    Wr16(v, 1);
    Wr16(v, 32);
    Wr32(v, kBiBitfields);
    Wr32(v, imageSize);
    Wr32(v, 2835);
    Wr32(v, 2835);
    Wr32(v, 0);
    Wr32(v, 0);
    Wr32(v, 0x00FF0000);
    Wr32(v, 0x0000FF00);
    Wr32(v, 0x000000FF);
    Wr32(v, 0xFF000000);
    Wr32(v, 0x73524742);                      // 'sRGB'
    for (int i = 0; i < 12; ++i) Wr32(v, 0);  // endpoints and gamma, unused for sRGB
    for (int32_t y = img.height - 1; y >= 0; --y) {
        const uint32_t* src = img.pixels.data() + size_t(y) * size_t(img.width);
        for (int32_t x = 0; x < img.width; ++x) Wr32(v, src[x]);
    }
    return v;
}

bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    return wrote && closed;
}

bool Save(const std::string& path, const Image& img) {
    const std::vector<uint8_t> bytes = Encode24(img);
    return !bytes.empty() && WriteFile(path, bytes);
}

}  // namespace kvn::bmp
