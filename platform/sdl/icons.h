// The icon bitmaps compiled into the program (generated at build time from resources/icons).
#pragma once

namespace sdlplat::icons {

struct Blob {
    int id;  // 128, 132 or 133, as the Windows resources are numbered
    const unsigned char* data;
    unsigned long size;  // 0 when the bitmap was missing at build time
};

extern const Blob kIcons[];
extern const int kIconCount;

}  // namespace sdlplat::icons
