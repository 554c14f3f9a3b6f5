// Drawing surfaces of the SDL adapter (no display needed): loading bitmaps, block copies clipped
// to both surfaces, pixel reads and the panel font.
#include <gtest/gtest.h>

#include <climits>
#include <fstream>

#include "platform/bmp.h"
#include "platform/window.h"
#include "tests/sdl/support.h"

namespace {

// 0x00RRGGBB by position, so that every pixel tells where it came from.
uint32_t Tag(int x, int y, int salt) { return uint32_t((salt & 0xFF) << 16 | (x & 0xFF) << 8 | (y & 0xFF)); }

std::string WriteImage(const std::string& dir, const std::string& name, int w, int h, int salt, bool v4 = false) {
    kvn::bmp::Image img;
    img.width = w;
    img.height = h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) img.pixels.push_back(Tag(x, y, salt) | (v4 ? 0xFF000000u : 0));
    }
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(v4 ? kvn::bmp::WriteFile(path, kvn::bmp::Encode32(img)) : kvn::bmp::Save(path, img));
    return path;
}

// The 0x00BBGGRR value GetPixel gives for a 0x00RRGGBB tag.
uint32_t Ref(uint32_t rgb) { return plat::Rgb(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

class SdlDraw : public ::testing::Test {
protected:
    void SetUp() override {
        dir = kvntest::ScratchDir();
        src = plat::LoadBitmapSurface(WriteImage(dir, "src.bmp", 10, 8, 1));
        dst = plat::LoadBitmapSurface(WriteImage(dir, "dst.bmp", 20, 16, 2));
        ASSERT_NE(src, nullptr);
        ASSERT_NE(dst, nullptr);
    }
    void TearDown() override {
        plat::FreeSurface(src);
        plat::FreeSurface(dst);
    }
    // Where the destination shows the source, and where it still shows itself.
    void ExpectCopied(int x, int y, int w, int h, int sx, int sy) {
        for (int py = 0; py < 16; ++py) {
            for (int px = 0; px < 20; ++px) {
                const int fx = px - x + sx, fy = py - y + sy;
                const bool inside = px >= x && px < x + w && py >= y && py < y + h && fx >= 0 && fx < 10 && fy >= 0 && fy < 8;
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
    for (auto [x, y] : {std::pair{-1, 0}, {0, -1}, {10, 0}, {0, 8}}) EXPECT_EQ(plat::GetPixel(src, x, y), plat::kClrInvalid);
    EXPECT_EQ(plat::GetPixel(nullptr, 0, 0), plat::kClrInvalid);

    // A 32-bit bitmap with alpha: the colour counts, the alpha does not.
    plat::HSurface v4 = plat::LoadBitmapSurface(WriteImage(dir, "v4.bmp", 4, 3, 7, true));
    ASSERT_NE(v4, nullptr);
    EXPECT_EQ(plat::GetPixel(v4, 2, 1), Ref(Tag(2, 1, 7)));
    plat::FreeSurface(v4);

    EXPECT_EQ(plat::LoadBitmapSurface(dir + "/missing.bmp"), nullptr);
    std::ofstream(dir + "/junk.bmp") << "BM this is no bitmap";
    EXPECT_EQ(plat::LoadBitmapSurface(dir + "/junk.bmp"), nullptr);
}

TEST_F(SdlDraw, TheSkinLoads) {
    plat::HSurface bg = plat::LoadBitmapSurface(std::string(KVN_SOURCE_DIR) + "/resources/Bitmap/00.bmp");
    if (bg == nullptr) GTEST_SKIP() << "no skin in the source tree";
    EXPECT_EQ(plat::SurfaceWidth(bg), 740);
    EXPECT_EQ(plat::SurfaceHeight(bg), 150);
    plat::FreeSurface(bg);
}

TEST_F(SdlDraw, BlockCopiesAreClippedToBothSurfaces) {
    plat::BitBlt(dst, 3, 4, 5, 2, src, 1, 2);
    ExpectCopied(3, 4, 5, 2, 1, 2);
}

TEST_F(SdlDraw, ASourceRectanglePartlyOutsideTheSourceCopiesOnlyWhatExists) {
    plat::BitBlt(dst, 5, 5, 10, 10, src, -2, -3);  // starts left of and above the source
    ExpectCopied(5, 5, 10, 10, -2, -3);
    SetUp();
    plat::BitBlt(dst, 0, 0, 20, 16, src, 6, 5);  // runs past its right and bottom edges
    ExpectCopied(0, 0, 20, 16, 6, 5);
}

TEST_F(SdlDraw, ADestinationPartlyOutsideIsClipped) {
    plat::BitBlt(dst, -4, -2, 10, 8, src, 0, 0);
    ExpectCopied(-4, -2, 10, 8, 0, 0);
    SetUp();
    plat::BitBlt(dst, 15, 12, 10, 8, src, 0, 0);  // 3 pixels past the 740-wide window, say
    ExpectCopied(15, 12, 10, 8, 0, 0);
}

TEST_F(SdlDraw, NothingHappensForEmptyOrAbsurdRectangles) {
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
    plat::BitBlt(dst, 2, 3, 10, 6, dst, 0, 0);  // down and right
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 10; ++x) ASSERT_EQ(plat::GetPixel(dst, 2 + x, 3 + y), Ref(Tag(x, y, 2)));
    }
    SetUp();
    plat::BitBlt(dst, 0, 0, 10, 6, dst, 2, 3);  // up and left
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 10; ++x) ASSERT_EQ(plat::GetPixel(dst, x, y), Ref(Tag(2 + x, 3 + y, 2)));
    }
}

// The box around every pixel that differs from `back`.
plat::Rect Ink(plat::HSurface s, uint32_t back) {
    plat::Rect r{INT_MAX, INT_MAX, -1, -1};
    for (int y = 0; y < plat::SurfaceHeight(s); ++y) {
        for (int x = 0; x < plat::SurfaceWidth(s); ++x) {
            if (plat::GetPixel(s, x, y) == back) continue;
            r = {std::min(r.left, x), std::min(r.top, y), std::max(r.right, x + 1), std::max(r.bottom, y + 1)};
        }
    }
    return r;
}

TEST(SdlText, ThePanelFontHasA26PixelCellAndAverages8PixelsAcross) {
    const std::string dir = kvntest::ScratchDir();
    kvn::bmp::Image black;
    black.width = 200;
    black.height = 60;
    black.pixels.assign(200 * 60, 0);
    ASSERT_TRUE(kvn::bmp::Save(dir + "/canvas.bmp", black));
    plat::HSurface canvas = plat::LoadBitmapSurface(dir + "/canvas.bmp");
    ASSERT_NE(canvas, nullptr);
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

    // CJK names are drawn too; nothing, empty or null, draws nothing.
    plat::HSurface blank = plat::LoadBitmapSurface(dir + "/canvas.bmp");
    plat::SelectTextStyle(blank, font, red, plat::kClrInvalid);
    plat::DrawTextAt(blank, 0, 0, "");
    plat::DrawTextAt(blank, 0, 0, nullptr);
    EXPECT_LT(Ink(blank, 0).right, 0);
    plat::DrawTextAt(blank, 0, 0, "\xE9\x9F\xB3\xE6\xBA\x90");
    EXPECT_GT(Ink(blank, 0).right, 10);
    // Text reaching past the surface is clipped.
    plat::DrawTextAt(blank, 190, 50, "clipped");
    plat::DrawTextAt(blank, -100, -100, "gone");

    // An opaque background fills the whole cell.
    plat::HSurface opaque = plat::LoadBitmapSurface(dir + "/canvas.bmp");
    plat::SelectTextStyle(opaque, font, red, plat::Rgb(0, 0, 200));
    plat::DrawTextAt(opaque, 10, 10, "ab");
    const plat::Rect box = Ink(opaque, 0);
    EXPECT_EQ(box.top, 10);
    EXPECT_EQ(box.bottom, 10 + 26);
    EXPECT_EQ(plat::GetPixel(opaque, box.left, box.top), plat::Rgb(0, 0, 200));

    plat::FreeFont(font);
    plat::FreeSurface(canvas);
    plat::FreeSurface(blank);
    plat::FreeSurface(opaque);
}

TEST(SdlText, AnUnknownFaceFallsBackAndStillDraws) {
    plat::HFont font = plat::CreatePanelFont("No Such Face", 20, 0);
    ASSERT_NE(font, nullptr);
    const std::string dir = kvntest::ScratchDir();
    kvn::bmp::Image white;
    white.width = 100;
    white.height = 30;
    white.pixels.assign(100 * 30, 0xFFFFFF);
    ASSERT_TRUE(kvn::bmp::Save(dir + "/w.bmp", white));
    plat::HSurface s = plat::LoadBitmapSurface(dir + "/w.bmp");
    plat::SelectTextStyle(s, font, 0, plat::kClrInvalid);
    plat::DrawTextAt(s, 2, 2, "Mapper");
    EXPECT_GT(Ink(s, plat::Rgb(255, 255, 255)).right, 20);
    plat::FreeSurface(s);
    plat::FreeFont(font);
    plat::FreeFont(nullptr);
}

}  // namespace
