// The comparison the soak relies on, against streams broken in each way it must catch: a lax
// comparer would let the soak pass whatever kvn sends.
#include "tests/oracle/compare.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace oracle {
namespace {

// A stream of three messages: a note, a Reset All Controllers on channel 3, a note.
struct Stream {
    explicit Stream(int landing) : model({0, true, 4400}), comparer(model, landing) {
        for (const Bytes& in : played) comparer.Expect(source++, model.Apply(in));
    }
    // What kvn should send for it.
    std::vector<Bytes> Right() const {
        std::vector<Bytes> out{played[0], played[1]};
        for (const Bytes& b : model.Run(2)) out.push_back(b);
        out.push_back(played[2]);
        return out;
    }
    bool Feed(const std::vector<Bytes>& out) {
        for (const Bytes& b : out) {
            if (!comparer.Feed(b)) return false;
        }
        comparer.Flush();
        return !comparer.Failed() && comparer.Caught();
    }
    std::vector<Bytes> played{{0x90, 60, 1}, {0xB2, 121, 0}, {0x91, 61, 2}};
    uint64_t source = 0;
    Model model;
    Comparer comparer;
};

TEST(Comparer, TakesTheRightStreamAndCatchesEveryBrokenOne) {
    EXPECT_TRUE(Stream(0).Feed(Stream(0).Right()));

    auto broken = [](auto change) {
        Stream s(0);
        std::vector<Bytes> out = s.Right();
        change(out);
        return !s.Feed(out);
    };
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { o.erase(o.begin()); }));      // lost
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { o.push_back(o.back()); }));   // repeated
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { std::swap(o[0], o[1]); }));   // reordered
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { o[4][2] = 65; }));            // a wrong value in the run
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { o.erase(o.begin() + 5); }));  // a run message lost
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { o.resize(5); }));             // cut short at the end
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { o.insert(o.begin() + 4, {0xFE}); }));  // inside the run
    EXPECT_TRUE(broken([](std::vector<Bytes>& o) { o.erase(o.begin() + 2, o.begin() + 8); }));  // no run
}

TEST(Comparer, ARunMayLandLaterOnlyWithinTheLandingAllowed) {
    auto late = [](int landing) {
        Stream s(landing);
        std::vector<Bytes> out = s.Right();
        std::rotate(out.begin() + 2, out.begin() + 8, out.end());  // the last note before the run
        return s.Feed(out);
    };
    EXPECT_FALSE(late(0));
    EXPECT_TRUE(late(1));
    Stream early(3);
    std::vector<Bytes> out = early.Right();
    std::rotate(out.begin() + 1, out.begin() + 2, out.begin() + 8);  // the run before its trigger
    EXPECT_FALSE(early.Feed(out));
}

}  // namespace
}  // namespace oracle
