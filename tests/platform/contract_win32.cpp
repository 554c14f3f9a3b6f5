// The contract test's user on the Win32 adapter (Wine under Xvfb): windows found by title, keys
// and clicks posted to them.
#include <windows.h>

#include "platform/win32/win32_internal.h"
#include "tests/platform/contract.h"

namespace contract {

// Wine's stand-in for SimHei keeps the height, not the width, and a fresh prefix does not always
// pick the same one: 108 to 119 pixels, a cell of 25 or 26 rows.
const FontMetrics kPanelFont = {114, 10, 1};

std::string ScratchPath(const std::string& name) {
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    return std::string(dir) + "kvn_contract_" + name;
}

bool Shown(const std::string& title) {
    HWND w = FindWindowA(nullptr, title.c_str());
    return w != nullptr && IsWindowVisible(w);
}

std::string AnswerBox(const std::string& caption) {
    wchar_t text[64] = {};
    for (const DWORD start = GetTickCount(); GetTickCount() - start < 10000; Sleep(20)) {
        HWND box = FindWindowA("#32770", caption.c_str());
        if (box != nullptr && GetDlgItemTextW(box, 0xFFFF, text, 64) > 0) {
            PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            break;
        }
    }
    char utf8[256] = {};
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, nullptr, nullptr);
    return utf8;
}

void PressKeys(plat::HDialog dlg, const std::vector<Key>& keys) {
    for (Key k : keys)
        PostMessageA(GetDlgItem(dlg->hwnd, 1000), WM_KEYDOWN, k == Key::Down ? VK_DOWN : VK_ESCAPE, 0);
}

}  // namespace contract
