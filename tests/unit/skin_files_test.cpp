// Checks the committed skin against the geometry the panel draws it with.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "platform/bmp.h"

#ifndef KVN_SOURCE_DIR
#error "KVN_SOURCE_DIR must name the source tree"
#endif

namespace {

using kvn::bmp::Image;

struct Rect {
    int x, y, w, h;
    bool Contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
};

const std::string kDir = std::string(KVN_SOURCE_DIR) + "/resources/Bitmap/";

class SkinFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* name :
             {"00", "01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "99"})
            loaded_[name] = kvn::bmp::Load(kDir + name + ".bmp", files_[name]);
        const Image& hit = files_["05"];
        hit_.assign(740 * 150, -1);
        if (hit.width == 740 && hit.height == 150)
            for (size_t i = 0; i < hit_.size(); ++i) hit_[i] = int(hit.pixels[i] >> 16);
    }
    static const Image& File(const std::string& name) { return files_[name]; }
    // Codes are read millions of times; keep them in a plain array.
    static int Red(int x, int y) { return hit_[size_t(y) * 740 + size_t(x)]; }
    static bool Loaded(const std::string& name) { return loaded_[name]; }
    static uint32_t Px(const Image& img, int x, int y) {
        return img.pixels[size_t(y) * size_t(img.width) + size_t(x)];
    }

    static std::map<std::string, Image> files_;
    static std::map<std::string, bool> loaded_;
    static std::vector<int> hit_;
};
std::vector<int> SkinFiles::hit_;
std::map<std::string, Image> SkinFiles::files_;
std::map<std::string, bool> SkinFiles::loaded_;

TEST_F(SkinFiles, EveryFileIsA24BitBitmapLargeEnoughForItsPieces) {
    struct Need {
        const char* name;
        int w, h;
        bool exact;
    };
    const Need needs[] = {{"00", 740, 150, true}, {"01", 840, 120, false}, {"02", 104, 396, false},
                          {"03", 80, 200, false}, {"04", 90, 60, false},   {"05", 740, 150, true},
                          {"06", 69, 200, false}, {"07", 222, 166, false}, {"08", 60, 105, false},
                          {"09", 88, 216, false}, {"10", 41, 120, false},  {"11", 32, 100, false},
                          {"99", 740, 150, false}};
    for (const Need& n : needs) {
        ASSERT_TRUE(Loaded(n.name)) << n.name;
        const Image& img = File(n.name);
        if (n.exact) {
            EXPECT_EQ(img.width, n.w) << n.name;
            EXPECT_EQ(img.height, n.h) << n.name;
        } else {
            EXPECT_GE(img.width, n.w) << n.name;
            EXPECT_GE(img.height, n.h) << n.name;
        }
        // plain 24-bit files with the info header load everywhere, LoadImageA included
        std::FILE* f = std::fopen((kDir + n.name + ".bmp").c_str(), "rb");
        ASSERT_NE(f, nullptr);
        uint8_t head[30] = {};
        ASSERT_EQ(std::fread(head, 1, sizeof head, f), sizeof head);
        std::fclose(f);
        EXPECT_EQ(head[14], 40) << n.name;
        EXPECT_EQ(head[28], 24) << n.name;
    }
}

// Red values of the controls, by name of the control.
const std::map<int, const char*> kCodes = {
    {220, "input port"},     {210, "output port"},  {200, "connection thru"},
    {190, "frequency down"}, {180, "frequency up"}, {170, "send tune"},
    {160, "colour 0"},       {150, "colour 1"},     {140, "colour 2"},
    {130, "colour 3"},       {120, "move"},         {110, "minimise"},
    {100, "close"},          {90, "panic"},         {80, "key down"},
    {70, "key up"},          {60, "tone soft"},     {50, "tone loud"}};

TEST_F(SkinFiles, HitMapUsesOnlyControlCodesAndHasEveryOne) {
    ASSERT_TRUE(Loaded("05"));
    std::set<int> seen;
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 740; ++x) {
            const uint32_t p = Px(File("05"), x, y);
            const int r = int(p >> 16);
            ASSERT_TRUE(r == 0 || kCodes.count(r)) << "red " << r << " at " << x << "," << y;
            EXPECT_EQ(p & 0xFFFFu, 0u) << x << "," << y;
            seen.insert(r);
        }
    for (const auto& [code, name] : kCodes) EXPECT_TRUE(seen.count(code)) << name;
    EXPECT_TRUE(seen.count(0)) << "no free panel area to grab";
}

// Each control's area must sit under the artwork that shows it.
struct Placement {
    int code;
    Rect art;     // where the panel draws the control's look
    bool within;  // the whole control lies inside the artwork (fixed hover looks)
};
const Placement kPlacements[] = {
    {120, {628, 10, 30, 20}, true},  {110, {665, 10, 30, 20}, true},   {100, {700, 10, 30, 20}, true},
    {190, {593, 92, 34, 40}, false}, {180, {628, 92, 34, 40}, false},  {170, {663, 92, 77, 40}, false},
    {90, {550, 10, 60, 21}, false},  {60, {546, 58, 16, 20}, false},   {50, {565, 58, 16, 20}, false},
    {80, {676, 50, 20, 24}, false},  {70, {697, 50, 20, 24}, false},   {200, {334, 70, 104, 66}, false},
    {220, {70, 76, 200, 26}, false}, {210, {70, 103, 200, 26}, false},
};

TEST_F(SkinFiles, ControlsLieUnderTheirArtwork) {
    ASSERT_TRUE(Loaded("05"));
    for (const Placement& p : kPlacements) {
        int inside = 0, outside = 0;
        for (int y = 0; y < 150; ++y)
            for (int x = 0; x < 740; ++x)
                if (Red(x, y) == p.code) (p.art.Contains(x, y) ? inside : outside)++;
        EXPECT_GT(inside, 0) << kCodes.at(p.code) << " does not overlap its artwork";
        if (p.within) {
            EXPECT_EQ(outside, 0) << kCodes.at(p.code) << " reaches outside its hover look";
        }
        // the middle of the artwork must answer to the control
        EXPECT_EQ(Red(p.art.x + p.art.w / 2, p.art.y + p.art.h / 2), p.code) << kCodes.at(p.code);
    }
    // the send-tune lamp is clipped by the window's right edge; its control reaches that edge
    EXPECT_EQ(Red(739, 112), 170);
}

TEST_F(SkinFiles, EachControlIsOneSolidRectangle) {
    ASSERT_TRUE(Loaded("05"));
    // one connected box per control: a stray pixel of a code elsewhere would act as that control
    for (const auto& [code, name] : kCodes) {
        int x0 = 740, y0 = 150, x1 = -1, y1 = -1, count = 0;
        for (int y = 0; y < 150; ++y)
            for (int x = 0; x < 740; ++x)
                if (Red(x, y) == code) {
                    x0 = std::min(x0, x);
                    y0 = std::min(y0, y);
                    x1 = std::max(x1, x);
                    y1 = std::max(y1, y);
                    ++count;
                }
        ASSERT_GT(count, 0) << name;
        EXPECT_EQ(count, (x1 - x0 + 1) * (y1 - y0 + 1)) << name << " is not one rectangle";
    }
}

// Overlay pieces: the lit look must differ from the dark panel at the place it is drawn,
// or the lamp would never be seen to light.
struct Piece {
    const char* file;
    int sx, sy, w, h;  // in the file, for colour k add the step below
    int stepX, stepY;
    int dx, dy;
};
const Piece kPieces[] = {
    {"03", 0, 40, 80, 40, 0, 40, 663, 92},   {"06", 0, 40, 34, 40, 0, 40, 593, 92},
    {"06", 35, 40, 34, 40, 0, 40, 628, 92},  {"08", 0, 21, 60, 21, 0, 21, 550, 10},
    {"10", 0, 24, 20, 24, 0, 24, 676, 50},   {"10", 21, 24, 20, 24, 0, 24, 697, 50},
    {"11", 0, 20, 16, 20, 0, 20, 546, 58},   {"11", 16, 20, 16, 20, 0, 20, 565, 58},
    {"02", 0, 66, 104, 66, 0, 66, 334, 70},  {"09", 44, 0, 44, 27, 0, 54, 25, 77},
    {"09", 44, 27, 44, 27, 0, 54, 25, 103},  {"01", 0, 0, 210, 40, 210, 0, 300, 10},
    {"01", 0, 40, 210, 40, 210, 0, 300, 10}, {"01", 0, 80, 210, 40, 210, 0, 300, 10},
};

double MeanDifference(const Image& a, int ax, int ay, const Image& b, int bx, int by, int w, int h) {
    double sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t p = a.pixels[size_t(ay + y) * size_t(a.width) + size_t(ax + x)];
            const uint32_t q = b.pixels[size_t(by + y) * size_t(b.width) + size_t(bx + x)];
            for (int s = 0; s < 24; s += 8) sum += std::abs(int(p >> s & 255) - int(q >> s & 255));
        }
    return sum / (3.0 * w * h);
}

double MeanBrightness(const Image& a, int ax, int ay, int w, int h) {
    double sum = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t p = a.pixels[size_t(ay + y) * size_t(a.width) + size_t(ax + x)];
            sum += (p >> 16 & 255) + (p >> 8 & 255) + (p & 255);
        }
    return sum / (3.0 * w * h);
}

TEST_F(SkinFiles, LitLooksStandOutFromTheDarkPanelInEveryColour) {
    const Image& bg = File("00");
    for (const Piece& p : kPieces) {
        ASSERT_TRUE(Loaded(p.file));
        const Image& img = File(p.file);
        for (int k = 0; k < 4; ++k) {
            const int w = std::min(p.w, 740 - p.dx);
            const double lit = MeanBrightness(img, p.sx + k * p.stepX, p.sy + k * p.stepY, w, p.h);
            const double dark = MeanBrightness(bg, p.dx, p.dy, w, p.h);
            EXPECT_GT(lit - dark, 4.0) << p.file << " at " << p.sx << "," << p.sy << " colour " << k;
        }
    }
    // one dropped-message picture for all colours
    EXPECT_GT(MeanBrightness(File("02"), 0, 330, 104, 66) - MeanBrightness(bg, 334, 70, 104, 66), 4.0);
    // the window keys' hover and held looks
    for (int col = 0; col < 3; ++col) {
        const int dx = col == 0 ? 628 : col == 1 ? 665 : 700;
        EXPECT_GT(MeanDifference(File("04"), 30 * col, 20, bg, dx, 10, 30, 20), 6.0) << col;
        if (col != 1) {  // minimise has no held look
            EXPECT_GT(MeanDifference(File("04"), 30 * col, 40, bg, dx, 10, 30, 20), 3.0) << col;
        }
    }
}

TEST_F(SkinFiles, ColourSchemesAndDigitsCanBeToldApart) {
    const Image& digits = File("07");
    for (int k = 0; k < 4; ++k) {
        for (int d = 0; d < 10; ++d)
            for (int e = d + 1; e < 10; ++e)
                EXPECT_GT(MeanDifference(digits, 21 * d, 42 * k + 2, digits, 21 * e, 42 * k + 2, 21, 38), 2.0)
                    << "digits " << d << " and " << e << " look alike in colour " << k;
        for (int j = k + 1; j < 4; ++j) {
            EXPECT_GT(MeanDifference(digits, 21 * 8, 42 * k + 2, digits, 21 * 8, 42 * j + 2, 21, 38), 4.0);
            EXPECT_GT(MeanDifference(File("03"), 0, 40 * (k + 1), File("03"), 0, 40 * (j + 1), 80, 40), 4.0);
        }
    }
}

}  // namespace
