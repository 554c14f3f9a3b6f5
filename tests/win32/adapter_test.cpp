// The Windows adapter against real Win32 (Wine under Xvfb) and scripted MIDI devices (our
// stand-in winmm.dll beside this program). Waits are on events the callbacks set, with a
// generous timeout, never on the clock.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
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

std::string ExeDir() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    return dir.substr(0, dir.find_last_of('\\') + 1);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string DriverLog() { return ReadFile(ExeDir() + "winmm-log.txt"); }

bool Logged(const std::string& what) { return DriverLog().find(what) != std::string::npos; }

// The stand-in driver reads its devices once, at the first MIDI call of the process.
class DriverScript : public ::testing::Environment {
public:
    void SetUp() override {
        DeleteFileA((ExeDir() + "winmm-log.txt").c_str());
        std::ofstream script(ExeDir() + "winmm-script.txt", std::ios::binary | std::ios::trunc);
        script << "in Test Keyboard\n"
                  "in Second Keyboard\n"
                  "out Test Synth\n"
                  "out A Synth Whose Name Is Longer Than Thirty-One\n"
                  "out-long 1 never\n"
                  "input 0 short 90 3C 64\n"
                  "input 0 sysex F0 7E 7F 09 01 F7\n";
    }
};
const auto* const gDriverScript = ::testing::AddGlobalTestEnvironment(new DriverScript);

// ---- MIDI -----------------------------------------------------------------------------------

struct Seen {
    uintptr_t handle;
    uint32_t msg;
    uintptr_t instance, p1, p2;
};

// Collects what a driver callback reports and signals each arrival.
struct CallbackLog {
    CallbackLog() : event(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~CallbackLog() { CloseHandle(event); }
    void Add(Seen s) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            seen.push_back(s);
        }
        SetEvent(event);
    }
    // Waits until a message `msg` has been reported; returns it.
    bool WaitFor(uint32_t msg, Seen* out = nullptr) {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (size_t i = consumed; i < seen.size(); ++i) {
                    if (seen[i].msg == msg) {
                        if (out) *out = seen[i];
                        consumed = i + 1;
                        return true;
                    }
                }
            }
            if (WaitForSingleObject(event, kPatience) != WAIT_OBJECT_0) return false;
        }
    }
    HANDLE event;
    std::mutex mutex;
    std::vector<Seen> seen;
    size_t consumed = 0;
};

CallbackLog* gOutLog = nullptr;
CallbackLog* gInLog = nullptr;

void OutProc(plat::HMidiOut h, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    gOutLog->Add({reinterpret_cast<uintptr_t>(h), msg, instance, p1, p2});
}

void InProc(plat::HMidiIn h, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    gInLog->Add({reinterpret_cast<uintptr_t>(h), msg, instance, p1, p2});
}

class MidiTest : public ::testing::Test {
protected:
    void SetUp() override {
        gOutLog = &outLog_;
        gInLog = &inLog_;
    }
    void TearDown() override {
        gOutLog = nullptr;
        gInLog = nullptr;
    }
    CallbackLog outLog_, inLog_;
};

TEST_F(MidiTest, DeviceNamesComeFromTheCapabilityRecords) {
    EXPECT_EQ(plat::MidiInGetNumDevs(), 2u);
    EXPECT_EQ(plat::MidiOutGetNumDevs(), 2u);
    char name[plat::kMaxPnameLen] = {};
    ASSERT_EQ(plat::MidiInGetDevName(1, name, sizeof name), plat::kMmNoError);
    EXPECT_STREQ(name, "Second Keyboard");
    ASSERT_EQ(plat::MidiOutGetDevName(0, name, sizeof name), plat::kMmNoError);
    EXPECT_STREQ(name, "Test Synth");
    // Product names hold 31 characters at most.
    ASSERT_EQ(plat::MidiOutGetDevName(1, name, sizeof name), plat::kMmNoError);
    EXPECT_STREQ(name, "A Synth Whose Name Is Longer Th");
    char small[5] = {};
    ASSERT_EQ(plat::MidiOutGetDevName(0, small, sizeof small), plat::kMmNoError);
    EXPECT_STREQ(small, "Test");
    EXPECT_EQ(plat::MidiOutGetDevName(2, name, sizeof name), plat::kMmBadDeviceId);
    EXPECT_EQ(plat::MidiInGetDevName(7, name, sizeof name), plat::kMmBadDeviceId);
}

TEST_F(MidiTest, SysExCompletesThroughTheCallbackWithTheSameHeader) {
    plat::HMidiOut out = nullptr;
    ASSERT_EQ(plat::MidiOutOpen(&out, 0, OutProc, 0x5A), plat::kMmNoError);
    Seen s{};
    ASSERT_TRUE(outLog_.WaitFor(plat::kMomOpen, &s));
    EXPECT_EQ(s.handle, reinterpret_cast<uintptr_t>(out));
    EXPECT_EQ(s.instance, 0x5Au);

    EXPECT_EQ(plat::MidiOutShortMsg(out, 0x7F3C90), plat::kMmNoError);
    char data[] = {char(0xF0), 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, char(0xF7)};
    plat::MidiHdr hdr{};
    hdr.lpData = data;
    hdr.dwBufferLength = sizeof data;
    ASSERT_EQ(plat::MidiOutPrepareHeader(out, &hdr, sizeof hdr), plat::kMmNoError);
    ASSERT_EQ(plat::MidiOutLongMsg(out, &hdr, sizeof hdr), plat::kMmNoError);
    ASSERT_TRUE(outLog_.WaitFor(plat::kMomDone, &s));
    EXPECT_EQ(s.p1, reinterpret_cast<uintptr_t>(&hdr));
    EXPECT_EQ(s.handle, reinterpret_cast<uintptr_t>(out));
    EXPECT_TRUE(hdr.dwFlags & plat::kMhdrDone);
    EXPECT_FALSE(hdr.dwFlags & plat::kMhdrInQueue);
    EXPECT_EQ(plat::MidiOutUnprepareHeader(out, &hdr, sizeof hdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMmNoError);
    EXPECT_TRUE(outLog_.WaitFor(plat::kMomClose));

    EXPECT_TRUE(Logged("out 0 short 7F3C90"));
    EXPECT_TRUE(Logged("out 0 long F0 41 10 42 12 40 00 7F 00 41 F7"));
    EXPECT_TRUE(Logged("out 0 close"));
}

TEST_F(MidiTest, AHeaderTheDriverKeepsComesBackOnlyWithAReset) {
    plat::HMidiOut out = nullptr;
    ASSERT_EQ(plat::MidiOutOpen(&out, 1, OutProc, 0), plat::kMmNoError);
    char data[] = {char(0xF0), 0x7E, 0x7F, 0x09, 0x01, char(0xF7)};
    plat::MidiHdr hdr{};
    hdr.lpData = data;
    hdr.dwBufferLength = sizeof data;
    ASSERT_EQ(plat::MidiOutPrepareHeader(out, &hdr, sizeof hdr), plat::kMmNoError);
    ASSERT_EQ(plat::MidiOutLongMsg(out, &hdr, sizeof hdr), plat::kMmNoError);
    // Still with the driver: it can be neither unprepared nor closed.
    EXPECT_TRUE(hdr.dwFlags & plat::kMhdrInQueue);
    EXPECT_EQ(plat::MidiOutUnprepareHeader(out, &hdr, sizeof hdr), plat::kMidiErrStillPlaying);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMidiErrStillPlaying);
    EXPECT_EQ(plat::MidiOutReset(out), plat::kMmNoError);
    Seen s{};
    ASSERT_TRUE(outLog_.WaitFor(plat::kMomDone, &s));
    EXPECT_EQ(s.p1, reinterpret_cast<uintptr_t>(&hdr));
    EXPECT_EQ(plat::MidiOutUnprepareHeader(out, &hdr, sizeof hdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMmNoError);
}

TEST_F(MidiTest, TheMapperIsDeviceMinusOneAndAHeldDeviceIsAllocated) {
    plat::HMidiOut mapper = nullptr, first = nullptr, second = nullptr;
    ASSERT_EQ(plat::MidiOutOpen(&mapper, plat::kMidiMapper, OutProc, 0), plat::kMmNoError);
    EXPECT_TRUE(Logged("out mapper open \"Microsoft MIDI Mapper\""));
    ASSERT_EQ(plat::MidiOutOpen(&first, 0, OutProc, 0), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutOpen(&second, 0, OutProc, 0), plat::kMmAllocated);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(plat::MidiOutOpen(&second, 9, OutProc, 0), plat::kMmBadDeviceId);
    EXPECT_EQ(plat::MidiOutClose(first), plat::kMmNoError);
    EXPECT_EQ(plat::MidiOutClose(mapper), plat::kMmNoError);
}

TEST_F(MidiTest, InputArrivesAtTheCallbackAndTheConnectionReachesTheDriver) {
    plat::HMidiIn in = nullptr;
    plat::HMidiOut out = nullptr;
    ASSERT_EQ(plat::MidiOutOpen(&out, 0, OutProc, 0), plat::kMmNoError);
    ASSERT_EQ(plat::MidiInOpen(&in, 0, InProc, 0x33), plat::kMmNoError);
    Seen s{};
    ASSERT_TRUE(inLog_.WaitFor(plat::kMimOpen, &s));
    EXPECT_EQ(s.handle, reinterpret_cast<uintptr_t>(in));
    EXPECT_EQ(s.instance, 0x33u);

    char buffer[64] = {};
    plat::MidiHdr hdr{};
    hdr.lpData = buffer;
    hdr.dwBufferLength = sizeof buffer;
    ASSERT_EQ(plat::MidiInPrepareHeader(in, &hdr, sizeof hdr), plat::kMmNoError);
    ASSERT_EQ(plat::MidiInAddBuffer(in, &hdr, sizeof hdr), plat::kMmNoError);
    ASSERT_EQ(plat::MidiConnect(in, out), plat::kMmNoError);
    ASSERT_EQ(plat::MidiInStart(in), plat::kMmNoError);  // the script plays a note and a GM reset

    ASSERT_TRUE(inLog_.WaitFor(plat::kMimData, &s));
    EXPECT_EQ(s.p1, 0x643C90u);
    ASSERT_TRUE(inLog_.WaitFor(plat::kMimLongData, &s));
    ASSERT_EQ(s.p1, reinterpret_cast<uintptr_t>(&hdr));
    EXPECT_EQ(std::string(buffer, hdr.dwBytesRecorded), std::string("\xF0\x7E\x7F\x09\x01\xF7"));
    EXPECT_TRUE(Logged("connect in 0 out 0"));
    EXPECT_TRUE(Logged("out 0 short 90 3C 64 (connected)"));

    // A buffer still queued comes back empty on reset.
    ASSERT_EQ(plat::MidiInAddBuffer(in, &hdr, sizeof hdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInClose(in), plat::kMidiErrStillPlaying);
    EXPECT_EQ(plat::MidiDisconnect(in, out), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInStop(in), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInReset(in), plat::kMmNoError);
    ASSERT_TRUE(inLog_.WaitFor(plat::kMimLongData, &s));
    EXPECT_EQ(hdr.dwBytesRecorded, 0u);
    EXPECT_EQ(plat::MidiInUnprepareHeader(in, &hdr, sizeof hdr), plat::kMmNoError);
    EXPECT_EQ(plat::MidiInClose(in), plat::kMmNoError);
    EXPECT_TRUE(inLog_.WaitFor(plat::kMimClose));
    EXPECT_EQ(plat::MidiOutClose(out), plat::kMmNoError);
}

// ---- Timer ----------------------------------------------------------------------------------

struct Ticks {
    std::atomic<int> count{0};
    std::atomic<uint32_t> id{0};
    std::atomic<uintptr_t> user{0};
    HANDLE fifth = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};
Ticks* gTicks = nullptr;

void TickProc(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    gTicks->id = id;
    gTicks->user = user;
    if (++gTicks->count == 5) SetEvent(gTicks->fifth);
}

void IdleProc(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) {}

TEST(TimerTest, PeriodicCallbackGetsItsIdAndUserValue) {
    plat::TimeCaps caps{};
    ASSERT_EQ(plat::TimeGetDevCaps(&caps, sizeof caps), plat::kMmNoError);
    EXPECT_EQ(caps.wPeriodMin, 1u);
    Ticks ticks;
    gTicks = &ticks;
    const uint32_t id = plat::TimeSetEvent(10, 1, TickProc, 1, plat::kTimePeriodic);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(WaitForSingleObject(ticks.fifth, kPatience), WAIT_OBJECT_0);
    EXPECT_EQ(plat::TimeKillEvent(id), plat::kMmNoError);
    EXPECT_EQ(ticks.id.load(), id);
    EXPECT_EQ(ticks.user.load(), 1u);
    CloseHandle(ticks.fifth);
    gTicks = nullptr;
}

TEST(TimerTest, KilledTimersGiveTheirPlaceToNewOnes) {
    for (int i = 0; i < 40; ++i) {
        const uint32_t id = plat::TimeSetEvent(1000, 1, IdleProc, 0, plat::kTimePeriodic);
        ASSERT_NE(id, 0u) << "timer " << i;
        ASSERT_EQ(plat::TimeKillEvent(id), plat::kMmNoError);
    }
}

// ---- Windows --------------------------------------------------------------------------------

struct Message {
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
};

class Recorder final : public plat::WindowClient {
public:
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        got.push_back({msg, wParam, lParam});
        if (onMessage) return onMessage(msg, wParam, lParam);
        return 0;
    }
    bool Got(uint32_t msg) const {
        for (const Message& m : got) {
            if (m.msg == msg) return true;
        }
        return false;
    }
    std::vector<Message> got;
    std::function<intptr_t(uint32_t, uintptr_t, intptr_t)> onMessage;
};

constexpr char kTitle[] = "KVN - adapter test";

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
        // Let the destruction's own messages go by.
        MSG m;
        while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
    }
    Recorder frameClient_, viewClient_;
    plat::HWnd frame_ = nullptr, view_ = nullptr;
};

TEST_F(WindowTest, FrameIsABorderlessPopupAndTheViewFillsIt) {
    HWND frame = FindWindowA(nullptr, kTitle);
    ASSERT_NE(frame, nullptr);
    RECT r{};
    GetWindowRect(frame, &r);
    EXPECT_EQ(r.left, 100);
    EXPECT_EQ(r.top, 120);
    EXPECT_EQ(r.right - r.left, 740);
    EXPECT_EQ(r.bottom - r.top, 150);
    const plat::Rect pr = plat::GetWindowRect(frame_);
    EXPECT_EQ(pr.left, 100);
    EXPECT_EQ(pr.bottom, 270);

    const DWORD style = GetWindowLongA(frame, GWL_STYLE) & ~(WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN);
    EXPECT_EQ(style, DWORD(WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX));
    EXPECT_EQ(GetWindowLongA(frame, GWL_EXSTYLE) & (WS_EX_WINDOWEDGE | WS_EX_CLIENTEDGE), 0);

    HWND view = GetWindow(frame, GW_CHILD);
    ASSERT_NE(view, nullptr);
    EXPECT_TRUE(GetWindowLongA(view, GWL_STYLE) & WS_CHILD);
    EXPECT_TRUE(GetClassLongA(view, GCL_STYLE) & CS_DBLCLKS);
    RECT vr{};
    GetClientRect(view, &vr);
    EXPECT_EQ(vr.right, 740);
    EXPECT_EQ(vr.bottom, 150);

    const plat::Point p = plat::ClientToScreen(view_, {10, 20});
    EXPECT_EQ(p.x, 110);
    EXPECT_EQ(p.y, 140);
}

TEST_F(WindowTest, TheTitleIsTheSingleInstanceKey) {
    EXPECT_FALSE(plat::ClaimInstance(kTitle));
    EXPECT_TRUE(plat::ClaimInstance("KVN - some other folder"));
}

TEST_F(WindowTest, PostedMessagesReachTheClientsThroughTheLoopFromAnyThread) {
    viewClient_.onMessage = [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg == plat::kWmApp + 2) plat::QuitMessageLoop(7);
        return 0;
    };
    // A posted paint has nothing invalid behind it and must still reach the view.
    ASSERT_TRUE(plat::PostWindowMessage(view_, plat::kWmPaint, 0, 0));
    ASSERT_TRUE(plat::PostWindowMessage(view_, plat::kWmApp, 0x643C90, 0));
    std::thread other([this] { plat::PostWindowMessage(view_, plat::kWmApp + 2, 1, 2); });
    other.join();
    EXPECT_EQ(plat::RunMessageLoop(), 7);

    ASSERT_GE(viewClient_.got.size(), 3u);
    std::vector<uint32_t> order;
    for (const Message& m : viewClient_.got) order.push_back(m.msg);
    EXPECT_EQ(order, (std::vector<uint32_t>{plat::kWmPaint, plat::kWmApp, plat::kWmApp + 2}));
    EXPECT_EQ(viewClient_.got[1].wParam, 0x643C90u);
    EXPECT_EQ(viewClient_.got[2].lParam, 2);
}

TEST_F(WindowTest, CloseIsTheClientsAndMinimiseAlsoGetsTheDefault) {
    plat::ShowWindow(frame_, plat::kSwShow);
    frameClient_.onMessage = [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg == plat::kWmApp + 9) plat::QuitMessageLoop(0);
        return 0;
    };
    plat::PostWindowMessage(frame_, plat::kWmClose, 0, 0);
    plat::PostWindowMessage(frame_, plat::kWmSysCommand, plat::kScMinimize, 0);
    plat::PostWindowMessage(frame_, plat::kWmApp + 9, 0, 0);
    plat::RunMessageLoop();
    EXPECT_TRUE(frameClient_.Got(plat::kWmClose));
    EXPECT_TRUE(frameClient_.Got(plat::kWmSysCommand));
    EXPECT_TRUE(IsWindow(FindWindowA(nullptr, kTitle)));  // a close request alone destroys nothing
    EXPECT_TRUE(plat::IsIconic(frame_));
}

TEST_F(WindowTest, SentMessagesCallTheClientAtOnce) {
    viewClient_.onMessage = [](uint32_t msg, uintptr_t wParam, intptr_t) -> intptr_t {
        return msg == plat::kWmApp + 1 ? intptr_t(wParam) * 2 : 0;
    };
    EXPECT_EQ(plat::SendWindowMessage(view_, plat::kWmApp + 1, 21, 0), 42);
}

TEST_F(WindowTest, SmallIconsComeFromTheResources) {
    for (int id : {plat::kIconApp, plat::kIconNormal, plat::kIconActivity}) {
        EXPECT_NE(plat::LoadAppIcon(id), nullptr) << id;
    }
    const plat::HIcon lit = plat::LoadAppIcon(plat::kIconActivity);
    plat::SetSmallIcon(frame_, lit);
    EXPECT_EQ(SendMessageA(FindWindowA(nullptr, kTitle), WM_GETICON, ICON_SMALL, 0),
              reinterpret_cast<LRESULT>(lit));
}

// ---- Surfaces -------------------------------------------------------------------------------

// Writes a w×h bitmap whose pixel (x, y) is Colour(x, y), into the temp folder.
uint32_t Colour(int x, int y) { return uint32_t(x * 16) << 16 | uint32_t(y * 16) << 8 | 0x40; }

std::string WriteBitmap(const char* name, int w, int h, uint32_t (*colour)(int, int)) {
    kvn::bmp::Image img;
    img.width = w;
    img.height = h;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) img.pixels.push_back(colour(x, y));
    }
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + name;
    EXPECT_TRUE(kvn::bmp::Save(path, img));
    return path;
}

uint32_t Ref(uint32_t rgb) { return plat::Rgb(uint8_t(rgb >> 16), uint8_t(rgb >> 8), uint8_t(rgb)); }

uint32_t Blue(int, int) { return 0x0000FF; }

TEST(SurfaceTest, PixelsReadBackExactlyAndOutsideIsInvalid) {
    plat::HSurface s = plat::LoadBitmapSurface(WriteBitmap("kvn_adapter_a.bmp", 8, 6, Colour));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(plat::SurfaceWidth(s), 8);
    EXPECT_EQ(plat::SurfaceHeight(s), 6);
    EXPECT_EQ(plat::GetPixel(s, 0, 0), Ref(Colour(0, 0)));
    EXPECT_EQ(plat::GetPixel(s, 7, 5), Ref(Colour(7, 5)));
    EXPECT_EQ(plat::GetPixel(s, 3, 2), Ref(Colour(3, 2)));
    EXPECT_EQ(plat::GetPixel(s, 8, 0), plat::kClrInvalid);
    EXPECT_EQ(plat::GetPixel(s, 0, -1), plat::kClrInvalid);
    plat::FreeSurface(s);
    EXPECT_EQ(plat::LoadBitmapSurface(WriteBitmap("kvn_adapter_a.bmp", 1, 1, Blue) + ".missing"), nullptr);
}

TEST(SurfaceTest, BlockCopiesAreClippedToBothSurfaces) {
    const std::string srcPath = WriteBitmap("kvn_adapter_src.bmp", 8, 6, Colour);
    const std::string dstPath = WriteBitmap("kvn_adapter_dst.bmp", 10, 10, Blue);
    struct Case {
        int x, y, w, h, sx, sy;
    };
    const Case cases[] = {
        {2, 3, 4, 2, 1, 1},    // inside both
        {-3, -2, 8, 6, 0, 0},  // starts left of and above the destination
        {6, 7, 8, 8, 0, 0},    // runs past the destination's right and bottom
        {1, 1, 6, 6, -2, -3},  // starts outside the source
        {0, 0, 20, 20, 5, 4},  // runs past the source
        {0, 0, 4, 4, 8, 0},    // nothing of the source
    };
    for (const Case& c : cases) {
        plat::HSurface src = plat::LoadBitmapSurface(srcPath);
        plat::HSurface dst = plat::LoadBitmapSurface(dstPath);
        ASSERT_TRUE(src && dst);
        plat::BitBlt(dst, c.x, c.y, c.w, c.h, src, c.sx, c.sy);
        for (int y = 0; y < 10; ++y) {
            for (int x = 0; x < 10; ++x) {
                const int sx = c.sx + (x - c.x), sy = c.sy + (y - c.y);
                const bool copied = x >= c.x && x < c.x + c.w && y >= c.y && y < c.y + c.h && sx >= 0 &&
                                    sx < 8 && sy >= 0 && sy < 6;
                const uint32_t want = copied ? Ref(Colour(sx, sy)) : Ref(Blue(x, y));
                ASSERT_EQ(plat::GetPixel(dst, x, y), want)
                    << "pixel " << x << "," << y << " of copy at " << c.x << "," << c.y << " from " << c.sx
                    << "," << c.sy;
            }
        }
        plat::FreeSurface(src);
        plat::FreeSurface(dst);
    }
}

uint32_t Black(int, int) { return 0; }

int Count(plat::HSurface s, uint32_t colorref) {
    int n = 0;
    for (int y = 0; y < plat::SurfaceHeight(s); ++y) {
        for (int x = 0; x < plat::SurfaceWidth(s); ++x) n += plat::GetPixel(s, x, y) == colorref;
    }
    return n;
}

TEST(SurfaceTest, TextIsDrawnInTheSelectedColourOverTransparentOrGivenBackground) {
    const std::string path = WriteBitmap("kvn_adapter_text.bmp", 120, 40, Black);
    plat::HFont font = plat::CreatePanelFont("SimHei", 26, 8);
    ASSERT_NE(font, nullptr);
    const uint32_t red = plat::Rgb(255, 80, 80), green = plat::Rgb(0, 255, 0);

    plat::HSurface s = plat::LoadBitmapSurface(path);
    plat::SelectTextStyle(s, font, red, plat::kClrInvalid);
    plat::DrawTextAt(s, 4, 4, "MIDI 12");
    EXPECT_GT(Count(s, red), 0);
    EXPECT_GT(120 * 40 - Count(s, 0), 20);
    EXPECT_EQ(Count(s, plat::Rgb(255, 255, 255)), 0);  // no text cell behind the letters
    plat::FreeSurface(s);

    s = plat::LoadBitmapSurface(path);
    plat::SelectTextStyle(s, font, red, green);
    plat::DrawTextAt(s, 4, 4, "MIDI 12");
    EXPECT_GT(Count(s, green), 100);
    plat::FreeSurface(s);
    plat::FreeFont(font);
}

TEST_F(WindowTest, PresentPutsTheCanvasIntoTheView) {
    plat::ShowWindow(frame_, plat::kSwShow);
    plat::HSurface canvas = plat::LoadBitmapSurface(WriteBitmap("kvn_adapter_canvas.bmp", 16, 12, Colour));
    ASSERT_NE(canvas, nullptr);
    plat::Present(view_, canvas, 16, 12);
    HWND view = GetWindow(FindWindowA(nullptr, kTitle), GW_CHILD);
    HDC dc = GetDC(view);
    for (int y = 0; y < 12; y += 5) {
        for (int x = 0; x < 16; x += 5) EXPECT_EQ(::GetPixel(dc, x, y), Ref(Colour(x, y))) << x << "," << y;
    }
    ReleaseDC(view, dc);
    plat::FreeSurface(canvas);
}

// ---- The pop-up list ------------------------------------------------------------------------

class ListClient final : public plat::DialogClient {
public:
    bool OnInitDialog(plat::HDialog dlg) override {
        self = dlg;
        plat::ListResetContent(dlg);
        for (const char* line : {" 2: Second", " 0: Window's MIDI Mapper", "10: Tenth", " 1: First"}) {
            plat::ListAddString(dlg, line);
        }
        plat::ListSetCurSel(dlg, 1);
        const plat::Rect r = plat::GetDialogRect(dlg);
        width = r.right - r.left;
        height = r.bottom - r.top;
        plat::MoveDialog(dlg, 163, 123, width, height);
        if (onInit) onInit(dlg);
        return true;
    }
    void OnSelChange(plat::HDialog dlg) override {
        ++selChanges;
        const int sel = plat::ListGetCurSel(dlg);
        if (sel == plat::kLbErr || plat::ListGetText(dlg, sel, &chosen) == plat::kLbErr) return;
        plat::EndDialog(dlg, plat::kIdOk);
    }
    plat::HDialog self = nullptr;
    int width = 0, height = 0;
    int selChanges = 0;
    std::string chosen;
    std::function<void(plat::HDialog)> onInit;
};

HWND ListBoxOf(plat::HDialog dlg) { return GetDlgItem(dlg->hwnd, 1000); }

constexpr uint32_t kPale = plat::Rgb(255, 230, 180);

// Reads a DLGTEMPLATE (the non-extended form windres writes for DIALOG).
struct Reader {
    const BYTE* p;
    WORD Word() {
        WORD w;
        std::memcpy(&w, p, 2);
        p += 2;
        return w;
    }
    DWORD Dword() {
        DWORD d;
        std::memcpy(&d, p, 4);
        p += 4;
        return d;
    }
    // A string, or an ordinal written as "#n".
    std::string SzOrOrd() {
        WORD w = Word();
        if (w == 0xFFFF) return "#" + std::to_string(Word());
        std::string s;
        for (; w != 0; w = Word()) s += char(w);
        return s;
    }
    void AlignDword(const BYTE* base) {
        while ((p - base) % 4) ++p;
    }
};

TEST(ResourceTest, ListTemplate130IsExactlyAsDesigned) {
    HRSRC res = FindResourceA(nullptr, MAKEINTRESOURCEA(130), MAKEINTRESOURCEA(5));  // RT_DIALOG
    ASSERT_NE(res, nullptr);
    const auto* base = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, res)));
    Reader r{base};
    const DWORD style = r.Dword();
    ASSERT_NE(style >> 16, 0xFFFFu) << "an extended template";
    EXPECT_EQ(style, DWORD(WS_POPUP | DS_MODALFRAME | DS_SETFONT));
    EXPECT_EQ(r.Dword(), 0u);  // extended style
    ASSERT_EQ(r.Word(), 1);    // one control
    const short x = short(r.Word()), y = short(r.Word()), cx = short(r.Word()), cy = short(r.Word());
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);
    EXPECT_EQ(cx, 155);
    EXPECT_EQ(cy, 63);
    EXPECT_EQ(r.SzOrOrd(), "");  // no menu
    EXPECT_EQ(r.SzOrOrd(), "");  // the standard dialog class
    EXPECT_EQ(r.SzOrOrd(), "");  // no title
    EXPECT_EQ(r.Word(), 12);
    EXPECT_EQ(r.SzOrOrd(), "Courier New");
    r.AlignDword(base);
    EXPECT_EQ(r.Dword(), DWORD(WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | LBS_NOINTEGRALHEIGHT |
                               LBS_SORT | LBS_NOTIFY));
    EXPECT_EQ(r.Dword(), 0u);
    const short lx = short(r.Word()), ly = short(r.Word()), lcx = short(r.Word()), lcy = short(r.Word());
    EXPECT_EQ(lx, 0);
    EXPECT_EQ(ly, 0);
    EXPECT_EQ(lcx, 155);
    EXPECT_EQ(lcy, 63);
    EXPECT_EQ(r.Word(), 1000);
    const std::string cls = r.SzOrOrd();
    EXPECT_TRUE(cls == "#131" || _stricmp(cls.c_str(), "ListBox") == 0) << cls;
}

TEST_F(WindowTest, ListIsTemplate130SortedAndColouredAndAKeyChoosesALine) {
    ListClient client;
    client.onInit = [&](plat::HDialog dlg) {
        HWND hdlg = dlg->hwnd;
        const DWORD style = GetWindowLongA(hdlg, GWL_STYLE);
        EXPECT_TRUE(style & WS_POPUP);
        EXPECT_TRUE(style & DS_MODALFRAME);
        EXPECT_FALSE(style & WS_CAPTION & ~WS_BORDER);
        HWND list = ListBoxOf(dlg);
        ASSERT_NE(list, nullptr);
        EXPECT_TRUE(GetWindowLongA(list, GWL_STYLE) & LBS_SORT);
        RECT dc{}, lr{};
        GetClientRect(hdlg, &dc);
        GetWindowRect(list, &lr);
        EXPECT_EQ(lr.right - lr.left, dc.right);  // the list is the whole dialog
        LOGFONTA lf{};
        GetObjectA(reinterpret_cast<HFONT>(SendMessageA(hdlg, WM_GETFONT, 0, 0)), sizeof lf, &lf);
        EXPECT_STREQ(lf.lfFaceName, "Courier New");

        // Sorted, and the selection set by the program raised nothing.
        ASSERT_EQ(plat::ListGetCount(dlg), 4);
        std::string text;
        EXPECT_EQ(plat::ListGetText(dlg, 0, &text), 24);
        EXPECT_EQ(text, " 0: Window's MIDI Mapper");
        plat::ListGetText(dlg, 3, &text);
        EXPECT_EQ(text, "10: Tenth");
        EXPECT_EQ(plat::ListGetCurSel(dlg), 1);
        EXPECT_EQ(plat::ListGetText(dlg, 9, &text), plat::kLbErr);
        EXPECT_EQ(client.selChanges, 0);
        const plat::Rect r = plat::GetDialogRect(dlg);
        EXPECT_EQ(r.left, 163);
        EXPECT_EQ(r.top, 123);
        EXPECT_EQ(r.right - r.left, client.width);

        // Both the dialog and its list paint on the pale background.
        HDC mem = CreateCompatibleDC(nullptr);
        for (UINT msg : {UINT(WM_CTLCOLORDLG), UINT(WM_CTLCOLORLISTBOX)}) {
            SetBkColor(mem, 0);
            auto brush = reinterpret_cast<HBRUSH>(
                SendMessageA(hdlg, msg, reinterpret_cast<WPARAM>(mem),
                             reinterpret_cast<LPARAM>(msg == WM_CTLCOLORDLG ? hdlg : list)));
            ASSERT_NE(brush, nullptr);
            LOGBRUSH lb{};
            GetObjectA(brush, sizeof lb, &lb);
            EXPECT_EQ(lb.lbColor, kPale);
            EXPECT_EQ(GetBkColor(mem), kPale);
        }
        DeleteDC(mem);

        // Modal: the main frame takes no input meanwhile.
        EXPECT_FALSE(IsWindowEnabled(FindWindowA(nullptr, kTitle)));
        // The user presses the down arrow in the list: line 2 is chosen.
        PostMessageA(list, WM_KEYDOWN, VK_DOWN, 0);
    };
    EXPECT_EQ(plat::DoModalList(&client, kPale), plat::kIdOk);
    EXPECT_EQ(client.selChanges, 1);
    EXPECT_EQ(client.chosen, " 2: Second");
    EXPECT_TRUE(IsWindowEnabled(FindWindowA(nullptr, kTitle)));
}

TEST_F(WindowTest, EscapeDismissesTheList) {
    ListClient client;
    client.onInit = [](plat::HDialog dlg) { PostMessageA(ListBoxOf(dlg), WM_KEYDOWN, VK_ESCAPE, 0); };
    EXPECT_EQ(plat::DoModalList(&client, kPale), plat::kIdCancel);
    EXPECT_EQ(client.selChanges, 0);
}

TEST_F(WindowTest, PostedMessagesAreHandledWhileTheListIsOpen) {
    ListClient client;
    viewClient_.onMessage = [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg == plat::kWmApp + 1 && client.self != nullptr) plat::EndDialog(client.self, 42);
        return 0;
    };
    client.onInit = [&](plat::HDialog) {
        std::thread driver([this] { plat::PostWindowMessage(view_, plat::kWmApp + 1, 0, 0); });
        driver.join();
    };
    EXPECT_EQ(plat::DoModalList(&client, kPale), 42);
}

// ---- Message boxes --------------------------------------------------------------------------

struct BoxSeen {
    std::wstring text, caption;
    bool viewMessageWhileOpen = false;
};
BoxSeen* gBox = nullptr;
HHOOK gHook = nullptr;

// Reads the box as it opens and presses OK, as the user would.
LRESULT CALLBACK BoxHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HCBT_ACTIVATE && gBox != nullptr) {
        HWND box = reinterpret_cast<HWND>(wParam);
        char cls[16] = {};
        GetClassNameA(box, cls, sizeof cls);
        if (std::string(cls) == "#32770") {
            wchar_t buf[512] = {};
            GetDlgItemTextW(box, 0xFFFF, buf, 512);
            gBox->text = buf;
            GetWindowTextW(box, buf, 512);
            gBox->caption = buf;
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
    }
    return CallNextHookEx(gHook, code, wParam, lParam);
}

TEST_F(WindowTest, MessageBoxShowsUtf8TextAndKeepsTheViewGoing) {
    BoxSeen seen;
    gBox = &seen;
    viewClient_.onMessage = [&](uint32_t msg, uintptr_t, intptr_t) -> intptr_t {
        if (msg == plat::kWmApp + 3)
            seen.viewMessageWhileOpen = FindWindowA("#32770", "CMIDI::mf_TimerInitialize()") != nullptr;
        return 0;
    };
    gHook = SetWindowsHookExW(WH_CBT, BoxHook, nullptr, GetCurrentThreadId());
    ASSERT_NE(gHook, nullptr);
    plat::PostWindowMessage(view_, plat::kWmApp + 3, 0, 0);
    const int r = plat::ShowMessageBox("マルチメディア高精度タイマーが使用できません！",
                                       "CMIDI::mf_TimerInitialize()", plat::kMbOk | plat::kMbIconWarning);
    UnhookWindowsHookEx(gHook);
    gBox = nullptr;
    EXPECT_EQ(r, plat::kIdOk);
    EXPECT_EQ(seen.text, L"マルチメディア高精度タイマーが使用できません！");
    EXPECT_EQ(seen.caption, L"CMIDI::mf_TimerInitialize()");
    EXPECT_TRUE(seen.viewMessageWhileOpen);
}

TEST(ProcessTest, CurrentDirectoryIsWindowsOwn) {
    char dir[MAX_PATH];
    GetCurrentDirectoryA(MAX_PATH, dir);
    EXPECT_EQ(plat::GetCurrentDir(), dir);
    EXPECT_EQ(plat::PathSeparator(), '\\');
}

}  // namespace
