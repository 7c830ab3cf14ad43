/* Events for client tests and benchmarks, from one line of fields in the
 * order of the event line. */
#pragma once

#include <initializer_list>
#include <utility>

#include "pelmorabox.h"
#include "strl.h"

struct event_fields
{
    const char *start_time;
    char start_type;
    const char *mark_in, *mark_out, *duration;
    char event_type;
    const char *media_id, *title, *assets, *fixed_time, *tag, *audio_map, *audio_amp, *ar;
};

/* A new event (give it back with pelmorabox_event_destroy) with the fields and
 * metadata pairs given; texts longer than their field are cut. */
inline pelmorabox_event_t *event_build(const event_fields &f,
                                       std::initializer_list<std::pair<const char *, const char *>> meta = {})
{
    pelmorabox_event_t *e = pelmorabox_event_create();
    strlcpy(e->start_time, f.start_time, sizeof(e->start_time));
    e->start_type = f.start_type;
    strlcpy(e->mark_in, f.mark_in, sizeof(e->mark_in));
    strlcpy(e->mark_out, f.mark_out, sizeof(e->mark_out));
    strlcpy(e->duration, f.duration, sizeof(e->duration));
    e->event_type = f.event_type;
    strlcpy(e->media_id, f.media_id, sizeof(e->media_id));
    strlcpy(e->title, f.title, sizeof(e->title));
    strlcpy(e->assets, f.assets, sizeof(e->assets));
    strlcpy(e->fixed_time, f.fixed_time, sizeof(e->fixed_time));
    strlcpy(e->tag, f.tag, sizeof(e->tag));
    strlcpy(e->audio_map, f.audio_map, sizeof(e->audio_map));
    strlcpy(e->audio_amp, f.audio_amp, sizeof(e->audio_amp));
    strlcpy(e->ar, f.ar, sizeof(e->ar));
    for (const auto &m : meta)
        pelmorabox_event_add_meta(e, m.first, m.second);
    return e;
}
