#include "resources/skin/raster.h"

#include <ft2build.h>

#include <algorithm>
#include <cmath>
#include FT_FREETYPE_H

namespace skin {

Color Mix(Color a, Color b, float t) {
    return Color{a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}
Color Scale(Color a, float s) { return Color{a.r * s, a.g * s, a.b * s}; }
Color Add(Color a, Color b) { return Color{a.r + b.r, a.g + b.g, a.b + b.b}; }

// ---- Shapes ------------------------------------------------------------------------------

Sdf RoundRect(float x, float y, float w, float h, float r) {
    const float cx = x + w / 2, cy = y + h / 2, hw = w / 2, hh = h / 2;
    return Sdf{[=](float px, float py) {
                   const float qx = std::fabs(px - cx) - (hw - r);
                   const float qy = std::fabs(py - cy) - (hh - r);
                   const float ox = std::max(qx, 0.f), oy = std::max(qy, 0.f);
                   return std::sqrt(ox * ox + oy * oy) + std::min(std::max(qx, qy), 0.f) - r;
               },
               x - 1, y - 1, x + w + 1, y + h + 1};
}

Sdf Circle(float cx, float cy, float r) {
    return Sdf{[=](float px, float py) { return std::hypot(px - cx, py - cy) - r; }, cx - r - 1, cy - r - 1,
               cx + r + 1, cy + r + 1};
}

Sdf Capsule(float ax, float ay, float bx, float by, float r) {
    return Sdf{[=](float px, float py) {
                   const float dx = bx - ax, dy = by - ay;
                   const float len2 = dx * dx + dy * dy;
                   float t = len2 > 0 ? ((px - ax) * dx + (py - ay) * dy) / len2 : 0.f;
                   t = std::clamp(t, 0.f, 1.f);
                   return std::hypot(px - (ax + t * dx), py - (ay + t * dy)) - r;
               },
               std::min(ax, bx) - r - 1, std::min(ay, by) - r - 1, std::max(ax, bx) + r + 1,
               std::max(ay, by) + r + 1};
}

Sdf Polygon(std::vector<float> xy) {
    // Orient counter-clockwise in screen space so that every edge's outward normal points out.
    const size_t n = xy.size() / 2;
    float area = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t j = (i + 1) % n;
        area += xy[2 * i] * xy[2 * j + 1] - xy[2 * j] * xy[2 * i + 1];
    }
    if (area < 0) {
        for (size_t i = 0; i < n / 2; ++i) {
            std::swap(xy[2 * i], xy[2 * (n - 1 - i)]);
            std::swap(xy[2 * i + 1], xy[2 * (n - 1 - i) + 1]);
        }
    }
    float x0 = 1e9f, y0 = 1e9f, x1 = -1e9f, y1 = -1e9f;
    for (size_t i = 0; i < n; ++i) {
        x0 = std::min(x0, xy[2 * i]);
        x1 = std::max(x1, xy[2 * i]);
        y0 = std::min(y0, xy[2 * i + 1]);
        y1 = std::max(y1, xy[2 * i + 1]);
    }
    return Sdf{[xy, n](float px, float py) {
                   // Exact distance to the boundary, signed by the half-plane tests.
                   float best = 1e9f;
                   bool inside = true;
                   for (size_t i = 0; i < n; ++i) {
                       const size_t j = (i + 1) % n;
                       const float ax = xy[2 * i], ay = xy[2 * i + 1], bx = xy[2 * j], by = xy[2 * j + 1];
                       const float ex = bx - ax, ey = by - ay;
                       const float len2 = ex * ex + ey * ey;
                       float t = len2 > 0 ? ((px - ax) * ex + (py - ay) * ey) / len2 : 0.f;
                       t = std::clamp(t, 0.f, 1.f);
                       best = std::min(best, std::hypot(px - (ax + t * ex), py - (ay + t * ey)));
                       if (ex * (py - ay) - ey * (px - ax) < 0) inside = false;
                   }
                   return inside ? -best : best;
               },
               x0 - 1, y0 - 1, x1 + 1, y1 + 1};
}

Sdf Union(Sdf a, Sdf b) {
    return Sdf{[a, b](float x, float y) { return std::min(a(x, y), b(x, y)); }, std::min(a.x0, b.x0),
               std::min(a.y0, b.y0), std::max(a.x1, b.x1), std::max(a.y1, b.y1)};
}

Sdf Subtract(Sdf a, Sdf b) {
    return Sdf{[a, b](float x, float y) { return std::max(a(x, y), -b(x, y)); }, a.x0, a.y0, a.x1, a.y1};
}

Sdf Inset(Sdf a, float by) {
    return Sdf{[a, by](float x, float y) { return a(x, y) + by; }, a.x0 + std::min(by, 0.f),
               a.y0 + std::min(by, 0.f), a.x1 - std::min(by, 0.f), a.y1 - std::min(by, 0.f)};
}

// ---- Mask --------------------------------------------------------------------------------

void Mask::Fill(const Sdf& sdf, float alpha) {
    const int xa = std::max(0, int(std::floor(sdf.x0))), ya = std::max(0, int(std::floor(sdf.y0)));
    const int xb = std::min(w_, int(std::ceil(sdf.x1)) + 1), yb = std::min(h_, int(std::ceil(sdf.y1)) + 1);
    for (int y = ya; y < yb; ++y)
        for (int x = xa; x < xb; ++x) {
            const float cov = std::clamp(0.5f - sdf(float(x) + 0.5f, float(y) + 0.5f), 0.f, 1.f) * alpha;
            float& a = At(x, y);
            a = std::max(a, cov);
        }
}

Mask Mask::Blurred(float sigma, const Rect& region) const {
    const int r = std::max(1, int(std::ceil(sigma * 3)));
    std::vector<float> k(size_t(2 * r + 1));
    float sum = 0;
    for (int i = -r; i <= r; ++i) sum += k[size_t(i + r)] = std::exp(-float(i * i) / (2 * sigma * sigma));
    for (float& v : k) v /= sum;
    Mask tmp(w_, h_), out(w_, h_);
    const int xa = std::max(0, region.x), xb = std::min(w_, region.x + region.w);
    const int ya = std::max(0, region.y), yb = std::min(h_, region.y + region.h);
    for (int y = std::max(0, ya - r); y < std::min(h_, yb + r); ++y)
        for (int x = xa; x < xb; ++x) {
            float s = 0;
            for (int i = -r; i <= r; ++i) s += Get(x + i, y) * k[size_t(i + r)];
            tmp.At(x, y) = s;
        }
    for (int y = ya; y < yb; ++y)
        for (int x = xa; x < xb; ++x) {
            float s = 0;
            for (int i = -r; i <= r; ++i) s += tmp.Get(x, y + i) * k[size_t(i + r)];
            out.At(x, y) = s;
        }
    return out;
}

void Mask::Multiply(const Mask& other) {
    for (size_t i = 0; i < a_.size(); ++i) a_[i] *= other.a_[i];
}

void Mask::Scale(float s) {
    for (float& v : a_) v *= s;
}

void Mask::ClipTo(const Rect& r) {
    for (int y = 0; y < h_; ++y)
        for (int x = 0; x < w_; ++x)
            if (!r.Contains(x, y)) At(x, y) = 0;
}

// ---- Canvas ------------------------------------------------------------------------------

Canvas::Canvas(int w, int h, Color fill) : w_(w), h_(h), px_(size_t(w) * size_t(h), fill) {}

void Canvas::Paint(const Mask& m, Color c, float alpha) {
    for (int y = 0; y < h_; ++y)
        for (int x = 0; x < w_; ++x) {
            const float a = m.At(x, y) * alpha;
            if (a > 0) At(x, y) = Mix(At(x, y), c, std::min(a, 1.f));
        }
}

void Canvas::Paint(const Mask& m, const std::function<Color(int, int)>& shader, float alpha) {
    for (int y = 0; y < h_; ++y)
        for (int x = 0; x < w_; ++x) {
            const float a = m.At(x, y) * alpha;
            if (a > 0) At(x, y) = Mix(At(x, y), shader(x, y), std::min(a, 1.f));
        }
}

void Canvas::Light(const Mask& m, Color c, float strength) {
    for (int y = 0; y < h_; ++y)
        for (int x = 0; x < w_; ++x) {
            const float a = m.At(x, y) * strength;
            if (a > 0) At(x, y) = Add(At(x, y), Scale(c, a));
        }
}

void Canvas::Shade(const std::function<Color(int, int, Color)>& f, const Rect& r) {
    for (int y = std::max(0, r.y); y < std::min(h_, r.y + r.h); ++y)
        for (int x = std::max(0, r.x); x < std::min(w_, r.x + r.w); ++x) At(x, y) = f(x, y, At(x, y));
}

namespace {
uint32_t Quantise(const Color& c) {
    auto q = [](float v) { return uint32_t(std::clamp(int(std::lround(v)), 0, 255)); };
    return (q(c.r) << 16) | (q(c.g) << 8) | q(c.b);
}
}  // namespace

kvn::bmp::Image Canvas::ToImage() const { return Crop(Rect{0, 0, w_, h_}); }

kvn::bmp::Image Canvas::Crop(const Rect& r) const {
    kvn::bmp::Image img;
    img.width = r.w;
    img.height = r.h;
    img.pixels.resize(size_t(r.w) * size_t(r.h), 0);
    for (int y = 0; y < r.h; ++y)
        for (int x = 0; x < r.w; ++x) {
            const int sx = r.x + x, sy = r.y + y;
            if (sx >= 0 && sy >= 0 && sx < w_ && sy < h_)
                img.pixels[size_t(y) * size_t(r.w) + size_t(x)] = Quantise(At(sx, sy));
        }
    return img;
}

// ---- Font --------------------------------------------------------------------------------

namespace {
// Minimal UTF-8 reader; the labels are ASCII plus a few symbols.
std::vector<uint32_t> Codepoints(const std::string& s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        const uint8_t c = uint8_t(s[i]);
        int n = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        uint32_t cp = n == 0 ? c : n == 1 ? (c & 0x1F) : n == 2 ? (c & 0x0F) : (c & 0x07);
        ++i;
        for (; n > 0 && i < s.size(); --n, ++i) cp = (cp << 6) | (uint8_t(s[i]) & 0x3F);
        out.push_back(cp);
    }
    return out;
}
}  // namespace

Font::~Font() {
    if (face_) FT_Done_Face(FT_Face(face_));
    if (lib_) FT_Done_FreeType(FT_Library(lib_));
}

bool Font::Load(const std::string& path, int faceIndex) {
    FT_Library lib = nullptr;
    if (FT_Init_FreeType(&lib)) return false;
    lib_ = lib;
    FT_Face face = nullptr;
    if (FT_New_Face(lib, path.c_str(), faceIndex, &face)) return false;
    face_ = face;
    return true;
}

bool Font::SetSize(float size, float xScale) const {
    FT_Face face = FT_Face(face_);
    return FT_Set_Char_Size(face, FT_F26Dot6(std::lround(size * xScale * 64)),
                            FT_F26Dot6(std::lround(size * 64)), 72, 72) == 0;
}

float Font::Ascender(float size) const {
    FT_Face face = FT_Face(face_);
    return float(face->ascender) * size / float(face->units_per_EM);
}

float Font::EmForCell(float cell) const {
    FT_Face face = FT_Face(face_);
    const float span = float(face->ascender - face->descender);
    return span > 0 ? cell * float(face->units_per_EM) / span : cell;
}

float Font::Measure(const std::string& text, float size, float xScale, float tracking) const {
    Mask none(1, 1);
    return Draw(none, -1e6f, -1e6f, text, size, xScale, tracking, 0.f);
}

float Font::Draw(Mask& m, float x, float baseline, const std::string& text, float size, float xScale,
                 float tracking, float alpha, float oblique) const {
    FT_Face face = FT_Face(face_);
    if (!face || !SetSize(size, xScale)) return 0;
    FT_Matrix shear{0x10000, FT_Fixed(std::lround(oblique * 65536)), 0, 0x10000};
    FT_Set_Transform(face, &shear, nullptr);
    float pen = x;
    FT_UInt prev = 0;
    const std::vector<uint32_t> cps = Codepoints(text);
    for (size_t i = 0; i < cps.size(); ++i) {
        const FT_UInt gi = FT_Get_Char_Index(face, cps[i]);
        if (prev && gi && FT_HAS_KERNING(face)) {
            FT_Vector k;
            if (FT_Get_Kerning(face, prev, gi, FT_KERNING_UNFITTED, &k) == 0) pen += float(k.x) / 64.f;
        }
        if (FT_Load_Glyph(face, gi, FT_LOAD_TARGET_LIGHT) != 0) continue;
        if (alpha > 0) {
            // Place each glyph on a whole pixel so that stems stay crisp.
            const float ox = std::floor(pen + 0.5f);
            if (FT_Render_Glyph(face->glyph, FT_RENDER_MODE_LIGHT) == 0) {
                const FT_Bitmap& bm = face->glyph->bitmap;
                const int left = int(ox) + face->glyph->bitmap_left;
                const int top = int(std::floor(baseline + 0.5f)) - face->glyph->bitmap_top;
                for (unsigned r = 0; r < bm.rows; ++r)
                    for (unsigned c = 0; c < bm.width; ++c) {
                        const int px = left + int(c), py = top + int(r);
                        if (px < 0 || py < 0 || px >= m.W() || py >= m.H()) continue;
                        const float a = float(bm.buffer[int(r) * bm.pitch + int(c)]) / 255.f * alpha;
                        float& d = m.At(px, py);
                        d = std::max(d, a);
                    }
            }
        }
        pen += float(face->glyph->linearHoriAdvance) / 65536.f;
        if (i + 1 < cps.size()) pen += tracking;
        prev = gi;
    }
    return pen - x;
}

}  // namespace skin
