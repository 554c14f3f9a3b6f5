// Shared between the simulated platform's source files.
#pragma once

#include <string>

#include "platform/window.h"

struct plat::Window {
    plat::WindowClient* client = nullptr;
    bool isFrame = false;
    plat::Window* frame = nullptr;  // the view's frame
    plat::Window* view = nullptr;   // the frame's view
    std::string title;
    plat::Rect rect{};
    bool shown = false;
    bool iconic = false;
    bool destroyed = false;
    int smallIcon = 0;
};

namespace sim::internal {
void ResetWindows();
}
