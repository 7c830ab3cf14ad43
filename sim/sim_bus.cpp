/* Simulator bus: the running list, its schedule and its play-out in time. */
#include "sim_bus.h"

#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <algorithm>
#include <atomic>

#include "sim_clock.h"
#include "sim_libmedia.h"
#include "strl.h"
#include "timecode.h"

#define SIM_DAY_MS (24LL * 3600 * 1000)
#define SIM_HALF_DAY_MS (12LL * 3600 * 1000)

/* Server-wide and stable for an event's life; seeded from the clock so that a
 * restarted simulator does not hand out the ids of the previous run again. */
static std::atomic<int64_t> sim_bus_sys_id{0};

static int64_t sim_bus_new_sys_id(int64_t now)
{
    int64_t cur = sim_bus_sys_id.load();
    if (cur == 0) {
        int64_t seed = now * 1000; /* room for a thousand ids per millisecond of the previous run */
        sim_bus_sys_id.compare_exchange_strong(cur, seed);
    }
    return ++sim_bus_sys_id;
}

static uint64_t sim_bus_fnv(const char *s, uint64_t h)
{
    for (; *s; s++) {
        h ^= (unsigned char)*s;
        h *= 1099511628211ULL;
    }
    return h;
}

/* Length in ms: the duration text, else the marks, else the media's length
 * from the in point on. */
static int64_t sim_bus_natural_ms(const pelmorabox_event_t *e, int64_t media_frames)
{
    int64_t d = e->duration[0] ? sim_clock_tc2frames(e->duration) : -1;
    if (d >= 0)
        return sim_clock_frames2ms(d);
    int64_t in = e->mark_in[0] ? sim_clock_tc2frames(e->mark_in) : -1;
    int64_t out = e->mark_out[0] ? sim_clock_tc2frames(e->mark_out) : -1;
    if (in >= 0 && out >= in)
        return sim_clock_frames2ms(out - in + 1);
    if (media_frames > 0)
        return sim_clock_frames2ms(std::max<int64_t>(0, media_frames - std::max<int64_t>(0, in)));
    return 0;
}

static void sim_bus_event_refresh(sim_bus_t *bus, sim_event_t *se)
{
    int64_t frames = 0;
    se->ev->start_time[0] = 0; /* computed by the schedule, never stored */
    se->media_flags = sim_media_check(bus->cat, se->ev, &frames);
    se->natural_ms = sim_bus_natural_ms(se->ev, frames);
    se->media_frames = frames;
    std::vector<char> line(16384);
    pelmorabox_event_format_string(se->ev, line.data(), (int)line.size());
    se->hash = sim_bus_fnv(line.data(), 14695981039346656037ULL);
}

sim_event_t sim_bus_event_make(sim_bus_t *bus, pelmorabox_event_t *e)
{
    sim_event_t se;
    memset(&se, 0, sizeof se);
    se.ev = e;
    se.sys_id = sim_bus_new_sys_id(sim_clock_now_ms());
    sim_bus_event_refresh(bus, &se);
    return se;
}

void sim_bus_event_free(sim_event_t *se)
{
    if (se->ev)
        pelmorabox_event_destroy(&se->ev);
    se->ev = nullptr;
}

void sim_bus_init(sim_bus_t *bus, int idx, const sim_catalogue_t *cat, const char *fallback_id, int64_t cue_ms,
                  int64_t now)
{
    bus->idx = idx;
    bus->cat = cat;
    bus->fallback_id = fallback_id ? fallback_id : "fallback";
    bus->cue_ms = cue_ms;
    bus->f_running = 0;
    bus->f_on_air = 0;
    bus->air_start_ms = 0;
    bus->base_ms = now;
    /* Starts from the clock so that a console that saw a previous run of the
     * simulator finds a larger counter and refetches its rows. */
    bus->amend = now;
    bus->lib_present_count = bus->lib_absent_count = 0;
    bus->ply_stat_flag_range = bus->ply_stat_flag_subclip = 0;
    bus->ply_hash = 0;
    bus->f_ft_gap = 0;
    bus->ft_gap_ms = 0;
    bus->scan_amend = -1;
    bus->scan_absent = bus->scan_c = bus->scan_l = -1;
    bus->snapshot_next = 1;
    bus->preview_sys_id = 0;
    bus->cat_gen = cat && cat->live ? sim_libmedia_gen(cat->live) : 0;
    bus->lib_queued_count = 0;
}

void sim_bus_release(sim_bus_t *bus)
{
    for (sim_event_t &se : bus->list)
        sim_bus_event_free(&se);
    bus->list.clear();
    for (sim_snapshot_t &sn : bus->snapshots)
        for (sim_event_t &se : sn.events)
            sim_bus_event_free(&se);
    bus->snapshots.clear();
}

/* The absolute time of a fixed start: that time of day on the day that puts
 * it nearest to `ref` (within half a day either side). -1 without a time. */
static int64_t sim_bus_fixed_abs(const pelmorabox_event_t *e, int64_t midnight, int64_t ref)
{
    int64_t tod = sim_clock_tc2ms(e->fixed_time);
    if (tod < 0)
        return -1;
    int64_t t = midnight + tod % SIM_DAY_MS;
    if (ref - t > SIM_HALF_DAY_MS)
        t += ((ref - t - SIM_HALF_DAY_MS) / SIM_DAY_MS + 1) * SIM_DAY_MS;
    if (t - ref >= SIM_HALF_DAY_MS)
        t -= ((t - ref - SIM_HALF_DAY_MS) / SIM_DAY_MS + 1) * SIM_DAY_MS;
    return t;
}

static int sim_bus_window_first(const sim_bus_t *bus)
{
    return bus->f_on_air ? 1 : 0;
}

/* What the playout would report for entry i now. */
static int64_t sim_bus_dyn_flags(const sim_bus_t *bus, size_t i, int64_t now)
{
    const sim_event_t &se = bus->list[i];
    int present = (se.media_flags & PELMORABOX_EVENT_FLAG_PRESENT) != 0;
    if (!bus->f_running)
        return 0;
    if (i == 0 && bus->f_on_air)
        return PELMORABOX_EVENT_FLAG_PLAY |
               (present ? PELMORABOX_EVENT_FLAG_PLAYING : PELMORABOX_EVENT_FLAG_PLAY_FAILED);
    size_t first = (size_t)sim_bus_window_first(bus);
    if (i >= first && i < first + SIM_BUS_CUE_WINDOW) {
        if (!present)
            return PELMORABOX_EVENT_FLAG_CUE_FAILED;
        return now - se.cue_since_ms >= bus->cue_ms ? PELMORABOX_EVENT_FLAG_CUED : PELMORABOX_EVENT_FLAG_CUEING;
    }
    return 0;
}

/* Entries entering the cue window start cueing at `t`; those outside forget it. */
static void sim_bus_mark_window(sim_bus_t *bus, int64_t t)
{
    size_t first = (size_t)sim_bus_window_first(bus);
    size_t n = std::min(bus->list.size(), first + SIM_BUS_CUE_WINDOW + 1);
    for (size_t i = 0; i < n; i++) {
        sim_event_t &se = bus->list[i];
        int inside = bus->f_running && i >= first && i < first + SIM_BUS_CUE_WINDOW;
        if (!inside)
            se.cue_since_ms = 0;
        else if (se.cue_since_ms == 0)
            se.cue_since_ms = t;
    }
}

static int64_t sim_bus_noncont(const sim_bus_t *bus, size_t i)
{
    if (i == 0)
        return 0;
    const pelmorabox_event_t *a = bus->list[i - 1].ev, *b = bus->list[i].ev;
    if (!b->media_id[0] || strcmp(a->media_id, b->media_id) != 0 || !a->mark_out[0] || !b->mark_in[0])
        return 0;
    int64_t out = sim_clock_tc2frames(a->mark_out), in = sim_clock_tc2frames(b->mark_in);
    return out >= 0 && in >= 0 && in != out + 1 ? PELMORABOX_EVENT_FLAG_NON_CONT : 0;
}

/* Flags of the first entries (where cueing happens); amend grows when one changed. */
static void sim_bus_refresh_window(sim_bus_t *bus, int64_t now)
{
    size_t n = std::min(bus->list.size(), (size_t)SIM_BUS_CUE_WINDOW + 2);
    int changed = 0;
    for (size_t i = 0; i < n; i++) {
        sim_event_t &se = bus->list[i];
        int64_t f = (se.media_flags & ~SIM_MEDIA_QUEUED) | sim_bus_noncont(bus, i) | sim_bus_dyn_flags(bus, i, now);
        if (f != se.flags) {
            se.flags = f;
            changed = 1;
        }
    }
    if (changed)
        bus->amend++;
}

/* Start times and lengths of the whole list, its counters and hash. */
static void sim_bus_schedule(sim_bus_t *bus, int64_t now)
{
    size_t n = bus->list.size();
    int64_t midnight = sim_clock_local_midnight(now);
    /* For gap fills: the next fixed start after each entry and the length of
     * what plays in between. */
    std::vector<int64_t> next_fixed(n + 1, -1), between(n + 1, 0);
    for (size_t k = n; k-- > 0;) {
        if (k + 1 < n && bus->list[k + 1].ev->start_type == 'F') {
            next_fixed[k] = (int64_t)k + 1;
            between[k] = 0;
        } else if (k + 1 < n) {
            next_fixed[k] = next_fixed[k + 1];
            between[k] = between[k + 1] + bus->list[k + 1].natural_ms;
        }
    }
    bus->lib_present_count = bus->lib_absent_count = bus->lib_queued_count = 0;
    bus->ply_stat_flag_range = bus->ply_stat_flag_subclip = 0;
    bus->f_ft_gap = 0;
    uint64_t h = 14695981039346656037ULL;
    int changed = 0;
    for (size_t i = 0; i < n; i++) {
        sim_event_t &se = bus->list[i];
        char st = se.ev->start_type;
        int64_t start;
        if (i == 0) {
            start = bus->f_on_air ? bus->air_start_ms : bus->base_ms;
            if (!bus->f_on_air && st == 'F') {
                int64_t fa = sim_bus_fixed_abs(se.ev, midnight, bus->base_ms);
                if (fa > start)
                    start = fa;
            }
        } else {
            sim_event_t &prev = bus->list[i - 1];
            int64_t prev_end = prev.start_ms + prev.dur_ms;
            start = prev_end;
            if (st == 'F') {
                int64_t fa = sim_bus_fixed_abs(se.ev, midnight, prev_end);
                if (fa >= 0) {
                    if (!bus->f_ft_gap) {
                        bus->f_ft_gap = 1;
                        bus->ft_gap_ms = fa - prev_end;
                    }
                    if (fa < prev.start_ms)
                        fa = prev.start_ms;
                    if (fa < prev_end)
                        prev.dur_ms = fa - prev.start_ms; /* a fixed start cuts what plays before it */
                    start = fa;
                }
            }
        }
        int64_t dur = se.natural_ms;
        if (st == 'G' && next_fixed[i] >= 0) {
            int64_t fa = sim_bus_fixed_abs(bus->list[(size_t)next_fixed[i]].ev, midnight, start + dur + between[i]);
            if (fa >= 0)
                dur = std::max<int64_t>(0, fa - start - between[i]);
        }
        if (se.start_ms != start)
            changed = 1;
        se.start_ms = start;
        se.dur_ms = dur;
        if (se.media_flags & PELMORABOX_EVENT_FLAG_PRESENT)
            bus->lib_present_count++;
        else if (se.media_flags & SIM_MEDIA_QUEUED)
            bus->lib_queued_count++;
        else
            bus->lib_absent_count++;
        if (se.media_flags & PELMORABOX_EVENT_FLAG_RANGE_ERR)
            bus->ply_stat_flag_range = 1;
        if (se.media_flags & PELMORABOX_EVENT_FLAG_SUBCLIP)
            bus->ply_stat_flag_subclip = 1;
        h = (h ^ se.hash) * 1099511628211ULL;
    }
    bus->ply_hash = n ? h : 0;
    sim_bus_mark_window(bus, now);
    for (size_t i = 0; i < n; i++) {
        sim_event_t &se = bus->list[i];
        int64_t f = (se.media_flags & ~SIM_MEDIA_QUEUED) | sim_bus_noncont(bus, i) |
                    (i < SIM_BUS_CUE_WINDOW + 2 ? sim_bus_dyn_flags(bus, i, now) : 0);
        if (f != se.flags) {
            se.flags = f;
            changed = 1;
        }
    }
    if (changed)
        bus->amend++;
}

/* The event on air leaves it at `end`. */
static void sim_bus_air_end(sim_bus_t *bus, int64_t end, const char *how)
{
    if (!bus->f_on_air || bus->list.empty())
        return;
    const sim_event_t &top = bus->list.front();
    if (bus->aired.size() >= SIM_BUS_AIRED_MAX)
        bus->aired.erase(bus->aired.begin());
    bus->aired.push_back({bus->air_start_ms, top.sys_id, top.ev->media_id, top.ev->title, top.dur_ms,
                          std::max<int64_t>(0, end - bus->air_start_ms), how});
}

std::vector<sim_aired_t> sim_bus_take_aired(sim_bus_t *bus)
{
    std::vector<sim_aired_t> out;
    out.swap(bus->aired);
    return out;
}

/* Takes the events' flags from the catalogue again when it changed (a
 * file of the library's folder came or went). */
static void sim_bus_recheck_media(sim_bus_t *bus, int64_t now)
{
    if (!bus->cat || !bus->cat->live)
        return;
    int64_t gen = sim_libmedia_gen(bus->cat->live);
    if (gen == bus->cat_gen)
        return;
    bus->cat_gen = gen;
    int changed = 0;
    for (sim_event_t &se : bus->list) {
        int64_t flags = se.media_flags, natural = se.natural_ms;
        sim_bus_event_refresh(bus, &se);
        changed |= flags != se.media_flags || natural != se.natural_ms;
    }
    if (changed) {
        bus->amend++;
        sim_bus_schedule(bus, now);
    }
}

static void sim_bus_pop_front(sim_bus_t *bus)
{
    sim_bus_event_free(&bus->list.front());
    bus->list.pop_front();
}

void sim_bus_advance(sim_bus_t *bus, int64_t now)
{
    int dirty = 0;
    sim_bus_recheck_media(bus, now);
    while (bus->f_running && !bus->list.empty()) {
        if (bus->f_on_air) {
            const sim_event_t &top = bus->list.front();
            int64_t end = top.start_ms + top.dur_ms;
            if (now < end)
                break;
            sim_bus_air_end(bus, end, "played out");
            sim_bus_pop_front(bus);
            bus->amend++;
            dirty = 1;
            bus->f_on_air = 0;
            bus->base_ms = end;
            if (bus->list.empty())
                break;
            const sim_event_t &next = bus->list.front();
            if (next.ev->start_type == 'M' || (next.ev->start_type == 'F' && next.start_ms > end)) {
                sim_bus_mark_window(bus, end);
                continue;
            }
            bus->f_on_air = 1;
            bus->air_start_ms = end;
            sim_bus_mark_window(bus, end);
            continue;
        }
        const sim_event_t &top = bus->list.front();
        if (top.ev->start_type == 'M')
            break;
        int64_t start = bus->base_ms;
        if (top.ev->start_type == 'F') {
            if (dirty) {
                sim_bus_schedule(bus, now);
                dirty = 0;
            }
            start = bus->list.front().start_ms;
            if (now < start)
                break;
        }
        bus->f_on_air = 1;
        bus->air_start_ms = start;
        bus->amend++;
        dirty = 1;
        sim_bus_mark_window(bus, start);
    }
    if (dirty)
        sim_bus_schedule(bus, now);
    else
        sim_bus_refresh_window(bus, now);
}

/* A change of the list: count it, reschedule, and let the list play on. */
static void sim_bus_changed(sim_bus_t *bus, int64_t now)
{
    bus->amend++;
    if (!bus->f_on_air)
        bus->base_ms = now; /* a top event that does not play yet starts no earlier than now */
    sim_bus_schedule(bus, now);
    sim_bus_advance(bus, now);
}

void sim_bus_state(sim_bus_t *bus, int64_t now, pelmorabox_bus_state_t *s)
{
    memset(s, 0, sizeof *s);
    s->f_running = bus->f_running;
    s->amend = bus->amend;
    s->count = (int64_t)bus->list.size();
    sim_clock_tod2tc(now, s->time, sizeof s->time);
    size_t n = bus->list.size();
    if (bus->f_on_air && n)
        sim_clock_dur2tc(std::max<int64_t>(0, bus->list[0].start_ms + bus->list[0].dur_ms - now), s->curr_remain,
                         sizeof s->curr_remain);
    else
        sim_clock_dur2tc(0, s->curr_remain, sizeof s->curr_remain);
    /* Times to come are measured from now on a running bus (a top event that
     * waits for a take slides with the clock), from the list's head otherwise. */
    int64_t ref = now, shift = 0;
    if (n && !bus->f_running)
        ref = bus->list[0].start_ms;
    else if (n && !bus->f_on_air && now > bus->list[0].start_ms)
        shift = now - bus->list[0].start_ms;
    int64_t list_end = n ? bus->list[n - 1].start_ms + bus->list[n - 1].dur_ms + shift : ref;
    sim_clock_dur2tc(std::max<int64_t>(0, list_end - ref), s->ply_remain, sizeof s->ply_remain);
    s->lib_queued_count = bus->lib_queued_count;
    s->lib_absent_count = bus->lib_absent_count;
    s->lib_present_count = bus->lib_present_count;
    s->ply_stat_flag_range = bus->ply_stat_flag_range;
    s->ply_stat_flag_subclip = bus->ply_stat_flag_subclip;
    if (bus->scan_amend != bus->amend) {
        /* The next commercial or live item, not the one on air; the first
         * absent one, whichever. */
        bus->scan_absent = bus->scan_c = bus->scan_l = -1;
        for (size_t i = 0; i < n && (bus->scan_absent < 0 || bus->scan_c < 0 || bus->scan_l < 0); i++) {
            const sim_event_t &se = bus->list[i];
            if (bus->scan_absent < 0 && !(se.media_flags & PELMORABOX_EVENT_FLAG_PRESENT))
                bus->scan_absent = (int64_t)i;
            if (i == 0 && bus->f_on_air)
                continue;
            if (bus->scan_c < 0 && se.ev->event_type == 'C')
                bus->scan_c = (int64_t)i;
            if (bus->scan_l < 0 && se.ev->event_type == 'L')
                bus->scan_l = (int64_t)i;
        }
        bus->scan_amend = bus->amend;
    }
    struct
    {
        int64_t idx;
        char *out;
        size_t size;
    } found[3] = {{bus->scan_absent, s->absent_remain, sizeof s->absent_remain},
                  {bus->scan_c, s->type_C_remain, sizeof s->type_C_remain},
                  {bus->scan_l, s->type_L_remain, sizeof s->type_L_remain}};
    for (auto &f : found)
        if (f.idx >= 0 && f.idx < (int64_t)n)
            sim_clock_dur2tc(std::max<int64_t>(0, bus->list[(size_t)f.idx].start_ms + shift - ref), f.out, (int)f.size);
    if (bus->f_ft_gap)
        sim_clock_dur2tc(bus->ft_gap_ms, s->fixed_time_remain, sizeof s->fixed_time_remain);
    std::string lp = bus->playlist_curr;
    if (!bus->playlist_prev.empty() && !lp.empty())
        lp += " > " + bus->playlist_prev;
    strlcpy(s->last_playlist, lp.c_str(), sizeof s->last_playlist);
    if (n)
        snprintf(s->ply_hash, sizeof s->ply_hash, "%016" PRIx64, bus->ply_hash);
}

std::string sim_bus_event_line(sim_bus_t *bus, const sim_event_t *se)
{
    std::vector<char> line(16384);
    sim_clock_tod2tc(se->start_ms, se->ev->start_time, sizeof se->ev->start_time);
    /* Over a library an event named by its path alone shows its file's
     * length, as the server that plays it knows it. */
    int f_fill = bus->cat && bus->cat->live && !se->ev->duration[0] && !se->ev->mark_out[0] &&
                 (se->media_flags & PELMORABOX_EVENT_FLAG_PRESENT) && se->media_frames > 0;
    int64_t in = se->ev->mark_in[0] ? sim_clock_tc2frames(se->ev->mark_in) : 0;
    if (f_fill)
        tc_frames2tc(
            (int)std::min<int64_t>(std::max<int64_t>(0, se->media_frames - std::max<int64_t>(0, in)), 0x7fffffff),
            se->ev->duration);
    pelmorabox_event_format_string(se->ev, line.data(), (int)line.size());
    if (f_fill)
        se->ev->duration[0] = 0;
    return std::string(line.data());
}

int sim_bus_find_sys_id(const sim_bus_t *bus, int64_t sys_id)
{
    for (size_t i = 0; i < bus->list.size(); i++)
        if (bus->list[i].sys_id == sys_id)
            return (int)i;
    return -2;
}

int sim_bus_run(sim_bus_t *bus, int f_run, int64_t now)
{
    sim_bus_advance(bus, now);
    if (!!f_run == !!bus->f_running)
        return 0;
    sim_bus_air_end(bus, now, "stopped");
    bus->f_running = !!f_run;
    bus->f_on_air = 0;
    bus->base_ms = now;
    sim_bus_changed(bus, now);
    return 0;
}

/* Puts the top event on air now, whatever its start type. */
static void sim_bus_start_top(sim_bus_t *bus, int64_t now)
{
    bus->f_on_air = !bus->list.empty();
    bus->air_start_ms = now;
    bus->base_ms = now;
    sim_bus_changed(bus, now);
}

int sim_bus_take(sim_bus_t *bus, int64_t now)
{
    sim_bus_advance(bus, now);
    if (!bus->f_running)
        return -1;
    if (bus->list.empty())
        return -2;
    if (bus->f_on_air) {
        sim_bus_air_end(bus, now, "taken");
        sim_bus_pop_front(bus);
    }
    sim_bus_start_top(bus, now);
    return 0;
}

int sim_bus_take_n(sim_bus_t *bus, int64_t idx, int64_t now)
{
    sim_bus_advance(bus, now);
    if (!bus->f_running)
        return -1;
    if (idx < 0 || idx >= (int64_t)bus->list.size())
        return -22;
    sim_bus_air_end(bus, now, "taken");
    for (int64_t i = 0; i < idx; i++)
        sim_bus_pop_front(bus);
    sim_bus_start_top(bus, now);
    return 0;
}

int sim_bus_fallback(sim_bus_t *bus, int64_t now)
{
    sim_bus_advance(bus, now);
    if (!bus->f_running)
        return -1;
    pelmorabox_event_t *e = pelmorabox_event_create();
    if (!e)
        return -12;
    strlcpy(e->media_id, bus->fallback_id.c_str(), sizeof e->media_id);
    strlcpy(e->title, "FALLBACK", sizeof e->title);
    e->start_type = ' ';
    const sim_media_t *m = sim_media_find(bus->cat, bus->fallback_id);
    tc_frames2tc((int)std::min<int64_t>(m ? m->frames : sim_clock_ms2frames(10000), 0x7fffffff), e->duration);
    if (bus->f_on_air && !bus->list.empty()) {
        sim_bus_air_end(bus, now, "fallback");
        sim_bus_pop_front(bus);
    }
    bus->list.push_front(sim_bus_event_make(bus, e));
    sim_bus_start_top(bus, now);
    return 0;
}

int sim_bus_trimpad(sim_bus_t *bus, int frames, int64_t now)
{
    sim_bus_advance(bus, now);
    if (bus->list.empty())
        return -2;
    sim_event_t &se = bus->list.front();
    int64_t cur = sim_clock_ms2frames(se.natural_ms);
    /* Frames to ms and back may lose one frame to truncation; the duration
     * text is what counts, so start from it when it is there. */
    int64_t txt = se.ev->duration[0] ? sim_clock_tc2frames(se.ev->duration) : -1;
    if (txt >= 0)
        cur = txt;
    int64_t nf = std::max<int64_t>(0, std::min<int64_t>(cur + frames, 0x7fffffff));
    tc_frames2tc((int)nf, se.ev->duration);
    int64_t in = se.ev->mark_in[0] ? sim_clock_tc2frames(se.ev->mark_in) : -1;
    if (in >= 0 && se.ev->mark_out[0] && nf > 0)
        tc_frames2tc((int)std::min<int64_t>(in + nf - 1, 0x7fffffff), se.ev->mark_out);
    sim_bus_event_refresh(bus, &se);
    sim_bus_changed(bus, now);
    return 0;
}

int sim_bus_insert(sim_bus_t *bus, int64_t pos, pelmorabox_event_t *e, int64_t now)
{
    sim_bus_advance(bus, now);
    int64_t n = (int64_t)bus->list.size();
    if (pos < 0 || pos > n)
        pos = n;
    if (pos == 0 && bus->f_on_air)
        pos = 1; /* nothing goes in front of what is playing */
    bus->list.insert(bus->list.begin() + pos, sim_bus_event_make(bus, e));
    sim_bus_changed(bus, now);
    return (int)pos;
}

int sim_bus_update(sim_bus_t *bus, int64_t idx, pelmorabox_event_t *e, int64_t now)
{
    sim_bus_advance(bus, now);
    if (idx < 0 || idx >= (int64_t)bus->list.size()) {
        pelmorabox_event_destroy(&e);
        return -22;
    }
    sim_event_t &se = bus->list[(size_t)idx];
    pelmorabox_event_destroy(&se.ev);
    se.ev = e;
    sim_bus_event_refresh(bus, &se);
    sim_bus_changed(bus, now);
    return (int)idx;
}

int sim_bus_delete(sim_bus_t *bus, std::vector<int64_t> idxs, int64_t now)
{
    sim_bus_advance(bus, now);
    std::sort(idxs.begin(), idxs.end());
    idxs.erase(std::unique(idxs.begin(), idxs.end()), idxs.end());
    int cnt = 0;
    for (size_t k = idxs.size(); k-- > 0;) {
        int64_t i = idxs[k];
        if (i < 0 || i >= (int64_t)bus->list.size())
            continue;
        if (i == 0 && bus->f_on_air) {
            /* Deleting what plays ends it; the next event follows now. */
            sim_bus_air_end(bus, now, "deleted");
            bus->f_on_air = 0;
            bus->base_ms = now;
        }
        sim_bus_event_free(&bus->list[(size_t)i]);
        bus->list.erase(bus->list.begin() + i);
        cnt++;
    }
    if (cnt)
        sim_bus_changed(bus, now);
    return cnt;
}

int sim_bus_reset_tc(sim_bus_t *bus, const std::vector<int64_t> &sys_ids, int64_t now)
{
    sim_bus_advance(bus, now);
    int cnt = 0;
    for (int64_t id : sys_ids) {
        int i = sim_bus_find_sys_id(bus, id);
        if (i < 0)
            continue;
        sim_event_t &se = bus->list[(size_t)i];
        if (se.ev->start_type == 'F' || se.ev->fixed_time[0]) {
            se.ev->start_type = ' ';
            se.ev->fixed_time[0] = 0;
            sim_bus_event_refresh(bus, &se);
        }
        cnt++;
    }
    if (cnt)
        sim_bus_changed(bus, now);
    return cnt;
}

int sim_bus_truncate(sim_bus_t *bus, int64_t sys_id, int f_below, int64_t now)
{
    sim_bus_advance(bus, now);
    int k = sim_bus_find_sys_id(bus, sys_id);
    if (k < 0)
        return -2;
    int cnt = 0;
    if (f_below) {
        while ((int)bus->list.size() > k + 1) {
            sim_bus_event_free(&bus->list.back());
            bus->list.pop_back();
            cnt++;
        }
    } else {
        /* The event on air stays: truncating is an edit, not a take. */
        int lo = bus->f_on_air ? 1 : 0;
        for (int i = k - 1; i >= lo; i--) {
            sim_bus_event_free(&bus->list[(size_t)i]);
            bus->list.erase(bus->list.begin() + i);
            cnt++;
        }
    }
    if (cnt)
        sim_bus_changed(bus, now);
    return cnt;
}

void sim_bus_set_playlist(sim_bus_t *bus, const char *name)
{
    std::string n = name ? name : "";
    if (n == bus->playlist_curr)
        return;
    if (!bus->playlist_curr.empty())
        bus->playlist_prev = bus->playlist_curr;
    bus->playlist_curr = n;
}

int sim_bus_load(sim_bus_t *bus, std::vector<pelmorabox_event_t *> &events, int f_append, const char *name, int64_t now)
{
    sim_bus_advance(bus, now);
    if (!f_append) {
        sim_bus_air_end(bus, now, "replaced");
        for (sim_event_t &se : bus->list)
            sim_bus_event_free(&se);
        bus->list.clear();
        bus->f_on_air = 0;
        bus->base_ms = now;
    }
    int cnt = 0;
    for (pelmorabox_event_t *&e : events) {
        bus->list.push_back(sim_bus_event_make(bus, e));
        e = nullptr;
        cnt++;
    }
    events.clear();
    if (name)
        sim_bus_set_playlist(bus, name);
    sim_bus_changed(bus, now);
    return cnt;
}

int sim_bus_close(sim_bus_t *bus, int64_t now)
{
    sim_bus_advance(bus, now);
    sim_bus_air_end(bus, now, "closed");
    for (sim_event_t &se : bus->list)
        sim_bus_event_free(&se);
    bus->list.clear();
    bus->f_on_air = 0;
    bus->base_ms = now;
    if (!bus->playlist_curr.empty())
        bus->playlist_prev = bus->playlist_curr;
    bus->playlist_curr.clear();
    sim_bus_changed(bus, now);
    return 0;
}

static int sim_bus_has(const char *field, const char *key)
{
    return field && strcasestr(field, key) != nullptr;
}

int sim_bus_search(sim_bus_t *bus, const char *key, int start, int flags)
{
    if (!key || !*key)
        return -22;
    char *end = nullptr;
    long long want_id = strtoll(key, &end, 10);
    int f_id_key = end && *end == 0;
    for (size_t i = (size_t)std::max(0, start); i < bus->list.size(); i++) {
        const sim_event_t &se = bus->list[i];
        const pelmorabox_event_t *e = se.ev;
        if ((flags & (1 << PELMORABOX_EVENT_SEARCH_IDX_TITLE)) && sim_bus_has(e->title, key))
            return (int)i;
        if ((flags & (1 << PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID)) && sim_bus_has(e->media_id, key))
            return (int)i;
        if ((flags & (1 << PELMORABOX_EVENT_SEARCH_IDX_ASSETS)) && sim_bus_has(e->assets, key))
            return (int)i;
        for (int m = 0; m < e->metadata_cnt && e->metadata_pairs; m++) {
            if ((flags & (1 << PELMORABOX_EVENT_SEARCH_IDX_META_KEY)) && sim_bus_has(e->metadata_pairs[m].key, key))
                return (int)i;
            if ((flags & (1 << PELMORABOX_EVENT_SEARCH_IDX_META_VAL)) && sim_bus_has(e->metadata_pairs[m].val, key))
                return (int)i;
        }
        if (flags & (1 << PELMORABOX_EVENT_SEARCH_IDX_START_TIME)) {
            char tc[32];
            if (sim_bus_has(sim_clock_tod2tc(se.start_ms, tc, sizeof tc), key))
                return (int)i;
        }
        if ((flags & (1 << PELMORABOX_EVENT_SEARCH_IDX_SYS_ID)) && f_id_key && se.sys_id == want_id)
            return (int)i;
    }
    return -2;
}

int sim_bus_generate(sim_bus_t *bus, int n, int64_t now)
{
    std::vector<const sim_media_t *> media;
    for (const auto &kv : bus->cat->items)
        if (kv.first != bus->fallback_id && kv.second.frames > 0)
            media.push_back(&kv.second);
    std::vector<pelmorabox_event_t *> events;
    for (int i = 0; i < n; i++) {
        pelmorabox_event_t *e = pelmorabox_event_create();
        if (!e)
            break;
        e->start_type = ' ';
        if (i % 25 == 24) {
            e->event_type = 'L';
            strlcpy(e->media_id, "#LIVE1", sizeof e->media_id);
            snprintf(e->title, sizeof e->title, "Live %d", i + 1);
            tc_frames2tc((int)sim_clock_ms2frames(120000), e->duration);
        } else if (!media.empty()) {
            const sim_media_t *m = media[(size_t)i % media.size()];
            e->event_type = i % 10 == 9 ? 'C' : 'V';
            strlcpy(e->media_id, m->id.c_str(), sizeof e->media_id);
            snprintf(e->title, sizeof e->title, "%s %d", m->title.empty() ? m->id.c_str() : m->title.c_str(), i + 1);
            tc_frames2tc((int)std::min<int64_t>(m->frames, 0x7fffffff), e->duration);
        }
        events.push_back(e);
    }
    return sim_bus_load(bus, events, 1, nullptr, now);
}
