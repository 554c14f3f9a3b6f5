// The application object: start-up, the message loop and shutdown.
#pragma once

#include <memory>
#include <string>

class CMainFrame;
class CKVNDoc;

class CKVNApp {
public:
    CKVNApp();
    ~CKVNApp();

    // Start-up; true when the message loop is to run.
    bool InitInstance();
    // Shutdown; returns the process's exit code (`loopCode` is the code the message loop ended with).
    int ExitInstance(int loopCode);

    std::string m_IniPath;  // the settings file; empty until formed
    bool m_PathFormed = false;
    bool m_StartFailed = false;  // the window set could not be created
    CMainFrame* m_pMainWnd = nullptr;
    // Ports named on the command line, in place of the stored ones (empty: none named).
    std::string m_InGiven, m_OutGiven;

    // Back to a freshly constructed application (tests run several lives in one process).
    void Reset();

private:
    std::unique_ptr<CKVNDoc> m_Doc;
    std::unique_ptr<CMainFrame> m_Frame;
};

extern CKVNApp theApp;

// The folder name the title is made of: the text after the last separator.
std::string FolderNameOf(const std::string& dir, char separator);

// Start-up, the message loop and shutdown; returns the process's exit code.
int KvnMain();
