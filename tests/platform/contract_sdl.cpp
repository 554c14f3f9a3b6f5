// The contract test's user on the SDL adapter: an X server (run_with.sh --x) looked at with
// xwininfo and driven with xdotool.
#include <gtest/gtest.h>

#include <thread>

#include "tests/platform/contract.h"
#include "tests/sdl/window_support.h"

namespace contract {

const FontMetrics kPanelFont = {80, 8, 0};  // ten digits of 8 pixels, the whole cell

std::string ScratchPath(const std::string& name) {
    static const std::string dir = kvntest::ScratchDir();
    return dir + "/" + name;
}

bool Shown(const std::string& title) { return kvntest::Viewable(title); }

std::string AnswerBox(const std::string& caption) {
    // Pressing Enter in the box, as a user would, until it is gone.
    const auto boxId = [&] {
        return kvntest::Output("xwininfo -root -tree | awk '/\"" + caption +
                               "\"/ { printf \"%s\", $1; exit }'");
    };
    kvntest::PollUntil([&] { return !boxId().empty(); }, std::chrono::seconds(20));
    const bool gone = kvntest::PollUntil(
        [&] {
            const std::string id = boxId();
            if (id.empty()) return true;
            kvntest::Xdotool("windowfocus --sync " + id + " key Return");
            return kvntest::PollUntil([&] { return boxId().empty(); }, std::chrono::seconds(1));
        },
        std::chrono::seconds(20));
    if (!gone) ADD_FAILURE() << "the box stayed open:\n" << kvntest::Output("xwininfo -root -tree");
    return "";  // X does not tell what a box says
}

void PressKeys(plat::HDialog, const std::vector<Key>& keys) {
    std::string names;
    for (Key k : keys) names += k == Key::Down ? " Down" : " Escape";
    static std::jthread user;  // the last one is joined before the next starts
    user = std::jthread([names] {
        kvntest::PollUntil([] { return kvntest::Viewable("KVN list"); });
        kvntest::Xdotool("key" + names);
    });
}

}  // namespace contract
