// The simulator's data files: playlist text (one event line per line) and
// media descriptions. The first byte chooses the parser; parsed events are
// checked against the built-in catalogue as the simulator would on load.
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

#include "sim_media.h"
#include "sim_playlist.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static sim_catalogue_t *cat = [] {
        auto *c = new sim_catalogue_t;
        sim_media_generate_default(c);
        return c;
    }();
    if (size < 1)
        return 0;
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    FILE *saved = stderr;
    stderr = fopen("/dev/null", "w");
    if (data[0] & 1) {
        sim_media_t m;
        sim_media_parse(text.c_str(), "fuzz", &m);
    } else {
        std::vector<pelmorabox_event_t *> events;
        sim_playlist_parse("fuzz", text, &events);
        for (auto *e : events) {
            int64_t len = 0;
            sim_media_check(cat, e, &len);
            pelmorabox_event_destroy(&e);
        }
    }
    fclose(stderr);
    stderr = saved;
    return 0;
}
