#include "shell/app.h"

#include "engine/engine.h"
#include "panel/doc.h"
#include "platform/window.h"
#include "shell/globals.h"
#include "shell/main_frame.h"
#include "shell/settings.h"

CKVNApp theApp;

CKVNApp::CKVNApp() = default;
CKVNApp::~CKVNApp() = default;

void CKVNApp::Reset() {
    m_Frame.reset();
    m_Doc.reset();
    m_pMainWnd = nullptr;
    m_IniPath.clear();
    m_PathFormed = false;
    m_StartFailed = false;
    m_InGiven.clear();
    m_OutGiven.clear();
}

std::string FolderNameOf(const std::string& dir, char separator) {
    // The separator is a single byte in every encoding we are given (UTF-8 never reuses it inside
    // a character), so the last one found is the real one.
    const size_t pos = dir.find_last_of(separator);
    return pos == std::string::npos ? dir : dir.substr(pos + 1);
}

bool CKVNApp::InitInstance() {
    g_WindowTitle = "KVN - " + FolderNameOf(plat::GetCurrentDir(), plat::PathSeparator());

    if (!plat::ClaimInstance(g_WindowTitle.c_str())) {
        plat::ShowMessageBox("KVN.exe is already starting.", "Korvane", plat::kMbOk);
        return false;
    }

    m_IniPath = kvn::settings::FormPath();
    m_PathFormed = true;
    kvn::settings::Load(m_IniPath);
    if (!m_InGiven.empty()) g_MidiInDeviceName = m_InGiven;
    if (!m_OutGiven.empty()) g_MidiOutDeviceName = m_OutGiven;

    // Opening the output already sends its start-up burst and tuning, before any window exists.
    mf_DeviceInitialize();

    m_Doc = std::make_unique<CKVNDoc>();
    m_Doc->OnNewDocument();
    m_Frame = std::make_unique<CMainFrame>();
    m_pMainWnd = m_Frame.get();
    if (!m_Frame->Create()) {
        m_Frame.reset();
        m_pMainWnd = nullptr;
        m_StartFailed = true;
        return false;
    }

    plat::ShowWindow(m_Frame->Hwnd(), g_WindowShow != 0 ? plat::kSwShow : plat::kSwMinimize);
    m_Frame->UpdateWindow();

    mf_TimerInitialize();
    mf_TimerStart();
    g_LampMasterTune = 200;
    if (g_MidiInHandle != nullptr) mf_MidiInStart();
    return true;
}

int CKVNApp::ExitInstance(int loopCode) {
    mf_TimerKill();
    mf_TimerEndPeriod();
    // A refused instance never formed its path: it writes nothing at all, so the running
    // instance's "KVN.ini" is left exactly as it is.
    if (m_PathFormed) kvn::settings::Save(m_IniPath);
    m_IniPath.clear();
    m_PathFormed = false;
    // A start that could not create its window is a failure, whatever the loop never said.
    return m_StartFailed ? 1 : loopCode;
}

int KvnMain() {
    const int loopCode = theApp.InitInstance() ? plat::RunMessageLoop() : 0;
    return theApp.ExitInstance(loopCode);
}
