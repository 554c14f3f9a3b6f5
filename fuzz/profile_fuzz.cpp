// Takes the input as a settings file, writes the keys Korvane writes at its end and checks that each
// reads back as written and that every other line of the file is still there, in its order.
#include "shell/profile.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <unistd.h>

namespace {

namespace pf = kvn::profile;

struct Entry {
    const char* section;
    const char* key;
    std::string value;
    bool isInt;
};

// Every write syncs the file to disk; a memory file system keeps the runs fast.
const std::string& FilePath()
{
    static const std::string path = [] {
        std::error_code ec;
        const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm", ec)
                                              ? std::filesystem::path("/dev/shm")
                                              : std::filesystem::temp_directory_path();
        return (dir / ("kvn_profile_fuzz_" + std::to_string(getpid()) + ".ini")).string();
    }();
    return path;
}

bool Store(const std::string& path, std::string_view bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string Load(const std::string& path)
{
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        std::abort();
    char buf[65536];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

std::vector<std::string_view> SplitLines(std::string_view text)
{
    std::vector<std::string_view> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos)
            nl = text.size();
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
    return lines;
}

std::size_t LineIndexAt(std::string_view text, std::size_t offset)
{
    std::size_t index = 0;
    for (std::size_t i = 0; i < offset; ++i)
        index += text[i] == '\n';
    return index;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A value taken from the input itself, made writable: no line breaks, no blanks at either end.
std::string ValueFromInput(std::string_view data)
{
    std::string v(data.substr(0, 80));
    for (char& c : v)
        if (c == '\r' || c == '\n')
            c = '_';
    while (!v.empty() && IsBlank(v.back()))
        v.pop_back();
    std::size_t b = 0;
    while (b < v.size() && IsBlank(v[b]))
        ++b;
    return v.substr(b);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::string& path = FilePath();
    if (!Store(path, input))
        std::abort();

    const char* const kInit = "InitialSetting";
    const char* const kIgnore = "Ignore these MIDI SysEx messages.";
    const char* const kTrigger = "After receiving these MIDI SysEx messages, Send master tune.";
    const std::vector<Entry> entries = {
        {"WindowPosition", "left", "-120", true},
        {"WindowPosition", "top", "2147483647", true},
        {"Window", "Show", "0", true},
        {kInit, "MidiInDeviceName", ValueFromInput(input), false},
        {kInit, "MidiOutDeviceName", "Window's MIDI Mapper", false},
        {kInit, "g_PanelColor", "3", true},
        {kInit, "g_Frequency", "4455", true},
        {kInit, "g_KeyShift", "-7", true},
        {kInit, "g_SkipF8", "1", true},
        {kInit, "g_IconBlink", "-2147483648", true},
        {kIgnore, "<XG  Master Tune1>", "F0 43 1* 27 30 00 00 ** ** ** F7", false},
        {kIgnore, "<User Define 1   >", "", false},
        {kIgnore, "<User Define 2   >", "a=b=[c] ;d", false},
        {kTrigger, "<GS  Reset      >", "F0 41 ** 42 12 40 00 7F 00 41 F7", false},
        {kTrigger, "<User Define 1  >", std::string(5000, 'Z'), false},
    };

    // Reading the file finds what parsing the same bytes in memory finds.
    for (const Entry& e : entries) {
        const auto value = pf::FindValue(input, e.section, e.key);
        const std::string expected(value ? value->substr(0, pf::kMaxValueLength) : "def");
        if (pf::GetString(path, e.section, e.key, "def") != expected)
            std::abort();
        const int32_t number = value && !value->empty() ? pf::ParseInt(*value) : 7;
        if (pf::GetInt(path, e.section, e.key, 7) != number)
            std::abort();
    }

    // The lines that the writes may replace: each written key's own line, if the input has one.
    std::vector<bool> replaced(SplitLines(input).size(), false);
    for (const Entry& e : entries)
        if (const auto value = pf::FindValue(input, e.section, e.key))
            replaced[LineIndexAt(input, static_cast<std::size_t>(value->data() - input.data()))] = true;

    for (const Entry& e : entries) {
        const bool ok = e.isInt ? pf::WriteInt(path, e.section, e.key, pf::ParseInt(e.value))
                                : pf::WriteString(path, e.section, e.key, e.value);
        if (!ok)
            std::abort();
    }

    for (const Entry& e : entries) {
        if (pf::GetString(path, e.section, e.key, "<missing>") != e.value.substr(0, pf::kMaxValueLength))
            std::abort();
        if (e.isInt && pf::GetInt(path, e.section, e.key, 7) != pf::ParseInt(e.value))
            std::abort();
    }

    // Every other line is still there and in its order. An unterminated last line may have got
    // the line break of the file's own kind after it, which SplitLines sees as a trailing CR.
    const std::string after = Load(path);
    const std::vector<std::string_view> before = SplitLines(input);
    const std::vector<std::string_view> now = SplitLines(after);
    const bool lastUnterminated = !input.empty() && input.back() != '\n';
    std::size_t j = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (replaced[i])
            continue;
        const bool last = lastUnterminated && i + 1 == before.size();
        auto matches = [&](std::string_view line) {
            if (line == before[i])
                return true;
            return last && line.size() == before[i].size() + 1 && line.back() == '\r' &&
                   line.substr(0, before[i].size()) == before[i];
        };
        while (j < now.size() && !matches(now[j]))
            ++j;
        if (j == now.size())
            std::abort();
        ++j;
    }
    std::remove(path.c_str());
    return 0;
}
