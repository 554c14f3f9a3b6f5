// Drawing surfaces of the SDL adapter (no display needed): loading bitmaps, block copies clipped
// to both surfaces, pixel reads and the panel font.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <fstream>
#include <functional>

#include "platform/bmp.h"
#include "platform/window.h"
#include "tests/sdl/support.h"

namespace {

// 0x00RRGGBB by position, so that every pixel tells where it came from.
uint32_t Tag(int x, int y, int salt) { return uint32_t((salt & 0xFF) << 16 | (x & 0xFF) << 8 | (y & 0xFF)); }

// A bitmap file of w × h pixels coloured by `colour`, as 24 bits, or as 32 bits with alpha.
std::string WriteImage(const std::string& path, int w, int h, const std::function<uint32_t(int, int)>& colour,
                       bool v4 = false) {
    kvn::bmp::Image img;
    img.width = w;
    img.height = h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) img.pixels.push_back(colour(x, y) | (v4 ? 0xFF000000u : 0));
    }
    EXPECT_TRUE(v4 ? kvn::bmp::WriteFile(path, kvn::bmp::Encode32(img)) : kvn::bmp::Save(path, img));
    return path;
}

plat::HSurface Tagged(const std::string& path, int w, int h, int salt) {
    return plat::LoadBitmapSurface(WriteImage(path, w, h, [&](int x, int y) { return Tag(x, y, salt); }));
}

// The 0x00BBGGRR value GetPixel gives for a 0x00RRGGBB tag.
uint32_t Ref(uint32_t rgb) { return plat::Rgb(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

class SdlDraw : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kvntest::ScratchDir();
        src = Tagged(dir + "/src.bmp", 10, 8, 1);
        Reload();
        ASSERT_NE(src, nullptr);
    }
    void TearDown() override {
        plat::FreeSurface(src);
        plat::FreeSurface(dst);
    }
    void Reload() {
        plat::FreeSurface(dst);
        dst = Tagged(dir + "/dst.bmp", 20, 16, 2);
        ASSERT_NE(dst, nullptr);
    }
    // Where the destination shows the source, and where it still shows itself.
    void ExpectCopied(int x, int y, int w, int h, int sx, int sy) {
        for (int py = 0; py < 16; ++py) {
            for (int px = 0; px < 20; ++px) {
                const int fx = px - x + sx, fy = py - y + sy;
                const bool inside =
                    px >= x && px < x + w && py >= y && py < y + h && fx >= 0 && fx < 10 && fy >= 0 && fy < 8;
                EXPECT_EQ(plat::GetPixel(dst, px, py), inside ? Ref(Tag(fx, fy, 1)) : Ref(Tag(px, py, 2)))
                    << px << "," << py;
            }
        }
    }
    std::string dir;
    plat::HSurface src = nullptr;
    plat::HSurface dst = nullptr;
};

TEST_F(SdlDraw, BitmapsLoadInTheirOwnSizeAndPixelsReadBack) {
    EXPECT_EQ(plat::SurfaceWidth(src), 10);
    EXPECT_EQ(plat::SurfaceHeight(src), 8);
    EXPECT_EQ(plat::GetPixel(src, 3, 5), Ref(Tag(3, 5, 1)));
    EXPECT_EQ(plat::GetPixel(src, 9, 7), Ref(Tag(9, 7, 1)));
    for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {10, 0}, {0, 8}})
        EXPECT_EQ(plat::GetPixel(src, x, y), plat::kClrInvalid);
    EXPECT_EQ(plat::GetPixel(nullptr, 0, 0), plat::kClrInvalid);

    // A 32-bit bitmap with alpha: the colour counts, the alpha does not.
    plat::HSurface v4 = plat::LoadBitmapSurface(WriteImage(
        dir + "/v4.bmp", 4, 3, [](int x, int y) { return Tag(x, y, 7); }, true));
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(plat::GetPixel(v4, 2, 1), Ref(Tag(2, 1, 7)));
    plat::FreeSurface(v4);

    EXPECT_EQ(plat::LoadBitmapSurface(dir + "/missing.bmp"), nullptr);
    std::ofstream(dir + "/junk.bmp") << "BM this is no bitmap";
    EXPECT_EQ(plat::LoadBitmapSurface(dir + "/junk.bmp"), nullptr);
}

TEST_F(SdlDraw, BlockCopiesAreClippedToBothSurfaces) {
    // Inside both; starting left of and above the source; running past its right and bottom
    // edges; a destination partly outside before its start and past its end.
    const int cases[][6] = {{3, 4, 5, 2, 1, 2},
                            {5, 5, 10, 10, -2, -3},
                            {0, 0, 20, 16, 6, 5},
                            {-4, -2, 10, 8, 0, 0},
                            {15, 12, 10, 8, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c[0] << "," << c[1] << " " << c[2] << "x" << c[3] << " from " << c[4] << "," << c[5]);
        Reload();
        plat::BitBlt(dst, c[0], c[1], c[2], c[3], src, c[4], c[5]);
        ExpectCopied(c[0], c[1], c[2], c[3], c[4], c[5]);
    }
    // Empty, absurd or wholly outside rectangles, and missing surfaces, copy nothing.
    Reload();
    for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {-3, 4}, {4, -3}}) plat::BitBlt(dst, 0, 0, w, h, src, 0, 0);
    plat::BitBlt(dst, 30, 0, 5, 5, src, 0, 0);
    plat::BitBlt(dst, 0, 0, 5, 5, src, 10, 0);
    plat::BitBlt(dst, INT_MAX, INT_MAX, INT_MAX, INT_MAX, src, INT_MIN, INT_MIN);
    plat::BitBlt(dst, INT_MIN, INT_MIN, INT_MAX, INT_MAX, src, INT_MAX, INT_MAX);
    plat::BitBlt(nullptr, 0, 0, 5, 5, src, 0, 0);
    plat::BitBlt(dst, 0, 0, 5, 5, nullptr, 0, 0);
    ExpectCopied(0, 0, 0, 0, 0, 0);
}

TEST_F(SdlDraw, OverlappingCopiesWithinOneSurface) {
    for (auto [x0, y0, sx, sy] :
         {std::array{2, 3, 0, 0}, {0, 0, 2, 3}}) {  // down and right, then up and left
        Reload();
        plat::BitBlt(dst, x0, y0, 10, 6, dst, sx, sy);
        for (int y = 0; y < 6; ++y) {
            for (int x = 0; x < 10; ++x)
                ASSERT_EQ(plat::GetPixel(dst, x0 + x, y0 + y), Ref(Tag(sx + x, sy + y, 2)));
        }
    }
}

// The box around every pixel that differs from `back`.
plat::Rect Ink(plat::HSurface s, uint32_t back) {
    plat::Rect r{INT_MAX, INT_MAX, -1, -1};
    for (int y = 0; y < plat::SurfaceHeight(s); ++y) {
        for (int x = 0; x < plat::SurfaceWidth(s); ++x) {
            if (plat::GetPixel(s, x, y) == back) continue;
            r = {std::min(r.left, x), std::min(r.top, y), std::max(r.right, x + 1),
                 std::max(r.bottom, y + 1)};
        }
    }
    return r;
}

TEST(SdlText, ThePanelFontHasA26PixelCellAndAverages8PixelsAcross) {
    const std::string file =
        WriteImage(kvntest::ScratchDir() + "/canvas.bmp", 200, 60, [](int, int) { return 0u; });
    plat::HSurface canvas = plat::LoadBitmapSurface(file), blank = plat::LoadBitmapSurface(file),
                   opaque = plat::LoadBitmapSurface(file);
    ASSERT_TRUE(canvas && blank && opaque);
    plat::HFont font = plat::CreatePanelFont("SimHei", 26, 8);
    ASSERT_NE(font, nullptr);

    const uint32_t red = plat::Rgb(255, 80, 80);
    plat::SelectTextStyle(canvas, font, red, plat::kClrInvalid);
    plat::DrawTextAt(canvas, 20, 10, "0123456789");
    const plat::Rect ink = Ink(canvas, 0);
    ASSERT_GE(ink.right, 0) << "nothing drawn: is a font installed?";
    EXPECT_GE(ink.left, 20);
    EXPECT_GE(ink.top, 10);
    EXPECT_LE(ink.bottom, 10 + 26);
    EXPECT_NEAR(ink.right - 20, 80, 8);  // ten digits of 8 pixels
    EXPECT_GT(ink.bottom - ink.top, 12);
    bool full = false;
    for (int y = ink.top; y < ink.bottom; ++y) {
        for (int x = ink.left; x < ink.right; ++x) full |= plat::GetPixel(canvas, x, y) == red;
    }
    EXPECT_TRUE(full);  // strokes reach the full text colour

    // CJK names are drawn too; nothing, empty or null, draws nothing; text past the surface is clipped.
    plat::SelectTextStyle(blank, font, red, plat::kClrInvalid);
    plat::DrawTextAt(blank, 0, 0, "");
    plat::DrawTextAt(blank, 0, 0, nullptr);
    EXPECT_LT(Ink(blank, 0).right, 0);
    plat::DrawTextAt(blank, 0, 0, "\xE9\x9F\xB3\xE6\xBA\x90");
    EXPECT_GT(Ink(blank, 0).right, 10);
    plat::DrawTextAt(blank, 190, 50, "clipped");
    plat::DrawTextAt(blank, -100, -100, "gone");

    // An opaque background fills the whole cell.
    plat::SelectTextStyle(opaque, font, red, plat::Rgb(0, 0, 200));
    plat::DrawTextAt(opaque, 10, 10, "ab");
    const plat::Rect box = Ink(opaque, 0);
    EXPECT_EQ(box.top, 10);
    EXPECT_EQ(box.bottom, 10 + 26);
    EXPECT_EQ(plat::GetPixel(opaque, box.left, box.top), plat::Rgb(0, 0, 200));

    plat::FreeFont(font);
    for (plat::HSurface s : {canvas, blank, opaque}) plat::FreeSurface(s);
}

TEST(SdlText, AnUnknownFaceFallsBackAndStillDraws) {
    plat::HFont font = plat::CreatePanelFont("No Such Face", 20, 0);
    ASSERT_NE(font, nullptr);
    plat::HSurface s = plat::LoadBitmapSurface(
        WriteImage(kvntest::ScratchDir() + "/w.bmp", 100, 30, [](int, int) { return 0xFFFFFFu; }));
    plat::SelectTextStyle(s, font, 0, plat::kClrInvalid);
    plat::DrawTextAt(s, 2, 2, "Mapper");
    EXPECT_GT(Ink(s, plat::Rgb(255, 255, 255)).right, 20);
    plat::FreeSurface(s);
    plat::FreeFont(font);
    plat::FreeFont(nullptr);
}

}  // namespace
