#include "shell/profile.h"

#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

#include "platform/file.h"

namespace kvn::profile {
namespace {

namespace fs = std::filesystem;

// The blanks the classic profile calls skip around names and values. A stray CR before the line
// break counts as one, so "key=1\r\r\n" still reads "1".
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view Trim(std::string_view s) {
    std::size_t b = 0;
    std::size_t e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// One line of the file: [begin, contentEnd) is its text, [contentEnd, end) its line break ("\n",
// "\r\n" or nothing on an unterminated last line). Only LF ends a line; a lone CR is text.
struct Line {
    std::size_t begin = 0;
    std::size_t contentEnd = 0;
    std::size_t end = 0;
};

bool NextLine(std::string_view text, std::size_t& pos, Line& line) {
    if (pos >= text.size()) return false;
    line.begin = pos;
    const std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
        line.contentEnd = line.end = text.size();
    } else {
        line.end = nl + 1;
        line.contentEnd = (nl > pos && text[nl - 1] == '\r') ? nl - 1 : nl;
    }
    pos = line.end;
    return true;
}

enum class Kind { Other, Section, Key };

struct Parsed {
    Kind kind = Kind::Other;
    std::string_view name;
    std::string_view rest;  // a key's text after '=', untrimmed
};

Parsed Classify(std::string_view content) {
    Parsed p;
    std::size_t b = 0;
    while (b < content.size() && IsBlank(content[b])) ++b;
    if (b == content.size() || content[b] == ';') return p;
    if (content[b] == '[') {
        // A header without its ']' still opens a section: the name runs to the end of the line.
        const std::size_t close = content.find(']', b + 1);
        const std::size_t stop = close == std::string_view::npos ? content.size() : close;
        p.kind = Kind::Section;
        p.name = Trim(content.substr(b + 1, stop - b - 1));
        return p;
    }
    const std::size_t eq = content.find('=', b);
    if (eq == std::string_view::npos) return p;
    p.kind = Kind::Key;
    p.name = Trim(content.substr(b, eq - b));
    p.rest = content.substr(eq + 1);
    return p;
}

// Where section/key stands in the text. Only the first section of that name is looked at, and the
// scan stops at the key, so a read costs one pass at most.
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    Line keyLine;
    std::string_view value;
    // Where a new key goes: after the section's last key line, or after its header when it has no key.
    // Comments and blank lines after the last key stay with whatever follows them.
    std::size_t insertAt = 0;
    bool insertNeedsEol = false;  // that line is the file's unterminated last line
};

Location Locate(std::string_view text, std::string_view section, std::string_view key) {
    section = Trim(section);
    key = Trim(key);
    Location loc;
    bool inSection = false;
    // Editors may save the file with a UTF-8 byte-order mark; it must not hide the first section.
    std::size_t pos = text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    Line line;
    while (NextLine(text, pos, line)) {
        const Parsed p = Classify(text.substr(line.begin, line.contentEnd - line.begin));
        if (p.kind == Kind::Section) {
            if (inSection) break;
            if (!SameName(p.name, section)) continue;
            inSection = loc.sectionFound = true;
        } else if (!inSection || p.kind != Kind::Key) {
            continue;
        }
        loc.insertAt = line.end;
        loc.insertNeedsEol = line.end == line.contentEnd;
        if (p.kind == Kind::Key && SameName(p.name, key)) {
            loc.keyFound = true;
            loc.keyLine = line;
            loc.value = Trim(p.rest);
            break;
        }
    }
    return loc;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

// Only names and values that read back as written are stored.
bool Storable(std::string_view section, std::string_view key, std::string_view value) {
    if (HasLineBreak(section) || section.find(']') != std::string_view::npos) return false;
    if (key.empty() || HasLineBreak(key) || key.find('=') != std::string_view::npos || key[0] == '[' ||
        key[0] == ';')
        return false;
    return !HasLineBreak(value);
}

std::string_view DetectEol(std::string_view text, std::string_view fallback) {
    if (text.find("\r\n") != std::string_view::npos) return "\r\n";
    if (text.find('\n') != std::string_view::npos) return "\n";
    return fallback;
}

std::string Cut(std::string_view s) { return std::string(s.substr(0, kMaxValueLength)); }

enum class ReadResult { Ok, Missing, Directory, Failed };

// Reads the whole file. Anything but a regular file (a FIFO, a device) is not read at all, so a
// strange path cannot block or feed us without end.
ReadResult ReadWholeFile(const std::string& path, std::string& out) {
    std::error_code ec;
    const fs::file_status st = fs::status(fs::path(path), ec);
    if (st.type() == fs::file_type::not_found) return ReadResult::Missing;
    if (st.type() == fs::file_type::directory) return ReadResult::Directory;
    if (st.type() != fs::file_type::regular) return ReadResult::Failed;

    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return ReadResult::Failed;
    // The size is only a hint: the file may change while we read it.
    const std::uintmax_t hint = fs::file_size(fs::path(path), ec);
    constexpr std::size_t kChunk = std::size_t{1} << 16;
    const bool useHint = !ec && hint < std::numeric_limits<std::size_t>::max();
    std::size_t want = useHint ? static_cast<std::size_t>(hint) + 1 : kChunk;
    out.clear();
    for (;;) {
        const std::size_t used = out.size();
        out.resize(used + want);
        const std::size_t got = std::fread(out.data() + used, 1, want, f);
        out.resize(used + got);
        if (got < want)  // end of file or an error, which ferror tells apart
            break;
        want = kChunk;
    }
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    return failed ? ReadResult::Failed : ReadResult::Ok;
}

// A file without any write permission is read-only, even to an administrator who could replace it:
// the rename below would otherwise overwrite what a direct write may not touch.
bool MayReplace(const std::string& path) {
    std::error_code ec;
    const fs::perms perms = fs::status(fs::path(path), ec).permissions();
    if (ec) return false;
    constexpr fs::perms kWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
    if ((perms & kWrite) == fs::perms::none) return false;
    std::FILE* f = std::fopen(path.c_str(), "r+b");
    if (f == nullptr) return false;
    std::fclose(f);
    return true;
}

bool WriteAndClose(std::FILE* f, std::string_view text) {
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
    // The rename must not land before the data: a crash in between would leave an empty file.
    ok = ok && plat::SyncFile(f);
    return std::fclose(f) == 0 && ok;
}

// Writes text beside target and renames it over target, so target is either old or new, never half.
bool ReplaceFile(const fs::path& target, std::string_view text, bool keepPermissions) {
    std::error_code ec;
    const fs::perms perms = fs::status(target, ec).permissions();
    const std::string base = target.string();
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string tmp = base + ".tmp" + (attempt == 0 ? std::string() : std::to_string(attempt));
        // A leftover of an earlier run, or anything else of that name, is not ours to overwrite.
        if (fs::symlink_status(fs::path(tmp), ec).type() != fs::file_type::not_found) continue;
        std::FILE* f = std::fopen(tmp.c_str(), "wb");
        if (f == nullptr) return false;
        bool ok = WriteAndClose(f, text);
        if (ok && keepPermissions) fs::permissions(fs::path(tmp), perms, ec);
        if (ok) {
            fs::rename(fs::path(tmp), target, ec);
            ok = !ec;
        }
        if (!ok) fs::remove(fs::path(tmp), ec);
        return ok;
    }
    return false;
}

}  // namespace

int32_t ParseInt(std::string_view text) {
    text = Trim(text);
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > kLimit) magnitude = kLimit;
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

std::optional<std::string_view> FindValue(std::string_view text, std::string_view section,
                                          std::string_view key) {
    const Location loc = Locate(text, section, key);
    if (!loc.keyFound) return std::nullopt;
    return loc.value;
}

bool UpdateText(std::string& text, std::string_view section, std::string_view key, std::string_view value,
                std::string_view newFileEol) {
    section = Trim(section);
    key = Trim(key);
    if (!Storable(section, key, value)) return false;
    const std::string_view eol = DetectEol(text, newFileEol);
    const Location loc = Locate(text, section, key);

    std::string line;
    line.reserve(key.size() + 1 + value.size() + 2);
    line.append(key).append("=").append(value);

    if (loc.keyFound) {
        text.replace(loc.keyLine.begin, loc.keyLine.contentEnd - loc.keyLine.begin, line);
        return true;
    }
    if (loc.sectionFound) {
        std::string insert;
        if (loc.insertNeedsEol) insert.append(eol);
        insert.append(line).append(eol);
        text.insert(loc.insertAt, insert);
        return true;
    }
    if (!text.empty() && text.back() != '\n') text.append(eol);
    text.append("[").append(section).append("]").append(eol).append(line).append(eol);
    return true;
}

int32_t GetInt(const std::string& path, std::string_view section, std::string_view key, int32_t def) {
    try {
        std::string text;
        if (ReadWholeFile(path, text) != ReadResult::Ok) return def;
        const std::optional<std::string_view> value = FindValue(text, section, key);
        if (!value || value->empty()) return def;
        return ParseInt(*value);
    } catch (...) {
        // Out of memory for a huge file: behave as if the key were missing.
        return def;
    }
}

std::string GetString(const std::string& path, std::string_view section, std::string_view key,
                      std::string_view def) {
    try {
        std::string text;
        if (ReadWholeFile(path, text) == ReadResult::Ok)
            if (const std::optional<std::string_view> value = FindValue(text, section, key))
                return Cut(*value);
        return Cut(def);
    } catch (...) {
        return std::string();
    }
}

bool WriteString(const std::string& path, std::string_view section, std::string_view key,
                 std::string_view value) {
    try {
        std::string text;
        const ReadResult read = ReadWholeFile(path, text);
        if (read != ReadResult::Ok && read != ReadResult::Missing) return false;
        const bool exists = read == ReadResult::Ok;
        if (exists && !MayReplace(path)) return false;
        if (!UpdateText(text, section, key, value, plat::NewFileEol())) return false;

        // Replace the file a symbolic link points to, not the link.
        fs::path target(path);
        std::error_code ec;
        if (exists && fs::is_symlink(fs::symlink_status(target, ec))) {
            const fs::path resolved = fs::canonical(target, ec);
            if (!ec) target = resolved;
        }
        return ReplaceFile(target, text, exists);
    } catch (...) {
        return false;
    }
}

bool WriteInt(const std::string& path, std::string_view section, std::string_view key, int32_t value) {
    try {
        return WriteString(path, section, key, std::to_string(value));
    } catch (...) {
        return false;
    }
}

}  // namespace kvn::profile
