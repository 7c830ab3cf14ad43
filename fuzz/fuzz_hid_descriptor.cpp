// HID report descriptors come from the device: any byte string must give
// sizes within the layer's bounds or a refusal, never a crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "hid_layer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    hid_layer_sizes_t s;
    if (hid_layer_parse_descriptor(data, size, &s) == 0) {
        if (s.input < 0 || s.input >= HID_LAYER_MAX_REPORT || s.output < 0 || s.output >= HID_LAYER_MAX_REPORT ||
            (s.numbered != 0 && s.numbered != 1))
            abort();
    }
    return 0;
}
