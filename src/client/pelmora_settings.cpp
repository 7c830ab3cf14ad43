/* Client of an IO server's configuration: settings list, modes with their
 * encoders and OSDs, the two recording tables and the channel map text. */
#include "pelmora_settings.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "pelmora.h"
#include "pelmora_call.h"
#include "strl.h"

static const char *SRC_NAME = "pelmora_settings.cpp";

static const char *const record_channels_confs[] = {
    "Mono (1)",
    "Stereo (2)",
    "Dual mono (1 + 1)",
    "Dual stereo (2 + 2)",
    "Quad mono (1 + 1 + 1 + 1)",
    "Quad stereo (2 + 2 + 2 + 2)",
    "Octa mono (1 + .. + 1 = 8)",
    "Octa (8)",
};

static const char *const record_maps_templates[] = {
    "[%d]",
    "[%d,%d]",
    "[%d][%d]",
    "[%d,%d][%d,%d]",
    "[%d][%d][%d][%d]",
    "[%d,%d][%d,%d][%d,%d][%d,%d]",
    "[%d][%d][%d][%d][%d][%d][%d][%d]",
    "[%d,%d,%d,%d,%d,%d,%d,%d]",
};

namespace {

const pelmora_call_style SETTINGS = {SRC_NAME, 0};
/* The settings and modes lists: a list longer than asked for is refused. */
const pelmora_call_style SETTINGS_LIST = {SRC_NAME, pelmora_call::REFUSE_LONGER | pelmora_call::ITEM_AS_DECODE};

template <typename... A>
int result_call(pelmora_call::site at, const char *url, const char *method, const char *format, A... args)
{
    return pelmora_call::result_call(&SETTINGS, true, at, url, method, format, args...);
}

int text_int(const char *s)
{
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(s, &end, 10);
    if (end == s || errno || v < -2147483647LL - 1 || v > 2147483647LL)
        return 0;
    return (int)v;
}

/* An array member of the answer, bounded; null with a fault otherwise. */
xmlrpc_value *bounded_array(pelmora_call &c, xmlrpc_value *from, const char *member, int max, int *n)
{
    xmlrpc_value *a = nullptr;
    xmlrpc_decompose_value(c.env(), from, "{s:A,*}", member, &a);
    if (c.failed())
        return nullptr;
    *n = xmlrpc_array_size(c.env(), a);
    if (!c.failed() && *n > max)
        xmlrpc_env_set_fault(c.env(), XMLRPC_LIMIT_EXCEEDED_ERROR, "list too long");
    if (c.failed()) {
        xmlrpc_DECREF(a);
        return nullptr;
    }
    return a;
}

void mode_free(pelmora_io_mode_t *m)
{
    if (!m)
        return;
    for (int i = 0; i < m->enc_cnt; i++)
        free(m->enc[i]);
    free(m->enc);
    for (int i = 0; m->osd && i < m->osd_cnt; i++)
        free(m->osd[i]);
    free(m->osd);
    free(m);
}

/* One mode element into a new record; null with a fault in c. */
pelmora_io_mode_t *mode_read(pelmora_call &c, xmlrpc_value *item)
{
    pelmora_io_mode_t *m = (pelmora_io_mode_t *)calloc(1, sizeof(*m));
    if (!m) {
        xmlrpc_env_set_fault(c.env(), XMLRPC_INTERNAL_ERROR, "out of memory");
        return nullptr;
    }
    const char *desc = nullptr, *name = nullptr;
    xmlrpc_decompose_value(c.env(), item, "{s:i,s:s,s:s,*}", "idx", &m->idx, "desc", &desc, "name", &name);
    if (c.failed()) {
        free(m);
        return nullptr;
    }
    strlcpy(m->desc, desc, sizeof(m->desc));
    strlcpy(m->name, name, sizeof(m->name));
    free((void *)desc);
    free((void *)name);

    int ne = 0, no = 0;
    xmlrpc_value *encs = bounded_array(c, item, "list", PELMORA_IO_ENCS_MAX, &ne);
    xmlrpc_value *osds = encs ? bounded_array(c, item, "osds", PELMORA_IO_OSDS_MAX, &no) : nullptr;
    if (encs && osds) {
        m->enc = (pelmora_io_enc_t **)calloc((size_t)ne + 1, sizeof(*m->enc));
        m->osd = (char **)calloc((size_t)no + 1, sizeof(*m->osd));
        if (!m->enc || !m->osd)
            xmlrpc_env_set_fault(c.env(), XMLRPC_INTERNAL_ERROR, "out of memory");
    }
    for (int i = 0; encs && osds && !c.failed() && i < ne; i++) {
        xmlrpc_value *e = nullptr;
        xmlrpc_array_read_item(c.env(), encs, i, &e);
        if (c.failed())
            break;
        pelmora_io_enc_t *enc = (pelmora_io_enc_t *)calloc(1, sizeof(*enc));
        const char *ed = nullptr, *en = nullptr;
        if (enc)
            xmlrpc_decompose_value(c.env(), e, "{s:i,s:s,s:s,*}", "idx", &enc->idx, "desc", &ed, "name", &en);
        else
            xmlrpc_env_set_fault(c.env(), XMLRPC_INTERNAL_ERROR, "out of memory");
        xmlrpc_DECREF(e);
        if (c.failed()) {
            free(enc);
            break;
        }
        strlcpy(enc->desc, ed, sizeof(enc->desc));
        strlcpy(enc->name, en, sizeof(enc->name));
        free((void *)ed);
        free((void *)en);
        m->enc[m->enc_cnt++] = enc;
    }
    for (int i = 0; encs && osds && !c.failed() && i < no; i++) {
        xmlrpc_value *o = nullptr;
        xmlrpc_array_read_item(c.env(), osds, i, &o);
        if (c.failed())
            break;
        const char *on = nullptr;
        xmlrpc_decompose_value(c.env(), o, "(s*)", &on);
        xmlrpc_DECREF(o);
        if (c.failed())
            break;
        m->osd[m->osd_cnt++] = (char *)on;
    }
    if (encs)
        xmlrpc_DECREF(encs);
    if (osds)
        xmlrpc_DECREF(osds);
    if (c.failed()) {
        mode_free(m);
        return nullptr;
    }
    return m;
}

} // namespace

int pelmora_io_settings_read(const char *caller, xmlrpc_value *answer, pelmora_io_settings_t *s)
{
    static const struct
    {
        const char *member;
        size_t off;
        int f_num;
    } fields[] = {
        {"PelmoraIO", offsetof(pelmora_io_settings_t, ver), 0},
        {"mode", offsetof(pelmora_io_settings_t, mode), 0},
        {"enc", offsetof(pelmora_io_settings_t, enc), 0},
        {"playback_consumer_noscale", offsetof(pelmora_io_settings_t, playback_consumer_noscale), 0},
        {"playback_consumer_buffer", offsetof(pelmora_io_settings_t, playback_consumer_buffer), 0},
        {"playback_consumer_prefill", offsetof(pelmora_io_settings_t, playback_consumer_prefill), 0},
        {"playback_consumer_preroll", offsetof(pelmora_io_settings_t, playback_consumer_preroll), 0},
        {"record_channels_conf", offsetof(pelmora_io_settings_t, record_channels_conf), 1},
        {"record_producer_buffer", offsetof(pelmora_io_settings_t, record_producer_buffer), 0},
        {"record_channels_map", offsetof(pelmora_io_settings_t, record_channels_map), 0},
        {"playback_osd", offsetof(pelmora_io_settings_t, playback_osd), 0},
        {"keyer", offsetof(pelmora_io_settings_t, keyer), 1},
        {"record_timecode_src", offsetof(pelmora_io_settings_t, record_timecode_src), 0},
        {"playback_timecode_src", offsetof(pelmora_io_settings_t, playback_timecode_src), 0},
        {"record_bitdepth", offsetof(pelmora_io_settings_t, record_bitdepth), 0},
    };
    pelmora_call c(caller, "", "PelmoraIO.SettingsGet", &SETTINGS_LIST);
    c.share(answer);
    int r = c.result(true);
    if (r < 0)
        return r;
    int n = c.list("list", PELMORA_IO_SETTINGS_MAX, [&](xmlrpc_value *item, int) {
        const char *name = nullptr, *value = nullptr;
        xmlrpc_decompose_value(c.env(), item, "{s:s,s:s,*}", "name", &name, "value", &value);
        if (c.failed()) {
            fprintf(stderr, "%s: xmlrpc_decompose_value failed: %s (%d)\n", caller, c.env()->fault_string,
                    c.env()->fault_code);
            c.clear_fault();
            return true;
        }
        for (const auto &f : fields) {
            if (strcmp(f.member, name))
                continue;
            char *dst = (char *)s + f.off;
            if (f.f_num)
                *(int *)dst = text_int(value);
            else
                strlcpy(dst, value, 260);
        }
        free((void *)name);
        free((void *)value);
        return true;
    });
    return n < 0 ? n : 0;
}

int pelmora_io_settings_get(const char *url, pelmora_io_settings_t *s)
{
    pelmora_call c(__func__, url, "PelmoraIO.SettingsGet", &SETTINGS);
    if (!c.run("()"))
        return c.call_failed(nullptr, nullptr, 0);
    return pelmora_io_settings_read(__func__, c.answer(), s);
}

int pelmora_io_modes_read(const char *caller, xmlrpc_value *answer, pelmora_io_mode_t ***pitems)
{
    *pitems = nullptr;
    pelmora_call c(caller, "", "PelmoraIO.SettingsGetModes", &SETTINGS_LIST);
    c.share(answer);
    int r = c.result(true);
    if (r < 0)
        return r;
    std::vector<pelmora_io_mode_t *> got;
    int n = c.list("list", PELMORA_IO_MODES_MAX, [&](xmlrpc_value *item, int) {
        pelmora_io_mode_t *m = mode_read(c, item);
        if (m)
            got.push_back(m);
        return m != nullptr;
    });
    pelmora_io_mode_t **modes = n < 0 ? nullptr : (pelmora_io_mode_t **)calloc(got.size() + 1, sizeof(*modes));
    if (!modes) {
        for (pelmora_io_mode_t *m : got)
            mode_free(m);
        return n < 0 ? n : -12;
    }
    std::copy(got.begin(), got.end(), modes);
    *pitems = modes;
    return (int)got.size();
}

int pelmora_io_settings_get_modes(const char *url, pelmora_io_mode_t ***pitems)
{
    if (!pitems)
        return -22;
    *pitems = nullptr;
    pelmora_call c(__func__, url, "PelmoraIO.SettingsGetModes", &SETTINGS);
    if (!c.run("()"))
        return c.call_failed(nullptr, nullptr, 0);
    return pelmora_io_modes_read(__func__, c.answer(), pitems);
}

int pelmora_io_settings_free_modes(pelmora_io_mode_t ***pitems)
{
    if (!pitems || !*pitems)
        return -22;
    for (pelmora_io_mode_t **m = *pitems; *m; m++)
        mode_free(*m);
    free(*pitems);
    *pitems = nullptr;
    return 0;
}

int pelmora_io_settings_save(const char *url)
{
    return result_call(__func__, url, "PelmoraIO.SettingsSave", "()");
}

int pelmora_io_settings_set_mode(const char *url, int mode_idx, int enc_idx)
{
    return result_call(__func__, url, "PelmoraIO.SettingsSetMode", "(ii)", (xmlrpc_int32)mode_idx,
                       (xmlrpc_int32)enc_idx);
}

int pelmora_io_settings_set_mode2(const char *url, const char *mode, const char *enc)
{
    if (!mode || !enc)
        return -22;
    return result_call(__func__, url, "PelmoraIO.SettingsSetMode", "(ss)", mode, enc);
}

int pelmora_io_settings_set_value(const char *url, const char *name, const char *value)
{
    if (!name || !value)
        return -22;
    return result_call(__func__, url, "PelmoraIO.SettingsSetValue", "(ss)", name, value);
}

const char *pelmora_settings_get_record_channels_conf(int idx)
{
    return idx >= 0 && idx < 8 ? record_channels_confs[idx] : "<unknown>";
}

const char *pelmora_settings_get_record_maps_template(int idx)
{
    return idx >= 0 && idx < 8 ? record_maps_templates[idx] : "<unknown>";
}

int pelmora_settings_get_record_channels_conf_cnt(void)
{
    return 8;
}

int pelmora_settings_get_record_map_idx(int idx, const char *map)
{
    if (!map || idx < 0 || (size_t)idx >= strlen(map))
        return 0;
    char ch = map[idx];
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'A' && ch <= 'Z')
        return ch - 'A' + 10;
    return 0;
}

char *pelmora_settings_record_map_build(char *buf, size_t lim, int record_channels_conf,
                                        const char *record_channels_map)
{
    if (!buf || !lim)
        return buf;
    if (record_channels_conf < 0 || record_channels_conf >= 8) {
        strlcpy(buf, "<unknown>", lim);
        return buf;
    }
    int ch[8];
    for (int p = 0; p < 8; p++)
        ch[p] = pelmora_settings_get_record_map_idx(p, record_channels_map) + 1;
        /* The templates are our own fixed table; each uses up to eight. */
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    snprintf(buf, lim, record_maps_templates[record_channels_conf], ch[0], ch[1], ch[2], ch[3], ch[4], ch[5], ch[6],
             ch[7]);
#pragma GCC diagnostic pop
    return buf;
}
