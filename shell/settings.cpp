#include "shell/settings.h"

#include "engine/engine.h"
#include "platform/platform.h"
#include "platform/window.h"
#include "shell/globals.h"
#include "shell/profile.h"

namespace kvn::settings {

namespace {

int32_t ReadInt(const std::string& path, const char* key, int32_t def) {
    return profile::GetInt(path, kSectionInitial, key, def);
}

int32_t InRange(int32_t v, int32_t lo, int32_t hi, int32_t otherwise) {
    return v >= lo && v <= hi ? v : otherwise;
}

void LoadUserRows(const std::string& path, const char* section, const char* const (&labels)[kTableRows],
                  std::string (&table)[kTableRows]) {
    for (int row = kFixedRows; row < kTableRows; ++row) {
        std::string pattern = profile::GetString(path, section, labels[row], "");
        if (pattern.size() > kMaxUserPattern) pattern.resize(kMaxUserPattern);
        table[row] = std::move(pattern);
    }
}

// The fixed rows are written with their built-in patterns whatever the table holds.
void SaveRows(const std::string& path, const char* section, const char* const (&labels)[kTableRows],
              const char* const (&builtIn)[kFixedRows], const std::string (&table)[kTableRows]) {
    for (int row = 0; row < kTableRows; ++row) {
        profile::WriteString(path, section, labels[row], row < kFixedRows ? builtIn[row] : table[row]);
    }
}

}  // namespace

std::string FormPath() {
    std::string path = plat::GetCurrentDir();
    path += plat::PathSeparator();
    path += kFileName;
    return path;
}

void Load(const std::string& path) {
    g_MidiInDeviceName = profile::GetString(path, kSectionInitial, "MidiInDeviceName", "");
    g_MidiOutDeviceName = profile::GetString(path, kSectionInitial, "MidiOutDeviceName", kMapperName);
    plat::MidiTranslateStoredName(true, g_MidiInDeviceName);
    plat::MidiTranslateStoredName(false, g_MidiOutDeviceName);
    g_WindowShow = profile::GetInt(path, kSectionWindow, "Show", 1);
    g_PanelColor = InRange(ReadInt(path, "g_PanelColor", 1), 0, 3, 0);
    g_Frequency = InRange(ReadInt(path, "g_Frequency", 4400), 4350, 4455, 4400);
    g_KeyShift = InRange(ReadInt(path, "g_KeyShift", 0), -7, 7, 0);
    g_SkipF8 = InRange(ReadInt(path, "g_SkipF8", 1), 0, 1, 1);
    g_IconBlink = ReadInt(path, "g_IconBlink", 1);
    mf_SetBuiltInRows();
    LoadUserRows(path, kSectionIgnore, kIgnoreLabels, g_IgnoreTable);
    LoadUserRows(path, kSectionTrigger, kTriggerLabels, g_TriggerTable);
}

void Save(const std::string& path) {
    profile::WriteString(path, kSectionInitial, "MidiInDeviceName", g_MidiInDeviceName);
    profile::WriteString(path, kSectionInitial, "MidiOutDeviceName", g_MidiOutDeviceName);
    profile::WriteInt(path, kSectionInitial, "g_PanelColor", g_PanelColor);
    profile::WriteInt(path, kSectionInitial, "g_Frequency", g_Frequency);
    profile::WriteInt(path, kSectionInitial, "g_KeyShift", g_KeyShift);
    profile::WriteInt(path, kSectionInitial, "g_SkipF8", g_SkipF8);
    profile::WriteInt(path, kSectionInitial, "g_IconBlink", g_IconBlink);
    SaveRows(path, kSectionIgnore, kIgnoreLabels, kIgnoreBuiltIn, g_IgnoreTable);
    SaveRows(path, kSectionTrigger, kTriggerLabels, kTriggerBuiltIn, g_TriggerTable);
}

}  // namespace kvn::settings
