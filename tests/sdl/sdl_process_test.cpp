// Process services of the SDL adapter, without any server: port names, the single-instance claim,
// the timer, message boxes without a display, and process exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>

#include "platform/platform.h"
#include "platform/sdl/sdl_platform.h"
#include "platform/window.h"
#include "tests/sdl/jack_client.h"

namespace {

TEST(SdlNames, AlsaNumbersAreDroppedAndLongNamesCutOnACharacter) {
    EXPECT_EQ(sdlplat::CatalogName("Midi Through:Midi Through Port-0 14:0", true), "Midi Through:Midi Through Port-");
    EXPECT_EQ(sdlplat::CatalogName("SD-90:SD-90 Part A 20:0", true), "SD-90:SD-90 Part A");
    EXPECT_EQ(sdlplat::CatalogName("SD-90:SD-90 Part A 20:0", false), "SD-90:SD-90 Part A 20:0");  // JACK: as it is
    EXPECT_EQ(sdlplat::CatalogName("Synth:Port 14:", true), "Synth:Port 14:");  // not client:port numbers
    EXPECT_EQ(sdlplat::CatalogName("Synth:Port x1:2", true), "Synth:Port x1:2");
    EXPECT_EQ(sdlplat::CatalogName("fluidsynth:midi_00", false), "fluidsynth:midi_00");
    // 30 ASCII bytes and a three-byte character: the character does not fit and goes whole.
    const std::string name = std::string(30, 'a') + "\xE9\x9F\xB3";
    EXPECT_EQ(sdlplat::CatalogName(name, false), std::string(30, 'a'));
    EXPECT_EQ(sdlplat::CatalogName(std::string(40, 'b'), false), std::string(31, 'b'));
}

TEST(SdlNames, OnlyTheProgramsOwnClientsAreItsOwnPorts) {
    for (const char* own : {"KVN:out", "KVN-in:in", "KVN-01:out", "KVN-in-02:in", "KVN:out 128:0"}) {
        EXPECT_TRUE(sdlplat::IsOwnPort(own)) << own;
    }
    for (const char* other : {"KVNX:out", "KVN-inx:in", "KVN-:out", "kvn:out", "synth:KVN", "KVN", "KVN-in-x:in"}) {
        EXPECT_FALSE(sdlplat::IsOwnPort(other)) << other;
    }
}

TEST(SdlProcess, TheInstanceClaimHoldsUntilTheProcessEndsHoweverItEnds) {
    const std::string title = "KVN - claim-test-" + std::to_string(getpid());
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const char ok = plat::ClaimInstance(title.c_str()) ? 'y' : 'n';
        if (write(ready[1], &ok, 1) != 1) std::_Exit(2);
        pause();  // held until killed
        std::_Exit(0);
    }
    close(ready[1]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    close(ready[0]);
    EXPECT_EQ(ok, 'y');
    EXPECT_FALSE(plat::ClaimInstance(title.c_str()));
    EXPECT_TRUE(plat::ClaimInstance((title + "-other").c_str()));

    // A crash leaves no stale claim behind.
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(plat::ClaimInstance(title.c_str()));
    EXPECT_FALSE(plat::ClaimInstance(title.c_str()));  // now ours
}

TEST(SdlProcess, CurrentDirectoryAndSeparator) {
    EXPECT_EQ(plat::GetCurrentDir(), std::filesystem::current_path().string());
    EXPECT_EQ(plat::PathSeparator(), '/');
    const auto here = std::filesystem::current_path();
    std::filesystem::current_path("/");
    EXPECT_EQ(plat::GetCurrentDir(), "/");  // a root keeps its separator
    std::filesystem::current_path(here);
}

struct Ticks {
    std::atomic<int> count{0};
    std::atomic<uint32_t> id{0};
    std::atomic<bool> killedSelf{false};
};

void Count(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    auto* t = reinterpret_cast<Ticks*>(user);
    t->id = id;
    ++t->count;
}

void KillSelf(uint32_t id, uint32_t, uintptr_t user, uintptr_t, uintptr_t) {
    auto* t = reinterpret_cast<Ticks*>(user);
    ++t->count;
    if (plat::TimeKillEvent(id) == plat::kMmNoError) t->killedSelf = true;
}

TEST(SdlTimer, PeriodicTicksStopForGoodWhenKilled) {
    plat::TimeCaps caps{};
    EXPECT_EQ(plat::TimeGetDevCaps(&caps, sizeof caps), plat::kMmNoError);
    EXPECT_EQ(caps.wPeriodMin, 1u);
    EXPECT_NE(plat::TimeGetDevCaps(&caps, 4), plat::kMmNoError);
    EXPECT_EQ(plat::TimeBeginPeriod(1), plat::kMmNoError);

    Ticks a, b;
    const uint32_t idA = plat::TimeSetEvent(10, 1, Count, reinterpret_cast<uintptr_t>(&a), plat::kTimePeriodic);
    ASSERT_NE(idA, 0u);
    ASSERT_TRUE(kvntest::PollUntil([&] { return a.count >= 5; }));
    EXPECT_EQ(a.id, idA);
    EXPECT_EQ(plat::TimeKillEvent(idA), plat::kMmNoError);
    const int frozen = a.count;
    // While another timer ticks ten times, the killed one stays silent.
    const uint32_t idB = plat::TimeSetEvent(10, 1, Count, reinterpret_cast<uintptr_t>(&b), plat::kTimePeriodic);
    ASSERT_TRUE(kvntest::PollUntil([&] { return b.count >= 10; }));
    EXPECT_EQ(a.count, frozen);
    EXPECT_EQ(plat::TimeKillEvent(idB), plat::kMmNoError);
    EXPECT_NE(plat::TimeKillEvent(idB), plat::kMmNoError);
    EXPECT_EQ(plat::TimeSetEvent(10, 1, nullptr, 0, plat::kTimePeriodic), 0u);
}

TEST(SdlTimer, OneShotFiresOnceAndACallbackMayKillItsOwnTimer) {
    Ticks once, self, clock;
    const uint32_t idOnce = plat::TimeSetEvent(5, 1, Count, reinterpret_cast<uintptr_t>(&once), plat::kTimeOneShot);
    const uint32_t idSelf = plat::TimeSetEvent(5, 1, KillSelf, reinterpret_cast<uintptr_t>(&self), plat::kTimePeriodic);
    const uint32_t idClock = plat::TimeSetEvent(10, 1, Count, reinterpret_cast<uintptr_t>(&clock), plat::kTimePeriodic);
    ASSERT_TRUE(kvntest::PollUntil([&] { return self.killedSelf.load() && once.count == 1; }));
    ASSERT_TRUE(kvntest::PollUntil([&] { return clock.count >= 5; }));
    EXPECT_EQ(once.count, 1);
    EXPECT_EQ(self.count, 1);
    plat::TimeKillEvent(idOnce);
    plat::TimeKillEvent(idClock);
    EXPECT_NE(plat::TimeKillEvent(idSelf), plat::kMmNoError);  // already gone
}

TEST(SdlProcess, ClockIsMonotonicAndSleepWaits) {
    const uint64_t t0 = plat::ClockMs();
    plat::Sleep(20);
    EXPECT_GE(plat::ClockMs() - t0, 20u);
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
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        dup2(out[1], STDOUT_FILENO);
        std::atexit([] { (void)!write(STDOUT_FILENO, "atexit", 6); });
        plat::ExitProcess(3);
    }
    close(out[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    char buf[16];
    EXPECT_EQ(read(out[0], buf, sizeof buf), 0);  // no exit handler ran
    close(out[0]);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
}

}  // namespace
