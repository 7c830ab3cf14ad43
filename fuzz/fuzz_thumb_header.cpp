// Thumbnail header reader: any bytes a library server sends as a thumbnail.
// Whatever it accepts must be a kept format within the thumbnail bounds, so
// that the decoder is never handed a picture of unbounded cost; the same
// bytes read twice give the same answer.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "library_thumb.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    /* A copy of exactly the given length: a read past the end shows. */
    std::vector<uint8_t> copy(data, data + size);
    library_thumb_header_t h;
    int r = library_thumb_header(copy.data(), copy.size(), &h);
    if (r != 0 && r != -22 && r != -7)
        abort();
    if (r == 0) {
        if (!library_thumb_format_name(h.format))
            abort();
        if (h.width < 1 || h.height < 1 || h.width > LIBRARY_THUMB_SIDE_MAX || h.height > LIBRARY_THUMB_SIDE_MAX ||
            (int64_t)h.width * h.height > LIBRARY_THUMB_PIXELS_MAX)
            abort();
        if (h.frames < 1 || h.frames > LIBRARY_THUMB_FRAMES_MAX ||
            (int64_t)h.width * h.height * h.frames > LIBRARY_THUMB_ALL_FRAMES_PIXELS_MAX)
            abort();
    }
    library_thumb_header_t again;
    if (library_thumb_header(copy.data(), copy.size(), &again) != r || (r == 0 && memcmp(&h, &again, sizeof h)))
        abort();
    return 0;
}
