// The Windows adapter against real Win32 (Wine under Xvfb) and a scripted MIDI device (our
// stand-in winmm.dll beside this program). Waits are on events the callbacks set, with a
// generous timeout, never on the clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/bmp.h"
#include "platform/platform.h"
#include "platform/win32/win32_internal.h"
#include "platform/window.h"

namespace {

constexpr DWORD kPatience = 5000;  // ms; only reached when something is broken

// The stand-in driver's log, beside it in the working folder.
bool Logged(const std::string& what) {
    std::ifstream in("winmm-log.txt", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str().find(what) != std::string::npos;
}

const bool gFreshLog = DeleteFileA("winmm-log.txt");

// ---- MIDI -----------------------------------------------------------------------------------

struct Seen {
    const void* handle;
    uint32_t msg;
    uintptr_t instance, p1;
};

// Collects what the driver callbacks report and signals each arrival.
struct CallbackLog {
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::mutex mutex;
    std::vector<Seen> seen;
    ~CallbackLog() { CloseHandle(event); }
    void Add(Seen s) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(s);
        SetEvent(event);
    }
    // Waits until `handle` has reported `msg` (each comes once here); {} when it never does.
    Seen Wait(uint32_t msg, const void* handle) {
        do {
            std::lock_guard<std::mutex> lock(mutex);
            for (const Seen& s : seen) {
                if (s.msg == msg && s.handle == handle) return s;
            }
        } while (WaitForSingleObject(event, kPatience) == WAIT_OBJECT_0);
        return {};
    }
};

CallbackLog gLog;

template <typename Handle>
void Proc(Handle h, uint32_t msg, uintptr_t inst, uintptr_t p1, uintptr_t) {
    gLog.Add({h, msg, inst, p1});
}
constexpr auto OutProc = Proc<plat::HMidiOut>;
constexpr auto InProc = Proc<plat::HMidiIn>;

template <size_t N>
plat::MidiHdr Header(char (&data)[N]) {
    plat::MidiHdr h{};
    h.lpData = data;
    h.dwBufferLength = N;
    return h;
}

uintptr_t Addr(const void* p) { return reinterpret_cast<uintptr_t>(p); }

TEST(MidiTest, PortsCallBackWithTheirInstanceAndHeadersAndConnectionsReachTheDriver) {
    char name[plat::kMaxPnameLen] = {};
    EXPECT_EQ(plat::MidiOutGetDevName(0, name, sizeof name), plat::kMmNoError);
    EXPECT_STREQ(name, "E2E Synth");
    EXPECT_EQ(plat::MidiInGetDevName(7, name, sizeof name), plat::kMmBadDeviceId);
    plat::HMidiOut out = nullptr;
    plat::HMidiIn in = nullptr;
    EXPECT_EQ(plat::MidiOutOpen(&out, 9, OutProc, 0), plat::kMmBadDeviceId);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(plat::MidiOutOpen(&out, 0, OutProc, 0x5A), plat::kMmNoError);
    EXPECT_EQ(gLog.Wait(plat::kMomOpen, out).instance, 0x5Au);
    ASSERT_EQ(plat::MidiInOpen(&in, 0, InProc, 0x33), plat::kMmNoError);
    EXPECT_EQ(gLog.Wait(plat::kMimOpen, in).instance, 0x33u);

    char gs[] = {char(0xF0), 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, char(0xF7)},
         buffer[64] = {};
    plat::MidiHdr sent = Header(gs), taken = Header(buffer);
    ASSERT_EQ(plat::MidiOutPrepareHeader(out, &sent, sizeof sent), plat::kMmNoError);
    ASSERT_EQ(plat::MidiOutLongMsg(out, &sent, sizeof sent), plat::kMmNoError);
    EXPECT_EQ(gLog.Wait(plat::kMomDone, out).p1, Addr(&sent));
    EXPECT_EQ(sent.dwFlags & (plat::kMhdrDone | plat::kMhdrInQueue), plat::kMhdrDone);
    EXPECT_TRUE(Logged("out 0 long F0 41 10 42 12 40 00 7F 00 41 F7"));

    ASSERT_EQ(plat::MidiInPrepareHeader(in, &taken, sizeof taken), plat::kMmNoError);
    ASSERT_EQ(plat::MidiInAddBuffer(in, &taken, sizeof taken), plat::kMmNoError);
    ASSERT_EQ(plat::MidiConnect(in, out), plat::kMmNoError);
    ASSERT_EQ(plat::MidiInStart(in), plat::kMmNoError);  // the device plays a note and a GM reset
    EXPECT_EQ(gLog.Wait(plat::kMimData, in).p1, 0x643C90u);
    ASSERT_EQ(gLog.Wait(plat::kMimLongData, in).p1, Addr(&taken));
    EXPECT_EQ(std::string(buffer, taken.dwBytesRecorded), std::string("\xF0\x7E\x7F\x09\x01\xF7"));
    EXPECT_TRUE(Logged("out 0 90 3C 64 (connected)"));
    EXPECT_EQ(plat::MidiDisconnect(in, out), plat::kMmNoError);

    EXPECT_EQ(plat::MidiInStop(in), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInReset(in), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInUnprepareHeader(in, &taken, sizeof taken), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutUnprepareHeader(out, &sent, sizeof sent), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmNoError);
    EXPECT_EQ(gLog.Wait(plat::kMimClose, in).msg, plat::kMimClose);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMmNoError);
    EXPECT_EQ(gLog.Wait(plat::kMomClose, out).msg, plat::kMomClose);
}

// ---- Timer ----------------------------------------------------------------------------------

std::atomic<int> gTickCount{0};
std::atomic<uint32_t> gTickId{0};
std::atomic<uintptr_t> gTickUser{0};
HANDLE gFifthTick = CreateEventA(nullptr, TRUE, FALSE, nullptr);

void TickProc(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    gTickId = id;
    gTickUser = user;
    if (++gTickCount == 5) SetEvent(gFifthTick);
}
void IdleProc(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

TEST(TimerTest, PeriodicCallbackGetsItsIdAndKilledTimersGiveTheirPlaceToNewOnes) {
    const uint32_t id = plat::TimeSetEvent(10, 1, TickProc, 1, plat::kTimePeriodic);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(WaitForSingleObject(gFifthTick, kPatience), WAIT_OBJECT_0);
    EXPECT_EQ(plat::TimeKillEvent(id), plat::kMmNoError);
    EXPECT_EQ(gTickId.load(), id);
    EXPECT_EQ(gTickUser.load(), 1u);
    for (int i = 0; i < 40; ++i) {
        const uint32_t idle = plat::TimeSetEvent(1000, 1, IdleProc, 0, plat::kTimePeriodic);
        ASSERT_NE(idle, 0u) << "timer " << i;
        ASSERT_EQ(plat::TimeKillEvent(idle), plat::kMmNoError);
    }
}

// ---- Windows --------------------------------------------------------------------------------

struct Recorder final : plat::WindowClient {
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        msgs.push_back(msg);
        params.push_back({wParam, lParam});
        return onMessage ? onMessage(msg, wParam) : 0;
    }
    bool Got(uint32_t msg) const { return std::find(msgs.begin(), msgs.end(), msg) != msgs.end(); }
    std::vector<uint32_t> msgs;
    std::vector<std::pair<uintptr_t, intptr_t>> params;
    std::function<intptr_t(uint32_t, uintptr_t)> onMessage;
};

constexpr char kTitle[] = "KVN - adapter test";
HWND Frame() { return FindWindowA(nullptr, kTitle); }
HWND View() { return GetWindow(Frame(), GW_CHILD); }

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override {
        frame_ = plat::CreateMainFrame(kTitle, 100, 120, 740, 150, &frameClient_);
        ASSERT_NE(frame_, nullptr);
        view_ = plat::CreateView(frame_, &viewClient_);
        ASSERT_NE(view_, nullptr);
    }
    void TearDown() override {
        plat::DestroyWindow(frame_);
        MSG m;  // let the destruction's own messages go by
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
    Recorder frameClient_, viewClient_;
    plat::HWnd frame_ = nullptr, view_ = nullptr;
};

// Writes a w×h bitmap whose pixel (x, y) is colour(x, y), into the temp folder.
std::string WriteBitmap(const char* name, int w, int h, uint32_t (*colour)(int, int)) {
    kvn::bmp::Image img;
    img.width = w;
    img.height = h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.pixels.push_back(colour(x, y));
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + name;
    EXPECT_TRUE(kvn::bmp::Save(path, img));
    return path;
}

uint32_t Colour(int x, int y) { return uint32_t(x * 16) << 16 | uint32_t(y * 16) << 8 | 0x40; }
uint32_t Blue(int, int) { return 0x0000FF; }
uint32_t Black(int, int) { return 0; }
uint32_t Ref(uint32_t rgb) { return plat::Rgb(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

TEST_F(WindowTest, FrameIsABorderlessPopupTheViewFillsItAndShowsTheCanvas) {
    HWND frame = Frame(), view = View();
    ASSERT_TRUE(frame && view);
    RECT vr{};
    GetClientRect(view, &vr);
    const plat::Rect r = plat::GetWindowRect(frame_);
    const plat::Point p = plat::ClientToScreen(view_, {10, 20});
    EXPECT_EQ((std::vector<LONG>{r.left, r.top, r.right, r.bottom, vr.right, vr.bottom, p.x, p.y}),
              (std::vector<LONG>{100, 120, 840, 270, 740, 150, 110, 140}));
    EXPECT_EQ(GetWindowLongA(frame, GWL_STYLE) & ~(WS_CLIPSIBLINGS | WS_CLIPCHILDREN),
              LONG(WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(GetWindowLongA(frame, GWL_EXSTYLE) & (WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE), 0);
    EXPECT_TRUE(GetClassLongA(view, GCL_STYLE) & CS_DBLCLKS);
    EXPECT_FALSE(plat::ClaimInstance(kTitle));  // one copy per folder: the claim is the frame's title
    EXPECT_TRUE(plat::ClaimInstance("KVN - another folder"));
    plat::MoveWindow(frame_, 60, 70, 740, 150, true);
    EXPECT_EQ(plat::GetWindowRect(frame_).left * 1000 + plat::GetWindowRect(frame_).top, 60070);

    viewClient_.onMessage = [](uint32_t msg, uintptr_t wParam) {
        return msg == plat::kWmApp + 1 ? intptr_t(wParam) * 2 : 0;
    };
    EXPECT_EQ(plat::SendWindowMessage(view_, plat::kWmApp + 1, 21, 0), 42);  // sent: the client at once
    EXPECT_NE(plat::LoadAppIcon(plat::kIconNormal), nullptr);
    const plat::HIcon lit = plat::LoadAppIcon(plat::kIconActivity);
    plat::SetSmallIcon(frame_, lit);
    EXPECT_EQ(SendMessageA(frame, WM_GETICON, ICON_SMALL, 0), reinterpret_cast<LRESULT>(lit));

    plat::ShowWindow(frame_, plat::kSwShow);
    plat::HSurface canvas = plat::LoadBitmapSurface(WriteBitmap("kvn_adapter_canvas.bmp", 16, 12, Colour));
    ASSERT_NE(canvas, nullptr);
    plat::Present(view_, canvas, 16, 12);
    HDC dc = GetDC(view);
    for (int y = 0; y < 12; y += 5)
        for (int x = 0; x < 16; x += 5) EXPECT_EQ(::GetPixel(dc, x, y), Ref(Colour(x, y))) << x << "," << y;
    ReleaseDC(view, dc);
    plat::FreeSurface(canvas);
}

TEST_F(WindowTest, PostedMessagesReachTheClientsInOrderFromAnyThreadAndCloseIsTheClients) {
    viewClient_.onMessage = [](uint32_t msg, uintptr_t) {
        if (msg == plat::kWmApp + 2) plat::QuitMessageLoop(7);
        return intptr_t(0);
    };
    // A posted paint has nothing invalid behind it and must still reach the view.
    ASSERT_TRUE(plat::PostWindowMessage(view_, plat::kWmPaint, 0, 0));
    ASSERT_TRUE(plat::PostWindowMessage(view_, plat::kWmApp, 0x643C90, 0));
    std::thread([this] { plat::PostWindowMessage(view_, plat::kWmApp + 2, 1, 2); }).join();
    EXPECT_EQ(plat::RunMessageLoop(), 7);
    ASSERT_EQ(viewClient_.msgs, (std::vector<uint32_t>{plat::kWmPaint, plat::kWmApp, plat::kWmApp + 2}));
    EXPECT_EQ(viewClient_.params[1].first, 0x643C90u);
    EXPECT_EQ(viewClient_.params[2].second, 2);

    // Close is the client's alone; minimise also gets the default.
    plat::ShowWindow(frame_, plat::kSwShow);
    frameClient_.onMessage = [](uint32_t msg, uintptr_t) {
        if (msg == plat::kWmApp + 9) plat::QuitMessageLoop(0);
        return intptr_t(0);
    };
    plat::PostWindowMessage(frame_, plat::kWmClose, 0, 0);
    plat::PostWindowMessage(frame_, plat::kWmSysCommand, plat::kScMinimize, 0);
    plat::PostWindowMessage(frame_, plat::kWmApp + 9, 0, 0);
    plat::RunMessageLoop();
    EXPECT_TRUE(frameClient_.Got(plat::kWmClose) && frameClient_.Got(plat::kWmSysCommand));
    EXPECT_TRUE(IsWindow(Frame()));
    EXPECT_TRUE(plat::IsIconic(frame_));
}

// ---- Surfaces -------------------------------------------------------------------------------

int Count(plat::HSurface s, uint32_t colorref) {
    int n = 0;
    for (int y = 0; y < plat::SurfaceHeight(s); ++y)
        for (int x = 0; x < plat::SurfaceWidth(s); ++x) n += plat::GetPixel(s, x, y) == colorref;
    return n;
}

TEST(SurfaceTest, BitmapsLoadAndBlockCopiesAreClippedToBothSurfaces) {
    const std::string srcPath = WriteBitmap("kvn_adapter_src.bmp", 8, 6, Colour);
    const std::string dstPath = WriteBitmap("kvn_adapter_dst.bmp", 10, 10, Blue);
    EXPECT_EQ(plat::LoadBitmapSurface(srcPath + ".missing"), nullptr);
    plat::HSurface s = plat::LoadBitmapSurface(srcPath);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(plat::SurfaceWidth(s) * 100 + plat::SurfaceHeight(s), 806);
    EXPECT_EQ(plat::GetPixel(s, 8, 0), plat::kClrInvalid);
    EXPECT_EQ(plat::GetPixel(s, 0, -1), plat::kClrInvalid);

    const struct {
        int x, y, w, h, sx, sy;
    } cases[] = {
        {0, 0, 8, 6, 0, 0},    // the whole source: every pixel reads back exactly
        {2, 3, 4, 2, 1, 1},    // inside both
        {-3, -2, 8, 6, 0, 0},  // starts left of and above the destination
        {6, 7, 8, 8, 0, 0},    // runs past the destination's right and bottom
        {1, 1, 6, 6, -2, -3},  // starts outside the source
        {0, 0, 20, 20, 5, 4},  // runs past the source
        {0, 0, 4, 4, 8, 0},    // nothing of the source
    };
    for (const auto& c : cases) {
        plat::HSurface dst = plat::LoadBitmapSurface(dstPath);
        ASSERT_NE(dst, nullptr);
        plat::BitBlt(dst, c.x, c.y, c.w, c.h, s, c.sx, c.sy);
        for (int y = 0; y < 10; ++y)
            for (int x = 0; x < 10; ++x) {
                const int sx = c.sx + (x - c.x), sy = c.sy + (y - c.y);
                const bool copied = x >= c.x && x < c.x + c.w && y >= c.y && y < c.y + c.h && sx >= 0 &&
                                    sx < 8 && sy >= 0 && sy < 6;
                ASSERT_EQ(plat::GetPixel(dst, x, y), copied ? Ref(Colour(sx, sy)) : Ref(Blue(x, y)))
                    << "pixel " << x << "," << y << " of copy at " << c.x << "," << c.y << " from " << c.sx
                    << "," << c.sy;
            }
        plat::FreeSurface(dst);
    }
    plat::FreeSurface(s);
}

TEST(SurfaceTest, TextIsDrawnInTheSelectedColourOverTransparentOrGivenBackground) {
    const std::string path = WriteBitmap("kvn_adapter_text.bmp", 120, 40, Black);
    plat::HFont font = plat::CreatePanelFont("SimHei", 26, 8);
    ASSERT_NE(font, nullptr);
    const uint32_t red = plat::Rgb(255, 80, 80), green = plat::Rgb(0, 255, 0);
    for (uint32_t background : {plat::kClrInvalid, green}) {
        plat::HSurface s = plat::LoadBitmapSurface(path);
        plat::SelectTextStyle(s, font, red, background);
        plat::DrawTextAt(s, 4, 4, "MIDI 12");
        if (background == green) {
            EXPECT_GT(Count(s, green), 100);
        } else {
            EXPECT_GT(Count(s, red), 0);
            EXPECT_GT(120 * 40 - Count(s, 0), 20);
            EXPECT_EQ(Count(s, plat::Rgb(255, 255, 255)), 0);  // no text cell behind the letters
        }
        plat::FreeSurface(s);
    }
    plat::FreeFont(font);
}

// ---- Message boxes ---------------------------------------------------------------------------

TEST(MessageBoxTest, UnicodeTextReachesTheBoxAndOkAnswersIt) {
    const char kText[] = "\xE3\x83\x9E\xE3\x83\xAB\xE3\x83\x81 MIDI";  // "マルチ MIDI" in UTF-8
    std::wstring shown;
    std::thread user([&] {  // reads the box, as the user would, and presses OK
        wchar_t text[64] = {};
        for (const DWORD start = GetTickCount(); GetTickCount() - start < kPatience; Sleep(20)) {
            HWND box = FindWindowA("#32770", "KVN adapter box");
            if (box != nullptr && GetDlgItemTextW(box, 0xFFFF, text, 64) > 0) {
                PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                break;
            }
        }
        shown = text;
    });
    EXPECT_EQ(plat::ShowMessageBox(kText, "KVN adapter box", plat::kMbOk | plat::kMbIconWarning),
              plat::kIdOk);
    user.join();
    EXPECT_EQ(shown, L"\u30DE\u30EB\u30C1 MIDI");
}

// ---- The pop-up list ------------------------------------------------------------------------

struct ListClient final : plat::DialogClient {
    bool OnInitDialog(plat::HDialog dlg) override {
        self = dlg;
        plat::ListResetContent(dlg);
        for (const char* line : {" 2: Second", " 0: Window's MIDI Mapper", "10: Tenth", " 1: First"})
            plat::ListAddString(dlg, line);
        plat::ListSetCurSel(dlg, 1);
        const plat::Rect r = plat::GetDialogRect(dlg);
        plat::MoveDialog(dlg, 163, 123, r.right - r.left, r.bottom - r.top);
        if (onInit) onInit(dlg);
        return true;
    }
    void OnSelChange(plat::HDialog dlg) override {
        ++selChanges;
        const int sel = plat::ListGetCurSel(dlg);
        if (sel != plat::kLbErr && plat::ListGetText(dlg, sel, &chosen) != plat::kLbErr)
            plat::EndDialog(dlg, plat::kIdOk);
    }
    plat::HDialog self = nullptr;
    int selChanges = 0;
    std::string chosen;
    std::function<void(plat::HDialog)> onInit;
};

HWND ListBoxOf(plat::HDialog dlg) { return GetDlgItem(dlg->hwnd, 1000); }

constexpr uint32_t kPale = plat::Rgb(255, 230, 180);

TEST_F(WindowTest, ListIsPlacedSortedColouredAndModalAndAKeyChoosesALine) {
    ListClient client;
    client.onInit = [&](plat::HDialog dlg) {
        HWND hdlg = dlg->hwnd, list = ListBoxOf(dlg);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(plat::GetDialogRect(dlg).left * 1000 + plat::GetDialogRect(dlg).top, 163123);

        // Sorted, and the selection set by the program raised nothing.
        ASSERT_EQ(plat::ListGetCount(dlg), 4);
        std::string first, last, none;
        EXPECT_EQ(plat::ListGetText(dlg, 0, &first), 24);
        plat::ListGetText(dlg, 3, &last);
        EXPECT_EQ(first + "|" + last, " 0: Window's MIDI Mapper|10: Tenth");
        EXPECT_EQ(plat::ListGetText(dlg, 9, &none), plat::kLbErr);
        EXPECT_EQ(plat::ListGetCurSel(dlg), 1);
        EXPECT_EQ(client.selChanges, 0);

        // Both the dialog and its list paint on the pale background.
        HDC mem = CreateCompatibleDC(nullptr);
        for (auto [msg, target] :
             {std::pair{UINT(WM_CTLCOLORDLG), hdlg}, std::pair{UINT(WM_CTLCOLORLISTBOX), list}}) {
            SetBkColor(mem, 0);
            LOGBRUSH lb{};
            GetObjectA(reinterpret_cast<HBRUSH>(SendMessageA(hdlg, msg, WPARAM(mem), LPARAM(target))),
                       sizeof lb, &lb);
            EXPECT_EQ(lb.lbColor, kPale) << msg;
            EXPECT_EQ(GetBkColor(mem), kPale) << msg;
        }
        DeleteDC(mem);

        EXPECT_FALSE(IsWindowEnabled(Frame()));      // modal: the main frame takes no input meanwhile
        PostMessageA(list, WM_KEYDOWN, VK_DOWN, 0);  // the user presses the down arrow: line 2
    };
    EXPECT_EQ(plat::DoModalList(&client, kPale), plat::kIdOk);
    EXPECT_EQ(client.selChanges, 1);
    EXPECT_EQ(client.chosen, " 2: Second");
    EXPECT_TRUE(IsWindowEnabled(Frame()));
}

TEST_F(WindowTest, EscapeDismissesTheListAndPostedMessagesAreHandledWhileItIsOpen) {
    ListClient escaped, ended;
    escaped.onInit = [](plat::HDialog dlg) { PostMessageA(ListBoxOf(dlg), WM_KEYDOWN, VK_ESCAPE, 0); };
    EXPECT_EQ(plat::DoModalList(&escaped, kPale), plat::kIdCancel);
    EXPECT_EQ(escaped.selChanges, 0);

    viewClient_.onMessage = [&](uint32_t msg, uintptr_t) {
        if (msg == plat::kWmApp + 1 && ended.self != nullptr) plat::EndDialog(ended.self, 42);
        return intptr_t(0);
    };
    ended.onInit = [&](plat::HDialog) {
        std::thread([this] { plat::PostWindowMessage(view_, plat::kWmApp + 1, 0, 0); }).join();
    };
    EXPECT_EQ(plat::DoModalList(&ended, kPale), 42);
}

}  // namespace
