// Process services of the SDL adapter, without any server: its own ports, the single-instance claim,
// a timer's one-shot and self-kill, message boxes and windows without a display, and process exit
// (the rest of the timer and the clock are the platform contract's, tests/platform).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "platform/sdl/sdl_platform.h"
#include "platform/window.h"
#include "tests/sdl/jack_client.h"

namespace {

TEST(SdlNames, OnlyTheProgramsOwnClientsAreItsOwnPorts) {
    for (const char* own : {"KVN:out", "KVN-in:in", "KVN-01:out", "KVN-in-02:in", "KVN:out 128:0"}) {
        EXPECT_TRUE(sdlplat::IsOwnPort(own)) << own;
    }
    for (const char* other :
         {"KVNX:out", "KVN-inx:in", "KVN-:out", "kvn:out", "synth:KVN", "KVN", "KVN-in-x:in"}) {
        EXPECT_FALSE(sdlplat::IsOwnPort(other)) << other;
    }
}

TEST(SdlProcess, TheInstanceClaimHoldsUntilTheProcessEndsHoweverItEnds) {
    const std::string title = "KVN - claim-test-" + std::to_string(getpid());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        const char ok = plat::ClaimInstance(title.c_str()) ? 'y' : 'n';
        if (write(ready[1], &ok, 1) == 1) pause();  // held until killed
        std::_Exit(0);
    }
    ASSERT_GT(child, 0);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    EXPECT_FALSE(plat::ClaimInstance(title.c_str()));
    EXPECT_TRUE(plat::ClaimInstance((title + "-other").c_str()));

    // A crash leaves no stale claim behind.
    kill(child, SIGKILL);
    ASSERT_EQ(waitpid(child, nullptr, 0), child);
    EXPECT_TRUE(plat::ClaimInstance(title.c_str()));
    EXPECT_FALSE(plat::ClaimInstance(title.c_str()));  // now ours
}

void KillSelf(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    auto* count = reinterpret_cast<std::atomic<int>*>(user);
    if (plat::TimeKillEvent(id) == plat::kMmNoError) ++*count;
}

void CountTick(uint32_t, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    ++*reinterpret_cast<std::atomic<int>*>(user);
}

// Beyond the platform contract: a one-shot fires once, a callback may kill its own timer, and the
// capabilities are refused into a structure too small for them.
TEST(SdlTimer, AOneShotFiresOnceAndACallbackMayKillItsOwnTimer) {
    plat::TimeCaps caps{};
    EXPECT_NE(plat::TimeGetDevCaps(&caps, 4), plat::kMmNoError);
    static std::atomic<int> once{0}, self{0}, clock{0};
    const uint32_t idOnce =
        plat::TimeSetEvent(5, 1, CountTick, reinterpret_cast<uintptr_t>(&once), plat::kTimeOneShot);
    const uint32_t idSelf =
        plat::TimeSetEvent(5, 1, KillSelf, reinterpret_cast<uintptr_t>(&self), plat::kTimePeriodic);
    const uint32_t idClock =
        plat::TimeSetEvent(5, 1, CountTick, reinterpret_cast<uintptr_t>(&clock), plat::kTimePeriodic);
    EXPECT_TRUE(kvntest::PollUntil([&] { return self == 1 && once == 1 && clock >= 10; }));
    plat::TimeKillEvent(idOnce);
    EXPECT_EQ(plat::TimeKillEvent(idClock), plat::kMmNoError);
    EXPECT_NE(plat::TimeKillEvent(idSelf), plat::kMmNoError);  // already gone
    EXPECT_EQ(once, 1);
    EXPECT_EQ(self, 1);
}

TEST(SdlProcess, AMessageBoxWithoutADisplayGoesToStderr) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(plat::ShowMessageBox("[SD-90] got missing.", "Korvane", plat::kMbOk), plat::kIdOk);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Korvane: [SD-90] got missing.\n");
}

TEST(SdlProcess, WithoutADisplayNoWindowIsMadeAndTheUserIsToldWhy) {
    // SDL would fall back to an invisible video driver: a program nobody can see or close.
    testing::internal::CaptureStderr();
    EXPECT_EQ(plat::CreateMainFrame("KVN - nowhere", 0, 0, 740, 150, nullptr), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Korvane: no display to show the panel on"), std::string::npos) << err;
}

TEST(SdlProcess, ExitProcessEndsAtOnceWithoutOurShutdown) {
    const auto exitNow = [] {
        std::atexit([] { std::fputs("an exit handler ran", stderr); });
        plat::ExitProcess(3);
    };
    EXPECT_EXIT(exitNow(), ::testing::ExitedWithCode(3), "^$");
}

}  // namespace
