// Entry point of kvn, the Linux (and macOS) build.
#include "platform/sdl/sdl_platform.h"
#include "shell/app.h"

int main() {
    const int code = KvnMain();
    sdlplat::Shutdown();
    return code;
}
