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

// ---- Windows: what the contract test (tests/platform) leaves to Win32 itself ----------------

struct Recorder final : plat::WindowClient {
    intptr_t WindowProc(uint32_t msg, uintptr_t, intptr_t) override {
        if (msg == plat::kWmApp + 9) plat::QuitMessageLoop(0);
        return 0;
    }
};

constexpr char kTitle[] = "KVN - adapter test";
HWND Frame() { return FindWindowA(nullptr, kTitle); }

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

uint32_t Colour(int x, int y) { return uint32_t(x * 16) << 16 | uint32_t(y * 16) << 8 | 0x40; }
uint32_t Ref(uint32_t rgb) { return plat::Rgb(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

TEST_F(WindowTest, FrameIsABorderlessPopupTheViewFillsItAndShowsTheCanvas) {
    HWND frame = Frame(), view = GetWindow(frame, GW_CHILD);
    ASSERT_TRUE(frame && view);
    RECT vr{};
    GetClientRect(view, &vr);
    EXPECT_EQ(vr.right * 1000 + vr.bottom, 740150);
    EXPECT_EQ(GetWindowLongA(frame, GWL_STYLE) & ~(WS_CLIPSIBLINGS | WS_CLIPCHILDREN),
              LONG(WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(GetWindowLongA(frame, GWL_EXSTYLE) & (WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE), 0);
    EXPECT_TRUE(GetClassLongA(view, GCL_STYLE) & CS_DBLCLKS);
    EXPECT_FALSE(plat::ClaimInstance(kTitle));  // one copy per folder: the claim is the frame's title
    EXPECT_TRUE(plat::ClaimInstance("KVN - another folder"));
    const plat::HIcon lit = plat::LoadAppIcon(plat::kIconActivity);
    plat::SetSmallIcon(frame_, lit);
    EXPECT_EQ(SendMessageA(frame, WM_GETICON, ICON_SMALL, 0), reinterpret_cast<LRESULT>(lit));

    plat::ShowWindow(frame_, plat::kSwShow);
    kvn::bmp::Image img{16, 12, {}};
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) img.pixels.push_back(Colour(x, y));
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + "kvn_adapter_canvas.bmp";
    ASSERT_TRUE(kvn::bmp::Save(path, img));
    plat::HSurface canvas = plat::LoadBitmapSurface(path);
    ASSERT_NE(canvas, nullptr);
    plat::Present(view_, canvas, 16, 12);
    HDC dc = GetDC(view);
    for (int y = 0; y < 12; y += 5)
        for (int x = 0; x < 16; x += 5) EXPECT_EQ(::GetPixel(dc, x, y), Ref(Colour(x, y))) << x << "," << y;
    ReleaseDC(view, dc);
    plat::FreeSurface(canvas);

    // The system command the client passes on gets Windows' default: minimise.
    plat::PostWindowMessage(frame_, plat::kWmSysCommand, plat::kScMinimize, 0);
    plat::PostWindowMessage(frame_, plat::kWmApp + 9, 0, 0);
    plat::RunMessageLoop();
    EXPECT_TRUE(plat::IsIconic(frame_));
}

// ---- The pop-up list: Win32's colours and modality -------------------------------------------

struct ListClient final : plat::DialogClient {
    bool OnInitDialog(plat::HDialog dlg) override {
        if (onInit) onInit(dlg);
        PostMessageA(GetDlgItem(dlg->hwnd, 1000), WM_KEYDOWN, VK_ESCAPE, 0);
        return true;
    }
    void OnSelChange(plat::HDialog) override {}
    std::function<void(plat::HDialog)> onInit;
};

constexpr uint32_t kPale = plat::Rgb(255, 230, 180);

TEST_F(WindowTest, ListIsColouredAndModal) {
    ListClient client;
    bool checked = false;
    client.onInit = [&](plat::HDialog dlg) {
        HWND hdlg = dlg->hwnd, list = GetDlgItem(dlg->hwnd, 1000);
        ASSERT_NE(list, nullptr);
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
        EXPECT_FALSE(IsWindowEnabled(Frame()));  // modal: the main frame takes no input meanwhile
        checked = true;
    };
    EXPECT_EQ(plat::DoModalList(&client, kPale), plat::kIdCancel);
    EXPECT_TRUE(checked);
    EXPECT_TRUE(IsWindowEnabled(Frame()));
}

}  // namespace
