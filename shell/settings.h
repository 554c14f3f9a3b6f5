// The settings file "KVN.ini": where it is, and the load and save steps of start-up and shutdown.
#pragma once

#include <string>

namespace kvn::settings {

inline constexpr const char* kFileName = "KVN.ini";
inline constexpr const char* kSectionInitial = "InitialSetting";
inline constexpr const char* kSectionWindow = "Window";
inline constexpr const char* kSectionPosition = "WindowPosition";
inline constexpr const char* kSectionIgnore = "Ignore these MIDI SysEx messages.";
inline constexpr const char* kSectionTrigger = "After receiving these MIDI SysEx messages, Send master tune.";

// Longest user pattern kept: 17 bytes written out.
inline constexpr size_t kMaxUserPattern = 50;

// The current directory, the platform's separator, "KVN.ini".
std::string FormPath();

// Reads every setting and the user rows of both pattern tables, each range rule right after its
// read; the fixed rows always take the built-in patterns.
void Load(const std::string& path);

// Writes the "InitialSetting" values and all eighteen table rows, in that order. Failed writes are
// ignored: the run ends normally and the file keeps what it had.
void Save(const std::string& path);

}  // namespace kvn::settings
