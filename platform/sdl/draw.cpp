// Drawing surfaces, block copies, pixel reads, the panel font and presenting to the window.
// Every surface is converted to one 32-bit format when loaded, so a block copy is a plain copy.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/sdl/sdl_internal.h"

struct plat::Surface {
    SDL_Surface* s = nullptr;
    plat::HFont font = nullptr;
    uint32_t textColor = 0;
    uint32_t backColor = plat::kClrInvalid;
};

struct plat::Font {
    TTF_Font* ttf = nullptr;  // null: no face installed, text is not drawn
    double scaleX = 1.0;      // the requested average character width over the face's own
};

namespace {

constexpr Uint32 kFormat = SDL_PIXELFORMAT_RGB888;  // 0x00RRGGBB in a 32-bit word

uint32_t* Row(SDL_Surface* s, int32_t y) {
    return reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(s->pixels) + int64_t(y) * s->pitch);
}

// Averages the source coverage over each destination pixel's span: a horizontal resampling that
// keeps thin strokes visible when the text is narrowed.
void ResampleRow(const uint8_t* src, int32_t srcW, double scale, std::vector<float>& out) {
    const auto dstW = static_cast<int32_t>(out.size());
    const double step = 1.0 / scale;  // source pixels per destination pixel
    for (int32_t c = 0; c < dstW; ++c) {
        const double a = c * step, b = std::min<double>((c + 1) * step, srcW);
        double sum = 0;
        for (auto i = static_cast<int32_t>(a); i < b && i < srcW; ++i) {
            const double lo = std::max<double>(a, i), hi = std::min<double>(b, i + 1);
            if (hi > lo) sum += src[i] * (hi - lo);
        }
        out[size_t(c)] = b > a ? static_cast<float>(sum / (b - a) / 255.0) : 0.f;
    }
}

uint32_t ToPixel(uint32_t colorref) {
    return (colorref & 0xFF) << 16 | (colorref & 0xFF00) | ((colorref >> 16) & 0xFF);
}

uint32_t Blend(uint32_t dst, uint32_t src, float a) {
    const auto mix = [a](uint32_t d, uint32_t s) {
        return static_cast<uint32_t>(std::lround(float(d) + (float(s) - float(d)) * a));
    };
    return mix((dst >> 16) & 0xFF, (src >> 16) & 0xFF) << 16 |
           mix((dst >> 8) & 0xFF, (src >> 8) & 0xFF) << 8 | mix(dst & 0xFF, src & 0xFF);
}

double AverageLetterWidth(TTF_Font* ttf) {
    int sum = 0, n = 0;
    for (Uint32 c : {'a', 'A'}) {
        for (Uint32 k = 0; k < 26; ++k) {
            int advance = 0;
            if (TTF_GlyphMetrics32(ttf, c + k, nullptr, nullptr, nullptr, nullptr, &advance) == 0) {
                sum += advance;
                ++n;
            }
        }
    }
    return n > 0 ? double(sum) / n : 0.0;
}

}  // namespace

namespace sdlplat::internal {

bool EnsureTtf() {
    static bool ok = TTF_Init() == 0;
    return ok;
}

TTF_Font* OpenCellFont(const FontFace& face, int32_t cellHeight) {
    if (face.path.empty() || cellHeight <= 0 || !EnsureTtf()) return nullptr;
    TTF_Font* ttf = TTF_OpenFontIndex(face.path.c_str(), cellHeight, face.index);
    if (ttf == nullptr) return nullptr;
    for (int pt = cellHeight; pt > 1 && TTF_FontHeight(ttf) > cellHeight; --pt) TTF_SetFontSize(ttf, pt - 1);
    return ttf;
}

void ShutdownText() {
    if (TTF_WasInit()) TTF_Quit();
}

}  // namespace sdlplat::internal

namespace plat {

HSurface LoadBitmapSurface(const std::string& path) {
    SDL_Surface* raw = SDL_LoadBMP(path.c_str());
    if (raw == nullptr) return nullptr;
    SDL_Surface* s = SDL_ConvertSurfaceFormat(raw, kFormat, 0);
    SDL_FreeSurface(raw);
    if (s == nullptr) return nullptr;
    SDL_SetSurfaceBlendMode(s, SDL_BLENDMODE_NONE);
    auto* surface = new Surface;
    surface->s = s;
    return surface;
}

void FreeSurface(HSurface s) {
    if (s == nullptr) return;
    SDL_FreeSurface(s->s);
    delete s;
}

int32_t SurfaceWidth(HSurface s) { return s ? s->s->w : 0; }
int32_t SurfaceHeight(HSurface s) { return s ? s->s->h : 0; }

void BitBlt(HSurface dst, int32_t x, int32_t y, int32_t w, int32_t h, HSurface src, int32_t sx, int32_t sy) {
    if (dst == nullptr || src == nullptr || w <= 0 || h <= 0) return;
    // Clipped here against both surfaces, in 64 bits so that no argument can overflow.
    int64_t X = x, Y = y, W = w, H = h, SX = sx, SY = sy;
    const int64_t srcW = src->s->w, srcH = src->s->h, dstW = dst->s->w, dstH = dst->s->h;
    if (SX < 0) {
        X -= SX;
        W += SX;
        SX = 0;
    }
    if (SY < 0) {
        Y -= SY;
        H += SY;
        SY = 0;
    }
    W = std::min(W, srcW - SX);
    H = std::min(H, srcH - SY);
    if (X < 0) {
        SX -= X;
        W += X;
        X = 0;
    }
    if (Y < 0) {
        SY -= Y;
        H += Y;
        Y = 0;
    }
    W = std::min(W, dstW - X);
    H = std::min(H, dstH - Y);
    if (W <= 0 || H <= 0) return;
    if (dst == src) {
        // Overlapping rows of one surface: copy in the order that reads each row before it is written.
        const size_t bytes = size_t(W) * 4;
        if (Y > SY) {
            for (int64_t r = H - 1; r >= 0; --r)
                std::memmove(Row(dst->s, int32_t(Y + r)) + X, Row(src->s, int32_t(SY + r)) + SX, bytes);
        } else {
            for (int64_t r = 0; r < H; ++r)
                std::memmove(Row(dst->s, int32_t(Y + r)) + X, Row(src->s, int32_t(SY + r)) + SX, bytes);
        }
        return;
    }
    SDL_Rect from{int(SX), int(SY), int(W), int(H)};
    SDL_Rect to{int(X), int(Y), int(W), int(H)};
    SDL_LowerBlit(src->s, &from, dst->s, &to);  // blending off: a straight copy
}

uint32_t GetPixel(HSurface s, int32_t x, int32_t y) {
    if (s == nullptr || x < 0 || y < 0 || x >= s->s->w || y >= s->s->h) return kClrInvalid;
    const uint32_t p = Row(s->s, y)[x];
    return Rgb(uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p));
}

HFont CreatePanelFont(const char* face, int32_t height, int32_t width) {
    auto* font = new Font;
    const sdlplat::internal::FontFace found = sdlplat::internal::FindFace(face);
    // A negative height is the character height without the internal leading, as in GDI.
    const int32_t cell = height > 0 ? height : (height < 0 ? (-height * 5 + 3) / 4 : 16);
    font->ttf = sdlplat::internal::OpenCellFont(found, cell);
    if (font->ttf != nullptr && width > 0) {
        const double average = AverageLetterWidth(font->ttf);
        if (average > 0) font->scaleX = width / average;
    }
    return font;
}

void FreeFont(HFont font) {
    if (font == nullptr) return;
    if (font->ttf != nullptr && TTF_WasInit()) TTF_CloseFont(font->ttf);
    delete font;
}

void SelectTextStyle(HSurface s, HFont font, uint32_t textColor, uint32_t backColor) {
    if (s == nullptr) return;
    s->font = font;
    s->textColor = textColor;
    s->backColor = backColor;
}

void DrawTextAt(HSurface s, int32_t x, int32_t y, const char* text) {
    if (s == nullptr || s->font == nullptr || s->font->ttf == nullptr || text == nullptr || *text == '\0')
        return;
    SDL_Surface* glyphs = TTF_RenderUTF8_Blended(s->font->ttf, text, SDL_Color{255, 255, 255, 255});
    if (glyphs == nullptr) return;
    SDL_Surface* argb = SDL_ConvertSurfaceFormat(glyphs, SDL_PIXELFORMAT_ARGB8888, 0);
    SDL_FreeSurface(glyphs);
    if (argb == nullptr) return;
    const double scale = s->font->scaleX;
    const auto outW = static_cast<int32_t>(std::lround(argb->w * scale));
    const int32_t outH = argb->h;
    const uint32_t ink = ToPixel(s->textColor);
    const bool opaque = s->backColor != kClrInvalid;
    const uint32_t paper = ToPixel(s->backColor);
    std::vector<uint8_t> alpha(size_t(argb->w));
    std::vector<float> coverage(size_t(std::max(outW, 0)));
    for (int32_t r = 0; r < outH; ++r) {
        const int32_t dy = y + r;
        if (dy < 0 || dy >= s->s->h) continue;
        const uint32_t* in = Row(argb, r);
        for (int32_t c = 0; c < argb->w; ++c) alpha[size_t(c)] = uint8_t(in[c] >> 24);
        ResampleRow(alpha.data(), argb->w, scale, coverage);
        uint32_t* out = Row(s->s, dy);
        for (int32_t c = 0; c < outW; ++c) {
            const int32_t dx = x + c;
            if (dx < 0 || dx >= s->s->w) continue;
            const uint32_t under = opaque ? paper : out[dx];
            out[dx] = Blend(under, ink, coverage[size_t(c)]);
        }
    }
    SDL_FreeSurface(argb);
}

void Present(HWnd view, HSurface canvas, int32_t w, int32_t h) {
    if (view == nullptr || view->destroyed || view->sdl == nullptr || canvas == nullptr) return;
    SDL_Surface* screen = SDL_GetWindowSurface(view->sdl);
    if (screen == nullptr) return;
    w = std::min({w, canvas->s->w, screen->w});
    h = std::min({h, canvas->s->h, screen->h});
    if (w <= 0 || h <= 0) return;
    SDL_Rect r{0, 0, w, h};
    SDL_LowerBlit(canvas->s, &r, screen, &r);
    SDL_UpdateWindowSurfaceRects(view->sdl, &r, 1);
}

}  // namespace plat
