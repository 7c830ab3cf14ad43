// Metadata texts: parse any text into pairs; every pair read back must
// survive compose and parse unchanged.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "pelmorabox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    pelmorabox_event_t *e = pelmorabox_event_create();
    pelmorabox_event_parse_metadata(e, text.c_str());
    char *composed = nullptr;
    pelmorabox_event_compose_metadata(e, &composed);
    pelmorabox_event_t *back = pelmorabox_event_create();
    pelmorabox_event_parse_metadata(back, composed);
    if (back->metadata_cnt != e->metadata_cnt)
        abort();
    for (int i = 0; i < e->metadata_cnt; i++) {
        if (strcmp(back->metadata_pairs[i].key, e->metadata_pairs[i].key) ||
            strcmp(back->metadata_pairs[i].val, e->metadata_pairs[i].val))
            abort();
        char *val = nullptr;
        if (pelmorabox_event_find_by_meta_key(e, e->metadata_pairs[i].key, &val) > i || !val)
            abort();
    }
    free(composed);
    std::string copy = text;
    c_unescape(&copy[0]);
    pelmorabox_event_destroy(&back);
    pelmorabox_event_destroy(&e);
    return 0;
}
