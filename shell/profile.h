// Private-profile ("INI") settings file: our own portable reader and writer, used on every platform.
//
// Layout: "[section]" lines start a section; "key=value" lines inside a section are keys; lines whose
// first non-blank is ';' are comments. Names match without regard to ASCII letter case; blanks inside
// a name count, blanks around names, around '=' and around values do not. The value is everything
// after the first '='. A repeated section or key: the first one is read and the first one is written.
//
// A write changes only the line of its key (or adds one) and keeps every other byte of the file. It
// goes through a temporary file in the same folder that is renamed over the original, so a failed
// write leaves the old file whole.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kvn::profile {

// Longest text a read returns, as the 4096-byte buffer of the classic profile calls allows.
inline constexpr std::size_t kMaxValueLength = 4095;

// Integer under section/key, or def when the key is missing or its value is empty.
// Text that holds no number reads as 0; see ParseInt.
int32_t GetInt(const std::string& path, std::string_view section, std::string_view key, int32_t def);

// Text under section/key (at most 4095 characters are returned), or def when the key is missing.
std::string GetString(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view def);

// Replaces or adds one key; creates the file and the section when needed. Returns false on failure
// (the callers ignore it, but tests look at it). Names or values that could not be read back as
// written (a line break anywhere, '=' in a key, ']' in a section, an empty key) are refused.
bool WriteString(const std::string& path, std::string_view section, std::string_view key,
                 std::string_view value);
bool WriteInt(const std::string& path, std::string_view section, std::string_view key, int32_t value);

// The same operations on a file's whole content held in memory; the file functions are built on them.

// The value of section/key, blanks around it removed and not cut; a view into text.
std::optional<std::string_view> FindValue(std::string_view text, std::string_view section,
                                          std::string_view key);

// Applies one write to text. newFileEol is the line ending used when text shows none of its own.
// Returns false, leaving text alone, for names or values that cannot be stored.
bool UpdateText(std::string& text, std::string_view section, std::string_view key, std::string_view value,
                std::string_view newFileEol);

// Blanks, optional sign, decimal digits up to the first non-digit. No digits at all gives 0, as the
// classic profile calls do; a number beyond the 32-bit range is clamped to its nearest end.
int32_t ParseInt(std::string_view text);

}  // namespace kvn::profile
