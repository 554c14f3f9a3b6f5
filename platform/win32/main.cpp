// KVN.exe's entry point: everything else is the portable application.
#include "platform/win32/win32_internal.h"
#include "shell/app.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return KvnMain(); }
