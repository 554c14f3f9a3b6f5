// Catalogue names: see port_names.h.
#include "platform/sdl/port_names.h"

#include <algorithm>
#include <cctype>
#include <numeric>

#include "platform/platform.h"

namespace sdlplat {

namespace {

constexpr size_t kLimit = plat::kMaxPnameLen - 1;
constexpr size_t kMinHead = 8;  // what is left of the front when the middle goes
constexpr const char* kGap = "..";

bool Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The first `n` bytes of `s`, without half a character.
std::string Head(const std::string& s, size_t n) {
    if (s.size() <= n) return s;
    while (n > 0 && Continuation(s[n])) --n;
    return s.substr(0, n);
}

// The last `n` bytes of `s`, at most, without half a character.
std::string Tail(const std::string& s, size_t n) {
    if (s.size() <= n) return s;
    size_t from = s.size() - n;
    while (from < s.size() && Continuation(s[from])) ++from;
    return s.substr(from);
}

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(' ');
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(' ') - a + 1);
}

bool StartsWith(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

// Drops a bridge's decoration: card numbers ("[24]") and directions ("(capture)", "(playback_0)").
std::string Undecorate(std::string s) {
    for (size_t open = 0; (open = s.find_first_of("[(", open)) != std::string::npos;) {
        const size_t close = s.find(s[open] == '[' ? ']' : ')', open);
        if (close == std::string::npos) break;
        const std::string inner = s.substr(open + 1, close - open - 1);
        const bool number = !inner.empty() && std::all_of(inner.begin(), inner.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        });
        const bool direction = StartsWith(inner, "capture") || StartsWith(inner, "playback");
        if ((s[open] == '[' && number) || (s[open] == '(' && direction)) {
            s.erase(open, close - open + 1);
        } else {
            ++open;
        }
    }
    std::string out;  // the spaces the decoration stood between, once
    for (char c : s) {
        if (!(c == ' ' && (out.empty() || out.back() == ' '))) out += c;
    }
    return Trim(out);
}

// An alias of JACK's raw MIDI driver ("1-1 UM-ONE 1 in") without its card and device numbers and
// its direction, which the catalogue of one direction does not need.
std::string RawMidiAlias(std::string a) {
    const size_t space = a.find(' ');
    if (space != std::string::npos && space > 2 && a.find_first_not_of("0123456789-", 0) == space &&
        a.find('-') < space) {
        a.erase(0, space + 1);
    }
    for (const char* direction : {" in", " out"}) {
        const std::string d = direction;
        if (a.size() > d.size() && a.compare(a.size() - d.size(), d.size(), d) == 0)
            a.erase(a.size() - d.size());
    }
    return a;
}

// "client:port" with a client that the port name repeats said once.
std::string Join(const std::string& client, const std::string& port) {
    if (client.empty() || StartsWith(port, client)) return port;
    return client + ":" + port;
}

// The whole name, before any shortening.
std::string Readable(const PortFacts& p) {
    if (p.client == "system" || p.client == "system_midi") {
        // JACK's hardware ports are numbered only; what they stand for is in their names beside. The
        // raw MIDI driver gives every port of a device the device's name as its pretty name: the
        // alias, which adds the port's number to it, then says more.
        const std::string alias =
            p.aliases.empty() ? "" : RawMidiAlias(p.aliases[0].substr(p.aliases[0].find(':') + 1));
        if (!p.pretty.empty() && !StartsWith(alias, p.pretty)) return p.pretty;
        if (!alias.empty()) return alias;
    }
    if (p.client == "a2j" || p.client == "Midi-Bridge") {
        // A bridge names its ports after the device's client and port: the bridge goes.
        const std::string port = Undecorate(p.port);
        const size_t colon = port.find(':');
        if (colon == std::string::npos) return port;
        return Join(Trim(port.substr(0, colon)), Trim(port.substr(colon + 1)));
    }
    return Join(p.client, p.port);
}

// `name` in at most `limit` bytes: the middle goes, the tail that tells a device's ports apart
// stays (from the last separator, one word further back when the last word is a number only).
std::string Shorten(const std::string& name, size_t limit) {
    if (name.size() <= limit) return name;
    size_t from = name.find_last_of(" :/");
    if (from != std::string::npos && from > 0 &&
        name.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ", from) ==
            std::string::npos) {
        from = name.find_last_of(" :/", from - 1);
    }
    const size_t room = limit - kMinHead - 2;
    const std::string tail = Tail(from == std::string::npos ? name : name.substr(from), room);
    std::string head = Head(name, limit - 2 - tail.size());
    while (!head.empty() && head.back() == ' ') head.pop_back();
    return head + kGap + tail;
}

}  // namespace

std::vector<std::string> PortCatalogNames(const std::vector<PortFacts>& ports) {
    std::vector<std::string> whole, names;
    for (const PortFacts& p : ports) {
        whole.push_back(Readable(p));
        names.push_back(Shorten(whole.back(), kLimit));
    }
    // Identical names are numbered, "2- ", "3- " …, by bus path where known, else as they came.
    std::vector<size_t> order(ports.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const std::string &pa = ports[a].busPath, &pb = ports[b].busPath;
        if (pa.empty() != pb.empty()) return pb.empty();
        return pa < pb;
    });
    const std::vector<std::string> plain = names;
    for (size_t i = 0; i < order.size(); ++i) {
        int seen = 1;
        for (size_t j = 0; j < i; ++j) seen += plain[order[j]] == plain[order[i]];
        if (seen == 1) continue;
        const std::string number = std::to_string(seen) + "- ";
        names[order[i]] = number + Shorten(whole[order[i]], kLimit - number.size());
    }
    return names;
}

std::string TranslateStoredName(const std::string& stored, const std::vector<PortFacts>& ports) {
    const std::vector<std::string> names = PortCatalogNames(ports);
    if (std::find(names.begin(), names.end(), stored) != names.end()) return stored;
    std::string found;
    int count = 0;
    for (size_t i = 0; i < ports.size(); ++i) {
        if (Head(ports[i].client + ":" + ports[i].port, kLimit) == stored) {
            found = names[i];
            ++count;
        }
    }
    return count == 1 ? found : stored;
}

}  // namespace sdlplat
