// The device picker as the panel runs it: the numbered lines, the marked port, the cable rule,
// its place and colour, choosing, dismissing, and MIDI that keeps flowing while it is open.
#include "picker/picker.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "shell/globals.h"
#include "tests/support/app_fixture.h"

namespace kvntest {
namespace {

using Lines = std::vector<std::string>;

class PickerTest : public AppTest {
protected:
    void StartWith(Lines inputs, Lines outputs, const std::string& in, const std::string& out) {
        sim::SetInputDevices(std::move(inputs));
        sim::SetOutputDevices(std::move(outputs));
        WriteIni("[InitialSetting]\nMidiInDeviceName=" + in + "\nMidiOutDeviceName=" + out + "\n");
        ASSERT_TRUE(Start());
        Settle();
    }
    void Settle() {
        Pump();
        sim::ClearLogs();
        sim::ClearBoxes();
    }

    // Clicks a port name with `action` as what the user does in the list; returns the list as shown.
    sim::ListState Pick(int region, std::function<void(plat::HDialog)> action = nullptr) {
        sim::SetListAction(std::move(action));
        const size_t before = sim::ListsShown().size();
        MoveTo(PointOf(region));
        g_Redraw = 0;  // the hover's own request; the picker's comes after it closes
        Press();
        Release();
        EXPECT_EQ(sim::ListsShown().size(), before + 1);
        EXPECT_EQ(sim::ListsOpen(), 0);
        sim::SetListAction(nullptr);
        return sim::ListsShown().empty() ? sim::ListState{} : sim::ListsShown().back();
    }

    // Chooses the line that starts with `prefix`.
    static std::function<void(plat::HDialog)> Choose(const std::string& prefix) {
        return [prefix](plat::HDialog dlg) {
            const sim::ListState list = sim::List(dlg);
            for (size_t i = 0; i < list.lines.size(); ++i) {
                if (list.lines[i].rfind(prefix, 0) == 0) {
                    sim::UserSelect(dlg, int(i));
                    return;
                }
            }
            ADD_FAILURE() << "no line " << prefix;
        };
    }

    static bool Opened(int device) {
        return std::any_of(sim::OutputLog().begin(), sim::OutputLog().end(),
                           [&](const auto& e) { return e.kind == sim::Event::Open && e.device == device; });
    }
    // The panel's last repaint wrote `name` as the output port.
    bool OutputNameShown(const std::string& name) {
        sim::ClearDrawLog();
        sim::Tick();
        Pump();
        for (const auto& op : sim::DrawLog()) {
            if (op.kind == sim::DrawKind::Text && op.y == 103 && op.text == name) return true;
        }
        return false;
    }
};

TEST_F(PickerTest, LinesAreNumberedRowsWithTheCurrentPortSelectedAndDismissingChangesNothing) {
    const struct {
        const char* what;
        Lines inputs, outputs;
        std::string in, out;
        int region;
        Lines lines;
        int curSel;
    } cases[] = {{"outputs",
                  {"Keyboard"},
                  {"Synth A", "Synth B"},
                  "Keyboard",
                  "Synth B",
                  HIT_OUTPUT_PORT,
                  {" 0: Window's MIDI Mapper", " 1: Synth A", " 2: Synth B"},
                  2},
                 {"inputs from zero",
                  {"Keyboard", "Pad", "Guitar"},
                  {},
                  "Pad",
                  "",
                  HIT_INPUT_PORT,
                  {" 0: Keyboard", " 1: Pad", " 2: Guitar"},
                  1},
                 {"a row without a name ends the list",
                  {},
                  {"Synth", "", "Other"},
                  "",
                  "Synth",
                  HIT_OUTPUT_PORT,
                  {" 0: Window's MIDI Mapper", " 1: Synth"},
                  1},
                 {"no input device", {}, {"Synth"}, "", "Synth", HIT_INPUT_PORT, {}, plat::kLbErr},
                 // The other end of a cable is left out without renumbering...
                 {"loopMIDI",
                  {"loopMIDI Port", "Keyboard", "Pad"},
                  {"loopMIDI Port", "Synth"},
                  "Keyboard",
                  "loopMIDI Port",
                  HIT_INPUT_PORT,
                  {" 1: Keyboard", " 2: Pad"},
                  0},
                 // ...judged from the input in use, which is no cable end here: every row is offered.
                 {"loopMIDI outputs",
                  {"loopMIDI Port", "Keyboard", "Pad"},
                  {"loopMIDI Port", "Synth"},
                  "Keyboard",
                  "loopMIDI Port",
                  HIT_OUTPUT_PORT,
                  {" 0: Window's MIDI Mapper", " 1: loopMIDI Port", " 2: Synth"},
                  1},
                 {"MIDI Yoke",
                  {"In From MIDI Yoke:  1"},
                  {"Out To MIDI Yoke:  1", "Out To MIDI Yoke:  2", "Synth"},
                  "In From MIDI Yoke:  1",
                  "Synth",
                  HIT_OUTPUT_PORT,
                  {" 0: Window's MIDI Mapper", " 2: Out To MIDI Yoke:  2", " 3: Synth"},
                  2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NextLife();
        StartWith(c.inputs, c.outputs, c.in, c.out);
        const int inDevice = g_MidiInDevice, outDevice = g_MidiOutDevice;
        const std::string inName = g_MidiInDeviceName, outName = g_MidiOutDeviceName;
        const sim::ListState list = Pick(c.region);
        EXPECT_EQ(list.lines, c.lines);
        EXPECT_EQ(list.curSel, c.curSel);
        EXPECT_EQ(list.backColor, 11855615u);
        EXPECT_EQ(list.backColor, plat::Rgb(255, 230, 180));
        EXPECT_TRUE(sim::OutputLog().empty());
        EXPECT_TRUE(sim::InputLog().empty());
        EXPECT_TRUE(sim::Boxes().empty());
        EXPECT_EQ(g_MidiInDevice, inDevice);
        EXPECT_EQ(g_MidiOutDevice, outDevice);
        EXPECT_EQ(g_MidiInDeviceName, inName);
        EXPECT_EQ(g_MidiOutDeviceName, outName);
        EXPECT_EQ(g_Redraw, 1) << "repaints after it closed, switch or not";
    }

    std::vector<std::string> outputs;
    for (char c = 'A'; c <= 'L'; ++c) outputs.push_back(std::string("Port ") + c);
    NextLife();
    StartWith({}, outputs, "", "Port L");
    const sim::ListState list = Pick(HIT_OUTPUT_PORT);
    ASSERT_EQ(list.lines.size(), 13u);
    EXPECT_EQ(Lines(list.lines.begin() + 9, list.lines.end()),
              (Lines{" 9: Port I", "10: Port J", "11: Port K", "12: Port L"}));
    EXPECT_EQ(list.curSel, 12);
}

TEST_F(PickerTest, DuplicateNamesResolveToTheFirstRow) {
    StartWith({}, {"A", "B", "Dup", "C", "Dup"}, "", "A");
    const sim::ListState list = Pick(HIT_OUTPUT_PORT, Choose(" 5:"));
    EXPECT_EQ(list.lines,
              (Lines{" 0: Window's MIDI Mapper", " 1: A", " 2: B", " 3: Dup", " 4: C", " 5: Dup"}));
    EXPECT_EQ(g_MidiOutPicked, 3);
    EXPECT_EQ(g_MidiOutDevice, 3);
    EXPECT_EQ(g_MidiOutDeviceName, "Dup");
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_TRUE(Opened(2));
    // With that port in use, the first of the two lines is the marked one.
    EXPECT_EQ(Pick(HIT_OUTPUT_PORT).curSel, 3);
}

TEST_F(PickerTest, AFailedPortIsNotMarkedAndChoosingItTriesItAgain) {
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    StartWith({"Keyboard", "Pad"}, {"Synth"}, "Keyboard", "Synth");
    ASSERT_EQ(g_MidiInDevice, 0);
    ASSERT_EQ(g_MidiInDeviceName, "");

    // Dismissed: no new attempt, no message.
    const sim::ListState list = Pick(HIT_INPUT_PORT);
    EXPECT_EQ(list.lines, (Lines{" 0: Keyboard", " 1: Pad"}));
    EXPECT_EQ(list.curSel, plat::kLbErr);
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::Boxes().empty());

    // Chosen while the device is still busy: one more attempt and its message.
    Pick(HIT_INPUT_PORT, Choose(" 0:"));
    EXPECT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(g_MidiInDeviceName, "");
    Settle();

    // Chosen once the device is free: opened and started.
    sim::SetInputOpenResult(0, plat::kMmNoError);
    Pick(HIT_INPUT_PORT, Choose(" 0:"));
    EXPECT_TRUE(sim::Boxes().empty());
    EXPECT_EQ(g_MidiInDeviceName, "Keyboard");
    EXPECT_EQ(g_MidiInDevice, 0);
    EXPECT_TRUE(sim::InputStarted());
}

TEST_F(PickerTest, AnOutputChosenThatFailsStaysClosedAndCanBeChosenAgain) {
    StartWith({"Keyboard"}, {"Synth", "Busy"}, "Keyboard", "Synth");
    sim::SetOutputOpenResult(1, 7);
    Pick(HIT_OUTPUT_PORT, Choose(" 2:"));
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "The specified MIDI output device can not be used");
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "");
    EXPECT_EQ(sim::OpenOutputs(), 0) << "no mapper attempt";
    Settle();
    EXPECT_TRUE(OutputNameShown("")) << "the panel shows the empty name of the failed row";

    sim::SetOutputOpenResult(1, plat::kMmNoError);
    EXPECT_EQ(Pick(HIT_OUTPUT_PORT, Choose(" 2:")).curSel, plat::kLbErr);
    EXPECT_EQ(sim::OpenOutputs(), 1);
    EXPECT_EQ(g_MidiOutDeviceName, "Busy");
}

TEST_F(PickerTest, InputWithNoRowYetSelectsNothingAndAChoiceOpensIt) {
    StartWith({}, {"Synth"}, "", "Synth");
    ASSERT_EQ(g_MidiInDevice, -1);
    sim::SetInputDevices({"Keyboard"});  // plugged in while running
    const sim::ListState list = Pick(HIT_INPUT_PORT, Choose(" 0:"));
    EXPECT_EQ(list.lines, (Lines{" 0: Keyboard"}));
    EXPECT_EQ(list.curSel, plat::kLbErr);
    EXPECT_EQ(g_MidiInDevice, 0);
    EXPECT_EQ(g_MidiInDeviceName, "Keyboard");
    EXPECT_TRUE(sim::InputStarted());
}

TEST_F(PickerTest, ChoosingThePortInUseOrDismissingLeavesItOpenAndUntouched) {
    StartWith({"Keyboard", "Pad"}, {"Synth", "Other"}, "Pad", "Synth");
    Pick(HIT_INPUT_PORT, Choose(" 1:"));
    Pick(HIT_OUTPUT_PORT, Choose(" 1:"));
    Pick(HIT_INPUT_PORT);
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "Pad");
    EXPECT_EQ(g_MidiOutDevice, 1);
    EXPECT_EQ(g_MidiOutDeviceName, "Synth");
    EXPECT_TRUE(sim::InputStarted());
}

TEST_F(PickerTest, ChoosingAnotherPortSwitchesAndThePanelShowsItsName) {
    StartWith({"Keyboard", "Pad"}, {"Synth", "Other"}, "Keyboard", "Synth");
    Pick(HIT_OUTPUT_PORT, Choose(" 2:"));
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "Other");
    EXPECT_TRUE(Opened(1));
    EXPECT_EQ(g_Redraw, 1);
    EXPECT_TRUE(OutputNameShown("Other"));

    // The user may still choose after a selection that names no line.
    Pick(HIT_INPUT_PORT, [](plat::HDialog dlg) {
        sim::UserSelect(dlg, 7);
        EXPECT_EQ(g_MidiInPicked, 0);
        sim::UserSelect(dlg, 1);
    });
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "Pad");
}

TEST_F(PickerTest, ThePickerStandsBesideTheWindowWhereverItWasDragged) {
    StartWith({"Keyboard"}, {"Synth"}, "Keyboard", "Synth");
    sim::ListState list = Pick(HIT_INPUT_PORT);
    EXPECT_EQ(list.rect.left, 590 + 63);
    EXPECT_EQ(list.rect.top, 445 + 3);

    const plat::Point handle = PointOf(HIT_MOVE);
    MoveTo(handle);
    Press();
    MoveTo({handle.x - 100, handle.y + 40});
    Release();
    list = Pick(HIT_OUTPUT_PORT);
    // Its size is its own, only its place changes.
    EXPECT_EQ((std::vector<int>{list.rect.left, list.rect.top, list.rect.right - list.rect.left,
                                list.rect.bottom - list.rect.top}),
              (std::vector<int>{490 + 63, 485 + 3, 233, 103}));
}

TEST_F(PickerTest, MidiKeepsFlowingWhileThePickerIsOpen) {
    StartWith({"Keyboard"}, {"Synth"}, "Keyboard", "Synth");
    size_t forwardedInside = 0;
    Pick(HIT_OUTPUT_PORT, [&](plat::HDialog) {
        EXPECT_TRUE(sim::DeliverShort(0x00403C90));
        sim::Pump();
        forwardedInside = sim::ShortMessages().size();
        sim::Tick(5);
        sim::Pump();
    });
    EXPECT_EQ(forwardedInside, 1u);
    ASSERT_FALSE(sim::ShortMessages().empty());
    EXPECT_EQ(sim::ShortMessages()[0].word, 0x00403C90u);
}

}  // namespace
}  // namespace kvntest
