// Takes the input as a settings file, writes keys Korvane writes at its end and checks that each
// reads back as written and that every other line of the file is still there, in its order.
//
// Every execution writes one or two keys, picked by the input's first byte, on the text in memory
// (FindValue / UpdateText, on which the file functions are built). About one input in 1024,
// picked by a hash of its bytes so that a crash reproduces, writes all of them, then does the same
// through the real file: its reads must agree with the text in memory and the file written at
// the end must be byte for byte the text the in-memory writes produced. The file path syncs every
// write, and under the fuzzer's instrumentation every scan of the text is dear, so the common
// path does little and reuses its buffers.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "shell/profile.h"

namespace {

namespace pf = kvn::profile;

struct Entry {
    const char* section;
    const char* key;
    std::string value;
    bool isInt;
    std::string stored;  // what the write stores: WriteInt writes the number back as text
};

Entry MakeEntry(const char* section, const char* key, std::string value, bool isInt) {
    std::string stored = isInt ? std::to_string(pf::ParseInt(value)) : value;
    return {section, key, std::move(value), isInt, std::move(stored)};
}

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "profile_fuzz: %s\n", what);
    std::abort();
}

// Every write syncs the file to disk; a memory file system keeps the file runs fast.
const std::string& FilePath() {
    static const std::string path = [] {
        std::error_code ec;
        const std::filesystem::path dir = std::filesystem::is_directory("/dev/shm", ec)
                                              ? std::filesystem::path("/dev/shm")
                                              : std::filesystem::temp_directory_path();
        return (dir / ("kvn_profile_fuzz_" + std::to_string(getpid()) + ".ini")).string();
    }();
    return path;
}

bool Store(const std::string& path, std::string_view bytes) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string Load(const std::string& path) {
    std::string out;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) Fail("the written file cannot be read");
    char buf[65536];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
}

void SplitLines(std::string_view text, std::vector<std::string_view>& lines) {
    lines.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        if (nl == std::string_view::npos) nl = text.size();
        lines.push_back(text.substr(pos, nl - pos));
        pos = nl + 1;
    }
}

std::size_t LineIndexAt(std::string_view text, std::size_t offset) {
    std::size_t index = 0;
    for (std::size_t i = 0; i < offset; ++i) index += text[i] == '\n';
    return index;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// A value taken from the input itself, made writable: no line breaks, no blanks at either end.
void ValueFromInput(std::string_view data, std::string& v) {
    v.assign(data.substr(0, 80));
    for (char& c : v)
        if (c == '\r' || c == '\n') c = '_';
    while (!v.empty() && IsBlank(v.back())) v.pop_back();
    std::size_t b = 0;
    while (b < v.size() && IsBlank(v[b])) ++b;
    v.erase(0, b);
}

bool TakeFilePath(std::string_view input) {
    uint32_t h = 2166136261u;  // FNV-1a
    for (char c : input) h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    return (h & 1023u) == 0;
}

// The same reads and writes through the real file; the result must be the in-memory one.
void CheckFile(std::string_view input, std::span<const Entry* const> entries, const std::string& expected) {
    const std::string& path = FilePath();
    if (!Store(path, input)) Fail("the input cannot be stored");
    for (const Entry* e : entries) {
        const auto value = pf::FindValue(input, e->section, e->key);
        const std::string want(value ? value->substr(0, pf::kMaxValueLength) : "def");
        if (pf::GetString(path, e->section, e->key, "def") != want)
            Fail("GetString disagrees with the text in memory");
        const int32_t number = value && !value->empty() ? pf::ParseInt(*value) : 7;
        if (pf::GetInt(path, e->section, e->key, 7) != number)
            Fail("GetInt disagrees with the text in memory");
    }
    for (const Entry* e : entries) {
        const bool ok = e->isInt ? pf::WriteInt(path, e->section, e->key, pf::ParseInt(e->value))
                                 : pf::WriteString(path, e->section, e->key, e->value);
        if (!ok) Fail("a write to the file failed");
    }
    for (const Entry* e : entries)
        if (pf::GetString(path, e->section, e->key, "<missing>") != e->stored.substr(0, pf::kMaxValueLength))
            Fail("a written key does not read back from the file");
    if (Load(path) != expected) Fail("the file differs from the text the same writes made in memory");
    std::remove(path.c_str());
}

// Applies the writes to the text in memory and checks them: each written key reads back as
// written, and every line that no write names is still there, in its order. Returns the text,
// which lives until the next call.
const std::string& CheckWrites(std::string_view input, std::span<const Entry* const> writes) {
    static std::string text;
    static std::vector<std::string_view> before, now;
    static std::vector<char> replaced;

    // The lines that the writes may replace: each written key's own line, if the input has one.
    SplitLines(input, before);
    replaced.assign(before.size(), 0);
    for (const Entry* e : writes)
        if (const auto value = pf::FindValue(input, e->section, e->key))
            replaced[LineIndexAt(input, static_cast<std::size_t>(value->data() - input.data()))] = 1;

    text.assign(input);
    for (const Entry* e : writes)
        if (!pf::UpdateText(text, e->section, e->key, e->stored, "\n")) Fail("a write was refused");

    for (const Entry* e : writes) {
        const auto value = pf::FindValue(text, e->section, e->key);
        if (!value || *value != e->stored) Fail("a written key does not read back");
        if (e->isInt && pf::ParseInt(*value) != pf::ParseInt(e->value))
            Fail("a written number does not read back");
    }

    // An unterminated last line may have got the line break of the file's own kind after it,
    // which SplitLines sees as a trailing CR.
    SplitLines(text, now);
    const bool lastUnterminated = !input.empty() && input.back() != '\n';
    std::size_t j = 0;
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (replaced[i]) continue;
        const bool last = lastUnterminated && i + 1 == before.size();
        auto matches = [&](std::string_view line) {
            if (line == before[i]) return true;
            return last && line.size() == before[i].size() + 1 && line.back() == '\r' &&
                   line.substr(0, before[i].size()) == before[i];
        };
        while (j < now.size() && !matches(now[j])) ++j;
        if (j == now.size()) Fail("a line that no write names has gone or moved");
        ++j;
    }
    return text;
}

}  // namespace

// Input: one byte that picks the keys written in memory (the top bit: a second one), then the
// settings file.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const uint8_t pick = data[0];
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);

    static const char* const kInit = "InitialSetting";
    static const char* const kIgnore = "Ignore these MIDI SysEx messages.";
    static const char* const kTrigger = "After receiving these MIDI SysEx messages, Send master tune.";
    // A name taken from the file itself; filled in for each input.
    static Entry inputName = MakeEntry(kInit, "MidiInDeviceName", "", false);
    static const std::vector<Entry> fixed = {
        MakeEntry("WindowPosition", "left", "-120", true),
        MakeEntry("WindowPosition", "top", "2147483647", true),
        MakeEntry("Window", "Show", "0", true),
        MakeEntry(kInit, "MidiOutDeviceName", "Window's MIDI Mapper", false),
        MakeEntry(kInit, "g_PanelColor", "3", true),
        MakeEntry(kInit, "g_Frequency", "4455", true),
        MakeEntry(kInit, "g_KeyShift", "-7", true),
        MakeEntry(kInit, "g_SkipF8", "1", true),
        MakeEntry(kInit, "g_IconBlink", "-2147483648", true),
        MakeEntry(kIgnore, "<XG  Master Tune1>", "F0 43 1* 27 30 00 00 ** ** ** F7", false),
        MakeEntry(kIgnore, "<User Define 1   >", "", false),
        MakeEntry(kIgnore, "<User Define 2   >", "a=b=[c] ;d", false),
        MakeEntry(kTrigger, "<GS  Reset      >", "F0 41 ** 42 12 40 00 7F 00 41 F7", false),
    };
    // A value longer than a read returns (the file reads cut it).
    static const Entry kLong = MakeEntry(kTrigger, "<User Define 1  >", std::string(5000, 'Z'), false);
    // Every key in the order Korvane writes them, and then the long one.
    static const std::vector<const Entry*> all = [] {
        std::vector<const Entry*> v;
        for (const Entry& e : fixed) v.push_back(&e);
        v.insert(v.begin() + 3, &inputName);
        v.push_back(&kLong);
        return v;
    }();

    ValueFromInput(input, inputName.value);
    inputName.stored = inputName.value;

    const std::size_t n = all.size() - 1;  // the long value only on the file path
    const std::size_t p = pick & 0x7F;
    const Entry* writes[2] = {all[p % n], all[(p % n + 1 + p / n) % n]};
    CheckWrites(input, std::span<const Entry* const>(writes, (pick & 0x80) ? 2 : 1));

    // Now and then, everything Korvane writes at its end, and the same through the real file.
    if (TakeFilePath(input)) CheckFile(input, all, CheckWrites(input, all));
    return 0;
}
