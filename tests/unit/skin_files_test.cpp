// Checks the committed skin against the geometry the panel draws it with.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "platform/bmp.h"

namespace {

using kvn::bmp::Image;

const std::string kDir = std::string(KVN_SOURCE_DIR) + "/resources/Bitmap/";

class SkinFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const char* name :
             {"00", "01", "02", "03", "04", "05", "06", "07", "08", "09", "10", "11", "99"})
            loaded_[name] = kvn::bmp::Load(kDir + name + ".bmp", files_[name]);
        hit_ = &files_["05"];
    }
    static const Image& File(const std::string& name) { return files_[name]; }
    static uint32_t Px(const Image& img, int x, int y) {
        return img.pixels[size_t(y) * size_t(img.width) + size_t(x)];
    }
    static bool HitMapLoaded() { return loaded_["05"] && hit_->width == 740 && hit_->height == 150; }
    // The control code of the hit map at x, y.
    static int Red(int x, int y) { return int(Px(*hit_, x, y) >> 16); }

    static std::map<std::string, Image> files_;
    static std::map<std::string, bool> loaded_;
    static const Image* hit_;
};
const Image* SkinFiles::hit_ = nullptr;
std::map<std::string, Image> SkinFiles::files_;
std::map<std::string, bool> SkinFiles::loaded_;

TEST_F(SkinFiles, EveryFileIsA24BitBitmapLargeEnoughForItsPieces) {
    const struct {
        const char* name;
        int w, h;
        bool exact;
    } needs[] = {{"00", 740, 150, true}, {"01", 840, 120, false}, {"02", 104, 396, false},
                 {"03", 80, 200, false}, {"04", 90, 60, false},   {"05", 740, 150, true},
                 {"06", 69, 200, false}, {"07", 222, 166, false}, {"08", 60, 105, false},
                 {"09", 88, 216, false}, {"10", 41, 120, false},  {"11", 32, 100, false},
                 {"99", 740, 150, false}};
    for (const auto& n : needs) {
        ASSERT_TRUE(loaded_[n.name]) << n.name;
        const Image& img = File(n.name);
        EXPECT_TRUE(n.exact ? img.width == n.w && img.height == n.h : img.width >= n.w && img.height >= n.h)
            << n.name << " is " << img.width << "x" << img.height;
        // plain 24-bit files with the info header load everywhere, LoadImageA included
        char head[30] = {};
        std::ifstream(kDir + n.name + ".bmp", std::ios::binary).read(head, sizeof head);
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

TEST_F(SkinFiles, HitMapHasEveryControlCodeAsOneSolidRectangleAndNothingElse) {
    ASSERT_TRUE(HitMapLoaded());
    struct Box {
        int x0 = 740, y0 = 150, x1 = -1, y1 = -1, count = 0;
    };
    std::map<int, Box> boxes;
    for (int y = 0; y < 150; ++y)
        for (int x = 0; x < 740; ++x) {
            const uint32_t p = Px(*hit_, x, y);
            const int r = Red(x, y);
            ASSERT_TRUE(r == 0 || kCodes.count(r)) << "red " << r << " at " << x << "," << y;
            EXPECT_EQ(p & 0xFFFFu, 0u) << x << "," << y;
            Box& b = boxes[r];
            b = {std::min(b.x0, x), std::min(b.y0, y), std::max(b.x1, x), std::max(b.y1, y), b.count + 1};
        }
    EXPECT_TRUE(boxes.count(0)) << "no free panel area to grab";
    // One connected box per control: a stray pixel of a code elsewhere would act as that control.
    for (const auto& [code, name] : kCodes) {
        ASSERT_TRUE(boxes.count(code)) << name;
        const Box& b = boxes[code];
        EXPECT_EQ(b.count, (b.x1 - b.x0 + 1) * (b.y1 - b.y0 + 1)) << name << " is not one rectangle";
    }
}

TEST_F(SkinFiles, ControlsLieUnderTheirArtwork) {
    ASSERT_TRUE(HitMapLoaded());
    const struct {
        int code;
        int x, y, w, h;  // where the panel draws the control's look
        bool within;     // the whole control lies inside the artwork (fixed hover looks)
    } placements[] = {
        {120, 628, 10, 30, 20, true},  {110, 665, 10, 30, 20, true},  {100, 700, 10, 30, 20, true},
        {190, 593, 92, 34, 40, false}, {180, 628, 92, 34, 40, false}, {170, 663, 92, 77, 40, false},
        {90, 550, 10, 60, 21, false},  {60, 546, 58, 16, 20, false},  {50, 565, 58, 16, 20, false},
        {80, 676, 50, 20, 24, false},  {70, 697, 50, 20, 24, false},  {200, 334, 70, 104, 66, false},
        {220, 70, 76, 200, 26, false}, {210, 70, 103, 200, 26, false}};
    for (const auto& p : placements) {
        int inside = 0, outside = 0;
        for (int y = 0; y < 150; ++y)
            for (int x = 0; x < 740; ++x)
                if (Red(x, y) == p.code)
                    (x >= p.x && y >= p.y && x < p.x + p.w && y < p.y + p.h ? inside : outside)++;
        const char* name = kCodes.at(p.code);
        EXPECT_GT(inside, 0) << name << " does not overlap its artwork";
        if (p.within) {
            EXPECT_EQ(outside, 0) << name << " reaches outside its hover look";
        }
        // the middle of the artwork must answer to the control
        EXPECT_EQ(Red(p.x + p.w / 2, p.y + p.h / 2), p.code) << name;
    }
    // the send-tune lamp is clipped by the window's right edge; its control reaches that edge
    EXPECT_EQ(Red(739, 112), 170);
}

}  // namespace
