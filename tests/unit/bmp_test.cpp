#include "platform/bmp.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

namespace {

using kvn::bmp::Image;

// Writes a bitmap file field by field, so that each test can bend exactly one thing.
struct BmpBuilder {
    uint32_t hdrSize = 40;
    int32_t width = 0, height = 0;
    uint16_t planes = 1, bpp = 24;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    std::vector<uint32_t> masks;    // written after a 40-byte header, or inside a larger one
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    std::vector<uint8_t> rows;      // pixel data exactly as stored
    int64_t offBitsDelta = 0;       // added to the correct pixel offset

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> v;
        auto w16 = [&](uint32_t x) {
            v.push_back(uint8_t(x));
            v.push_back(uint8_t(x >> 8));
        };
        auto w32 = [&](uint32_t x) {
            for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
        };
        const bool core = hdrSize == 12;
        const size_t palEntry = core ? 3 : 4;
        const size_t extraMasks = hdrSize == 40 ? masks.size() * 4 : 0;
        const int64_t off = int64_t(14 + hdrSize + extraMasks + palette.size() * palEntry) + offBitsDelta;
        v.push_back('B');
        v.push_back('M');
        w32(uint32_t(off + int64_t(rows.size())));
        w32(0);
        w32(uint32_t(off));
        w32(hdrSize);
        if (core) {
            w16(uint32_t(width));
            w16(uint32_t(height));
            w16(planes);
            w16(bpp);
        } else {
            w32(uint32_t(width));
            w32(uint32_t(height));
            w16(planes);
            w16(bpp);
            w32(compression);
            w32(uint32_t(rows.size()));
            w32(2835);
            w32(2835);
            w32(clrUsed);
            w32(0);
            if (hdrSize > 40) {
                const size_t room = hdrSize >= 56 ? 4 : 3;  // a 52-byte header has no alpha mask
                for (size_t i = 0; i < room; ++i) w32(i < masks.size() ? masks[i] : 0);
                while (v.size() < 14 + hdrSize) v.push_back(0);
            } else {
                for (uint32_t m : masks) w32(m);
            }
        }
        for (uint32_t c : palette) {
            v.push_back(uint8_t(c));
            v.push_back(uint8_t(c >> 8));
            v.push_back(uint8_t(c >> 16));
            if (!core) v.push_back(0);
        }
        v.insert(v.end(), rows.begin(), rows.end());
        return v;
    }
};

bool DecodeBytes(const std::vector<uint8_t>& bytes, Image& out) {
    return kvn::bmp::Decode(bytes.data(), bytes.size(), out);
}

Image Sample(int32_t w, int32_t h) {
    Image img;
    img.width = w;
    img.height = h;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            img.pixels.push_back((uint32_t(x * 37 + y) & 0xFF) << 16 | (uint32_t(y * 53) & 0xFF) << 8 |
                                 (uint32_t(x ^ y) & 0xFF));
    return img;
}

// ---- Round trips -----------------------------------------------------------------------

TEST(BmpRoundTrip, Encode24DecodesToTheSameImageForEveryRowPadding) {
    for (int32_t w : {1, 2, 3, 4, 5, 740}) {
        const Image img = Sample(w, 3);
        const std::vector<uint8_t> bytes = kvn::bmp::Encode24(img);
        const size_t stride = (size_t(w) * 3 + 3) / 4 * 4;
        ASSERT_EQ(bytes.size(), 54 + stride * 3) << w;
        EXPECT_EQ(bytes[28], 24);  // bit count
        EXPECT_EQ(bytes[14], 40);  // plain info header
        Image back;
        ASSERT_TRUE(DecodeBytes(bytes, back)) << w;
        EXPECT_EQ(back.width, w);
        EXPECT_EQ(back.height, 3);
        EXPECT_EQ(back.pixels, img.pixels) << w;
    }
}

TEST(BmpRoundTrip, Encode24WritesBottomRowFirst) {
    Image img{1, 2, {0x112233, 0xAABBCC}};
    const std::vector<uint8_t> bytes = kvn::bmp::Encode24(img);
    ASSERT_EQ(bytes.size(), 54u + 8u);
    EXPECT_EQ(bytes[54], 0xCC);  // first stored row is the bottom one, blue first
    EXPECT_EQ(bytes[56], 0xAA);
    EXPECT_EQ(bytes[58], 0x33);
}

TEST(BmpRoundTrip, MalformedImagesAreNotEncoded) {
    EXPECT_TRUE(kvn::bmp::Encode24(Image{}).empty());
    EXPECT_TRUE(kvn::bmp::Encode24(Image{2, 2, {1, 2, 3}}).empty());
    EXPECT_TRUE(kvn::bmp::Encode24(Image{-1, 1, {}}).empty());
    EXPECT_TRUE(kvn::bmp::Encode32(Image{2, 1, {1}}).empty());
    EXPECT_FALSE(kvn::bmp::Save("bmp_test_never_written.bmp", Image{}));
}

TEST(BmpRoundTrip, Encode32KeepsColoursAndCarriesAlpha) {
    Image img{2, 2, {0xFF102030, 0x80405060, 0x00708090, 0x12A0B0C0}};
    const std::vector<uint8_t> bytes = kvn::bmp::Encode32(img);
    ASSERT_EQ(bytes.size(), 14u + 108u + 16u);
    EXPECT_EQ(bytes[14], 108);
    // bottom-up: the first stored pixel is the bottom-left one with its alpha
    EXPECT_EQ(bytes[122 + 3], 0x00);
    EXPECT_EQ(bytes[122 + 7], 0x12);
    Image back;
    ASSERT_TRUE(DecodeBytes(bytes, back));
    EXPECT_EQ(back.pixels, (std::vector<uint32_t>{0x102030, 0x405060, 0x708090, 0xA0B0C0}));
}

TEST(BmpRoundTrip, SaveThenLoad) {
    const Image img = Sample(13, 7);
    const std::string path = "bmp_test_roundtrip.bmp";
    ASSERT_TRUE(kvn::bmp::Save(path, img));
    Image back;
    ASSERT_TRUE(kvn::bmp::Load(path, back));
    EXPECT_EQ(back.pixels, img.pixels);
    std::remove(path.c_str());
    EXPECT_FALSE(kvn::bmp::Load(path, back));
    EXPECT_FALSE(kvn::bmp::Load("", back));
}

// ---- Depths and orientations ------------------------------------------------------------

TEST(BmpDecode, IndexedDepthsReadPaletteBottomUpAndTopDown) {
    // 3x2, rows stored bottom-up; each row padded to 4 bytes
    BmpBuilder b;
    b.width = 3;
    b.height = 2;
    b.bpp = 1;
    b.palette = {0x000000, 0xFFEEDD};
    b.rows = {0b01000000, 0, 0, 0, 0b10100000, 0, 0, 0};  // bottom: 0 1 0, top: 1 0 1
    Image img;
    ASSERT_TRUE(DecodeBytes(b.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0xFFEEDD, 0, 0xFFEEDD, 0, 0xFFEEDD, 0}));

    b.height = -2;  // same bytes read as top-down
    ASSERT_TRUE(DecodeBytes(b.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0, 0xFFEEDD, 0, 0xFFEEDD, 0, 0xFFEEDD}));

    BmpBuilder four;
    four.width = 3;
    four.height = 1;
    four.bpp = 4;
    four.clrUsed = 3;  // shorter palette than the depth allows
    four.palette = {0x010203, 0x040506, 0x070809};
    four.rows = {0x21, 0x00, 0, 0};
    ASSERT_TRUE(DecodeBytes(four.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0x070809, 0x040506, 0x010203}));

    BmpBuilder eight;
    eight.width = 2;
    eight.height = 1;
    eight.bpp = 8;
    eight.palette.resize(256);
    eight.palette[7] = 0x123456;
    eight.palette[255] = 0xABCDEF;
    eight.rows = {255, 7, 0, 0};
    ASSERT_TRUE(DecodeBytes(eight.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0xABCDEF, 0x123456}));
}

TEST(BmpDecode, PaletteIndexPastTheUsedEntriesIsRefused) {
    BmpBuilder b;
    b.width = 1;
    b.height = 1;
    b.bpp = 8;
    b.clrUsed = 2;
    b.palette = {0x111111, 0x222222};
    b.rows = {2, 0, 0, 0};
    Image img;
    EXPECT_FALSE(DecodeBytes(b.Build(), img));
    b.rows[0] = 1;
    EXPECT_TRUE(DecodeBytes(b.Build(), img));
    EXPECT_EQ(img.pixels[0], 0x222222u);
}

TEST(BmpDecode, CoreHeaderWithThreeBytePalette) {
    BmpBuilder b;
    b.hdrSize = 12;
    b.width = 2;
    b.height = 2;
    b.bpp = 4;
    b.palette.assign(16, 0);
    b.palette[1] = 0x102030;
    b.palette[15] = 0xF0E0D0;
    b.rows = {0x1F, 0, 0, 0, 0xF1, 0, 0, 0};
    Image img;
    ASSERT_TRUE(DecodeBytes(b.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0xF0E0D0, 0x102030, 0x102030, 0xF0E0D0}));

    BmpBuilder rgb;
    rgb.hdrSize = 12;
    rgb.width = 1;
    rgb.height = 1;
    rgb.rows = {0x03, 0x02, 0x01, 0};
    ASSERT_TRUE(DecodeBytes(rgb.Build(), img));
    EXPECT_EQ(img.pixels[0], 0x010203u);
}

TEST(BmpDecode, TrueColourDepths) {
    Image img;
    BmpBuilder b24;
    b24.width = 2;
    b24.height = -2;  // top-down
    b24.rows = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    ASSERT_TRUE(DecodeBytes(b24.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0x030201, 0x060504, 0x090807, 0x0C0B0A}));

    // 16-bit without masks is 5-5-5; full scale must stay full scale
    BmpBuilder b16;
    b16.width = 2;
    b16.height = 1;
    b16.bpp = 16;
    b16.rows = {0x00, 0x7C, 0x1F, 0x00};  // pure red, pure blue
    ASSERT_TRUE(DecodeBytes(b16.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0xFF0000, 0x0000FF}));

    BmpBuilder b565 = b16;
    b565.compression = 3;
    b565.masks = {0xF800, 0x07E0, 0x001F};
    b565.rows = {0xE0, 0x07, 0x10, 0x84};  // pure green; mid grey 10000 100000 10000
    ASSERT_TRUE(DecodeBytes(b565.Build(), img));
    EXPECT_EQ(img.pixels, (std::vector<uint32_t>{0x00FF00, 0x848284}));

    BmpBuilder b32;
    b32.width = 1;
    b32.height = 1;
    b32.bpp = 32;
    b32.rows = {0x33, 0x22, 0x11, 0x99};  // the fourth byte is not colour
    ASSERT_TRUE(DecodeBytes(b32.Build(), img));
    EXPECT_EQ(img.pixels[0], 0x112233u);

    BmpBuilder bf32 = b32;
    bf32.compression = 3;
    bf32.masks = {0x000000FF, 0x0000FF00, 0x00FF0000};  // reversed channel order
    ASSERT_TRUE(DecodeBytes(bf32.Build(), img));
    EXPECT_EQ(img.pixels[0], 0x332211u);
}

TEST(BmpDecode, LaterHeadersCarryTheirMasksInside) {
    for (uint32_t hdr : {52u, 56u, 108u, 124u}) {
        BmpBuilder b;
        b.hdrSize = hdr;
        b.width = 1;
        b.height = -1;
        b.bpp = 32;
        b.compression = 3;
        b.masks = {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000};
        b.rows = {0x30, 0x20, 0x10, 0x7F};
        Image img;
        ASSERT_TRUE(DecodeBytes(b.Build(), img)) << hdr;
        EXPECT_EQ(img.pixels[0], 0x102030u) << hdr;
    }
}

// ---- Malformed input --------------------------------------------------------------------

TEST(BmpMalformed, EveryTruncationIsRefused) {
    std::vector<std::vector<uint8_t>> files;
    files.push_back(kvn::bmp::Encode24(Sample(5, 3)));
    BmpBuilder pal;
    pal.width = 9;
    pal.height = 2;
    pal.bpp = 4;
    pal.palette.assign(16, 0x445566);
    pal.rows.assign(16, 0x12);
    files.push_back(pal.Build());
    BmpBuilder bf;
    bf.width = 3;
    bf.height = 1;
    bf.bpp = 16;
    bf.compression = 3;
    bf.masks = {0xF800, 0x07E0, 0x001F};
    bf.rows.assign(8, 0xA5);
    files.push_back(bf.Build());
    for (const auto& full : files) {
        Image img;
        ASSERT_TRUE(DecodeBytes(full, img));
        for (size_t n = 0; n < full.size(); ++n) {
            // a copy of exactly n bytes, so that the sanitizers see any read past the end
            const std::vector<uint8_t> cut(full.begin(), full.begin() + long(n));
            Image out{7, 7, {42}};
            EXPECT_FALSE(kvn::bmp::Decode(cut.data(), cut.size(), out)) << n;
            EXPECT_EQ(out.width, 7);  // untouched on failure
        }
    }
    Image img;
    EXPECT_FALSE(kvn::bmp::Decode(nullptr, 0, img));
}

TEST(BmpMalformed, SizesOutsideTheAcceptedRange) {
    struct Case {
        int32_t w, h;
        bool ok;
    };
    for (const Case& c : {Case{0, 1, false}, Case{1, 0, false}, Case{-1, 1, false}, Case{1, INT_MIN, false},
                          Case{INT_MIN, 1, false}, Case{16385, 1, false}, Case{1, 16385, false},
                          Case{1, -16385, false}, Case{16384, 1, true}, Case{1, -16384, true}}) {
        BmpBuilder b;
        b.width = c.w;
        b.height = c.h;
        b.bpp = 8;
        b.palette.assign(256, 0);
        const int64_t rows = c.h < 0 ? -int64_t(c.h) : c.h;
        if (c.ok) b.rows.assign(size_t((int64_t(c.w) + 3) / 4 * 4 * rows), 0);
        Image img;
        EXPECT_EQ(DecodeBytes(b.Build(), img), c.ok) << c.w << "x" << c.h;
    }
    // a huge core header image claims far more pixel data than it has
    BmpBuilder core;
    core.hdrSize = 12;
    core.width = 65535;
    core.height = 65535;
    Image img;
    EXPECT_FALSE(DecodeBytes(core.Build(), img));
}

TEST(BmpMalformed, OffsetsAndPalettesThatDoNotFit) {
    BmpBuilder ok;
    ok.width = 2;
    ok.height = 1;
    ok.bpp = 8;
    ok.palette = {0x111111, 0x222222};
    ok.clrUsed = 2;
    ok.rows = {0, 1, 0, 0};
    Image img;
    ASSERT_TRUE(DecodeBytes(ok.Build(), img));

    BmpBuilder past = ok;
    past.offBitsDelta = 1;  // pixel rows would run one byte past the end
    EXPECT_FALSE(DecodeBytes(past.Build(), img));
    past.offBitsDelta = 1 << 30;
    EXPECT_FALSE(DecodeBytes(past.Build(), img));
    past.offBitsDelta = -100;  // into the file header
    EXPECT_FALSE(DecodeBytes(past.Build(), img));

    // palette claimed longer than the file: 256 entries by default for 8 bits
    BmpBuilder shortPal = ok;
    shortPal.clrUsed = 0;
    shortPal.rows.clear();
    std::vector<uint8_t> bytes = shortPal.Build();
    EXPECT_FALSE(DecodeBytes(bytes, img));
    shortPal.clrUsed = 1000;  // more than 8 bits can address: capped, still too short
    EXPECT_FALSE(DecodeBytes(shortPal.Build(), img));

    // bitfield masks cut off after the header
    BmpBuilder masks;
    masks.width = 1;
    masks.height = 1;
    masks.bpp = 16;
    masks.compression = 3;
    bytes = masks.Build();
    bytes.resize(54 + 8);
    EXPECT_FALSE(DecodeBytes(bytes, img));
}

TEST(BmpMalformed, UnsupportedOrInconsistentHeaders) {
    auto base = [] {
        BmpBuilder b;
        b.width = 1;
        b.height = 1;
        b.bpp = 32;
        b.rows = {1, 2, 3, 4};
        return b;
    };
    Image img;
    ASSERT_TRUE(DecodeBytes(base().Build(), img));

    std::vector<uint8_t> bytes = base().Build();
    bytes[0] = 'X';
    EXPECT_FALSE(DecodeBytes(bytes, img));

    for (uint32_t hdr : {0u, 11u, 13u, 39u, 41u, 200u, 0xFFFFFFFFu}) {
        bytes = base().Build();
        bytes[14] = uint8_t(hdr);
        bytes[15] = uint8_t(hdr >> 8);
        bytes[16] = uint8_t(hdr >> 16);
        bytes[17] = uint8_t(hdr >> 24);
        EXPECT_FALSE(DecodeBytes(bytes, img)) << hdr;
    }

    BmpBuilder b = base();
    b.planes = 2;
    EXPECT_FALSE(DecodeBytes(b.Build(), img));
    for (uint16_t bpp : {0, 2, 3, 15, 48, 64}) {
        b = base();
        b.bpp = bpp;
        b.rows.assign(64, 0);
        EXPECT_FALSE(DecodeBytes(b.Build(), img)) << bpp;
    }
    for (uint32_t comp : {1u, 2u, 4u, 5u, 99u}) {  // RLE8, RLE4, JPEG, PNG, unknown
        b = base();
        b.compression = comp;
        EXPECT_FALSE(DecodeBytes(b.Build(), img)) << comp;
    }
    // bitfields are only for 16 and 32 bits
    b = base();
    b.bpp = 24;
    b.compression = 3;
    b.masks = {0xFF0000, 0xFF00, 0xFF};
    EXPECT_FALSE(DecodeBytes(b.Build(), img));

    struct Masks {
        uint32_t r, g, b;
    };
    for (const Masks& m : {Masks{0, 0xFF00, 0xFF}, Masks{0xFF0000, 0xF0F0, 0xFF},
                           Masks{0xFFFF00, 0xFF00, 0xFF}, Masks{0xFF0000, 0xFF00, 0xFF}}) {
        BmpBuilder f;
        f.width = 1;
        f.height = 1;
        f.bpp = 16;  // the last set reaches past 16 bits
        f.compression = 3;
        f.masks = {m.r, m.g, m.b};
        f.rows = {0, 0, 0, 0};
        EXPECT_FALSE(DecodeBytes(f.Build(), img)) << std::hex << m.r << " " << m.g << " " << m.b;
    }
}

}  // namespace
