// The device picker as the panel runs it: the numbered lines, the marked port, the cable rule,
// its place and colour, choosing, dismissing, and MIDI that keeps flowing while it is open.
#include "picker/picker.h"

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
    void StartWith(std::vector<std::string> inputs, std::vector<std::string> outputs, const std::string& in,
                   const std::string& out) {
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

    static bool Has(sim::InKind kind) {
        for (const auto& e : sim::InputLog()) {
            if (e.kind == kind) return true;
        }
        return false;
    }
    static bool Has(sim::Event kind) {
        for (const auto& e : sim::OutputLog()) {
            if (e.kind == kind) return true;
        }
        return false;
    }
};

TEST_F(PickerTest, OutputListShowsTheMapperAndTwoDevicesWithTheCurrentSelected) {
    StartWith({"Keyboard"}, {"Synth A", "Synth B"}, "Keyboard", "Synth B");
    const sim::ListState list = Pick(HIT_OUTPUT_PORT);
    EXPECT_EQ(list.lines, (Lines{" 0: Window's MIDI Mapper", " 1: Synth A", " 2: Synth B"}));
    EXPECT_EQ(list.curSel, 2);
    EXPECT_EQ(list.backColor, 11855615u);
    EXPECT_EQ(list.backColor, plat::Rgb(255, 230, 180));
    // Dismissed: nothing changes, but the panel still repaints.
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "Synth B");
    EXPECT_EQ(g_Redraw, 1) << "repaints after it closed, switch or not";
}

TEST_F(PickerTest, InputListNumbersFromZeroAndMarksTheInputInUse) {
    StartWith({"Keyboard", "Pad", "Guitar"}, {}, "Pad", "");
    const sim::ListState list = Pick(HIT_INPUT_PORT);
    EXPECT_EQ(list.lines, (Lines{" 0: Keyboard", " 1: Pad", " 2: Guitar"}));
    EXPECT_EQ(list.curSel, 1);
    EXPECT_TRUE(sim::InputLog().empty());
}

TEST_F(PickerTest, RowsFromTenOnKeepTheirOrder) {
    std::vector<std::string> outputs;
    for (int i = 0; i < 12; ++i) outputs.push_back("Port " + std::string(1, char('A' + i)));
    StartWith({}, outputs, "", "Port L");
    const sim::ListState list = Pick(HIT_OUTPUT_PORT);
    ASSERT_EQ(list.lines.size(), 13u);
    EXPECT_EQ(list.lines[9], " 9: Port I");
    EXPECT_EQ(list.lines[10], "10: Port J");
    EXPECT_EQ(list.lines[12], "12: Port L");
    EXPECT_EQ(list.curSel, 12);
}

TEST_F(PickerTest, ARowWithoutANameEndsTheList) {
    StartWith({}, {"Synth", "", "Other"}, "", "Synth");
    const sim::ListState list = Pick(HIT_OUTPUT_PORT);
    EXPECT_EQ(list.lines, (Lines{" 0: Window's MIDI Mapper", " 1: Synth"}));
    EXPECT_EQ(list.curSel, 1);
}

TEST_F(PickerTest, TheOtherEndOfALoopMidiCableIsLeftOutWithoutRenumbering) {
    StartWith({"loopMIDI Port", "Keyboard", "Pad"}, {"loopMIDI Port", "Synth"}, "Keyboard", "loopMIDI Port");
    ASSERT_EQ(g_MidiOutDeviceName, "loopMIDI Port");
    const sim::ListState inputs = Pick(HIT_INPUT_PORT);
    EXPECT_EQ(inputs.lines, (Lines{" 1: Keyboard", " 2: Pad"}));
    EXPECT_EQ(inputs.curSel, 0);
    // The output list judges from the input in use, which is no cable end: every row is offered.
    const sim::ListState outputs = Pick(HIT_OUTPUT_PORT);
    EXPECT_EQ(outputs.lines, (Lines{" 0: Window's MIDI Mapper", " 1: loopMIDI Port", " 2: Synth"}));
    EXPECT_EQ(outputs.curSel, 1);
}

TEST_F(PickerTest, TheOtherEndOfAMidiYokeCableIsLeftOutOfTheOutputList) {
    StartWith({"In From MIDI Yoke:  1"}, {"Out To MIDI Yoke:  1", "Out To MIDI Yoke:  2", "Synth"},
              "In From MIDI Yoke:  1", "Synth");
    const sim::ListState list = Pick(HIT_OUTPUT_PORT);
    EXPECT_EQ(list.lines, (Lines{" 0: Window's MIDI Mapper", " 2: Out To MIDI Yoke:  2", " 3: Synth"}));
    EXPECT_EQ(list.curSel, 2);
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
    bool openedDevice2 = false;
    for (const auto& e : sim::OutputLog()) openedDevice2 |= (e.kind == sim::Event::Open && e.device == 2);
    EXPECT_TRUE(openedDevice2);
    // With that port in use, the first of the two lines is the marked one.
    EXPECT_EQ(Pick(HIT_OUTPUT_PORT).curSel, 3);
}

TEST_F(PickerTest, NoInputDeviceGivesAnEmptyList) {
    StartWith({}, {"Synth"}, "", "Synth");
    const sim::ListState list = Pick(HIT_INPUT_PORT, [](plat::HDialog dlg) { sim::UserSelect(dlg, 0); });
    EXPECT_TRUE(list.lines.empty());
    EXPECT_EQ(list.curSel, plat::kLbErr);
    EXPECT_EQ(g_MidiInDevice, -1);
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::Boxes().empty());
}

TEST_F(PickerTest, AFailedPortIsNotMarkedAndChoosingItTriesItAgain) {
    sim::SetInputOpenResult(0, plat::kMmAllocated);
    StartWith({"Keyboard", "Pad"}, {"Synth"}, "Keyboard", "Synth");
    ASSERT_EQ(g_MidiInDevice, 0);
    ASSERT_EQ(g_MidiInDeviceName, "");

    // Dismissed: no new attempt, no message.
    sim::ListState list = Pick(HIT_INPUT_PORT);
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
    sim::SetOutputOpenResult(1, 7);
    StartWith({"Keyboard"}, {"Synth", "Busy"}, "Keyboard", "Synth");
    Pick(HIT_OUTPUT_PORT, Choose(" 2:"));
    ASSERT_EQ(sim::Boxes().size(), 1u);
    EXPECT_EQ(sim::Boxes()[0].text, "The specified MIDI output device can not be used");
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "");
    EXPECT_EQ(sim::OpenOutputs(), 0) << "no mapper attempt";
    Settle();

    // The panel shows the empty name of the failed row.
    sim::Tick();
    sim::ClearDrawLog();
    Pump();
    bool emptyName = false;
    for (const auto& op : sim::DrawLog())
        emptyName |= (op.kind == sim::DrawKind::Text && op.y == 103 && op.text.empty());
    EXPECT_TRUE(emptyName);

    sim::SetOutputOpenResult(1, plat::kMmNoError);
    const sim::ListState list = Pick(HIT_OUTPUT_PORT, Choose(" 2:"));
    EXPECT_EQ(list.curSel, plat::kLbErr);
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

TEST_F(PickerTest, ChoosingThePortInUseOrEscapeLeavesItOpenAndUntouched) {
    StartWith({"Keyboard", "Pad"}, {"Synth", "Other"}, "Pad", "Synth");
    Pick(HIT_INPUT_PORT, Choose(" 1:"));
    Pick(HIT_OUTPUT_PORT, Choose(" 1:"));
    Pick(HIT_INPUT_PORT);
    Pick(HIT_OUTPUT_PORT);
    EXPECT_TRUE(sim::InputLog().empty());
    EXPECT_TRUE(sim::OutputLog().empty());
    EXPECT_EQ(g_MidiInDevice, 1);
    EXPECT_EQ(g_MidiInDeviceName, "Pad");
    EXPECT_EQ(g_MidiOutDevice, 1);
    EXPECT_EQ(g_MidiOutDeviceName, "Synth");
    EXPECT_TRUE(sim::InputStarted());
}

TEST_F(PickerTest, ChoosingAnotherOutputSwitchesAndThePanelShowsItsName) {
    StartWith({"Keyboard"}, {"Synth", "Other"}, "Keyboard", "Synth");
    Pick(HIT_OUTPUT_PORT, Choose(" 2:"));
    EXPECT_EQ(g_MidiOutDevice, 2);
    EXPECT_EQ(g_MidiOutDeviceName, "Other");
    ASSERT_GE(sim::OutputLog().size(), 2u);
    EXPECT_EQ(sim::OutputLog().front().device, 0);  // the old port is closed first
    bool closedOld = false, openedNew = false;
    for (const auto& e : sim::OutputLog()) {
        closedOld |= (e.kind == sim::Event::Close && e.device == 0);
        openedNew |= (e.kind == sim::Event::Open && e.device == 1 && closedOld);
    }
    EXPECT_TRUE(openedNew);
    EXPECT_EQ(g_Redraw, 1);
    sim::ClearDrawLog();
    sim::Tick();
    Pump();
    bool shown = false;
    for (const auto& op : sim::DrawLog())
        shown |= (op.kind == sim::DrawKind::Text && op.text == "Other" && op.y == 103);
    EXPECT_TRUE(shown);
}

TEST_F(PickerTest, ASelectionThatNamesNoLineIsIgnoredAndTheUserCanStillChoose) {
    StartWith({"Keyboard", "Pad"}, {"Synth"}, "Keyboard", "Synth");
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
    ASSERT_EQ(g_WindowPos.x, 490);
    list = Pick(HIT_OUTPUT_PORT);
    EXPECT_EQ(list.rect.left, 490 + 63);
    EXPECT_EQ(list.rect.top, 485 + 3);
    // Its size is its own, only its place changes.
    EXPECT_EQ(list.rect.right - list.rect.left, 233);
    EXPECT_EQ(list.rect.bottom - list.rect.top, 103);
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
