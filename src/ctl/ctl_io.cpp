/* pelmora-ctl's IO server commands: the player's status once or followed,
 * its settings and modes, and its transport. */
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "ctl_sys.h"
#include "pelmora_io.h"
#include "pelmora_settings.h"

namespace {

volatile sig_atomic_t ctl_io_stop_flag = 0;

void ctl_io_on_signal(int)
{
    ctl_io_stop_flag = 1;
}

void ctl_io_status_rec(ctl_rec_t *r, const pelmora_status_t *s)
{
    r->i("status", s->status);
    r->s("name", s->name, sizeof s->name);
    r->s("cookie", s->cookie, sizeof s->cookie);
    r->i("loop", s->loop);
    r->i("clip_length", s->clip_length);
    r->i("clip_in", s->clip_in);
    r->i("clip_dur", s->clip_dur);
    r->i("clip_pos", s->clip_pos);
    r->i("clip_start", s->clip_start);
    r->i("clip_idx", s->clip_idx);
    r->i("playlist_gen", s->playlist_gen);
    r->i("playlist_dur", s->playlist_dur);
    r->i("playlist_pos", s->playlist_pos);
    r->i("playlist_count", s->playlist_count);
    r->d("playlist_speed", s->playlist_speed);
    r->i("rec_paused", s->rec_paused);
    r->i("tc_frames", s->tc_frames);
    r->i("tc_src", s->tc_src);
}

/* Sleeps ms unless a stop signal came. */
void ctl_io_nap(int64_t ms)
{
    struct timespec ts = {(time_t)(ms / 1000), (long)(ms % 1000) * 1000000L};
    while (!ctl_io_stop_flag && nanosleep(&ts, &ts) != 0)
        ;
}

std::string ctl_json_texts(char **list, int n, std::string *cell)
{
    std::string j = "[";
    for (int k = 0; k < n && list && list[k]; k++) {
        if (k) {
            j.push_back(',');
            cell->push_back(',');
        }
        ctl_json_string(&j, list[k], strlen(list[k]));
        cell->append(ctl_cell_text(list[k], strlen(list[k])));
    }
    return j + "]";
}

} // namespace

int ctl_io_status(ctl_sys_ctx_t *c)
{
    int f_follow = ctl_sys_has(c, "follow");
    int64_t interval = ctl_sys_int(c, "interval", 1000), count = ctl_sys_int(c, "count", 0);
    /* A follow ends cleanly on an interrupt: the last line stays whole. */
    struct sigaction sa, old_int, old_term;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = ctl_io_on_signal;
    ctl_io_stop_flag = 0;
    if (f_follow) {
        sigaction(SIGINT, &sa, &old_int);
        sigaction(SIGTERM, &sa, &old_term);
    }
    int code = CTL_EXIT_OK;
    for (int64_t n = 0; !ctl_io_stop_flag; n++) {
        pelmora_status_t s;
        int r = pelmora_getstatus(c->url, &s);
        if (r < 0) {
            code = ctl_sys_fail(c, r);
            break;
        }
        ctl_rec_t rec;
        ctl_io_status_rec(&rec, &s);
        if (f_follow && c->a->f_table && n > 0)
            fputc('\n', c->out);
        ctl_sys_emit_one(c, rec);
        if (ferror(c->out)) {
            code = CTL_EXIT_LOCAL;
            break;
        }
        if (!f_follow || (count > 0 && n + 1 >= count))
            break;
        ctl_io_nap(interval);
    }
    if (f_follow) {
        sigaction(SIGINT, &old_int, nullptr);
        sigaction(SIGTERM, &old_term, nullptr);
    }
    return code;
}

int ctl_io_settings(ctl_sys_ctx_t *c)
{
    pelmora_io_settings_t s;
    memset(&s, 0, sizeof s);
    int r = pelmora_io_settings_get(c->url, &s);
    if (r < 0)
        return ctl_sys_fail(c, r);
    ctl_rec_t rec;
    rec.s("version", s.ver, sizeof s.ver);
    rec.s("mode", s.mode, sizeof s.mode);
    rec.s("enc", s.enc, sizeof s.enc);
    rec.s("playback_osd", s.playback_osd, sizeof s.playback_osd);
    rec.s("playback_timecode_src", s.playback_timecode_src, sizeof s.playback_timecode_src);
    rec.s("playback_consumer_preroll", s.playback_consumer_preroll, sizeof s.playback_consumer_preroll);
    rec.s("playback_consumer_buffer", s.playback_consumer_buffer, sizeof s.playback_consumer_buffer);
    rec.s("playback_consumer_prefill", s.playback_consumer_prefill, sizeof s.playback_consumer_prefill);
    rec.s("playback_consumer_noscale", s.playback_consumer_noscale, sizeof s.playback_consumer_noscale);
    rec.s("record_timecode_src", s.record_timecode_src, sizeof s.record_timecode_src);
    rec.s("record_bitdepth", s.record_bitdepth, sizeof s.record_bitdepth);
    rec.s("record_producer_buffer", s.record_producer_buffer, sizeof s.record_producer_buffer);
    rec.i("record_channels_conf", s.record_channels_conf);
    rec.str("record_channels_conf_name", pelmora_settings_get_record_channels_conf(s.record_channels_conf));
    rec.s("record_channels_map", s.record_channels_map, sizeof s.record_channels_map);
    rec.i("keyer", s.keyer);
    ctl_sys_emit_one(c, rec);
    return CTL_EXIT_OK;
}

int ctl_io_set(ctl_sys_ctx_t *c)
{
    return ctl_sys_result(c,
                          pelmora_io_settings_set_value(c->url, ctl_sys_pos(c, 0).c_str(), ctl_sys_pos(c, 1).c_str()));
}

int ctl_io_save(ctl_sys_ctx_t *c)
{
    return ctl_sys_result(c, pelmora_io_settings_save(c->url));
}

int ctl_io_modes(ctl_sys_ctx_t *c)
{
    pelmora_io_mode_t **modes = nullptr;
    int r = pelmora_io_settings_get_modes(c->url, &modes);
    if (r < 0)
        return ctl_sys_fail(c, r);
    ctl_sys_columns(c, {"idx", "name", "desc", "encoders", "osds"});
    for (int k = 0; k < r && modes && modes[k]; k++) {
        const pelmora_io_mode_t *m = modes[k];
        ctl_rec_t rec;
        rec.i("idx", m->idx);
        rec.s("name", m->name, sizeof m->name);
        rec.s("desc", m->desc, sizeof m->desc);
        std::string enc_json = "[", enc_cell;
        for (int e = 0; e < m->enc_cnt && m->enc; e++) {
            ctl_rec_t er;
            er.i("idx", m->enc[e]->idx);
            er.s("name", m->enc[e]->name, sizeof m->enc[e]->name);
            er.s("desc", m->enc[e]->desc, sizeof m->enc[e]->desc);
            enc_json += std::string(e ? "," : "") + "{\"idx\":" + er.v[0].json + ",\"name\":" + er.v[1].json +
                        ",\"desc\":" + er.v[2].json + "}";
            enc_cell += std::string(e ? "," : "") + er.v[1].cell + "(" + er.v[0].cell + ")";
        }
        rec.raw("encoders", enc_json + "]", enc_cell);
        std::string osd_cell;
        std::string osd_json = ctl_json_texts(m->osd, m->osd_cnt, &osd_cell);
        rec.raw("osds", osd_json, osd_cell);
        ctl_sys_emit(c, rec);
    }
    if (modes)
        pelmora_io_settings_free_modes(&modes);
    return CTL_EXIT_OK;
}

int ctl_io_set_mode(ctl_sys_ctx_t *c)
{
    const std::string &m = ctl_sys_pos(c, 0), &e = ctl_sys_pos(c, 1);
    int64_t mi = 0, ei = 0;
    int r;
    if (ctl_parse_int64(m.c_str(), 0, INT32_MAX, 0, &mi) == 0 && ctl_parse_int64(e.c_str(), 0, INT32_MAX, 0, &ei) == 0)
        r = pelmora_io_settings_set_mode(c->url, (int)mi, (int)ei);
    else
        r = pelmora_io_settings_set_mode2(c->url, m.c_str(), e.c_str());
    return ctl_sys_result(c, r);
}

int ctl_io_transport(ctl_sys_ctx_t *c)
{
    int r;
    if (strcmp(c->name, "io play") == 0)
        r = ctl_sys_has(c, "speed") ? pelmora_play_vari(c->url, ctl_sys_dbl(c, "speed", 1)) : pelmora_play(c->url);
    else if (strcmp(c->name, "io pause") == 0)
        r = pelmora_pause(c->url);
    else
        r = pelmora_stop(c->url);
    return ctl_sys_result(c, r);
}

int ctl_io_seek(ctl_sys_ctx_t *c)
{
    return ctl_sys_result(c, pelmora_playlist_seek(c->url, atoi(ctl_sys_pos(c, 0).c_str())));
}

int ctl_io_cue(ctl_sys_ctx_t *c)
{
    /* The subclip editor's order: a new list cued with the material's
     * timecode, paused, the clip appended, then the in point. Each step
     * must succeed for the next. */
    const char *path = ctl_sys_pos(c, 0).c_str();
    int in = (int)ctl_sys_int(c, "in", 0), dur = (int)ctl_sys_int(c, "dur", 0);
    int r = pelmora_stop(c->url);
    const char *step = "stop";
    if (r >= 0) {
        step = "cue";
        r = pelmora_cue_play_with_data(c->url, (int)ctl_sys_int(c, "tc", 0));
    }
    if (r >= 0) {
        step = "pause";
        r = pelmora_pause(c->url);
    }
    if (r >= 0) {
        step = "append";
        r = pelmora_playlist_append(c->url, path, in, dur, "", "", "");
    }
    if (r >= 0) {
        step = "seek";
        r = pelmora_playlist_seek(c->url, in);
    }
    if (r < 0)
        return ctl_sys_fail(c, r, std::string("at the ") + step + " of " + ctl_sys_quote(path));
    return ctl_sys_result(c, r);
}
