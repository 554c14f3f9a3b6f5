// Bitmap files come from the skin folder, which the user may replace: decoding must
// survive any bytes, and whatever decodes must survive a trip through the encoder.
#include <cstdlib>

#include "platform/bmp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvn::bmp::Image img;
    if (!kvn::bmp::Decode(data, size, img)) return 0;
    if (img.width <= 0 || img.height <= 0 || img.pixels.size() != size_t(img.width) * size_t(img.height))
        std::abort();
    for (uint32_t px : img.pixels)
        if (px > 0xFFFFFFu) std::abort();
    const std::vector<uint8_t> bytes = kvn::bmp::Encode24(img);
    kvn::bmp::Image again;
    if (!kvn::bmp::Decode(bytes.data(), bytes.size(), again)) std::abort();
    if (again.width != img.width || again.height != img.height || again.pixels != img.pixels) std::abort();
    return 0;
}
