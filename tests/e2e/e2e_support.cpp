#include "tests/e2e/e2e_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/sdl/sdl_internal.h"
#include "tests/sdl/support.h"
#include "tests/sdl/window_support.h"

namespace fs = std::filesystem;
using kvntest::Output;
using kvntest::PollUntil;

namespace e2e {

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// "Absolute upper-left X:  100" and the like, from xwininfo.
int Field(const std::string& info, const std::string& name) {
    const size_t at = info.find(name);
    return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + name.size());
}

std::string WindowId(const std::string& info) {
    const size_t at = info.find("Window id: ");
    if (at == std::string::npos) return {};
    const size_t from = at + 11;
    return info.substr(from, info.find(' ', from) - from);
}

bool SameRegion(const kvn::bmp::Image& a, const kvn::bmp::Image& b, int x0, int y0, int x1, int y1) {
    if (a.width < x1 || b.width < x1 || a.height < y1 || b.height < y1) return false;
    for (int y = y0; y < y1; ++y) {
        for (int x = x0; x < x1; ++x) {
            if (a.pixels[size_t(y) * size_t(a.width) + size_t(x)] !=
                b.pixels[size_t(y) * size_t(b.width) + size_t(x)]) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

kvn::bmp::Image Skin(const std::string& file) {
    kvn::bmp::Image img;
    kvn::bmp::Load(std::string(KVN_SOURCE_DIR) + "/resources/Bitmap/" + file, img);
    return img;
}

Point ControlAt(int red) {
    const kvn::bmp::Image map = Skin("05.bmp");
    long sx = 0, sy = 0, n = 0;
    for (int y = 0; y < map.height; ++y) {
        for (int x = 0; x < map.width; ++x) {
            if (int((map.pixels[size_t(y) * size_t(map.width) + size_t(x)] >> 16) & 0xFF) != red) continue;
            sx += x;
            sy += y;
            ++n;
        }
    }
    return n == 0 ? Point{-1, -1} : Point{int(sx / n), int(sy / n)};
}

Kvn::Kvn(const std::string& folder, const std::string& ini) : folder_(folder) {
    dir_ = kvntest::ScratchDir() + "/" + folder;
    fs::create_directories(dir_);
    fs::create_symlink(fs::path(KVN_PROGRAM).parent_path() / "Bitmap", fs::path(dir_) / "Bitmap");
    if (!ini.empty()) std::ofstream(dir_ + "/KVN.ini", std::ios::binary) << ini;
}

Kvn::~Kvn() {
    if (pid_ > 0 && Running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool Kvn::Start() {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    const std::string log = dir_ + "/../kvn.log";
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // With the stop signals unblocked, whatever this test's threads block.
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
    const char* argv[] = {KVN_PROGRAM, nullptr};
    const int err = posix_spawn(&pid_, KVN_PROGRAM, &actions, &attr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    return err == 0;
}

bool Kvn::WaitForPanel(std::chrono::seconds timeout) {
    const std::string name = Title();
    bool up = PollUntil(
        [&] {
            if (!Running()) return true;
            const std::string info = Output("xwininfo -name '" + name + "' 2>/dev/null");
            if (info.find("IsViewable") == std::string::npos) return false;
            panelX_ = Field(info, "Absolute upper-left X:");
            panelY_ = Field(info, "Absolute upper-left Y:");
            return true;
        },
        timeout);
    if (!up || !Running()) return false;
    // Painted: a corner of the panel that nothing is ever drawn over shows the background.
    const kvn::bmp::Image background = Skin("00.bmp");
    return PollUntil([&] { return SameRegion(Shot(), background, 4, 4, 180, 70); }, std::chrono::seconds(10));
}

void Kvn::Click(Point p) {
    kvntest::Xdotool("mousemove " + std::to_string(panelX_ + p.x) + " " + std::to_string(panelY_ + p.y) +
                     " click 1");
}

kvn::bmp::Image Kvn::Shot() {
    kvn::bmp::Image img;
    const std::string id = WindowId(Output("xwininfo -name '" + Title() + "' 2>/dev/null"));
    if (id.empty()) return img;
    const std::string file = dir_ + "/../shot.bmp";
    kvntest::Run("/usr/bin/import -window " + id + " bmp3:" + file);
    kvn::bmp::Load(file, img);
    return img;
}

bool Kvn::Running() {
    if (pid_ <= 0 || status_ != -1) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return false;
}

int Kvn::WaitExit(std::chrono::seconds timeout) {
    PollUntil([&] { return !Running(); }, timeout);
    return Running() ? -1 : status_;
}

void Kvn::Signal(int sig) {
    if (Running()) kill(pid_, sig);
}

std::string Kvn::Ini() const { return ReadFile(dir_ + "/KVN.ini"); }
std::string Kvn::Log() const { return ReadFile(dir_ + "/../kvn.log"); }

std::string IniValue(const std::string& ini, const std::string& section, const std::string& key) {
    std::istringstream in(ini);
    bool inSection = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line.front() == '[') {
            inSection = line == "[" + section + "]";
        } else if (inSection && line.compare(0, key.size() + 1, key + "=") == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "<missing>";
}

namespace {

std::string BoxId(const std::string& caption) {
    std::istringstream tree(Output("xwininfo -root -tree"));
    for (std::string line; std::getline(tree, line);) {
        const size_t at = line.find("0x");
        if (line.find("\"" + caption + "\"") != std::string::npos && at != std::string::npos) {
            return line.substr(at, line.find(' ', at) - at);
        }
    }
    return {};
}

}  // namespace

bool BoxShown(const std::string& caption) { return !BoxId(caption).empty(); }

bool DismissBox(const std::string& caption) {
    const std::string id = BoxId(caption);
    if (id.empty()) return false;
    // Enter in it, again until it is gone (the first may come before it takes keys).
    const auto gone = [&] { return Output("xwininfo -root -tree").find(id + " ") == std::string::npos; };
    return PollUntil(
        [&] {
            if (gone()) return true;
            kvntest::Xdotool("windowfocus --sync " + id + " key Return");
            return PollUntil(gone, std::chrono::seconds(1));
        },
        std::chrono::seconds(20));
}

std::vector<Bytes> OnAllChannels(uint8_t controller) {
    std::vector<Bytes> all;
    for (int ch = 0; ch < 16; ++ch) all.push_back({uint8_t(0xB0 + ch), controller, 0});
    return all;
}

std::vector<Bytes> Concat(std::vector<std::vector<Bytes>> parts) {
    std::vector<Bytes> all;
    for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

bool IsMarker(const Bytes& b) { return !b.empty() && (b[0] == 0xFE || b[0] == 0xF2); }

namespace {

// Over either rig, and over JackClient itself for the JACK-only users (the soak, the benchmark).
template <class Client>
std::vector<Bytes> PlayedBy(Client& sink) {
    std::vector<Bytes> out;
    for (Bytes& b : sink.Received()) {
        if (!IsMarker(b)) out.push_back(std::move(b));
    }
    return out;
}

template <class Client>
bool Marked(Client& player, Client& sink) {
    static uint8_t count = 0;
    const Bytes marker{0xF2, uint8_t(++count & 0x7F), 0x55};
    player.Send(marker);
    return PollUntil(
        [&] {
            for (const Bytes& b : sink.Received()) {
                if (b == marker) return true;
            }
            return false;
        },
        std::chrono::seconds(10));
}

template <class Client>
bool Live(Client& player, Client& sink, bool clear) {
    const bool live = PollUntil(
        [&] {
            for (const Bytes& b : sink.Received()) {
                if (b == Bytes{0xFE}) return true;
            }
            player.Send({0xFE});
            return PollUntil(
                [&] {
                    for (const Bytes& b : sink.Received()) {
                        if (b == Bytes{0xFE}) return true;
                    }
                    return false;
                },
                std::chrono::milliseconds(50));
        },
        std::chrono::seconds(20));
    if (!live) return false;
    // Active sensing sent meanwhile may still be on its way: settle, then start afresh.
    const bool settled = Marked(player, sink);
    if (clear) sink.Clear();
    return settled;
}

}  // namespace

std::vector<Bytes> Played(kvntest::MidiClient& sink) { return PlayedBy(sink); }
std::vector<Bytes> Played(kvntest::JackClient& sink) { return PlayedBy(sink); }
bool WaitLive(kvntest::MidiClient& player, kvntest::MidiClient& sink, bool clear) {
    return Live(player, sink, clear);
}
bool WaitLive(kvntest::JackClient& player, kvntest::JackClient& sink, bool clear) {
    return Live(player, sink, clear);
}
bool Settle(kvntest::MidiClient& player, kvntest::MidiClient& sink) { return Marked(player, sink); }
bool Settle(kvntest::JackClient& player, kvntest::JackClient& sink) { return Marked(player, sink); }

Bytes SysEx(size_t size) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) b[i] = uint8_t((i * 13 + 5) & 0x7F);
    b.front() = 0xF0;
    b.back() = 0xF7;
    return b;
}

std::vector<std::string> InputRows(kvntest::MidiClient& any) {
    std::vector<std::string> rows;
    for (const std::string& port : any.Outputs()) {
        if (port.rfind("KVN", 0) != 0) rows.push_back(port);
    }
    return rows;
}

namespace {

int PickerLineHeight() {
    TTF_Font* font = sdlplat::internal::OpenCellFont(sdlplat::internal::FindFace("Courier New"), 18);
    if (font == nullptr) return 18;
    const int height = TTF_FontLineSkip(font);
    TTF_CloseFont(font);
    return height;
}

}  // namespace

bool PressRow(Kvn& kvn, Point control, int row) {
    kvn.Click(control);
    std::string info;
    if (!PollUntil([&] {
            info = Output("xwininfo -name 'KVN list' 2>/dev/null");
            return info.find("IsViewable") != std::string::npos;
        })) {
        return false;
    }
    const int left = Field(info, "Absolute upper-left X:"), top = Field(info, "Absolute upper-left Y:");
    const int line = PickerLineHeight();
    kvntest::Xdotool("mousemove " + std::to_string(left + 40) + " " +
                     std::to_string(top + 1 + row * line + line / 2) + " mousedown 1");
    return true;
}

bool PickRow(Kvn& kvn, Point control, int row) {
    if (!PressRow(kvn, control, row)) return false;
    kvntest::Xdotool("mouseup 1");
    return PollUntil([] { return !kvntest::Viewable("KVN list"); });
}

std::string Show(const std::vector<Bytes>& messages) {
    std::string out;
    for (const Bytes& m : messages) {
        out += oracle::Show(m);
        out += "; ";
    }
    return out;
}

}  // namespace e2e
