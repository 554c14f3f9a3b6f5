// The catalogue names, on lists of ports as real systems name them; each table is one rule.
#include <gtest/gtest.h>

#include <set>

#include "platform/sdl/port_names.h"

namespace {

using sdlplat::PortFacts;

const std::string k4x4 = "Studio USB 4x4 Anniversary";

std::string NameOf(const PortFacts& p) { return sdlplat::PortCatalogNames({p})[0]; }

std::vector<PortFacts> Interface(const std::string& bus, int ports = 4) {
    std::vector<PortFacts> list;
    for (int i = 1; i <= ports; ++i) list.push_back({k4x4, k4x4 + " MIDI " + std::to_string(i), {}, "", bus});
    return list;
}

TEST(SdlNames, RepeatedClientsBridgesAndSystemNumbersGiveWay) {
    const std::vector<std::pair<PortFacts, std::string>> cases = {
        {{"Midi Through", "Midi Through Port-0"}, "Midi Through Port-0"},
        {{"UM-ONE", "UM-ONE MIDI 1"}, "UM-ONE MIDI 1"},
        {{"fluidsynth", "midi_00"}, "fluidsynth:midi_00"},
        {{"Midi-Bridge", "UM-ONE MIDI 1 (playback)"}, "UM-ONE MIDI 1"},
        {{"a2j", "Midi Through [14] (capture): Midi Through Port-0"}, "Midi Through Port-0"},
        {{"system", "midi_capture_1", {"alsa_pcm:UM-ONE/midi_capture_1"}, "UM-ONE MIDI 1"}, "UM-ONE MIDI 1"},
        {{"system", "midi_capture_1", {"alsa_pcm:UM-ONE/midi_capture_1"}}, "UM-ONE/midi_capture_1"},
        {{"system", "midi_capture_1"}, "system:midi_capture_1"},
        {{"system_midi", "capture_1", {"system:1-1 Virtual Raw MIDI 1 in"}, "Virtual Raw MIDI"},
         "Virtual Raw MIDI 1"},
        {{"system_midi", "playback_2", {"system:2-1 Studio USB 4x4 Anniversary 2 out"}},
         "Studio USB 4x4 Anniversary 2"},
    };
    for (const auto& [port, shown] : cases) EXPECT_EQ(NameOf(port), shown) << port.client << ":" << port.port;
}

TEST(SdlNames, ADeviceIsNamedAlikeOverAlsaPipeWireAndA2j) {
    for (const PortFacts& p : std::vector<PortFacts>{
             {k4x4, k4x4 + " MIDI 2"},
             {"Midi-Bridge", k4x4 + " MIDI 2 (playback)"},
             {"Midi-Bridge", k4x4 + ":(playback_1) " + k4x4 + " MIDI 2"},
             {"a2j", k4x4 + " [24] (playback): " + k4x4 + " MIDI 2"},
         }) {
        EXPECT_EQ(NameOf(p), "Studio USB 4x4 Anniver.. MIDI 2") << p.client << ":" << p.port;
    }
}

TEST(SdlNames, TheMiddleGoesOnACharacterAndTheTailStays) {
    const std::string e10 =
        "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";  // 10 x é
    const std::string yamaha = "\xE3\x83\xA4\xE3\x83\x9E\xE3\x83\x8F";                       // ヤマハ
    const std::vector<std::pair<PortFacts, std::string>> cases = {
        {{"Virtual Raw MIDI 0-0", "VirMIDI 0-0"}, "Virtual Raw MIDI..:VirMIDI 0-0"},
        {{k4x4, k4x4 + " MIDI 4"}, "Studio USB 4x4 Anniver.. MIDI 4"},
        {{yamaha + yamaha + yamaha + "X", yamaha + yamaha + yamaha + "X MIDI 1"},
         yamaha + yamaha + "\xE3\x83\xA4.. MIDI 1"},
        {{"x", e10 + e10}, "x:\xC3\xA9\xC3\xA9\xC3\xA9.." + e10},
    };
    for (const auto& [port, shown] : cases) {
        EXPECT_EQ(NameOf(port), shown) << port.client << ":" << port.port;
        EXPECT_LE(NameOf(port).size(), 31u);
    }
}

TEST(SdlNames, APortsNameIsItsOwnWhateverElseIsPlugged) {
    const std::vector<std::string> alone = sdlplat::PortCatalogNames(Interface(""));
    EXPECT_EQ(std::set<std::string>(alone.begin(), alone.end()).size(), 4u);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(alone[i].ends_with(" MIDI " + std::to_string(i + 1))) << alone[i];
    std::vector<PortFacts> crowd = {{"Midi Through", "Midi Through Port-0"},
                                    {"Virtual Raw MIDI 0-0", "VirMIDI 0-0"}};
    for (const PortFacts& p : Interface("")) crowd.push_back(p);
    const std::vector<std::string> among = sdlplat::PortCatalogNames(crowd);
    EXPECT_EQ(std::vector<std::string>(among.begin() + 2, among.end()), alone);
}

TEST(SdlNames, OnlyIdenticalNamesAreNumberedByBusPathElseByAppearance) {
    const std::string usb = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-";
    std::vector<PortFacts> two = Interface(usb + "2", 1);
    two.push_back(Interface(usb + "1", 1)[0]);
    two.push_back({"UM-ONE", "UM-ONE MIDI 1"});
    two.push_back(Interface("", 1)[0]);
    two.push_back({"UM-ONE", "UM-ONE MIDI 1"});
    const std::vector<std::string> shown = {"2- Studio USB 4x4 Anni.. MIDI 1",
                                            "Studio USB 4x4 Anniver.. MIDI 1", "UM-ONE MIDI 1",
                                            "3- Studio USB 4x4 Anni.. MIDI 1", "2- UM-ONE MIDI 1"};
    EXPECT_EQ(sdlplat::PortCatalogNames(two), shown);
}

TEST(SdlNames, AStoredNameOfTheEarlierVersionOpensTheOnePortItNamed) {
    std::vector<PortFacts> alsa = Interface("");
    alsa.push_back({"Midi Through", "Midi Through Port-0"});
    alsa.push_back({"Virtual Raw MIDI 0-0", "VirMIDI 0-0"});
    alsa.push_back({"UM-ONE", "UM-ONE MIDI 1"});
    const std::vector<PortFacts> jack = {{"Midi-Bridge", k4x4 + " MIDI 1 (capture)"},
                                         {"Midi-Bridge", k4x4 + " MIDI 2 (capture)"},
                                         {"system", "midi_capture_1", {"alsa_pcm:UM-ONE/midi_capture_1"}}};
    const std::vector<std::tuple<const std::vector<PortFacts>*, std::string, std::string>> cases = {
        {&alsa, "Midi Through:Midi Through Port-", "Midi Through Port-0"},
        {&alsa, "Virtual Raw MIDI 0-0:VirMIDI 0-", "Virtual Raw MIDI..:VirMIDI 0-0"},
        {&alsa, "UM-ONE:UM-ONE MIDI 1", "UM-ONE MIDI 1"},
        {&alsa, "UM-ONE MIDI 1", "UM-ONE MIDI 1"},                                      // stored new already
        {&alsa, "Studio USB 4x4 Anniversary:Stud", "Studio USB 4x4 Anniversary:Stud"},  // one of four
        {&alsa, "Gone:away", "Gone:away"},
        {&jack, "Midi-Bridge:Studio USB 4x4 Anni", "Midi-Bridge:Studio USB 4x4 Anni"},
        {&jack, "system:midi_capture_1", "UM-ONE/midi_capture_1"},
    };
    for (const auto& [list, stored, now] : cases)
        EXPECT_EQ(sdlplat::TranslateStoredName(stored, *list), now) << stored;
}

}  // namespace
