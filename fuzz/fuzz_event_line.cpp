// Event lines from a server: parse any text, and for every accepted line
// check that composing it again and parsing that gives the same event.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "pelmorabox.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    pelmorabox_event_t *e = pelmorabox_event_create_from_string(text.c_str(), nullptr, 0);
    if (!e)
        return 0;
    std::vector<char> line(PELMORABOX_EVENT_LINE_BUF);
    pelmorabox_event_format_string(e, line.data(), (int)line.size());
    pelmorabox_event_t *again = pelmorabox_event_create_from_string(line.data(), nullptr, 0);
    // A composed line always has 15 fields and must be accepted, unless it
    // was cut at the buffer's end.
    if (!again && strlen(line.data()) < PELMORABOX_EVENT_LINE_MAX)
        abort();
    if (again && strlen(line.data()) < PELMORABOX_EVENT_LINE_MAX) {
        if (strcmp(again->title, e->title) || strcmp(again->media_id, e->media_id) ||
            again->start_type != e->start_type || again->event_type != e->event_type ||
            again->metadata_cnt != e->metadata_cnt)
            abort();
        for (int i = 0; i < e->metadata_cnt; i++)
            if (strcmp(again->metadata_pairs[i].key, e->metadata_pairs[i].key) ||
                strcmp(again->metadata_pairs[i].val, e->metadata_pairs[i].val))
                abort();
    }
    pelmorabox_event_t *c = pelmorabox_event_clone(e);
    pelmorabox_event_destroy(&c);
    pelmorabox_event_destroy(&again);
    pelmorabox_event_destroy(&e);
    return 0;
}
