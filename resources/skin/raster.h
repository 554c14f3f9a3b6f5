// A tiny deterministic software rasteriser for the skin generator: coverage masks built
// from signed distance functions and FreeType glyphs, painted onto a float RGB canvas.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/bmp.h"

namespace skin {

struct Color {
    float r = 0, g = 0, b = 0;
};
inline Color Rgb(int r, int g, int b) { return Color{float(r), float(g), float(b)}; }
Color Mix(Color a, Color b, float t);  // a at t = 0, b at t = 1
Color Scale(Color a, float s);
Color Add(Color a, Color b);

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    bool Contains(int px, int py) const { return px >= x && py >= y && px < x + w && py < y + h; }
};

// A shape as a signed distance (negative inside, in pixels) and the box it lies in.
struct Sdf {
    std::function<float(float x, float y)> d;
    float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
    float operator()(float x, float y) const { return d(x, y); }
};
Sdf RoundRect(float x, float y, float w, float h, float r);
Sdf Circle(float cx, float cy, float r);
Sdf Capsule(float ax, float ay, float bx, float by, float r);
Sdf Polygon(std::vector<float> xy);  // convex, any winding
Sdf Union(Sdf a, Sdf b);
Sdf Subtract(Sdf a, Sdf b);
Sdf Inset(Sdf a, float by);  // grows (negative) or shrinks (positive) the shape

// Coverage in 0..1 per pixel.
class Mask {
public:
    Mask(int w, int h) : w_(w), h_(h), a_(size_t(w) * size_t(h), 0.f) {}
    int W() const { return w_; }
    int H() const { return h_; }
    float At(int x, int y) const { return a_[size_t(y) * size_t(w_) + size_t(x)]; }
    float& At(int x, int y) { return a_[size_t(y) * size_t(w_) + size_t(x)]; }
    float Get(int x, int y) const { return x < 0 || y < 0 || x >= w_ || y >= h_ ? 0.f : At(x, y); }

    // Adds a shape (union by maximum) with one pixel of anti-aliasing.
    void Fill(const Sdf& sdf, float alpha = 1.f);
    void Clear() { std::fill(a_.begin(), a_.end(), 0.f); }
    Mask Blurred(float sigma) const { return Blurred(sigma, Rect{0, 0, w_, h_}); }
    Mask Blurred(float sigma, const Rect& region) const;  // zero outside region
    void Multiply(const Mask& other);
    void Scale(float s);
    void ClipTo(const Rect& r);  // zero outside r

private:
    int w_, h_;
    std::vector<float> a_;
};

class Canvas {
public:
    Canvas(int w, int h, Color fill = {});
    int W() const { return w_; }
    int H() const { return h_; }
    Color& At(int x, int y) { return px_[size_t(y) * size_t(w_) + size_t(x)]; }
    const Color& At(int x, int y) const { return px_[size_t(y) * size_t(w_) + size_t(x)]; }

    // Paints through a mask: over (covering) or light (adding).
    void Paint(const Mask& m, Color c, float alpha = 1.f);
    void Paint(const Mask& m, const std::function<Color(int x, int y)>& shader, float alpha = 1.f);
    void Light(const Mask& m, Color c, float strength);
    void Shade(const std::function<Color(int x, int y, Color old)>& f, const Rect& r);

    kvn::bmp::Image ToImage() const;
    kvn::bmp::Image Crop(const Rect& r) const;

private:
    int w_, h_;
    std::vector<Color> px_;
};

// Text through FreeType; glyphs land in a mask so that they can be painted, lit or blurred.
class Font {
public:
    Font() = default;
    ~Font();
    Font(const Font&) = delete;
    Font& operator=(const Font&) = delete;
    bool Load(const std::string& path, int faceIndex = 0);
    // Pixel height of the em; xScale narrows or widens; tracking adds pixels between glyphs.
    float Measure(const std::string& text, float size, float xScale = 1.f, float tracking = 0.f) const;
    // Top of the cell (ascender) for a given em size, from the baseline, in pixels.
    float Ascender(float size) const;
    // Em size whose ascender-to-descender cell is `cell` pixels high (how GDI reads a font height).
    float EmForCell(float cell) const;
    float Draw(Mask& m, float x, float baseline, const std::string& text, float size, float xScale = 1.f,
               float tracking = 0.f, float alpha = 1.f, float oblique = 0.f) const;

private:
    bool SetSize(float size, float xScale) const;
    void* lib_ = nullptr;
    void* face_ = nullptr;
};

// Deterministic pseudo-random numbers (xorshift), identical on every platform.
class Random {
public:
    explicit Random(uint32_t seed) : s_(seed ? seed : 1u) {}
    uint32_t Next() {
        s_ ^= s_ << 13;
        s_ ^= s_ >> 17;
        s_ ^= s_ << 5;
        return s_;
    }
    float Unit() { return float(Next() >> 8) / float(1u << 24); }  // 0..1
    float Signed() { return Unit() * 2.f - 1.f; }

private:
    uint32_t s_;
};

}  // namespace skin
