// Compressed events from a server: inflate any bytes into the fixed buffer
// (never past it), and parse whatever text comes out.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "pelmorabox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An exact-size heap buffer, so that a write past it is caught.
    std::vector<char> out(PELMORABOX_EVENT_LINE_BUF);
    int n = pelmorabox_event_line_inflate(data, size, out.data(), (int)out.size());
    if (n < 0) {
        if (out[0])
            abort();
        return 0;
    }
    if (n >= (int)out.size() || out[n] != 0 || strlen(out.data()) != (size_t)n)
        abort();
    pelmorabox_event_t *e = pelmorabox_event_create_from_string(out.data(), nullptr, 0);
    pelmorabox_event_destroy(&e);
    // A small buffer must refuse what does not fit, never overrun it.
    std::vector<char> small(16);
    int m = pelmorabox_event_line_inflate(data, size, small.data(), (int)small.size());
    if (m >= 16 || (m >= 0 && m != n))
        abort();
    return 0;
}
