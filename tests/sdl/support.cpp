#include "tests/sdl/support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/sdl/jack_client.h"

namespace kvntest {

void Recorder::InProc(plat::HMidiIn, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    reinterpret_cast<Recorder*>(instance)->Add(msg, p1, p2, msg == plat::kMimLongData);
}

void Recorder::OutProc(plat::HMidiOut, uint32_t msg, uintptr_t instance, uintptr_t p1, uintptr_t p2) {
    reinterpret_cast<Recorder*>(instance)->Add(msg, p1, p2, msg == plat::kMomDone);
}

void Recorder::Add(uint32_t msg, uintptr_t p1, uintptr_t p2, bool withHeader) {
    Call c{msg, p1, p2, std::this_thread::get_id(), {}, 0};
    if (withHeader && p1 != 0) {
        const auto* hdr = reinterpret_cast<const plat::MidiHdr*>(p1);
        const auto* bytes = reinterpret_cast<const uint8_t*>(hdr->lpData);
        c.data.assign(bytes, bytes + hdr->dwBytesRecorded);
        c.flags = hdr->dwFlags;
    }
    std::lock_guard lk(mu_);
    calls_.push_back(std::move(c));
}

std::vector<Call> Recorder::Calls() {
    std::lock_guard lk(mu_);
    return calls_;
}

std::vector<Call> Recorder::Calls(uint32_t msg) {
    std::vector<Call> out;
    for (Call& c : Calls()) {
        if (c.msg == msg) out.push_back(std::move(c));
    }
    return out;
}

bool Recorder::WaitFor(uint32_t msg, size_t count, std::chrono::milliseconds timeout) {
    return PollUntil([&] { return Calls(msg).size() >= count; }, timeout);
}

namespace {

std::vector<std::string> Names(bool input) {
    std::vector<std::string> names;
    const uint32_t n = input ? plat::MidiInGetNumDevs() : plat::MidiOutGetNumDevs();
    for (uint32_t i = 0; i < n; ++i) {
        char name[plat::kMaxPnameLen] = {};
        const uint32_t r = input ? plat::MidiInGetDevName(i, name, sizeof name) : plat::MidiOutGetDevName(i, name, sizeof name);
        names.emplace_back(r == plat::kMmNoError ? name : "?");
    }
    return names;
}

int Row(bool input, const std::string& name) {
    const std::vector<std::string> names = Names(input);
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

int InputRow(const std::string& name) { return Row(true, name); }
int OutputRow(const std::string& name) { return Row(false, name); }
std::vector<std::string> InputNames() { return Names(true); }
std::vector<std::string> OutputNames() { return Names(false); }

std::string ScratchDir() {
    static int counter = 0;
    const std::string dir = std::filesystem::current_path().string() + "/scratch-" + std::to_string(getpid()) + "-" +
                            std::to_string(++counter);
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

int Run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Output(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

}  // namespace kvntest
