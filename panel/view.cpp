#include "panel/view.h"

#include <cstdio>
#include <optional>

#include "engine/engine.h"
#include "picker/picker.h"
#include "shell/globals.h"
#include "shell/main_frame.h"

const char* const kSkinFiles[SKIN_COUNT] = {"00.bmp", "01.bmp", "02.bmp", "03.bmp", "04.bmp",
                                            "05.bmp", "06.bmp", "07.bmp", "08.bmp", "09.bmp",
                                            "10.bmp", "11.bmp", "99.bmp"};

namespace {

plat::Point PointOf(intptr_t lParam) {
    return {static_cast<int16_t>(lParam & 0xFFFF), static_cast<int16_t>((lParam >> 16) & 0xFFFF)};
}

bool Lit(const Atomic32& countdown) { return countdown >= 1; }

}  // namespace

uint32_t PanelTextColor(int32_t panelColor) {
    switch (panelColor) {
    case 0:
        return plat::Rgb(255, 80, 80);
    case 1:
        return plat::Rgb(255, 170, 110);
    case 2:
        return plat::Rgb(0, 255, 128);
    default:
        return plat::Rgb(0, 255, 255);
    }
}

CKVNView::CKVNView() = default;

CKVNView::~CKVNView() { FreeSkin(); }

bool CKVNView::Create(plat::HWnd frame) {
    m_hFrame = frame;
    m_hWnd = plat::CreateView(frame, this);
    if (m_hWnd == nullptr) return false;
    if (OnCreate() == -1) {
        // A view that refuses creation still releases the title, as its destruction would.
        g_WindowTitle.clear();
        return false;
    }
    return true;
}

plat::HSurface CKVNView::LoadSkinBitmap(const char* name) {
    std::string path = plat::GetCurrentDir();
    path += plat::PathSeparator();
    path += "Bitmap";
    path += plat::PathSeparator();
    path += name;
    return plat::LoadBitmapSurface(path);
}

int CKVNView::OnCreate() {
    g_PanelWnd = m_hWnd;
    mf_TimerAlsoLowers(g_BlinkPhase);
    mf_TimerAlsoLowers(g_BlinkHold);
    m_strMissing.clear();
    for (int i = 0; i < SKIN_COUNT; ++i) {
        m_Skin[i].surface = LoadSkinBitmap(kSkinFiles[i]);
        if (m_Skin[i].surface == nullptr) {
            m_strMissing = kSkinFiles[i];
            break;
        }
    }
    if (!m_strMissing.empty()) {
        m_strMissing += " file is not found.\nPlease defrost a KVN_xxx.zip file once again.";
        plat::ShowMessageBox(m_strMissing.c_str(), "KVN", plat::kMbOk);
        FreeSkin();
        return -1;
    }
    for (SkinBitmap& skin : m_Skin) {
        skin.width = plat::SurfaceWidth(skin.surface);
        skin.height = plat::SurfaceHeight(skin.surface);
    }
    m_hFont = plat::CreatePanelFont("SimHei", 26, 8);
    return 0;
}

void CKVNView::FreeSkin() {
    for (SkinBitmap& skin : m_Skin) {
        plat::FreeSurface(skin.surface);
        skin = SkinBitmap{};
    }
    plat::FreeFont(m_hFont);
    m_hFont = nullptr;
}

void CKVNView::OnDestroy() {
    FreeSkin();
    g_WindowTitle.clear();
    m_strMissing.clear();
    if (g_PanelWnd.load() == m_hWnd) g_PanelWnd = nullptr;
}

void CKVNView::Copy(int skin, int32_t sx, int32_t sy, int32_t w, int32_t h, int32_t x, int32_t y) {
    plat::BitBlt(m_Skin[SKIN_CANVAS].surface, x, y, w, h, m_Skin[skin].surface, sx, sy);
}

void CKVNView::Text(int32_t x, int32_t y, const char* text) {
    plat::SelectTextStyle(m_Skin[SKIN_CANVAS].surface, m_hFont, PanelTextColor(g_PanelColor),
                          plat::kClrInvalid);
    plat::DrawTextAt(m_Skin[SKIN_CANVAS].surface, x, y, text);
}

void CKVNView::OnDraw() {
    if (m_Skin[SKIN_CANVAS].surface == nullptr) return;  // never created, or already destroyed
    const int32_t k = g_PanelColor;
    const bool thru = g_ThruConnect != 0;
    const SkinBitmap& bg = m_Skin[SKIN_BACKGROUND];

    Copy(SKIN_BACKGROUND, 0, 0, bg.width, bg.height, 0, 0);
    if (g_HoverRegion == HIT_MOVE)
        Copy(SKIN_WINDOW_BTNS, 0, g_DragState == DRAG_DRAGGING ? 40 : 20, 30, 20, 628, 10);
    if (g_HoverRegion == HIT_MINIMIZE) Copy(SKIN_WINDOW_BTNS, 30, 20, 30, 20, 665, 10);
    if (g_HoverRegion == HIT_CLOSE) Copy(SKIN_WINDOW_BTNS, 60, g_ClosePressed ? 40 : 20, 30, 20, 700, 10);
    const int32_t family = g_SysExFamily;
    if (family >= 0 && !thru) Copy(SKIN_FAMILY, 210 * k, 40 * family, 210, 40, 300, 10);
    Copy(SKIN_PORT_LAMPS, (g_MidiInDevice != -1 && g_LampIn > 0) ? 44 : 0, 54 * k, 44, 27, 25, 77);
    Copy(SKIN_PORT_LAMPS, (g_MidiOutDevice != -1 && g_LampOut > 0) ? 44 : 0, 54 * k + 27, 44, 27, 25, 103);
    if (g_IconBlink != 0) IconBlinkCheck();
    if (g_MidiInDevice != -1) Text(70, 76, g_MidiInDeviceName.c_str());
    if (g_MidiOutDevice != -1) Text(70, 103, g_MidiOutDeviceName.c_str());
    if (!thru) {
        char shift[16];
        std::snprintf(shift, sizeof shift, "%2d", static_cast<int>(g_KeyShift));
        Text(646, 49, shift);
    }
    if (Lit(g_LampDrop)) {
        Copy(SKIN_CENTRE, 0, 330, 104, 66, 334, 70);
    } else if (thru) {
        Copy(SKIN_CENTRE, 0, 66 * (k + 1), 104, 66, 334, 70);
    }
    if (Lit(g_LampKeyDown)) Copy(SKIN_KEY_LAMPS, 0, 24 * (k + 1), 20, 24, 676, 50);
    if (Lit(g_LampKeyUp)) Copy(SKIN_KEY_LAMPS, 21, 24 * (k + 1), 20, 24, 697, 50);
    if (Lit(g_LampFreqDown)) Copy(SKIN_FREQ_LAMPS, 0, 40 * (k + 1), 34, 40, 593, 92);
    if (Lit(g_LampFreqUp)) Copy(SKIN_FREQ_LAMPS, 35, 40 * (k + 1), 34, 40, 628, 92);
    if (Lit(g_LampMasterTune)) Copy(SKIN_MASTER_TUNE, 0, 40 * (k + 1), 80, 40, 663, 92);
    if (Lit(g_LampPanic)) Copy(SKIN_PANIC, 0, 21 * (k + 1), 60, 21, 550, 10);
    if (g_RefTone == 1) Copy(SKIN_TONE_LAMPS, 0, 20 * (k + 1), 16, 20, 546, 58);
    if (g_RefTone == 2) Copy(SKIN_TONE_LAMPS, 16, 20 * (k + 1), 16, 20, 565, 58);
    DrawFrequency();
    plat::Present(m_hWnd, m_Skin[SKIN_CANVAS].surface, bg.width, bg.height);
}

void CKVNView::DrawFrequency() {
    const int32_t f = g_Frequency;
    const int32_t y = 42 * g_PanelColor + 2;
    auto digit = [&](int32_t d, int32_t x) { Copy(SKIN_DIGITS, 21 * d, y, 21, 38, x, 94); };
    digit(f % 10, 568);
    Copy(SKIN_DIGITS, 210, y, 12, 38, 550, 94);
    digit((f / 10) % 10, 528);
    digit((f / 100) % 10, 504);
    digit((f / 1000) % 10, 480);
}

void CKVNView::IconBlinkCheck() {
    if (g_MidiInDevice != -1 && g_LampIn > 0) g_BlinkHold = 50;
    if (g_BlinkPhase != kLampIdle) return;
    g_BlinkPhase = 50;
    if (g_BlinkHold != kLampIdle) {
        // Input is arriving: alternate between the two icons.
        if (g_IconState == 2) {
            g_IconState = 1;
            plat::SendWindowMessage(m_hFrame, plat::kWmSetIcon, kIconSmall,
                                    reinterpret_cast<intptr_t>(g_hIconNormal));
        } else {
            g_IconState = 2;
            plat::SendWindowMessage(m_hFrame, plat::kWmSetIcon, kIconSmall,
                                    reinterpret_cast<intptr_t>(g_hIconActivity));
        }
    } else if (g_IconState != 1) {
        g_IconState = 1;
        plat::SendWindowMessage(m_hFrame, plat::kWmSetIcon, kIconSmall,
                                reinterpret_cast<intptr_t>(g_hIconNormal));
    }
}

int32_t CKVNView::HitTest(int32_t x, int32_t y) const {
    const uint32_t color = plat::GetPixel(m_Skin[SKIN_HIT_MAP].surface, x, y);
    if (color == plat::kClrInvalid) return HIT_NONE;
    const int32_t red = plat::RedOf(color);
    if (red < 50 || red > 220 || red % 10 != 0) return HIT_NONE;
    return 25 - red / 10;
}

void CKVNView::OnMouseMove(uint32_t, plat::Point point) {
    g_MousePos = point;
    g_MouseScreen = plat::ClientToScreen(m_hWnd, point);
    g_HoverRegion = HitTest(point.x, point.y);
    if (g_DragState == DRAG_IDLE) {
        g_Redraw = 1;
        return;
    }
    const plat::Rect r = plat::GetWindowRect(m_hFrame);
    const int32_t dx = g_MouseScreen.x - g_DragAnchor.x;
    const int32_t dy = g_MouseScreen.y - g_DragAnchor.y;
    plat::MoveWindow(m_hFrame, r.left + dx, r.top + dy, r.right - r.left, r.bottom - r.top, true);
    g_DragAnchor = g_MouseScreen;
    g_WindowPos = {r.left + dx, r.top + dy};
}

void CKVNView::ChoosePort(bool output) {
    if (output) {
        mf_MidiOutEnumerate();
        g_PickOutput = 1;
        g_MidiOutPicked = g_MidiOutDevice;
    } else {
        mf_MidiInEnumerate();
        g_PickOutput = 0;
        g_MidiInPicked = g_MidiInDevice;
    }
    CDevicePickerDlg picker;
    std::optional<CLetGo> modal(std::in_place);  // the picker's loop dispatches other actions
    const bool chosen = picker.DoModal() == plat::kIdOk;
    modal.reset();
    // Picking the row of a port that failed to open tries it again: with nothing open, the same
    // row is not "the port in use", and leaving it closed would give the user no way back to it.
    // Dismissing the picker is no choice and tries nothing.
    if (output) {
        const bool retry = chosen && g_MidiOutHandle == nullptr && g_MidiOutPicked >= 0;
        if (g_MidiOutPicked != g_MidiOutDevice || retry) mf_MidiOutSwitch(g_MidiOutPicked);
    } else {
        const bool retry = chosen && g_MidiInHandle == nullptr && g_MidiInPicked >= 0;
        if (g_MidiInPicked != g_MidiInDevice || retry) mf_MidiInSwitch(g_MidiInPicked);
    }
    g_Redraw = 1;
}

void CKVNView::OnLButtonDown(uint32_t, plat::Point point) {
    const bool toneOff = g_RefTone == 0;
    const bool thruOff = g_ThruConnect == 0;
    auto paint = [this] { plat::PostWindowMessage(m_hWnd, plat::kWmPaint, 0, 0); };
    switch (g_HoverRegion) {
    case HIT_COLOR_0:
    case HIT_COLOR_1:
    case HIT_COLOR_2:
    case HIT_COLOR_3: {
        const int32_t color = g_HoverRegion - HIT_COLOR_0;
        if (g_PanelColor == color) return;
        g_PanelColor = color;
        paint();
        return;
    }
    case HIT_INPUT_PORT:
    case HIT_OUTPUT_PORT:
        if (!toneOff) return;
        ChoosePort(g_HoverRegion == HIT_OUTPUT_PORT);
        return;
    case HIT_THRU_CONNECT:
        if (!toneOff) return;
        if (g_MidiInHandle != nullptr) {
            g_ThruConnect = 1 - g_ThruConnect;
            mf_ThruConnect(g_ThruConnect);
        }
        paint();
        return;
    case HIT_FREQ_DOWN:
        if (g_Frequency <= 4350) return;
        g_Frequency -= 5;
        mf_SendMasterTune(-1);
        g_LampFreqDown = 10;
        g_LampMasterTune = 10;
        paint();
        return;
    case HIT_FREQ_UP:
        if (g_Frequency >= 4455) return;
        g_Frequency += 5;
        mf_SendMasterTune(-1);
        g_LampFreqUp = 10;
        g_LampMasterTune = 10;
        paint();
        return;
    case HIT_KEY_UP:
        if (!thruOff || !toneOff || g_KeyShift >= 7) return;
        g_KeyShift += 1;
        mf_AllNotesOff();
        mf_AllSoundOff();
        g_LampKeyUp = 10;
        paint();
        return;
    case HIT_KEY_DOWN:
        if (!thruOff || !toneOff || g_KeyShift <= -7) return;
        g_KeyShift -= 1;
        mf_AllNotesOff();
        mf_AllSoundOff();
        g_LampKeyDown = 10;
        paint();
        return;
    case HIT_SEND_TUNE:
        if (!toneOff) return;
        mf_SendMasterTune(-1);
        g_LampMasterTune = 10;
        paint();
        return;
    case HIT_PANIC:
        if (!toneOff) return;
        mf_AllNotesOff();
        mf_AllSoundOff();
        g_LampPanic = 70;
        paint();
        return;
    case HIT_TONE_SOFT:
    case HIT_TONE_LOUD:
        g_RefTone = mf_NextRefTone(g_RefTone, g_HoverRegion == HIT_TONE_SOFT ? 1 : 2);
        mf_RefTone();
        paint();
        return;
    case HIT_MOVE:
        if (!toneOff) return;
        g_DragAnchor = plat::ClientToScreen(m_hWnd, point);
        g_DragState = DRAG_DRAGGING;
        plat::SetCapture(m_hWnd);
        plat::SetCursor(plat::Cursor::SizeAll);
        return;
    case HIT_MINIMIZE:
        if (!toneOff) return;
        g_HoverRegion = HIT_NONE;
        plat::PostWindowMessage(m_hFrame, plat::kWmSysCommand, plat::kScMinimize, 0);
        return;
    case HIT_CLOSE:
        g_ClosePressed = 1;
        paint();
        return;
    default:
        return;
    }
}

void CKVNView::OnLButtonUp(uint32_t, plat::Point) {
    if (g_DragState == DRAG_DRAGGING) {
        // Any release ends a drag: the mouse may have outrun the handle, and a drag that went on
        // after the button was let go would leave the mouse captured.
        g_DragState = DRAG_IDLE;
        plat::ReleaseCapture();
        plat::SetCursor(plat::Cursor::Arrow);
        g_ClosePressed = 0;
        return;
    }
    // The close button acts on a release over it only when the press began on it: sliding onto it
    // from another control and letting go must not end the program.
    if (g_HoverRegion == HIT_CLOSE && g_ClosePressed) {
        mf_DeviceClose();
        plat::PostWindowMessage(m_hFrame, plat::kWmClose, 0, 0);
        return;
    }
    g_ClosePressed = 0;
}

void CKVNView::OnLButtonDblClk(uint32_t flags, plat::Point point) {
    // The second click of a double-click is one more press. It keeps its position: a drag started
    // by it would otherwise measure from the client origin and throw the window across the screen.
    const intptr_t lParam = (point.x & 0xFFFF) | ((point.y & 0xFFFF) << 16);
    plat::PostWindowMessage(m_hWnd, plat::kWmLButtonDown, flags, lParam);
}

intptr_t CKVNView::WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) {
    // Each message that sends, or changes what the thru reads, is one action, whole to the
    // input's fast path (g_KeyShift and the 32 messages after it, a port switch, a handed-off
    // input message and its sends). Paints and moves do neither: the fast path stays open.
    switch (msg) {
    case kMsgShortIn: {
        const CHold hold;
        OnMidiShortMsg(wParam, lParam);
        return 0;
    }
    case kMsgLongIn: {
        const CHold hold;
        OnMidiLongMsg(wParam, lParam);
        return 0;
    }
    case kMsgOutDone: {
        const CHold hold;
        OnMidiOutDone(wParam, lParam);
        return 0;
    }
    case kMsgOutBack: {
        const CHold hold;
        OnMidiOutBack(wParam, lParam);
        return 0;
    }
    case kMsgInGone: {
        const CHold hold;
        OnMidiInGone(wParam, lParam);
        return 0;
    }
    case plat::kWmPaint:
        OnDraw();
        return 0;
    case plat::kWmMouseMove:
        OnMouseMove(static_cast<uint32_t>(wParam), PointOf(lParam));
        return 0;
    case plat::kWmLButtonDown: {
        const CHold hold;
        OnLButtonDown(static_cast<uint32_t>(wParam), PointOf(lParam));
        return 0;
    }
    case plat::kWmLButtonUp: {
        const CHold hold;
        OnLButtonUp(static_cast<uint32_t>(wParam), PointOf(lParam));
        return 0;
    }
    case plat::kWmLButtonDblClk:
        OnLButtonDblClk(static_cast<uint32_t>(wParam), PointOf(lParam));
        return 0;
    default:
        // Keys and the right button have no panel function.
        return 0;
    }
}
