// The application as a whole: what each platform's entry point runs.
#pragma once

// Start-up, the message loop and shutdown; returns the process's exit code.
int KvnMain();
