#include "platform/bmp.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>

namespace {

using kvn::bmp::Image;
using Pixels = std::vector<uint32_t>;

// Writes a bitmap file field by field, so that each test can bend exactly one thing.
struct BmpBuilder {
    int32_t width = 0, height = 0;
    uint16_t bpp = 24;
    std::vector<uint8_t> rows;      // pixel data exactly as stored
    std::vector<uint32_t> palette;  // 0x00RRGGBB
    uint32_t hdrSize = 40;
    uint16_t planes = 1;
    uint32_t compression = 0;
    uint32_t clrUsed = 0;
    std::vector<uint32_t> masks;  // written after a 40-byte header, or inside a larger one
    int64_t offBitsDelta = 0;     // added to the correct pixel offset

    BmpBuilder& Bitfields(std::vector<uint32_t> m) {
        compression = 3;
        masks = std::move(m);
        return *this;
    }

    std::vector<uint8_t> Build() const {
        std::vector<uint8_t> v;
        auto w16 = [&](uint32_t x) { v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)}); };
        auto w32 = [&](uint32_t x) {
            v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8), uint8_t(x >> 16), uint8_t(x >> 24)});
        };
        const bool core = hdrSize == 12;
        const size_t extraMasks = hdrSize == 40 ? masks.size() * 4 : 0;
        const int64_t off =
            int64_t(14 + hdrSize + extraMasks + palette.size() * (core ? 3 : 4)) + offBitsDelta;
        v = {'B', 'M'};
        for (uint32_t x : {uint32_t(off + int64_t(rows.size())), 0u, uint32_t(off), hdrSize}) w32(x);
        if (core) {
            for (uint32_t x : {uint32_t(width), uint32_t(height), uint32_t(planes), uint32_t(bpp)}) w16(x);
        } else {
            for (uint32_t x : {uint32_t(width), uint32_t(height)}) w32(x);
            for (uint32_t x : {uint32_t(planes), uint32_t(bpp)}) w16(x);
            for (uint32_t x : {compression, uint32_t(rows.size()), 2835u, 2835u, clrUsed, 0u}) w32(x);
            if (hdrSize > 40) {
                const size_t room = hdrSize >= 56 ? 4 : 3;  // a 52-byte header has no alpha mask
                for (size_t i = 0; i < room; ++i) w32(i < masks.size() ? masks[i] : 0);
                v.resize(14 + hdrSize, 0);
            } else {
                for (uint32_t m : masks) w32(m);
            }
        }
        for (uint32_t c : palette) {
            v.insert(v.end(), {uint8_t(c), uint8_t(c >> 8), uint8_t(c >> 16)});
            if (!core) v.push_back(0);
        }
        v.insert(v.end(), rows.begin(), rows.end());
        return v;
    }
};

BmpBuilder Bmp(int32_t w, int32_t h, uint16_t bpp = 24, std::vector<uint8_t> rows = {},
               std::vector<uint32_t> palette = {}) {
    BmpBuilder b;
    b.width = w, b.height = h, b.bpp = bpp, b.rows = std::move(rows), b.palette = std::move(palette);
    return b;
}

bool DecodeBytes(const std::vector<uint8_t>& bytes, Image& out) {
    return kvn::bmp::Decode(bytes.data(), bytes.size(), out);
}

// The pixels of a file that must decode.
Pixels Decoded(const BmpBuilder& b) {
    Image img;
    EXPECT_TRUE(DecodeBytes(b.Build(), img));
    return img.pixels;
}

bool Refused(const std::vector<uint8_t>& bytes) {
    Image img;
    return !DecodeBytes(bytes, img);
}

Image Sample(int32_t w, int32_t h) {
    Image img{w, h, {}};
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x)
            img.pixels.push_back((uint32_t(x * 37 + y) & 0xFF) << 16 | (uint32_t(y * 53) & 0xFF) << 8 |
                                 (uint32_t(x ^ y) & 0xFF));
    return img;
}

// ---- Round trips -----------------------------------------------------------------------

TEST(BmpRoundTrip, Encode24DecodesToTheSameImageForEveryRowPaddingAndWritesBottomRowFirst) {
    for (int32_t w : {1, 2, 3, 4, 5, 740}) {
        const Image img = Sample(w, 3);
        const std::vector<uint8_t> bytes = kvn::bmp::Encode24(img);
        ASSERT_EQ(bytes.size(), 54 + (size_t(w) * 3 + 3) / 4 * 4 * 3) << w;
        EXPECT_EQ(bytes[28], 24);  // bit count
        EXPECT_EQ(bytes[14], 40);  // plain info header
        Image back;
        ASSERT_TRUE(DecodeBytes(bytes, back)) << w;
        EXPECT_EQ((std::vector<int32_t>{back.width, back.height}), (std::vector<int32_t>{w, 3}));
        EXPECT_EQ(back.pixels, img.pixels) << w;
    }
    const std::vector<uint8_t> bytes = kvn::bmp::Encode24(Image{1, 2, {0x112233, 0xAABBCC}});
    ASSERT_EQ(bytes.size(), 54u + 8u);
    // The first stored row is the bottom one, blue first.
    EXPECT_EQ((std::vector<uint8_t>{bytes[54], bytes[56], bytes[58]}),
              (std::vector<uint8_t>{0xCC, 0xAA, 0x33}));
}

TEST(BmpRoundTrip, SaveThenLoadAndMalformedImagesAreNotEncoded) {
    const Image img = Sample(13, 7);
    const std::string path = "bmp_test_roundtrip.bmp";
    ASSERT_TRUE(kvn::bmp::Save(path, img));
    Image back;
    ASSERT_TRUE(kvn::bmp::Load(path, back));
    EXPECT_EQ(back.pixels, img.pixels);
    std::remove(path.c_str());
    EXPECT_FALSE(kvn::bmp::Load(path, back));
    EXPECT_FALSE(kvn::bmp::Load("", back));

    for (const Image& bad : {Image{}, Image{2, 2, {1, 2, 3}}, Image{-1, 1, {}}})
        EXPECT_TRUE(kvn::bmp::Encode24(bad).empty());
    EXPECT_TRUE(kvn::bmp::Encode32(Image{2, 1, {1}}).empty());
    EXPECT_FALSE(kvn::bmp::Save("bmp_test_never_written.bmp", Image{}));
}

// ---- Depths and orientations ------------------------------------------------------------

TEST(BmpDecode, IndexedDepthsReadThePaletteBottomUpAndTopDown) {
    // 3x2, rows padded to 4 bytes; bottom row 0 1 0, top row 1 0 1
    BmpBuilder b = Bmp(3, 2, 1, {0b01000000, 0, 0, 0, 0b10100000, 0, 0, 0}, {0x000000, 0xFFEEDD});
    EXPECT_EQ(Decoded(b), (Pixels{0xFFEEDD, 0, 0xFFEEDD, 0, 0xFFEEDD, 0}));
    b.height = -2;  // same bytes read as top-down
    EXPECT_EQ(Decoded(b), (Pixels{0, 0xFFEEDD, 0, 0xFFEEDD, 0, 0xFFEEDD}));

    BmpBuilder four = Bmp(3, 1, 4, {0x21, 0x00, 0, 0}, {0x010203, 0x040506, 0x070809});
    four.clrUsed = 3;  // shorter palette than the depth allows
    EXPECT_EQ(Decoded(four), (Pixels{0x070809, 0x040506, 0x010203}));

    BmpBuilder eight = Bmp(2, 1, 8, {255, 7, 0, 0}, std::vector<uint32_t>(256));
    eight.palette[7] = 0x123456;
    eight.palette[255] = 0xABCDEF;
    EXPECT_EQ(Decoded(eight), (Pixels{0xABCDEF, 0x123456}));

    // A palette index past the used entries is refused.
    BmpBuilder used = Bmp(1, 1, 8, {2, 0, 0, 0}, {0x111111, 0x222222});
    used.clrUsed = 2;
    EXPECT_TRUE(Refused(used.Build()));
    used.rows[0] = 1;
    EXPECT_EQ(Decoded(used), (Pixels{0x222222}));
}

TEST(BmpDecode, TrueColourDepths) {
    // top-down 24 bits
    EXPECT_EQ(Decoded(Bmp(2, -2, 24, {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0})),
              (Pixels{0x030201, 0x060504, 0x090807, 0x0C0B0A}));
    // 16-bit without masks is 5-5-5; full scale must stay full scale
    BmpBuilder b16 = Bmp(2, 1, 16, {0x00, 0x7C, 0x1F, 0x00});  // pure red, pure blue
    EXPECT_EQ(Decoded(b16), (Pixels{0xFF0000, 0x0000FF}));
    b16.Bitfields({0xF800, 0x07E0, 0x001F}).rows = {0xE0, 0x07, 0x10,
                                                    0x84};  // green; grey 10000 100000 10000
    EXPECT_EQ(Decoded(b16), (Pixels{0x00FF00, 0x848284}));

    BmpBuilder b32 = Bmp(1, 1, 32, {0x33, 0x22, 0x11, 0x99});  // the fourth byte is not colour
    EXPECT_EQ(Decoded(b32), (Pixels{0x112233}));
    b32.Bitfields({0x000000FF, 0x0000FF00, 0x00FF0000});  // reversed channel order
    EXPECT_EQ(Decoded(b32), (Pixels{0x332211}));

    // Later headers carry their masks inside.
    for (uint32_t hdr : {52u, 56u, 108u, 124u}) {
        BmpBuilder b = Bmp(1, -1, 32, {0x30, 0x20, 0x10, 0x7F});
        b.Bitfields({0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}).hdrSize = hdr;
        EXPECT_EQ(Decoded(b), (Pixels{0x102030})) << hdr;
    }
}

// ---- Malformed input --------------------------------------------------------------------

TEST(BmpMalformed, EveryTruncationIsRefusedAndLeavesTheImageAlone) {
    BmpBuilder pal = Bmp(9, 2, 4, std::vector<uint8_t>(16, 0x12), std::vector<uint32_t>(16, 0x445566));
    const BmpBuilder bf = Bmp(3, 1, 16, std::vector<uint8_t>(8, 0xA5)).Bitfields({0xF800, 0x07E0, 0x001F});
    for (const auto& full : {kvn::bmp::Encode24(Sample(5, 3)), pal.Build(), bf.Build()}) {
        Image img;
        ASSERT_TRUE(DecodeBytes(full, img));
        for (size_t n = 0; n < full.size(); ++n) {
            // a copy of exactly n bytes, so that the sanitizers see any read past the end
            const std::vector<uint8_t> cut(full.begin(), full.begin() + long(n));
            Image out{7, 7, {42}};
            EXPECT_FALSE(kvn::bmp::Decode(cut.data(), cut.size(), out)) << n;
            EXPECT_EQ(out.width, 7);
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
        BmpBuilder b = Bmp(c.w, c.h, 8, {}, std::vector<uint32_t>(256));
        const int64_t rows = c.h < 0 ? -int64_t(c.h) : c.h;
        // Pixel data present wherever it could be, so that only the limit refuses.
        if (c.w > 0 && c.w <= 16385 && rows > 0 && rows <= 16385)
            b.rows.assign(size_t((int64_t(c.w) + 3) / 4 * 4 * rows), 0);
        EXPECT_EQ(Refused(b.Build()), !c.ok) << c.w << "x" << c.h;
    }
    // a huge core header image claims far more pixel data than it has
    BmpBuilder core = Bmp(65535, 65535);
    core.hdrSize = 12;
    EXPECT_TRUE(Refused(core.Build()));
}

TEST(BmpMalformed, OffsetsAndPalettesThatDoNotFit) {
    BmpBuilder ok = Bmp(2, 1, 8, {0, 1, 0, 0}, {0x111111, 0x222222});
    ok.clrUsed = 2;
    EXPECT_EQ(Decoded(ok), (Pixels{0x111111, 0x222222}));
    // pixel rows one byte past the end, far past it, or inside the file header
    for (int64_t delta : {int64_t(1), int64_t(1) << 30, int64_t(-100)}) {
        BmpBuilder past = ok;
        past.offBitsDelta = delta;
        EXPECT_TRUE(Refused(past.Build())) << delta;
    }
    // palette claimed longer than the file: 256 entries by default for 8 bits, and more than 8 bits
    // can address capped but still too short
    for (uint32_t used : {0u, 1000u}) {
        BmpBuilder shortPal = ok;
        shortPal.clrUsed = used;
        shortPal.rows.clear();
        EXPECT_TRUE(Refused(shortPal.Build())) << used;
    }
    // more entries claimed than 8 bits can address: only the 256 that can be are read
    BmpBuilder capped = Bmp(1, 1, 8, {5, 0, 0, 0}, std::vector<uint32_t>(256, 0x123456));
    capped.clrUsed = 1000;
    EXPECT_EQ(Decoded(capped), (Pixels{0x123456}));
    // bitfield masks cut off after the header
    std::vector<uint8_t> bytes = Bmp(1, 1, 16).Bitfields({}).Build();
    bytes.resize(54 + 8);
    EXPECT_TRUE(Refused(bytes));
}

TEST(BmpMalformed, UnsupportedOrInconsistentHeaders) {
    const BmpBuilder base = Bmp(1, 1, 32, {1, 2, 3, 4});
    ASSERT_FALSE(Refused(base.Build()));

    std::vector<uint8_t> bytes = base.Build();
    bytes[0] = 'X';
    EXPECT_TRUE(Refused(bytes));
    for (uint32_t hdr : {0u, 11u, 13u, 39u, 41u, 200u, 0xFFFFFFFFu}) {
        bytes = base.Build();
        for (int i = 0; i < 4; ++i) bytes[size_t(14 + i)] = uint8_t(hdr >> (8 * i));
        EXPECT_TRUE(Refused(bytes)) << hdr;
    }
    BmpBuilder b = base;
    b.planes = 2;
    EXPECT_TRUE(Refused(b.Build()));
    for (uint16_t bpp : {0, 2, 3, 15, 48, 64}) {
        b = base;
        b.bpp = bpp;
        b.rows.assign(64, 0);
        EXPECT_TRUE(Refused(b.Build())) << bpp;
    }
    for (uint32_t comp : {1u, 2u, 4u, 5u, 99u}) {  // RLE8, RLE4, JPEG, PNG, unknown
        b = base;
        b.compression = comp;
        EXPECT_TRUE(Refused(b.Build())) << comp;
    }
    // OS/2 2.x headers number their compressions differently: only plain RGB is taken there.
    b = base;
    b.hdrSize = 64;
    EXPECT_EQ(Decoded(b), (Pixels{0x030201}));
    EXPECT_TRUE(Refused(b.Bitfields({0xFF0000, 0xFF00, 0xFF}).Build()));
    // bitfields are only for 16 and 32 bits
    EXPECT_TRUE(Refused(Bmp(1, 1, 24, {1, 2, 3, 0}).Bitfields({0xFF0000, 0xFF00, 0xFF}).Build()));

    // empty, non-contiguous, overlapping, or (the last set) reaching past 16 bits
    for (const std::vector<uint32_t>& m : {std::vector<uint32_t>{0, 0xFF00, 0xFF},
                                           {0xFF0000, 0xF0F0, 0xFF},
                                           {0xFFFF00, 0xFF00, 0xFF},
                                           {0xFF0000, 0xFF00, 0xFF}})
        EXPECT_TRUE(Refused(Bmp(1, 1, 16, {0, 0, 0, 0}).Bitfields(m).Build()))
            << std::hex << m[0] << " " << m[1];
}

}  // namespace
