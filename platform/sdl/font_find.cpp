// Which installed face stands in for a Windows face name. Asked of fontconfig when the program
// was built with it, then of the paths Debian's font packages install to; never fails hard: with
// no face at all the text is simply not drawn.
#include <strings.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/sdl/sdl_internal.h"

#ifdef KVN_HAVE_FONTCONFIG
#include <fontconfig/fontconfig.h>
#endif

namespace {

using sdlplat::internal::FontFace;

struct Candidate {
    const char* family;  // for fontconfig
    const char* path;    // where Debian puts it
    int index;           // face within a collection
};

// SimHei is a Hei (sans) face with half-width Latin letters of one width: WenQuanYi Zen Hei Mono
// (fonts-wqy-zenhei) is the same kind and covers Chinese and Japanese names too.
const Candidate kHei[] = {
    {"WenQuanYi Zen Hei Mono", "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc", 1},
    {"WenQuanYi Zen Hei", "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc", 0},
    {"Noto Sans Mono CJK SC", "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc", 0},
    {"DejaVu Sans", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 0},
};

const Candidate kFixed[] = {
    {"DejaVu Sans Mono", "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf", 0},
    {"Liberation Mono", "/usr/share/fonts/truetype/liberation/LiberationMono-Regular.ttf", 0},
    {"WenQuanYi Zen Hei Mono", "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc", 1},
};

const Candidate kSans[] = {
    {"DejaVu Sans", "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", 0},
    {"WenQuanYi Zen Hei", "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc", 0},
};

bool Exists(const char* path) {
    struct stat st {};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

#ifdef KVN_HAVE_FONTCONFIG
// The file of exactly this family (fontconfig answers every question with some face, so the
// family it found is compared).
FontFace Match(const char* family) {
    FontFace found;
    if (!FcInit()) return found;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(family));
    if (pattern == nullptr) return found;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (match == nullptr) return found;
    FcChar8* file = nullptr;
    FcChar8* name = nullptr;
    int index = 0;
    if (FcPatternGetString(match, FC_FILE, 0, &file) == FcResultMatch &&
        FcPatternGetString(match, FC_FAMILY, 0, &name) == FcResultMatch &&
        strcasecmp(reinterpret_cast<const char*>(name), family) == 0) {
        FcPatternGetInteger(match, FC_INDEX, 0, &index);
        found.path = reinterpret_cast<const char*>(file);
        found.index = index;
    }
    FcPatternDestroy(match);
    return found;
}
#endif

template <size_t N>
FontFace First(const Candidate (&list)[N]) {
    for (const Candidate& c : list) {
#ifdef KVN_HAVE_FONTCONFIG
        FontFace f = Match(c.family);
        if (!f.path.empty()) return f;
#endif
        if (Exists(c.path)) return {c.path, c.index};
    }
    return {};
}

}  // namespace

namespace sdlplat::internal {

FontFace FindFace(const char* windowsFace) {
    const std::string face = windowsFace ? windowsFace : "";
    if (strcasecmp(face.c_str(), "SimHei") == 0) return First(kHei);
    if (strcasecmp(face.c_str(), "Courier New") == 0 || strcasecmp(face.c_str(), "Courier") == 0)
        return First(kFixed);
#ifdef KVN_HAVE_FONTCONFIG
    if (!face.empty()) {
        FontFace f = Match(face.c_str());
        if (!f.path.empty()) return f;
    }
#endif
    return First(kSans);
}

}  // namespace sdlplat::internal
