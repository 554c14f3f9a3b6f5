// kvn --headless: the engine without a window, for a computer without a screen.
#pragma once

#include <string>

// Runs until a stop signal, in the current folder, with the ports of KVN.ini or those given here
// (non-empty); returns the exit status.
int HeadlessMain(const std::string& in, const std::string& out);
