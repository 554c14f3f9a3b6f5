// The soak's oracle and its comparison, checked without kvn: the model against the examples kvn's
// behaviour is described with, and the comparison against streams broken in each way it must catch.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/oracle/compare.h"
#include "tests/oracle/generator.h"
#include "tests/oracle/model.h"

namespace oracle {
namespace {

Outcome Apply(Model& m, Bytes in) { return m.Apply(in); }

TEST(SoakModel, NotesAreShiftedAndFoldedButNeverOnChannel10) {
    Model up({5, true, 4400});
    EXPECT_EQ(Apply(up, {0x90, 60, 100}).out, (Bytes{0x90, 65, 100}));
    EXPECT_EQ(Apply(up, {0x90, 125, 1}).out, (Bytes{0x90, 118, 1}));
    EXPECT_EQ(Apply(up, {0x99, 36, 100}).out, (Bytes{0x99, 36, 100}));
    EXPECT_EQ(Apply(up, {0x80, 60, 64}).out, (Bytes{0x80, 65, 127}));  // release velocity always 127
    EXPECT_EQ(Apply(up, {0x89, 36, 64}).out, (Bytes{0x89, 36, 127}));
    EXPECT_EQ(Apply(up, {0x90, 60, 0}).out, (Bytes{0x90, 65, 0}));
    EXPECT_EQ(Apply(up, {0xA0, 60, 3}).out, (Bytes{0xA0, 60, 3}));  // poly pressure is not a note
    Model down({-7, true, 4400});
    EXPECT_EQ(Apply(down, {0x93, 3, 9}).out, (Bytes{0x93, 8, 9}));
    EXPECT_EQ(Apply(down, {0x83, 0, 9}).out, (Bytes{0x83, 5, 127}));
}

TEST(SoakModel, ClockFollowsTheFilterAndOtherSystemMessagesPass) {
    Model on({0, true, 4400}), off({0, false, 4400});
    EXPECT_FALSE(Apply(on, {0xF8}).passed);
    EXPECT_TRUE(Apply(off, {0xF8}).passed);
    for (Bytes b : {Bytes{0xFE}, Bytes{0xFA}, Bytes{0xF2, 1, 2}, Bytes{0xF6}, Bytes{0xC3, 5}}) {
        const Outcome o = Apply(on, b);
        EXPECT_TRUE(o.passed);
        EXPECT_EQ(o.out, b);
        EXPECT_EQ(o.tuning, kNoTuning);
    }
}

TEST(SoakModel, FineTuningDataIsDroppedOnlyWhileRpn01IsSelected) {
    Model m({0, true, 4400});
    EXPECT_TRUE(Apply(m, {0xB1, 6, 64}).passed);  // nothing selected yet
    EXPECT_TRUE(Apply(m, {0xB1, 101, 0}).passed);
    EXPECT_TRUE(Apply(m, {0xB1, 100, 1}).passed);
    EXPECT_FALSE(Apply(m, {0xB1, 6, 64}).passed);
    EXPECT_FALSE(Apply(m, {0xB1, 38, 5}).passed);
    EXPECT_TRUE(Apply(m, {0xB2, 6, 64}).passed);   // per channel
    EXPECT_TRUE(Apply(m, {0xB1, 100, 0}).passed);  // RPN 0/0: pitch-bend range
    EXPECT_TRUE(Apply(m, {0xB1, 6, 2}).passed);
    Apply(m, {0xB9, 101, 0});
    Apply(m, {0xB9, 100, 1});
    EXPECT_TRUE(Apply(m, {0xB9, 6, 64}).passed);  // channel 10 is never inspected
}

TEST(SoakModel, ResetAllControllersTunesItsChannelButNot10) {
    Model m({0, true, 4425});
    const Outcome o = Apply(m, {0xB2, 121, 0});
    EXPECT_TRUE(o.passed);
    EXPECT_EQ(o.tuning, 2);
    EXPECT_EQ(Apply(m, {0xB9, 121, 0}).tuning, kNoTuning);
    const std::vector<Bytes> run = m.Run(2);
    EXPECT_EQ(run, (std::vector<Bytes>{{0xB2, 101, 0},
                                       {0xB2, 100, 1},
                                       {0xB2, 6, 0x46},
                                       {0xB2, 38, 0x23},
                                       {0xB2, 101, 127},
                                       {0xB2, 100, 127}}));
    ASSERT_EQ(m.Run(kAllChannels).size(), 90u);
    for (const Bytes& b : m.Run(kAllChannels)) EXPECT_NE(b[0], 0xB9);
}

TEST(SoakModel, SysExIsDroppedOrFollowedByTheTuningByItsBeginning) {
    Model m({0, true, 4400});
    const Outcome gs = Apply(m, {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x7F, 0x00, 0x41, 0xF7});
    EXPECT_TRUE(gs.passed);
    EXPECT_EQ(gs.tuning, kAllChannels);
    EXPECT_EQ(Apply(m, {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x7E, 0x00, 0xF7}).tuning, kAllChannels);
    EXPECT_EQ(Apply(m, {0xF0, 0x7E, 0x7F, 0x09, 0x03, 0xF7}).tuning, kAllChannels);
    EXPECT_FALSE(
        Apply(m, {0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x3C, 0xF7})
            .passed);
    EXPECT_FALSE(Apply(m, {0xF0, 0x43, 0x10, 0x4C, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0xF7}).passed);
    EXPECT_FALSE(Apply(m, {0xF0, 0x7F, 0x7F, 0x04, 0x03, 0x00, 0x41, 0xF7}).passed);
    // Only the shorter of message and pattern is compared: a stub matches both tables.
    const Outcome stub = Apply(m, {0xF0, 0x43, 0x10, 0xF7});
    EXPECT_FALSE(stub.passed);
    EXPECT_EQ(stub.tuning, kAllChannels);
    // Over 30 bytes nothing is looked at: a GS master tune with filler behind it.
    Bytes padded{0xF0, 0x41, 0x10, 0x42, 0x12, 0x40, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x3C, 0xF7};
    padded.resize(29, 0x00);
    padded.push_back(0xF7);
    EXPECT_FALSE(Apply(m, padded).passed);  // 30 bytes: looked at
    padded.insert(padded.end() - 1, 0x00);
    EXPECT_TRUE(Apply(m, padded).passed);  // 31 bytes: passed untouched
    EXPECT_TRUE(Apply(m, {0xF0, 0x7D, 0x01, 0x02, 0xF7}).passed);
}

TEST(SoakGenerator, TheSameSeedPlaysTheSameMessages) {
    Generator a(7, 16384), b(7, 16384), c(8, 16384);
    bool differs = false;
    for (int i = 0; i < 2000; ++i) {
        const Generated x = a.Next();
        EXPECT_EQ(x.bytes, b.Next().bytes);
        differs = differs || x.bytes != c.Next().bytes;
        ASSERT_FALSE(x.bytes.empty());
        EXPECT_GE(x.bytes[0], 0x80);
        if (x.bytes[0] == 0xF0) {
            EXPECT_EQ(x.bytes.back(), 0xF7);
        }
    }
    EXPECT_TRUE(differs);
}

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

TEST(SoakComparer, TakesTheRightStreamAndCatchesEveryBrokenOne) {
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

TEST(SoakComparer, ARunMayLandLaterOnlyWithinTheLandingAllowed) {
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
