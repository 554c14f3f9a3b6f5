// Helpers of the adapter's window tests (under Xvfb).
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/window.h"
#include "tests/sdl/jack_client.h"
#include "tests/sdl/support.h"

namespace kvntest {

struct Msg {
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
    std::thread::id thread;
};

// A window client that records what it is given and may act on it.
class Client final : public plat::WindowClient {
public:
    virtual ~Client() = default;
    intptr_t WindowProc(uint32_t msg, uintptr_t wParam, intptr_t lParam) override {
        {
            std::lock_guard lk(mu);
            msgs.push_back({msg, wParam, lParam, std::this_thread::get_id()});
        }
        if (on) on(msg, wParam, lParam);
        return 0;
    }
    std::vector<Msg> Of(uint32_t msg) {
        std::vector<Msg> out;
        for (const Msg& m : All()) {
            if (m.msg == msg) out.push_back(m);
        }
        return out;
    }
    std::vector<Msg> All() {
        std::lock_guard lk(mu);
        return msgs;
    }
    std::function<void(uint32_t, uintptr_t, intptr_t)> on;
    std::mutex mu;
    std::vector<Msg> msgs;
};

inline void QuitLater(uint32_t, uint32_t, uintptr_t, uintptr_t, uintptr_t) { plat::QuitMessageLoop(-99); }

// Ends a (modal) message loop that nothing else ended, with -99, so that a test fails instead of hanging.
class Guard {
public:
    explicit Guard(uint32_t ms = 15000) : id_(plat::TimeSetEvent(ms, 1, QuitLater, 0, plat::kTimeOneShot)) {}
    ~Guard() { plat::TimeKillEvent(id_); }

private:
    uint32_t id_;
};

inline int RunLoop(uint32_t ms = 15000) {
    Guard guard(ms);
    return plat::RunMessageLoop();
}

// xdotool, never left hanging.
inline int Xdotool(const std::string& args) { return Run("timeout 10 xdotool " + args); }

// Whether an X window of this exact name is mapped.
inline bool Viewable(const std::string& name) {
    return Output("xwininfo -name '" + name + "' 2>/dev/null").find("IsViewable") != std::string::npos;
}

// Work on a thread of its own, joined when it goes out of scope.
using Background = std::jthread;

}  // namespace kvntest
