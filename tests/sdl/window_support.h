// Helpers of the adapter's window tests (under Xvfb).
#pragma once

#include <atomic>
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
        std::lock_guard lk(mu);
        std::vector<Msg> out;
        for (const Msg& m : msgs) {
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

// Runs the message loop; gives up after `ms` with -99.
inline int RunLoop(uint32_t ms = 15000) {
    const uint32_t guard = plat::TimeSetEvent(ms, 1, QuitLater, 0, plat::kTimeOneShot);
    const int code = plat::RunMessageLoop();
    plat::TimeKillEvent(guard);
    return code;
}

// Ends a modal loop that the user never ended, so that a test fails instead of hanging.
class Guard {
public:
    explicit Guard(uint32_t ms = 15000) : id_(plat::TimeSetEvent(ms, 1, QuitLater, 0, plat::kTimeOneShot)) {}
    ~Guard() { plat::TimeKillEvent(id_); }

private:
    uint32_t id_;
};

// xdotool, never left hanging.
inline int Xdotool(const std::string& args) { return Run("timeout 10 xdotool " + args); }

// Whether an X window of this exact name is mapped.
inline bool Viewable(const std::string& name) {
    return Output("xwininfo -name '" + name + "' 2>/dev/null").find("IsViewable") != std::string::npos;
}

// Runs `work` on a thread of its own and joins it when destroyed.
class Background {
public:
    explicit Background(std::function<void()> work) : thread_(std::move(work)) {}
    ~Background() { thread_.join(); }

private:
    std::thread thread_;
};

}  // namespace kvntest
