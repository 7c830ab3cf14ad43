/* Simulator media catalogue: description files, generated default, and the
 * per-event presence/range/subclip check. */
#include "sim_media.h"

#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "sim_clock.h"
#include "sim_libmedia.h"

static std::string sim_media_trim(const std::string &s)
{
    size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos)
        return "";
    size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

static int64_t sim_media_tc2frames(const std::string &tc)
{
    return sim_clock_tc2frames(tc.c_str());
}

int sim_media_parse(const char *text, const char *where, sim_media_t *m)
{
    m->frames = -1;
    m->subclips.clear();
    std::string all = text ? text : "";
    size_t pos = 0;
    int line_no = 0;
    while (pos <= all.size()) {
        size_t nl = all.find('\n', pos);
        std::string line = all.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? all.size() + 1 : nl + 1;
        line_no++;
        line = sim_media_trim(line);
        if (line.empty() || line[0] == '#')
            continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            fprintf(stderr, "sim: %s:%d: no '=' in media description line, skipped\n", where, line_no);
            continue;
        }
        std::string key = sim_media_trim(line.substr(0, eq));
        std::string val = sim_media_trim(line.substr(eq + 1));
        if (key == "duration") {
            int64_t f = sim_media_tc2frames(val);
            if (f < 0)
                fprintf(stderr, "sim: %s:%d: bad duration [%s], skipped\n", where, line_no, val.c_str());
            else
                m->frames = f;
        } else if (key == "title")
            m->title = val;
        else if (key == "origin")
            m->origin = val;
        else if (key == "subclip") {
            char name[260], tin[64], tout[64];
            if (sscanf(val.c_str(), "%259s %63s %63s", name, tin, tout) != 3) {
                fprintf(stderr, "sim: %s:%d: subclip needs NAME IN OUT, skipped\n", where, line_no);
                continue;
            }
            sim_subclip_t sc;
            sc.name = name;
            sc.in = sim_media_tc2frames(tin);
            sc.out = sim_media_tc2frames(tout);
            if (sc.in < 0 || sc.out < sc.in) {
                fprintf(stderr, "sim: %s:%d: subclip marks out of order, skipped\n", where, line_no);
                continue;
            }
            m->subclips.push_back(sc);
        } else
            fprintf(stderr, "sim: %s:%d: unknown key [%s], skipped\n", where, line_no, key.c_str());
    }
    if (m->frames < 0) {
        m->frames = 0;
        return -22;
    }
    return 0;
}

static int sim_media_scan(sim_catalogue_t *cat, const std::string &root, const std::string &rel, int depth)
{
    if (depth > 16)
        return 0;
    std::string path = rel.empty() ? root : root + "/" + rel;
    DIR *d = opendir(path.c_str());
    if (!d)
        return depth == 0 ? -2 : 0;
    int cnt = 0;
    std::vector<std::string> names;
    while (struct dirent *de = readdir(d)) {
        if (de->d_name[0] == '.')
            continue;
        names.push_back(de->d_name);
    }
    closedir(d);
    for (const std::string &n : names) {
        std::string sub = rel.empty() ? n : rel + "/" + n;
        std::string full = root + "/" + sub;
        struct stat st;
        if (lstat(full.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode)) {
            cnt += sim_media_scan(cat, root, sub, depth + 1);
            continue;
        }
        const char *ext = ".media";
        if (!S_ISREG(st.st_mode) || sub.size() <= strlen(ext) ||
            sub.compare(sub.size() - strlen(ext), std::string::npos, ext) != 0)
            continue;
        if (st.st_size > 1 << 20) {
            fprintf(stderr, "sim: %s: media description too large, skipped\n", full.c_str());
            continue;
        }
        FILE *f = fopen(full.c_str(), "rb");
        if (!f)
            continue;
        std::string text((size_t)st.st_size, '\0');
        size_t got = fread(&text[0], 1, text.size(), f);
        fclose(f);
        text.resize(got);
        sim_media_t m;
        if (sim_media_parse(text.c_str(), full.c_str(), &m) < 0) {
            fprintf(stderr, "sim: %s: no duration, media skipped\n", full.c_str());
            continue;
        }
        m.id = sub.substr(0, sub.size() - strlen(ext));
        if (m.origin.empty())
            m.origin = "library";
        cat->items[m.id] = m;
        cnt++;
    }
    return cnt;
}

int sim_media_load_dir(sim_catalogue_t *cat, const char *dir)
{
    if (!dir || !*dir)
        return -22;
    return sim_media_scan(cat, dir, "", 0);
}

int sim_media_generate_default(sim_catalogue_t *cat)
{
    sim_media_t fb;
    fb.id = "fallback";
    fb.title = "Fallback slate";
    fb.origin = "library";
    fb.frames = sim_clock_ms2frames(10000);
    cat->items[fb.id] = fb;
    for (int i = 1; i <= 100; i++) {
        char id[64];
        snprintf(id, sizeof id, "demo/clip%03d.mxf", i);
        sim_media_t m;
        m.id = id;
        m.title = std::string("Demo clip ") + std::to_string(i);
        m.origin = "library";
        m.frames = sim_clock_ms2frames(20000 + (int64_t)((i * 7) % 41) * 1000);
        sim_subclip_t sc;
        sc.name = "a";
        sc.in = sim_clock_ms2frames(5000);
        sc.out = sim_clock_ms2frames(10000) - 1;
        m.subclips.push_back(sc);
        cat->items[m.id] = m;
    }
    return (int)cat->items.size();
}

const sim_media_t *sim_media_find(const sim_catalogue_t *cat, const std::string &id)
{
    auto it = cat->items.find(id);
    return it == cat->items.end() ? nullptr : &it->second;
}

/* A mark text in frames, -1 when empty or without digits. */
static int64_t sim_media_mark(const char *tc)
{
    if (!tc || !*tc)
        return -1;
    return sim_clock_tc2frames(tc);
}

int64_t sim_media_check(const sim_catalogue_t *cat, const pelmorabox_event_t *e, int64_t *length_frames)
{
    *length_frames = 0;
    std::string id = e->media_id;
    if (id.empty())
        return 0;
    if (id[0] == '#')
        return PELMORABOX_EVENT_FLAG_PRESENT;
    int64_t flags = 0;
    int64_t len = 0;
    size_t hash = id.find('#');
    sim_media_t from_lib;
    if (cat->live) {
        /* Answered without waiting: the file's check runs elsewhere. */
        int r = sim_libmedia_lookup(cat->live, sim_libmedia_key(id), &from_lib);
        if (r < 0)
            return SIM_MEDIA_QUEUED | (hash != std::string::npos ? PELMORABOX_EVENT_FLAG_SUBCLIP : 0);
        if (r == 0)
            return hash != std::string::npos ? PELMORABOX_EVENT_FLAG_SUBCLIP : 0;
    }
    auto find = [&](const std::string &key) { return cat->live ? &from_lib : sim_media_find(cat, key); };
    if (hash != std::string::npos) {
        flags |= PELMORABOX_EVENT_FLAG_SUBCLIP;
        const sim_media_t *m = find(id.substr(0, hash));
        std::string sub = id.substr(hash + 1);
        if (!m)
            return flags;
        if (sub.empty())
            len = m->frames;
        else {
            const sim_subclip_t *found = nullptr;
            for (const sim_subclip_t &sc : m->subclips)
                if (sc.name == sub)
                    found = &sc;
            if (!found)
                return flags;
            len = found->out - found->in + 1;
        }
    } else {
        const sim_media_t *m = find(id);
        if (!m)
            return 0;
        len = m->frames;
    }
    flags |= PELMORABOX_EVENT_FLAG_PRESENT;
    *length_frames = len;
    if (len > 0) {
        int64_t in = sim_media_mark(e->mark_in), out = sim_media_mark(e->mark_out);
        if (in >= len || out >= len || (in >= 0 && out >= 0 && out < in))
            flags |= PELMORABOX_EVENT_FLAG_RANGE_ERR;
    }
    return flags;
}

int64_t sim_media_file_in(const sim_catalogue_t *cat, const pelmorabox_event_t *e)
{
    int64_t in = std::max<int64_t>(0, sim_media_mark(e->mark_in));
    std::string id = e->media_id;
    size_t hash = id.find('#');
    if (id.empty() || id[0] == '#' || hash == std::string::npos || hash + 1 == id.size())
        return in;
    sim_media_t from_lib;
    const sim_media_t *m = nullptr;
    if (cat->live)
        m = sim_libmedia_lookup(cat->live, sim_libmedia_key(id), &from_lib) == 1 ? &from_lib : nullptr;
    else
        m = sim_media_find(cat, id.substr(0, hash));
    for (size_t i = 0; m && i < m->subclips.size(); i++)
        if (m->subclips[i].name == id.substr(hash + 1))
            return m->subclips[i].in + in;
    return in;
}
