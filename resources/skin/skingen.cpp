// Draws Korvane's skin (resources/Bitmap/*.bmp) and icons (resources/icons/*), and composes
// preview images of the panel the way the program composes it.
//
//   kvn_skingen <fonts dir> <Bitmap dir> <icons dir>
//   kvn_skingen --preview <fonts dir> <Bitmap dir> <png dir> [runtime font file]
//
// Every overlay piece is cut from a rendering of the whole panel with that lamp lit, so its
// edges meet the background exactly; lit looks never reach outside their piece.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/bmp.h"
#include "resources/skin/raster.h"

namespace {

using kvn::bmp::Image;
using namespace skin;

constexpr int kW = 740, kH = 150;

// Where the program draws each piece (fixed by its composition order).
const Rect kMove{628, 10, 30, 20}, kMinimise{665, 10, 30, 20}, kClose{700, 10, 30, 20};
const Rect kFamily{300, 10, 210, 40};
const Rect kLampIn{25, 77, 44, 27}, kLampOut{25, 103, 44, 27};
const Rect kCentre{334, 70, 104, 66};
const Rect kKeyDown{676, 50, 20, 24}, kKeyUp{697, 50, 20, 24};
const Rect kFreqDown{593, 92, 34, 40}, kFreqUp{628, 92, 34, 40};
const Rect kTune{663, 92, 80, 40};
const Rect kPanic{550, 10, 60, 21};
const Rect kSoft{546, 58, 16, 20}, kLoud{565, 58, 16, 20};
constexpr int kDigitY = 94, kDigitW = 21, kDigitH = 38, kPointW = 12;
const int kDigitX[5] = {480, 504, 528, 550, 568};  // hundreds, tens, units, point, tenths

// Controls as the hit map paints them: red value and rectangle.
struct Control {
    int red;
    const char* name;
    Rect r;
};
const Rect kColourCap[4] = {{197, 27, 19, 14}, {220, 27, 19, 14}, {243, 27, 19, 14}, {266, 27, 19, 14}};
const Control kControls[] = {
    {220, "input port name", {22, 76, 304, 27}},
    {210, "output port name", {22, 103, 304, 28}},
    {200, "connection thru", kCentre},
    {190, "frequency down", kFreqDown},
    {180, "frequency up", kFreqUp},
    {170, "send tune", {663, 92, 77, 40}},
    {160, "colour 0", {195, 24, 23, 19}},
    {150, "colour 1", {218, 24, 23, 19}},
    {140, "colour 2", {241, 24, 23, 19}},
    {130, "colour 3", {264, 24, 23, 19}},
    {120, "move handle", kMove},
    {110, "minimise", kMinimise},
    {100, "close", kClose},
    {90, "panic", kPanic},
    {80, "key down", kKeyDown},
    {70, "key up", kKeyUp},
    {60, "tone soft", {519, 58, 43, 20}},
    {50, "tone loud", {565, 58, 44, 20}},
};

const Color kScheme[4] = {Rgb(255, 80, 80), Rgb(255, 170, 110), Rgb(0, 255, 128), Rgb(0, 255, 255)};
const Color kWhite = Rgb(255, 255, 255);
const Color kBlack = Rgb(0, 0, 0);
const Color kInk = Rgb(212, 212, 206);     // silkscreen
const Color kInkDim = Rgb(146, 147, 146);  // secondary silkscreen
const Color kGhost = Rgb(40, 41, 45);      // unlit legends behind display glass
const Color kDropCore = Rgb(255, 236, 200);
const Color kDropGlow = Rgb(255, 120, 30);

struct Fonts {
    Font sans, bold, serif;
};

// What is lit in one rendering of the panel.
struct Lit {
    int k = -1;  // colour scheme of the lit looks
    bool in = false, out = false;
    int family = -1;
    int centre = 0;  // 1 connection thru, 2 dropped message
    bool keyDown = false, keyUp = false, freqDown = false, freqUp = false, tune = false, panic = false;
    bool soft = false, loud = false;
    int window[3] = {0, 0, 0};  // move, minimise, close: 0 rest, 1 hover, 2 held
};

Mask NewMask() { return Mask(kW, kH); }

void Fill(Canvas& c, const Sdf& s, Color col, float alpha = 1.f) {
    Mask m = NewMask();
    m.Fill(s);
    c.Paint(m, col, alpha);
}

void FillShaded(Canvas& c, const Sdf& s, const std::function<Color(int, int)>& shader, float alpha = 1.f) {
    Mask m = NewMask();
    m.Fill(s);
    c.Paint(m, shader, alpha);
}

Rect Grow(Rect r, int by) { return Rect{r.x - by, r.y - by, r.w + 2 * by, r.h + 2 * by}; }

// Vertical blend across a rectangle: top colour at r.y, bottom colour at the last row.
std::function<Color(int, int)> Vertical(Rect r, Color top, Color bottom) {
    return [=](int, int y) {
        return Mix(top, bottom, std::clamp(float(y - r.y) / float(std::max(1, r.h - 1)), 0.f, 1.f));
    };
}

enum class Align { Left, Centre, Right };

void Text(Canvas& c, const Font& f, const std::string& s, float x, float baseline, float size, Align a,
          Color col, float tracking = 0.f, float xScale = 1.f, float alpha = 1.f) {
    const float w = f.Measure(s, size, xScale, tracking);
    const float left = a == Align::Left ? x : a == Align::Centre ? x - w / 2 : x - w;
    Mask m = NewMask();
    f.Draw(m, left, baseline, s, size, xScale, tracking);
    c.Paint(m, col, alpha);
}

void TextMask(Mask& m, const Font& f, const std::string& s, float x, float baseline, float size, Align a,
              float tracking = 0.f, float xScale = 1.f, float oblique = 0.f) {
    const float w = f.Measure(s, size, xScale, tracking);
    const float left = a == Align::Left ? x : a == Align::Centre ? x - w / 2 : x - w;
    f.Draw(m, left, baseline, s, size, xScale, tracking, 1.f, oblique);
}

// A lit shape: a halo first, kept inside clip, then the shape itself on top.
void Glow(Canvas& c, const Mask& shape, Color col, const Rect& clip, float sigma, float strength,
          Color core) {
    Mask halo = shape.Blurred(sigma, clip);
    halo.ClipTo(clip);
    c.Light(halo, col, strength);
    c.Paint(shape, core);
}

// ---- Panel surface -----------------------------------------------------------------------

void BrushedMetal(Canvas& c) {
    Random rnd(0x4B4F5256u);
    std::vector<float> row(static_cast<size_t>(kW)), tmp(static_cast<size_t>(kW));
    for (int y = 0; y < kH; ++y) {
        for (float& v : row) v = rnd.Signed();
        // Two box passes turn white noise into long horizontal brush strokes.
        for (int pass = 0; pass < 2; ++pass) {
            const int r = 14;
            for (int x = 0; x < kW; ++x) {
                float s = 0;
                for (int i = -r; i <= r; ++i) s += row[size_t(std::clamp(x + i, 0, kW - 1))];
                tmp[size_t(x)] = s / float(2 * r + 1);
            }
            row.swap(tmp);
        }
        const float rowTone = rnd.Signed() * 0.9f;
        const float t = float(y) / float(kH - 1);
        const Color base = Mix(Rgb(50, 51, 55), Rgb(33, 34, 37), t);
        for (int x = 0; x < kW; ++x) {
            const float v = row[size_t(x)] * 26.f + rowTone + rnd.Signed() * 1.1f;
            c.At(x, y) = Add(base, Color{v, v, v * 1.04f});
        }
    }
    // Bevelled edge of the front plate.
    c.Shade(
        [](int x, int y, Color o) {
            if (x == 0 || y == 0 || x == kW - 1 || y == kH - 1) return Rgb(8, 8, 9);
            if (y == 1) return Add(o, Rgb(26, 26, 27));
            if (x == 1) return Add(o, Rgb(14, 14, 15));
            if (y == kH - 2) return Scale(o, 0.62f);
            if (x == kW - 2) return Scale(o, 0.72f);
            return o;
        },
        Rect{0, 0, kW, kH});
}

void Screw(Canvas& c, float cx, float cy) {
    Mask shadow = NewMask();
    shadow.Fill(Circle(cx + 0.4f, cy + 0.8f, 5.2f));
    c.Paint(shadow.Blurred(0.8f, Rect{int(cx) - 9, int(cy) - 9, 19, 19}), kBlack, 0.7f);
    FillShaded(c, Circle(cx, cy, 4.6f), [=](int x, int y) {
        const float t = std::clamp((float(x) - cx + float(y) - cy) / 13.f + 0.5f, 0.f, 1.f);
        return Mix(Rgb(168, 168, 172), Rgb(64, 64, 68), t);
    });
    std::vector<float> hex;
    for (int i = 0; i < 6; ++i) {
        const float a = float(i) * 3.14159265f / 3.f + 0.3f;
        hex.push_back(cx + 2.2f * std::cos(a));
        hex.push_back(cy + 2.2f * std::sin(a));
    }
    Fill(c, Polygon(hex), Rgb(22, 22, 25));
}

// A window of dark glass sunk into the plate.
void Recess(Canvas& c, Rect g, float radius) {
    const Rect o = Grow(g, 2);
    FillShaded(c, RoundRect(float(o.x), float(o.y), float(o.w), float(o.h), radius + 2),
               Vertical(o, Rgb(12, 12, 14), Rgb(86, 87, 92)));
    FillShaded(c, RoundRect(float(g.x), float(g.y), float(g.w), float(g.h), radius), [=](int, int y) {
        const float t = std::clamp(float(y - g.y) / float(std::max(1, g.h - 1)), 0.f, 1.f);
        Color col = Mix(Rgb(19, 20, 23), Rgb(7, 7, 9), t);
        if (t < 0.42f) col = Add(col, Rgb(3, 3, 4));  // faint reflection on the upper half
        return col;
    });
}

// A thin engraved rule with a label interrupting it.
void Rule(Canvas& c, float x0, float x1, float y) {
    Fill(c, RoundRect(x0, y, x1 - x0, 1, 0), Rgb(16, 16, 18), 0.8f);
    Fill(c, RoundRect(x0, y + 1, x1 - x0, 1, 0), Rgb(92, 93, 98), 0.5f);
}

// ---- Keys --------------------------------------------------------------------------------

enum class CapLook { Rest, Lit, Hover, Held, HoverDanger };

// The scheme colour with its saturation raised: a pale tint turns muddy once darkened.
Color Vivid(Color c) {
    const float l = 0.299f * c.r + 0.587f * c.g + 0.114f * c.b;
    auto f = [l](float v) { return std::clamp(l + (v - l) * 1.3f, 0.f, 255.f); };
    return Color{f(c.r), f(c.g), f(c.b)};
}

// A backlit key: at rest dark with a printed legend, lit it glows in the scheme colour.
void Key(Canvas& c, Rect piece, int inset, CapLook look, Color col,
         const std::function<void(Mask&, Rect)>& legend, float radius = 3.f) {
    const Rect cap{piece.x + inset, piece.y + inset, piece.w - 2 * inset, piece.h - 2 * inset};
    const float x = float(cap.x), y = float(cap.y), w = float(cap.w), h = float(cap.h);
    Mask shadow = NewMask();
    shadow.Fill(RoundRect(x, y + 1.2f, w, h, radius));
    c.Paint(shadow.Blurred(0.9f, Grow(piece, 3)), kBlack, 0.65f);
    Color top = Rgb(70, 71, 76), bottom = Rgb(43, 44, 48), ink = Rgb(206, 206, 200);
    int press = 0;
    switch (look) {
    case CapLook::Rest:
        break;
    case CapLook::Lit:
        top = Scale(Vivid(col), 0.84f);
        bottom = Scale(Vivid(col), 0.46f);
        ink = Mix(col, kWhite, 0.9f);
        break;
    case CapLook::Hover:
        top = Rgb(112, 113, 119);
        bottom = Rgb(72, 73, 78);
        ink = kWhite;
        break;
    case CapLook::HoverDanger:
        top = Rgb(196, 58, 52);
        bottom = Rgb(132, 30, 28);
        ink = kWhite;
        break;
    case CapLook::Held:
        top = Rgb(24, 24, 27);
        bottom = Rgb(58, 59, 64);
        ink = Rgb(255, 255, 255);
        press = 1;
        break;
    }
    if (look == CapLook::Lit) {
        Mask body = NewMask();
        body.Fill(RoundRect(x, y, w, h, radius));
        Mask halo = body.Blurred(2.2f, piece);
        halo.ClipTo(piece);
        c.Light(halo, col, 0.55f);
    }
    Fill(c, RoundRect(x, y, w, h, radius), Rgb(12, 12, 14));
    FillShaded(c, RoundRect(x + 1, y + 1, w - 2, h - 2, radius - 1), Vertical(cap, top, bottom));
    if (look != CapLook::Held)
        Fill(c, RoundRect(x + 2, y + 1, w - 4, 1, 0), kWhite, look == CapLook::Lit ? 0.35f : 0.13f);
    if (look == CapLook::Lit) {
        // the lamp behind the cap shines brightest in its middle
        Mask spot = NewMask();
        spot.Fill(RoundRect(x + w * 0.25f, y + h * 0.3f, w * 0.5f, h * 0.4f, std::min(w, h) * 0.2f));
        Mask body = NewMask();
        body.Fill(RoundRect(x + 1, y + 1, w - 2, h - 2, radius - 1));
        Mask soft = spot.Blurred(std::min(w, h) * 0.25f, cap);
        soft.Multiply(body);
        c.Light(soft, col, 0.45f);
    }
    if (look == CapLook::Held) {
        // pressed in: a shadow along the upper inner edge
        Fill(c, RoundRect(x + 1, y + 1, w - 2, 1.5f, 0), kBlack, 0.55f);
    }
    Mask m = NewMask();
    legend(m, Rect{cap.x, cap.y + press, cap.w, cap.h});
    if (look == CapLook::Lit) {
        Mask shade = m.Blurred(1.0f, cap);
        c.Paint(shade, Scale(col, 0.2f), 0.5f);  // keeps a pale legend readable on a bright cap
    }
    c.Paint(m, ink);
}

void Triangle(Mask& m, float cx, float cy, float w, float h, bool up) {
    const float t = up ? cy - h / 2 : cy + h / 2, b = up ? cy + h / 2 : cy - h / 2;
    m.Fill(Polygon({cx, t, cx + w / 2, b, cx - w / 2, b}));
}

// ---- Displays ----------------------------------------------------------------------------

void PortLamp(Canvas& c, const Fonts& f, Rect p, const char* label, bool lit, Color col) {
    Mask m = NewMask();
    m.Fill(Polygon({float(p.x) + 5, float(p.y) + 8.5f, float(p.x) + 11.5f, float(p.y) + 13.5f, float(p.x) + 5,
                    float(p.y) + 18.5f}));
    TextMask(m, f.bold, label, float(p.x) + 14, float(p.y) + 18, 11.f, Align::Left, 0.4f, 0.92f);
    if (lit)
        Glow(c, m, col, p, 1.6f, 0.55f, Mix(col, kWhite, 0.12f));
    else
        c.Paint(m, kGhost);
}

void FamilyDisplay(Canvas& c, const Fonts& f, int lit, Color col) {
    static const char* kBig[3] = {"GM", "GS", "XG"};
    static const char* kSmall[3] = {"UNIVERSAL", "ROLAND", "YAMAHA"};
    for (int i = 0; i < 3; ++i) {
        const Rect cell{kFamily.x + 70 * i, kFamily.y, 70, kFamily.h};
        const float cx = float(cell.x) + 35.f;
        Mask m = NewMask();
        TextMask(m, f.bold, kBig[i], cx, float(cell.y) + 21, 17.f, Align::Centre, 1.0f);
        TextMask(m, f.bold, kSmall[i], cx, float(cell.y) + 33, 7.f, Align::Centre, 0.9f);
        if (i == lit) {
            // a lit bar under the legend marks the family even at a glance
            m.Fill(RoundRect(cx - 20, float(cell.y) + 36, 40, 1.6f, 0.8f));
            Glow(c, m, col, cell, 2.f, 0.6f, Mix(col, kWhite, 0.12f));
        } else {
            c.Paint(m, kGhost);
        }
        if (i > 0)
            Fill(c, RoundRect(float(cell.x), float(cell.y) + 7, 1, float(cell.h) - 14, 0), kGhost, 0.8f);
    }
}

void CentreDisplay(Canvas& c, const Fonts& f, int mode, Color col) {
    const Rect r = kCentre;
    const float x = float(r.x), y = float(r.y);
    Mask path = NewMask(), words = NewMask();
    TextMask(words, f.bold, "IN", x + 9, y + 16, 8.5f, Align::Left, 0.6f);
    TextMask(words, f.bold, "OUT", x + 95, y + 16, 8.5f, Align::Right, 0.6f);
    // two jacks joined by a patch line
    path.Fill(Subtract(Circle(x + 15, y + 31, 5.5f), Circle(x + 15, y + 31, 3.6f)));
    path.Fill(Circle(x + 15, y + 31, 1.6f));
    path.Fill(Subtract(Circle(x + 89, y + 31, 5.5f), Circle(x + 89, y + 31, 3.6f)));
    path.Fill(Circle(x + 89, y + 31, 1.6f));
    Mask caption = NewMask();
    if (mode == 2) {
        TextMask(caption, f.bold, "DROPPED", x + 52, y + 56, 11.f, Align::Centre, 0.8f, 0.95f);
    } else {
        TextMask(caption, f.bold, "DIRECT", x + 52, y + 56, 11.f, Align::Centre, 1.4f, 0.95f);
    }
    if (mode == 0) {
        path.Fill(Capsule(x + 22, y + 31, x + 76, y + 31, 1.5f));
        path.Fill(Polygon({x + 83, y + 31, x + 75, y + 26, x + 75, y + 36}));
        c.Paint(path, kGhost);
        c.Paint(words, kGhost);
        c.Paint(caption, kGhost);
    } else if (mode == 1) {
        path.Fill(Capsule(x + 22, y + 31, x + 76, y + 31, 1.5f));
        path.Fill(Polygon({x + 83, y + 31, x + 75, y + 26, x + 75, y + 36}));
        Mask all = path;
        for (int yy = 0; yy < kH; ++yy)
            for (int xx = 0; xx < kW; ++xx)
                all.At(xx, yy) = std::max({all.At(xx, yy), words.At(xx, yy), caption.At(xx, yy)});
        Glow(c, all, col, r, 2.2f, 0.6f, Mix(col, kWhite, 0.12f));
    } else {
        // The message was stopped: it leaves the input, runs into a cross and never reaches the output.
        Mask rest = NewMask();
        rest.Fill(Capsule(x + 64, y + 31, x + 76, y + 31, 1.5f));
        rest.Fill(Polygon({x + 83, y + 31, x + 75, y + 26, x + 75, y + 36}));
        rest.Fill(Subtract(Circle(x + 89, y + 31, 5.5f), Circle(x + 89, y + 31, 3.6f)));
        rest.Fill(Circle(x + 89, y + 31, 1.6f));
        c.Paint(rest, kGhost);
        Mask stop = NewMask();
        stop.Fill(Subtract(Circle(x + 15, y + 31, 5.5f), Circle(x + 15, y + 31, 3.6f)));
        stop.Fill(Circle(x + 15, y + 31, 1.6f));
        stop.Fill(Capsule(x + 22, y + 31, x + 41, y + 31, 1.5f));
        stop.Fill(Capsule(x + 46, y + 24, x + 60, y + 38, 2.0f));
        stop.Fill(Capsule(x + 60, y + 24, x + 46, y + 38, 2.0f));
        TextMask(stop, f.bold, "IN", x + 9, y + 16, 8.5f, Align::Left, 0.6f);
        Mask outWord = NewMask();
        TextMask(outWord, f.bold, "OUT", x + 95, y + 16, 8.5f, Align::Right, 0.6f);
        c.Paint(outWord, kGhost);
        for (int yy = 0; yy < kH; ++yy)
            for (int xx = 0; xx < kW; ++xx) stop.At(xx, yy) = std::max(stop.At(xx, yy), caption.At(xx, yy));
        Glow(c, stop, kDropGlow, r, 2.2f, 0.75f, kDropCore);
    }
}

// Seven-segment digit in a 21x38 cell at (ox, oy); d < 0 draws every segment unlit.
void Digit(Canvas& c, float ox, float oy, int d, Color col) {
    static const uint8_t kSegs[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};  // gfedcba
    const float L = 4.6f, R = 16.4f, T = 4.2f, M = 19.f, B = 33.8f, t = 3.3f, gap = 0.7f, slant = 0.075f;
    auto P = [&](float x, float y) { return std::pair<float, float>{ox + x + (M - y) * slant, oy + y}; };
    auto Seg = [&](float ax, float ay, float bx, float by) {
        // hexagon from a to b with pointed ends
        std::vector<float> pts;
        const bool horiz = ay == by;
        const float h = t / 2;
        std::vector<std::pair<float, float>> q;
        if (horiz) {
            ax += gap;
            bx -= gap;
            q = {P(ax, ay), P(ax + h, ay - h), P(bx - h, by - h),
                 P(bx, by), P(bx - h, by + h), P(ax + h, ay + h)};
        } else {
            ay += gap;
            by -= gap;
            q = {P(ax, ay), P(ax + h, ay + h), P(bx + h, by - h),
                 P(bx, by), P(bx - h, by - h), P(ax - h, ay + h)};
        }
        for (auto& p : q) {
            pts.push_back(p.first);
            pts.push_back(p.second);
        }
        return Polygon(pts);
    };
    const Sdf segs[7] = {Seg(L, T, R, T), Seg(R, T, R, M), Seg(R, M, R, B), Seg(L, B, R, B),
                         Seg(L, M, L, B), Seg(L, T, L, M), Seg(L, M, R, M)};
    Mask on = NewMask(), off = NewMask();
    for (int i = 0; i < 7; ++i) ((d >= 0 && (kSegs[d] >> i) & 1) ? on : off).Fill(segs[i]);
    c.Paint(off, Rgb(31, 32, 35));
    const Rect cell{int(ox), int(oy), kDigitW, kDigitH};
    if (d >= 0) Glow(c, on, col, cell, 1.5f, 0.5f, Mix(col, kWhite, 0.1f));
}

void Point(Canvas& c, float ox, float oy, bool lit, Color col) {
    Mask m = NewMask();
    m.Fill(RoundRect(ox + 4.2f, oy + 32.2f, 3.4f, 3.4f, 0.8f));
    if (lit)
        Glow(c, m, col, Rect{int(ox), int(oy), kPointW, kDigitH}, 1.5f, 0.5f, Mix(col, kWhite, 0.1f));
    else
        c.Paint(m, Rgb(31, 32, 35));
}

// ---- The whole panel ---------------------------------------------------------------------

Canvas RenderPanel(const Fonts& f, const Lit& lit) {
    Canvas c(kW, kH);
    const Color col = lit.k >= 0 ? kScheme[lit.k] : kInk;
    BrushedMetal(c);

    // Brand and colour selector.
    Text(c, f.bold, "Korvane", 21, 37, 27.f, Align::Left, Rgb(232, 232, 228), -0.3f);
    Text(c, f.bold, "MIDI TUNING THRU", 22.5f, 51, 7.f, Align::Left, kInkDim, 1.55f);
    Text(c, f.bold, "COLOUR", 241, 20, 7.f, Align::Centre, kInk, 1.4f);
    for (int i = 0; i < 4; ++i) {
        const Rect r = kColourCap[i];
        Key(
            c, Grow(r, 1), 1, CapLook::Rest, kInk,
            [&](Mask& m, Rect cap) {
                m.Fill(
                    RoundRect(float(cap.x) + 3, float(cap.y) + 3, float(cap.w) - 6, float(cap.h) - 6, 1.5f));
            },
            2.5f);
        Mask lens = NewMask();
        lens.Fill(RoundRect(float(r.x) + 3, float(r.y) + 3, float(r.w) - 6, float(r.h) - 6, 1.5f));
        c.Paint(lens, Mix(kScheme[i], kBlack, 0.25f));
        Fill(c, RoundRect(float(r.x) + 4, float(r.y) + 3.5f, float(r.w) - 8, 1.2f, 0.5f), kWhite, 0.35f);
    }

    // Ports.
    Text(c, f.bold, "MIDI PORTS", 22, 66, 7.f, Align::Left, kInk, 1.4f);
    Rule(c, 84, 325, 62);
    Recess(c, Rect{21, 73, 304, 60}, 3);
    Fill(c, RoundRect(24, 103, 298, 1, 0), kGhost, 0.6f);
    PortLamp(c, f, kLampIn, "IN", lit.in, col);
    PortLamp(c, f, kLampOut, "OUT", lit.out, col);

    // SysEx family indicator and the centre window.
    Recess(c, kFamily, 3);
    FamilyDisplay(c, f, lit.family, col);
    Text(c, f.bold, "THRU", 386, 65, 8.f, Align::Centre, kInk, 1.6f);
    Rule(c, 334, 364, 61);
    Rule(c, 408, 438, 61);
    Recess(c, kCentre, 3);
    CentreDisplay(c, f, lit.centre, col);

    // Pitch.
    Text(c, f.bold, "A4", 459, 113, 15.f, Align::Centre, kInk, 0.2f);
    Text(c, f.bold, "PITCH", 459, 124, 6.5f, Align::Centre, kInkDim, 0.8f);
    Text(c, f.bold, "Hz", 534, 88, 7.5f, Align::Centre, kInk, 1.0f);
    Rule(c, 480, 522, 84);
    Rule(c, 546, 588, 84);
    Recess(c, Rect{478, 92, 112, 42}, 2);
    for (int i = 0; i < 5; ++i) {
        if (i == 3)
            Point(c, float(kDigitX[i]), kDigitY, false, col);
        else
            Digit(c, float(kDigitX[i]), kDigitY, -1, col);
    }
    Key(c, kFreqDown, 2, lit.freqDown ? CapLook::Lit : CapLook::Rest, col, [](Mask& m, Rect r) {
        Triangle(m, float(r.x) + float(r.w) / 2, float(r.y) + float(r.h) / 2, 13, 9, false);
    });
    Key(c, kFreqUp, 2, lit.freqUp ? CapLook::Lit : CapLook::Rest, col, [](Mask& m, Rect r) {
        Triangle(m, float(r.x) + float(r.w) / 2, float(r.y) + float(r.h) / 2, 13, 9, true);
    });
    Text(c, f.bold, "SEND", 700, 88, 7.5f, Align::Centre, kInk, 1.2f);
    Key(c, Rect{663, 92, 77, 40}, 2, lit.tune ? CapLook::Lit : CapLook::Rest, col, [&](Mask& m, Rect r) {
        TextMask(m, f.bold, "TUNE", float(r.x) + float(r.w) / 2, float(r.y) + 23.5f, 11.5f, Align::Centre,
                 1.2f);
    });

    // Panic, reference tone, key shift.
    Key(c, kPanic, 1, lit.panic ? CapLook::Lit : CapLook::Rest, col, [&](Mask& m, Rect r) {
        TextMask(m, f.bold, "PANIC", float(r.x) + float(r.w) / 2, float(r.y) + 13.5f, 8.f, Align::Centre,
                 1.4f);
    });
    Text(c, f.bold, "TONE", 563.5f, 50, 7.f, Align::Centre, kInk, 1.4f);
    Text(c, f.bold, "soft", 543, 72, 8.f, Align::Right, kInk, 0.3f);
    Text(c, f.bold, "loud", 584, 72, 8.f, Align::Left, kInk, 0.3f);
    Key(
        c, kSoft, 1, lit.soft ? CapLook::Lit : CapLook::Rest, col,
        [&](Mask& m, Rect r) {
            TextMask(m, f.serif, "p", float(r.x) + float(r.w) / 2, float(r.y) + 12.5f, 11.f, Align::Centre, 0,
                     1, 0.22f);
        },
        2.5f);
    Key(
        c, kLoud, 1, lit.loud ? CapLook::Lit : CapLook::Rest, col,
        [&](Mask& m, Rect r) {
            TextMask(m, f.serif, "f", float(r.x) + float(r.w) / 2, float(r.y) + 13.5f, 11.f, Align::Centre, 0,
                     1, 0.22f);
        },
        2.5f);
    Text(c, f.bold, "KEY", 679, 44, 7.f, Align::Centre, kInk, 1.4f);
    Recess(c, Rect{641, 48, 27, 29}, 2);
    Key(c, kKeyDown, 1, lit.keyDown ? CapLook::Lit : CapLook::Rest, col, [](Mask& m, Rect r) {
        Triangle(m, float(r.x) + float(r.w) / 2, float(r.y) + float(r.h) / 2, 9, 6.5f, false);
    });
    Key(c, kKeyUp, 1, lit.keyUp ? CapLook::Lit : CapLook::Rest, col, [](Mask& m, Rect r) {
        Triangle(m, float(r.x) + float(r.w) / 2, float(r.y) + float(r.h) / 2, 9, 6.5f, true);
    });

    // Window keys: move, minimise, close.
    auto look = [](int state, bool danger) {
        return state == 2   ? CapLook::Held
               : state == 1 ? (danger ? CapLook::HoverDanger : CapLook::Hover)
                            : CapLook::Rest;
    };
    Key(c, kMove, 1, look(lit.window[0], false), col, [](Mask& m, Rect r) {
        const float cx = float(r.x) + float(r.w) / 2, cy = float(r.y) + float(r.h) / 2;
        m.Fill(Capsule(cx - 5, cy, cx + 5, cy, 0.7f));
        m.Fill(Capsule(cx, cy - 5, cx, cy + 5, 0.7f));
        Triangle(m, cx, cy - 5.5f, 5, 3.4f, true);
        Triangle(m, cx, cy + 5.5f, 5, 3.4f, false);
        m.Fill(Polygon({cx - 7.2f, cy, cx - 4.8f, cy - 2.5f, cx - 4.8f, cy + 2.5f}));
        m.Fill(Polygon({cx + 7.2f, cy, cx + 4.8f, cy - 2.5f, cx + 4.8f, cy + 2.5f}));
    });
    Key(c, kMinimise, 1, look(lit.window[1], false), col, [](Mask& m, Rect r) {
        const float cx = float(r.x) + float(r.w) / 2, cy = float(r.y) + float(r.h) / 2;
        m.Fill(RoundRect(cx - 5.5f, cy + 2, 11, 2, 0.5f));
    });
    Key(c, kClose, 1, look(lit.window[2], true), col, [](Mask& m, Rect r) {
        const float cx = float(r.x) + float(r.w) / 2, cy = float(r.y) + float(r.h) / 2;
        m.Fill(Capsule(cx - 4, cy - 4, cx + 4, cy + 4, 0.9f));
        m.Fill(Capsule(cx + 4, cy - 4, cx - 4, cy + 4, 0.9f));
    });

    Screw(c, 9.5f, 9.5f);
    Screw(c, 9.5f, 140.5f);
    Screw(c, 731.f, 141.f);
    Screw(c, 731.f, 40.f);
    return c;
}

// ---- Output files ------------------------------------------------------------------------

void Blit(Image& dst, int dx, int dy, const Image& src) {
    for (int y = 0; y < src.height; ++y)
        for (int x = 0; x < src.width; ++x) {
            const int tx = dx + x, ty = dy + y;
            if (tx >= 0 && ty >= 0 && tx < dst.width && ty < dst.height)
                dst.pixels[size_t(ty) * size_t(dst.width) + size_t(tx)] =
                    src.pixels[size_t(y) * size_t(src.width) + size_t(x)];
        }
}

Image Blank(int w, int h) {
    Image img;
    img.width = w;
    img.height = h;
    img.pixels.assign(size_t(w) * size_t(h), 0);
    return img;
}

bool SaveOrSay(const std::string& path, const Image& img) {
    if (kvn::bmp::Save(path, img)) return true;
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
}

bool LoadFonts(const std::string& dir, Fonts& f) {
    const bool ok = f.sans.Load(dir + "/DejaVuSans.ttf") && f.bold.Load(dir + "/DejaVuSans-Bold.ttf") &&
                    f.serif.Load(dir + "/DejaVuSerif-Bold.ttf");
    if (!ok) std::fprintf(stderr, "fonts not found in %s (install fonts-dejavu-core)\n", dir.c_str());
    return ok;
}

bool WriteSkin(const Fonts& f, const std::string& out) {
    const Canvas rest = RenderPanel(f, Lit{});
    Image bg = rest.ToImage();
    bool ok = SaveOrSay(out + "/00.bmp", bg);

    Image fam = Blank(840, 120), centre = Blank(104, 396), tune = Blank(80, 200), win = Blank(90, 60),
          freq = Blank(69, 200), digits = Blank(222, 166), panic = Blank(60, 105), ports = Blank(88, 216),
          keys = Blank(41, 120), tones = Blank(32, 100);
    Blit(centre, 0, 0, rest.Crop(kCentre));  // row 0 is never shown; keep the dark look there
    Blit(centre, 0, 330,
         RenderPanel(f,
                     [] {
                         Lit l;
                         l.centre = 2;
                         return l;
                     }())
             .Crop(kCentre));
    Blit(win, 0, 0, rest.Crop(kMove));
    Blit(win, 30, 0, rest.Crop(kMinimise));
    Blit(win, 60, 0, rest.Crop(kClose));
    for (int state = 1; state <= 2; ++state) {
        Lit l;
        l.window[0] = l.window[1] = l.window[2] = state;
        const Canvas c = RenderPanel(f, l);
        Blit(win, 0, 20 * state, c.Crop(kMove));
        Blit(win, 30, 20 * state, c.Crop(kMinimise));
        Blit(win, 60, 20 * state, c.Crop(kClose));
    }
    for (int k = 0; k < 4; ++k) {
        Lit off;
        off.k = k;
        const Canvas unlit = RenderPanel(f, off);
        Blit(ports, 0, 54 * k, unlit.Crop(kLampIn));
        Blit(ports, 0, 54 * k + 27, unlit.Crop(kLampOut));
        for (int family = 0; family < 3; ++family) {
            Lit l;
            l.k = k;
            l.family = family;
            if (family == 0) {
                l.in = l.out = true;
                l.centre = 1;
                l.keyDown = l.keyUp = l.freqDown = l.freqUp = l.tune = l.panic = l.soft = true;
            } else if (family == 1) {
                l.loud = true;
            }
            const Canvas c = RenderPanel(f, l);
            Blit(fam, 210 * k, 40 * family, c.Crop(kFamily));
            if (family == 1) Blit(tones, 16, 20 * (k + 1), c.Crop(kLoud));
            if (family != 0) continue;
            Blit(centre, 0, 66 * (k + 1), c.Crop(kCentre));
            Blit(tune, 0, 40 * (k + 1), c.Crop(kTune));
            Blit(freq, 0, 40 * (k + 1), c.Crop(kFreqDown));
            Blit(freq, 35, 40 * (k + 1), c.Crop(kFreqUp));
            Blit(panic, 0, 21 * (k + 1), c.Crop(kPanic));
            Blit(ports, 44, 54 * k, c.Crop(kLampIn));
            Blit(ports, 44, 54 * k + 27, c.Crop(kLampOut));
            Blit(keys, 0, 24 * (k + 1), c.Crop(kKeyDown));
            Blit(keys, 21, 24 * (k + 1), c.Crop(kKeyUp));
            Blit(tones, 0, 20 * (k + 1), c.Crop(kSoft));
        }
        // Digits: drawn where the hundreds digit stands, over the display's own glass.
        for (int d = 0; d < 10; ++d) {
            Canvas c = unlit;
            Digit(c, float(kDigitX[0]), kDigitY, d, kScheme[k]);
            Blit(digits, kDigitW * d, 42 * k + 2, c.Crop(Rect{kDigitX[0], kDigitY, kDigitW, kDigitH}));
        }
        Canvas c = unlit;
        Point(c, float(kDigitX[3]), kDigitY, true, kScheme[k]);
        Blit(digits, 210, 42 * k + 2, c.Crop(Rect{kDigitX[3], kDigitY, kPointW, kDigitH}));
    }
    // Row 0 of the lamp files is never drawn; the dark look there documents the piece.
    Blit(tune, 0, 0, rest.Crop(kTune));
    Blit(freq, 0, 0, rest.Crop(kFreqDown));
    Blit(freq, 35, 0, rest.Crop(kFreqUp));
    Blit(panic, 0, 0, rest.Crop(kPanic));
    Blit(keys, 0, 0, rest.Crop(kKeyDown));
    Blit(keys, 21, 0, rest.Crop(kKeyUp));
    Blit(tones, 0, 0, rest.Crop(kSoft));
    Blit(tones, 16, 0, rest.Crop(kLoud));

    Image hit = Blank(kW, kH);
    for (const Control& ctl : kControls)
        for (int y = ctl.r.y; y < ctl.r.y + ctl.r.h; ++y)
            for (int x = ctl.r.x; x < ctl.r.x + ctl.r.w; ++x)
                if (x >= 0 && y >= 0 && x < kW && y < kH)
                    hit.pixels[size_t(y) * kW + size_t(x)] = uint32_t(ctl.red) << 16;

    ok = SaveOrSay(out + "/01.bmp", fam) && ok;
    ok = SaveOrSay(out + "/02.bmp", centre) && ok;
    ok = SaveOrSay(out + "/03.bmp", tune) && ok;
    ok = SaveOrSay(out + "/04.bmp", win) && ok;
    ok = SaveOrSay(out + "/05.bmp", hit) && ok;
    ok = SaveOrSay(out + "/06.bmp", freq) && ok;
    ok = SaveOrSay(out + "/07.bmp", digits) && ok;
    ok = SaveOrSay(out + "/08.bmp", panic) && ok;
    ok = SaveOrSay(out + "/09.bmp", ports) && ok;
    ok = SaveOrSay(out + "/10.bmp", keys) && ok;
    ok = SaveOrSay(out + "/11.bmp", tones) && ok;
    ok = SaveOrSay(out + "/99.bmp", Blank(kW, kH)) && ok;
    return ok;
}

// ---- Icons -------------------------------------------------------------------------------

// A tuning fork on a dark glass tile; the activity version glows.
Image Icon(int size, bool bright) {
    const float s = float(size) / 32.f;
    Canvas c(size, size);
    Mask tile(size, size), fork(size, size);
    tile.Fill(RoundRect(0, 0, float(size), float(size), 6 * s));
    c.Paint(tile, [&](int, int y) { return Mix(Rgb(78, 79, 84), Rgb(30, 31, 34), float(y) / float(size)); });
    Mask glass(size, size);
    glass.Fill(RoundRect(2 * s, 2 * s, float(size) - 4 * s, float(size) - 4 * s, 4.5f * s));
    c.Paint(glass, [&](int, int y) { return Mix(Rgb(22, 22, 26), Rgb(6, 6, 8), float(y) / float(size)); });
    const float w = size <= 16 ? 0.95f : 1.35f;  // half stroke width, kept legible when small
    const float lx = 10.5f * s, rx = 21.5f * s, top = 4.5f * s, bend = 15.f * s, cx = 16.f * s;
    fork.Fill(Capsule(lx, top, lx, bend, w));
    fork.Fill(Capsule(rx, top, rx, bend, w));
    fork.Fill(Subtract(Circle(cx, bend, (rx - lx) / 2 + w),
                       Union(Circle(cx, bend, (rx - lx) / 2 - w), RoundRect(0, 0, float(size), bend, 0))));
    fork.Fill(Capsule(cx, bend + (rx - lx) / 2, cx, 28.f * s, w * 1.15f));
    const Color amber = kScheme[1];
    if (bright) {
        Mask halo = fork.Blurred(1.6f * s + 0.4f);
        halo.Multiply(glass);
        c.Light(halo, amber, 1.1f);
        c.Paint(fork, Mix(amber, kWhite, 0.45f));
    } else {
        c.Paint(fork, Mix(amber, Rgb(40, 40, 40), 0.35f));
    }
    Image img = c.ToImage();
    // Alpha from the tile's coverage, for formats that carry it.
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const uint32_t a = uint32_t(std::lround(std::clamp(tile.At(x, y), 0.f, 1.f) * 255));
            img.pixels[size_t(y) * size_t(size) + size_t(x)] |= a << 24;
        }
    return img;
}

// A .ico holding 32-bit images with their AND masks, largest first.
std::vector<uint8_t> Ico(const std::vector<Image>& images) {
    std::vector<uint8_t> v;
    auto w16 = [&](uint32_t x) {
        v.push_back(uint8_t(x));
        v.push_back(uint8_t(x >> 8));
    };
    auto w32 = [&](uint32_t x) {
        for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
    };
    w16(0);
    w16(1);
    w16(uint32_t(images.size()));
    std::vector<std::vector<uint8_t>> blobs;
    for (const Image& img : images) {
        std::vector<uint8_t> b;
        auto b32 = [&](uint32_t x) {
            for (int i = 0; i < 4; ++i) b.push_back(uint8_t(x >> (8 * i)));
        };
        const uint32_t w = uint32_t(img.width), h = uint32_t(img.height);
        const uint32_t maskStride = ((w + 31) / 32) * 4;
        b32(40);
        b32(w);
        b32(h * 2);  // colour image and mask stacked
        b.push_back(1);
        b.push_back(0);
        b.push_back(32);
        b.push_back(0);
        b32(0);
        b32(w * h * 4 + maskStride * h);
        for (int i = 0; i < 4; ++i) b32(0);
        for (int y = int(h) - 1; y >= 0; --y)
            for (uint32_t x = 0; x < w; ++x) b32(img.pixels[size_t(y) * w + x]);
        for (int y = int(h) - 1; y >= 0; --y) {
            std::vector<uint8_t> row(maskStride, 0);
            for (uint32_t x = 0; x < w; ++x)
                if ((img.pixels[size_t(y) * w + x] >> 24) < 128) row[x / 8] |= uint8_t(0x80u >> (x % 8));
            b.insert(b.end(), row.begin(), row.end());
        }
        blobs.push_back(std::move(b));
    }
    uint32_t offset = 6 + 16 * uint32_t(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        v.push_back(uint8_t(images[i].width));
        v.push_back(uint8_t(images[i].height));
        v.push_back(0);
        v.push_back(0);
        w16(1);
        w16(32);
        w32(uint32_t(blobs[i].size()));
        w32(offset);
        offset += uint32_t(blobs[i].size());
    }
    for (const auto& b : blobs) v.insert(v.end(), b.begin(), b.end());
    return v;
}

Image Opaque(Image img) {
    for (uint32_t& p : img.pixels) p &= 0xFFFFFFu;
    return img;
}

bool WriteIcons(const std::string& out) {
    const Image big = Icon(32, false), small = Icon(16, false), lit = Icon(16, true);
    bool ok = kvn::bmp::WriteFile(out + "/kvn_128.ico", Ico({big, small}));
    ok = kvn::bmp::WriteFile(out + "/kvn_132.ico", Ico({small})) && ok;
    ok = kvn::bmp::WriteFile(out + "/kvn_133.ico", Ico({lit})) && ok;
    ok = kvn::bmp::WriteFile(out + "/kvn_128_32.bmp", kvn::bmp::Encode32(big)) && ok;
    ok = kvn::bmp::WriteFile(out + "/kvn_128_16.bmp", kvn::bmp::Encode32(small)) && ok;
    ok = kvn::bmp::WriteFile(out + "/kvn_132.bmp", kvn::bmp::Encode32(small)) && ok;
    ok = kvn::bmp::WriteFile(out + "/kvn_133.bmp", kvn::bmp::Encode32(lit)) && ok;
    ok = kvn::bmp::Save(out + "/kvn_128_32_rgb.bmp", Opaque(big)) && ok;
    ok = kvn::bmp::Save(out + "/kvn_132_rgb.bmp", Opaque(small)) && ok;
    ok = kvn::bmp::Save(out + "/kvn_133_rgb.bmp", Opaque(lit)) && ok;
    if (!ok) std::fprintf(stderr, "cannot write the icons into %s\n", out.c_str());
    return ok;
}

// ---- Preview -----------------------------------------------------------------------------

struct View {
    int k = 1, freq = 4400, keyShift = 0, family = -1, hover = -1, refTone = 0;
    bool inOpen = true, outOpen = true, inLamp = false, outLamp = false, thru = false, drop = false;
    bool dragging = false, closePressed = false;
    bool keyDown = false, keyUp = false, freqDown = false, freqUp = false, tune = false, panic = false;
    std::string inName = "USB MIDI Keyboard", outName = "Roland SC-8850 Part A";
};

void Copy(Image& canvas, const Image& src, int sx, int sy, int w, int h, int dx, int dy) {
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const int fx = sx + x, fy = sy + y, tx = dx + x, ty = dy + y;
            if (fx < 0 || fy < 0 || fx >= src.width || fy >= src.height) continue;
            if (tx < 0 || ty < 0 || tx >= canvas.width || ty >= canvas.height) continue;
            canvas.pixels[size_t(ty) * size_t(canvas.width) + size_t(tx)] =
                src.pixels[size_t(fy) * size_t(src.width) + size_t(fx)];
        }
}

// Stand-in for the program's text: a Hei face, 26 pixels of cell height, 8 pixels per character.
void RuntimeText(Image& img, const Font& font, const std::string& s, int x, int y, Color col) {
    Mask m(img.width, img.height);
    const float em = font.EmForCell(26.f);
    const float digit = font.Measure("0", em);
    const float xScale = digit > 0 ? 8.f / digit : 1.f;
    font.Draw(m, float(x), float(y) + font.Ascender(em), s, em, xScale);
    for (int yy = 0; yy < img.height; ++yy)
        for (int xx = 0; xx < img.width; ++xx) {
            const float a = std::min(1.f, m.At(xx, yy));
            if (a <= 0) continue;
            uint32_t& p = img.pixels[size_t(yy) * size_t(img.width) + size_t(xx)];
            const Color o = Rgb(int(p >> 16 & 255), int(p >> 8 & 255), int(p & 255));
            const Color n = Mix(o, col, a);
            p = uint32_t(std::lround(n.r)) << 16 | uint32_t(std::lround(n.g)) << 8 |
                uint32_t(std::lround(n.b));
        }
}

Image Compose(const std::vector<Image>& s, const Font& font, const View& v) {
    enum { B00, B01, B02, B03, B04, B05, B06, B07, B08, B09, B10, B11, B99 };
    const int k = v.k;
    Image cv = s[B99];
    Copy(cv, s[B00], 0, 0, s[B00].width, s[B00].height, 0, 0);
    if (v.hover == 13) Copy(cv, s[B04], 0, v.dragging ? 40 : 20, 30, 20, 628, 10);
    if (v.hover == 14) Copy(cv, s[B04], 30, 20, 30, 20, 665, 10);
    if (v.hover == 15) Copy(cv, s[B04], 60, v.closePressed ? 40 : 20, 30, 20, 700, 10);
    if (v.family >= 0 && !v.thru) Copy(cv, s[B01], 210 * k, 40 * v.family, 210, 40, 300, 10);
    Copy(cv, s[B09], v.inOpen && v.inLamp ? 44 : 0, 54 * k, 44, 27, 25, 77);
    Copy(cv, s[B09], v.outOpen && v.outLamp ? 44 : 0, 54 * k + 27, 44, 27, 25, 103);
    const Color tc = kScheme[k];
    if (v.inOpen) RuntimeText(cv, font, v.inName, 70, 76, tc);
    if (v.outOpen) RuntimeText(cv, font, v.outName, 70, 103, tc);
    if (!v.thru) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "%2d", v.keyShift);
        RuntimeText(cv, font, buf, 646, 49, tc);
    }
    if (v.drop)
        Copy(cv, s[B02], 0, 330, 104, 66, 334, 70);
    else if (v.thru)
        Copy(cv, s[B02], 0, 66 * (k + 1), 104, 66, 334, 70);
    if (v.keyDown) Copy(cv, s[B10], 0, 24 * (k + 1), 20, 24, 676, 50);
    if (v.keyUp) Copy(cv, s[B10], 21, 24 * (k + 1), 20, 24, 697, 50);
    if (v.freqDown) Copy(cv, s[B06], 0, 40 * (k + 1), 34, 40, 593, 92);
    if (v.freqUp) Copy(cv, s[B06], 35, 40 * (k + 1), 34, 40, 628, 92);
    if (v.tune) Copy(cv, s[B03], 0, 40 * (k + 1), 80, 40, 663, 92);
    if (v.panic) Copy(cv, s[B08], 0, 21 * (k + 1), 60, 21, 550, 10);
    if (v.refTone == 1) Copy(cv, s[B11], 0, 20 * (k + 1), 16, 20, 546, 58);
    if (v.refTone == 2) Copy(cv, s[B11], 16, 20 * (k + 1), 16, 20, 565, 58);
    const int f = v.freq, by = 42 * k + 2;
    Copy(cv, s[B07], 21 * (f % 10), by, 21, 38, 568, 94);
    Copy(cv, s[B07], 210, by, 12, 38, 550, 94);
    Copy(cv, s[B07], 21 * ((f / 10) % 10), by, 21, 38, 528, 94);
    Copy(cv, s[B07], 21 * ((f / 100) % 10), by, 21, 38, 504, 94);
    Copy(cv, s[B07], 21 * ((f / 1000) % 10), by, 21, 38, 480, 94);
    cv.width = s[B00].width;
    cv.height = s[B00].height;
    cv.pixels.resize(size_t(cv.width) * size_t(cv.height));
    return cv;
}

int Preview(const std::string& fontsDir, const std::string& bitmapDir, const std::string& outDir,
            const std::string& runtimeFont) {
    static const char* kFiles[13] = {"00", "01", "02", "03", "04", "05", "06",
                                     "07", "08", "09", "10", "11", "99"};
    std::vector<Image> skinFiles(13);
    for (int i = 0; i < 13; ++i)
        if (!kvn::bmp::Load(bitmapDir + "/" + kFiles[i] + ".bmp", skinFiles[size_t(i)])) {
            std::fprintf(stderr, "cannot load %s.bmp\n", kFiles[i]);
            return 1;
        }
    Font font;
    if (!font.Load(runtimeFont.empty() ? "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc" : runtimeFont) &&
        !font.Load(fontsDir + "/DejaVuSans.ttf")) {
        std::fprintf(stderr, "no font for the preview text\n");
        return 1;
    }
    struct Shot {
        const char* name;
        View v;
    };
    std::vector<Shot> shots;
    {
        View v;
        v.inOpen = v.outOpen = false;
        v.k = 0;
        shots.push_back({"rest", v});
    }
    for (int k = 0; k < 4; ++k) {
        View v;
        v.k = k;
        v.freq = k == 0 ? 4350 : k == 1 ? 4400 : k == 2 ? 4455 : 4415;
        v.keyShift = k == 0 ? -7 : k == 1 ? 0 : k == 2 ? 7 : -2;
        v.family = k == 3 ? -1 : k;
        v.inLamp = k % 2 == 0;
        v.outLamp = k != 1;
        static const char* names[4] = {"colour0", "colour1", "colour2", "colour3"};
        shots.push_back({names[k], v});
    }
    for (int k = 0; k < 4; ++k) {
        View v;
        v.k = k;
        v.freq = 4455;
        v.keyShift = 3;
        v.family = 1;
        v.inLamp = v.outLamp = true;
        v.keyDown = v.keyUp = v.freqDown = v.freqUp = v.tune = v.panic = true;
        v.refTone = 1 + (k % 2);
        v.hover = 15;
        static const char* names[4] = {"alllit0", "alllit1", "alllit2", "alllit3"};
        shots.push_back({names[k], v});
    }
    {
        View v;
        v.k = 3;
        v.thru = true;
        v.family = 2;
        v.hover = 13;
        shots.push_back({"thru", v});
        v.drop = true;
        v.hover = 14;
        v.k = 2;
        shots.push_back({"drop", v});
        v.drop = false;
        v.thru = false;
        v.family = 2;
        v.hover = 13;
        v.dragging = true;
        v.freq = 4350;
        v.k = 1;
        shots.push_back({"held", v});
    }
    std::string montage;
    for (const Shot& shot : shots) {
        const Image img = Compose(skinFiles, font, shot.v);
        const std::string bmp = outDir + "/" + shot.name + ".bmp", png = outDir + "/" + shot.name + ".png";
        if (!kvn::bmp::Save(bmp, img)) return 1;
        const std::string cmd = "/usr/bin/convert '" + bmp + "' '" + png + "'";
        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "convert failed for %s\n", png.c_str());
        std::remove(bmp.c_str());
        montage += " '" + png + "'";
    }
    // The hit map, scaled up over a dimmed background, to check it lines up with the artwork.
    {
        Image img = skinFiles[0];
        const Image& hit = skinFiles[5];
        for (size_t i = 0; i < img.pixels.size(); ++i) {
            const uint32_t r = hit.pixels[i] >> 16 & 255;
            uint32_t p = img.pixels[i];
            const uint32_t g = ((p >> 16 & 255) + (p >> 8 & 255) + (p & 255)) / 6;
            img.pixels[i] = r ? (r << 16 | (g / 2) << 8 | (255 - r)) : (g << 16 | g << 8 | g);
        }
        const std::string bmp = outDir + "/hitmap.bmp";
        if (kvn::bmp::Save(bmp, img)) {
            const std::string cmd = "/usr/bin/convert '" + bmp + "' '" + outDir + "/hitmap.png'";
            if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "convert failed for the hit map\n");
            std::remove(bmp.c_str());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::string(argv[1]) == "--preview")
        return Preview(argv[2], argv[3], argv[4], argc >= 6 ? argv[5] : "");
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: %s <fonts dir> <Bitmap dir> <icons dir>\n"
                     "       %s --preview <fonts dir> <Bitmap dir> <png dir> [runtime font]\n",
                     argv[0], argv[0]);
        return 2;
    }
    Fonts fonts;
    if (!LoadFonts(argv[1], fonts)) return 1;
    const bool ok = WriteSkin(fonts, argv[2]) && WriteIcons(argv[3]);
    return ok ? 0 : 1;
}
