// The skin folder is the user's to replace: the panel must load any bytes as one of its thirteen
// files and, when they decode, draw itself with them. The view is created on the simulated
// platform with the input as one skin file (the others are small stand-ins made from the shipped
// skin), then draws one panel state picked by the input. Checked: a file that does not decode
// gives the missing-skin message and leaves nothing allocated; a file that does is drawn with the
// size it has; every copy lands only inside the canvas and takes only pixels of its source (the
// composed canvas equals an independent clipped replay of the logged copies); the window shows the
// canvas; hit testing over the hit map yields a region or none.
//
// Input: [file index] [state] [state] [state] then the bitmap bytes.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "engine/state.h"
#include "panel/view.h"
#include "platform/bmp.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_window.h"
#include "shell/globals.h"

namespace {

namespace fs = std::filesystem;

constexpr size_t kHeader = 4;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "skin_fuzz: %s\n", what);
    std::abort();
}

// The shipped skin: next to this file's folder, unless KVN_SKIN_DIR says otherwise.
fs::path ShippedSkin() {
    if (const char* dir = std::getenv("KVN_SKIN_DIR")) return dir;
    return fs::path(__FILE__).parent_path().parent_path() / "resources" / "Bitmap";
}

// Each shipped file shrunk to a sixteenth of its sides (nearest pixel): every load decodes all
// thirteen, and the full-size skin would make each run take milliseconds. The hit map keeps its
// region colours this way.
struct World {
    fs::path dir;                               // the program's current directory
    std::vector<std::vector<uint8_t>> standIn;  // encoded stand-in per skin file
    std::vector<kvn::bmp::Image> standInImage;
};

World& Setup() {
    static World* world = [] {
        auto* w = new World;
        w->dir = fs::path(fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path()) /
                 ("kvn_skin_fuzz_" + std::to_string(getpid()));
        fs::create_directories(w->dir / "Bitmap");
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(Setup().dir, ec);
        });
        for (int i = 0; i < SKIN_COUNT; ++i) {
            kvn::bmp::Image full;
            if (!kvn::bmp::Load((ShippedSkin() / kSkinFiles[i]).string(), full))
                Fail("the shipped skin was not found (set KVN_SKIN_DIR)");
            kvn::bmp::Image small;
            constexpr int32_t kShrink = 16;
            small.width = full.width / kShrink > 0 ? full.width / kShrink : 1;
            small.height = full.height / kShrink > 0 ? full.height / kShrink : 1;
            for (int32_t y = 0; y < small.height; ++y)
                for (int32_t x = 0; x < small.width; ++x)
                    small.pixels.push_back(
                        full.pixels[size_t(y * kShrink) * size_t(full.width) + size_t(x * kShrink)]);
            w->standIn.push_back(kvn::bmp::Encode24(small));
            w->standInImage.push_back(small);
            if (!kvn::bmp::WriteFile((w->dir / "Bitmap" / kSkinFiles[i]).string(), w->standIn.back()))
                Fail("cannot write the stand-in skin");
        }
        return w;
    }();
    return *world;
}

void WriteSkinFile(int index, const uint8_t* data, size_t size) {
    const std::vector<uint8_t> bytes(data, data + size);
    if (!kvn::bmp::WriteFile((Setup().dir / "Bitmap" / kSkinFiles[index]).string(), bytes))
        Fail("cannot write the skin file");
}

// One panel state from three bytes: colour, indicators, lamps, ports, hover, tone, key and pitch.
void SetPanelState(uint8_t a, uint8_t b, uint8_t c) {
    g_PanelColor = a & 3;
    g_SysExFamily = ((a >> 2) & 3) - 1;
    g_ThruConnect = (a >> 4) & 1;
    g_RefTone = ((a >> 5) & 3) % 3;
    g_IconBlink = (a >> 7) & 1;
    Atomic32* const lamps[] = {&g_LampDrop,   &g_LampKeyDown,    &g_LampKeyUp, &g_LampFreqDown,
                               &g_LampFreqUp, &g_LampMasterTune, &g_LampPanic, &g_LampIn};
    for (int i = 0; i < 8; ++i) *lamps[i] = (b >> i) & 1 ? 1 + i : kLampIdle;
    g_LampOut = (c & 1) ? 3 : kLampIdle;
    g_MidiInDevice = (c & 2) ? 0 : -1;
    g_MidiOutDevice = (c & 4) ? 0 : -1;
    g_MidiInDeviceName = "Keyboard";
    g_MidiOutDeviceName = kMapperName;
    const int32_t hovers[] = {HIT_NONE, HIT_MOVE, HIT_MINIMIZE, HIT_CLOSE};
    g_HoverRegion = hovers[(c >> 3) & 3];
    g_DragState = (c >> 5) & 1 ? DRAG_DRAGGING : DRAG_IDLE;
    g_ClosePressed = (c >> 6) & 1;
    g_KeyShift = int32_t(c % 15) - 7;
    g_Frequency = 4350 + 5 * int32_t((a ^ b ^ c) % 22);
    g_BlinkPhase = (c >> 7) & 1 ? 5 : kLampIdle;
}

// What the canvas must hold after the logged copies: each copy clipped to both bitmaps.
void Replay(const CKVNView& view, kvn::bmp::Image& canvas) {
    for (const sim::DrawOp& op : sim::DrawLog()) {
        if (op.kind != sim::DrawKind::Blt) continue;
        if (op.dst != kSkinFiles[SKIN_CANVAS]) Fail("a copy went somewhere else than the canvas");
        const kvn::bmp::Image* src = nullptr;
        for (int i = 0; i < SKIN_COUNT; ++i)
            if (op.src == kSkinFiles[i])
                src = (i == SKIN_CANVAS) ? &canvas : &sim::Pixels(view.Skin(i).surface);
        if (src == nullptr) Fail("a copy from an unknown bitmap");
        // The rows and columns of the block that lie inside both bitmaps.
        const int64_t row0 = std::max({int64_t{0}, -int64_t(op.sy), -int64_t(op.y)});
        const int64_t row1 =
            std::min({int64_t(op.h), int64_t(src->height) - op.sy, int64_t(canvas.height) - op.y});
        const int64_t col0 = std::max({int64_t{0}, -int64_t(op.sx), -int64_t(op.x)});
        const int64_t col1 =
            std::min({int64_t(op.w), int64_t(src->width) - op.sx, int64_t(canvas.width) - op.x});
        for (int64_t row = row0; row < row1; ++row)
            for (int64_t col = col0; col < col1; ++col)
                canvas.pixels[size_t((op.y + row) * canvas.width + op.x + col)] =
                    src->pixels[size_t((op.sy + row) * src->width + op.sx + col)];
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = Setup();
    if (size < kHeader) return 0;
    const int index = data[0] % SKIN_COUNT;
    const uint8_t* bmp = data + kHeader;
    const size_t bmpSize = size - kHeader;

    sim::Reset();
    ResetProcessState();
    sim::SetCurrentDir(world.dir.string());
    SetPanelState(data[1], data[2], data[3]);
    WriteSkinFile(index, bmp, bmpSize);

    kvn::bmp::Image decoded;
    const bool decodes = kvn::bmp::Decode(bmp, bmpSize, decoded);
    {
        CKVNView view;
        const bool created = view.Create(nullptr);
        if (created != decodes) Fail("the view's creation disagrees with the decoder");
        if (!created) {
            const std::string text = std::string(kSkinFiles[index]) +
                                     " file is not found.\nPlease defrost a KVN_xxx.zip file once again.";
            if (sim::Boxes().size() != 1 || sim::Boxes()[0].text != text || sim::Boxes()[0].caption != "KVN")
                Fail("a skin file that does not load must be reported once");
            if (sim::SurfacesAlive() != 0 || sim::FontsAlive() != 0)
                Fail("a refused skin leaves bitmaps behind");
        } else {
            for (int i = 0; i < SKIN_COUNT; ++i) {
                const kvn::bmp::Image& want = i == index ? decoded : world.standInImage[size_t(i)];
                if (view.Skin(i).width != want.width || view.Skin(i).height != want.height)
                    Fail("a skin bitmap has the wrong size");
            }
            kvn::bmp::Image expected = sim::Pixels(view.Skin(SKIN_CANVAS).surface);
            sim::ClearDrawLog();
            view.OnDraw();
            Replay(view, expected);
            if (sim::Pixels(view.Skin(SKIN_CANVAS).surface).pixels != expected.pixels)
                Fail("the canvas holds pixels no clipped copy put there");

            // The window shows the canvas's top-left, the background's size; black beyond it.
            const kvn::bmp::Image& screen = sim::Screen();
            const SkinBitmap& bg = view.Skin(SKIN_BACKGROUND);
            if (screen.width != bg.width || screen.height != bg.height)
                Fail("the window shows the wrong size");
            for (int32_t y = 0; y < screen.height; ++y)
                for (int32_t x = 0; x < screen.width; ++x) {
                    const bool inside = x < expected.width && y < expected.height;
                    const uint32_t want =
                        inside ? expected.pixels[size_t(y) * size_t(expected.width) + size_t(x)] : 0;
                    if (screen.pixels[size_t(y) * size_t(screen.width) + size_t(x)] != want)
                        Fail("the window does not show the canvas");
                }

            const SkinBitmap& map = view.Skin(SKIN_HIT_MAP);
            const plat::Point probes[] = {
                {0, 0},
                {map.width - 1, map.height - 1},
                {map.width, 0},
                {-1, 5},
                {int16_t(data[1] | (data[2] << 8)), int16_t(data[3] | (data[1] << 8))}};
            for (const plat::Point& p : probes) {
                const int32_t hit = view.HitTest(p.x, p.y);
                if (hit != HIT_NONE && (hit < HIT_INPUT_PORT || hit > HIT_TONE_LOUD))
                    Fail("a region that does not exist");
            }
            view.OnDestroy();
            if (sim::SurfacesAlive() != 0 || sim::FontsAlive() != 0) Fail("the skin outlives the view");
        }
    }
    WriteSkinFile(index, world.standIn[size_t(index)].data(), world.standIn[size_t(index)].size());
    return 0;
}
