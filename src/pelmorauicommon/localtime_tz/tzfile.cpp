/* TZif reader. The file is read whole (up to TZFILE_MAX_SIZE) and parsed
 * from memory: every count is checked against the bytes present before the
 * one allocation is sized, every index against its table, so a damaged or
 * hostile file is refused without reading past its end. */
#include "tzfile.h"

#include "offtime.h"
#include "tzset.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr size_t HEADER_SIZE = 44;
constexpr size_t TZSPEC_MAX = 512; /* real footers are under 60 bytes */

struct header
{
    unsigned char version;
    size_t isutcnt, isstdcnt, leapcnt, timecnt, typecnt, charcnt;
};

uint32_t be32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

int64_t be_time(const unsigned char *p, size_t tsize)
{
    if (tsize == 4)
        return (int32_t)be32(p);
    return (int64_t)((uint64_t)be32(p) << 32 | be32(p + 4));
}

bool read_header(const unsigned char *p, size_t left, header *h)
{
    if (left < HEADER_SIZE || memcmp(p, "TZif", 4) != 0)
        return false;
    h->version = p[4];
    /* Bytes 5..19 are reserved; the six counts follow. */
    h->isutcnt = be32(p + 20);
    h->isstdcnt = be32(p + 24);
    h->leapcnt = be32(p + 28);
    h->timecnt = be32(p + 32);
    h->typecnt = be32(p + 36);
    h->charcnt = be32(p + 40);
    return true;
}

/* Adds n * each to *sum; false on overflow. */
bool add_mul(size_t *sum, size_t n, size_t each)
{
    size_t prod;
    return !__builtin_mul_overflow(n, each, &prod) && !__builtin_add_overflow(*sum, prod, sum);
}

/* Bytes of the data block that follows a header. */
bool body_size(const header &h, size_t tsize, size_t *out)
{
    size_t n = 0;
    bool ok = add_mul(&n, h.timecnt, tsize + 1) && add_mul(&n, h.typecnt, 6) && add_mul(&n, h.charcnt, 1) &&
              add_mul(&n, h.leapcnt, tsize + 4) && add_mul(&n, h.isstdcnt, 1) && add_mul(&n, h.isutcnt, 1);
    *out = n;
    return ok;
}

/* Makes the held tables the zone in force: the footer rule for times after
 * the last transition, and the abbreviations and offsets of the zone. */
void activate(localtime_tz_t *ctx)
{
    ctx->__use_tzfile = 1;
    ctx->tzspec_usable = 0;
    if (ctx->tzspec && *ctx->tzspec) {
        tz_rule rules[2];
        int norules = 0;
        /* A footer naming daylight time must carry its change rules. */
        if (tzset_parse_rules(ctx->tzspec, rules, &norules) == 0 && !norules) {
            memcpy(ctx->tz_rules, rules, sizeof(rules));
            ctx->tzspec_usable = 1;
        }
    }

    /* The standard and daylight types of the latest transitions. */
    const ttinfo *std = nullptr, *dst = nullptr;
    for (size_t i = ctx->num_transitions; i-- > 0 && (!std || !dst);) {
        const ttinfo *t = &ctx->types[ctx->type_idxs[i]];
        if (t->isdst && !dst)
            dst = t;
        else if (!t->isdst && !std)
            std = t;
    }
    for (size_t i = 0; i < ctx->num_types && (!std || !dst); i++) {
        const ttinfo *t = &ctx->types[i];
        if (t->isdst && !dst)
            dst = t;
        else if (!t->isdst && !std)
            std = t;
    }
    if (!std)
        std = &ctx->types[0];
    if (!dst)
        dst = std;
    ctx->rule_stdoff = std->offset;
    ctx->rule_dstoff = dst->offset;
    ctx->__tzname[0] = ctx->zone_names + std->idx;
    ctx->__tzname[1] = ctx->zone_names + dst->idx;
    ctx->__daylight = ctx->rule_stdoff != ctx->rule_dstoff;
    ctx->__timezone = -ctx->rule_stdoff;
}

} // namespace

void tzfile_free(localtime_tz_t *ctx)
{
    free(ctx->tzfile_block);
    ctx->tzfile_block = nullptr;
    ctx->transitions = nullptr;
    ctx->type_idxs = nullptr;
    ctx->types = nullptr;
    ctx->zone_names = nullptr;
    ctx->leaps = nullptr;
    ctx->tzspec = nullptr;
    ctx->num_transitions = ctx->num_types = ctx->num_leaps = 0;
    ctx->tzfile_chars = 0;
    ctx->tzspec_usable = 0;
    ctx->tzfile_dev = 0;
    ctx->tzfile_ino = 0;
    ctx->tzfile_mtime = 0;
    if (ctx->__use_tzfile) {
        ctx->__use_tzfile = 0;
        tzset_utc(ctx);
    }
}

int tzfile_parse(localtime_tz_t *ctx, const unsigned char *buf, size_t len, size_t extra)
{
    if (!ctx || (!buf && len) || len > TZFILE_MAX_SIZE || extra > 4096)
        return -22;

    header h;
    size_t tsize = 4, bsize, pos = HEADER_SIZE;
    if (!read_header(buf, len, &h) || !body_size(h, tsize, &bsize) || bsize > len - pos)
        return -22;
    if (h.version != 0) {
        /* Version 2 and later repeat the data with 64-bit times. */
        pos += bsize;
        if (!read_header(buf + pos, len - pos, &h))
            return -22;
        pos += HEADER_SIZE;
        tsize = 8;
        if (!body_size(h, tsize, &bsize) || bsize > len - pos)
            return -22;
    }
    if (h.typecnt == 0 || h.typecnt > 256 || h.isstdcnt > h.typecnt || h.isutcnt > h.typecnt)
        return -22;

    /* Footer: "\n" rule "\n"; a missing or odd footer only loses the rule. */
    const unsigned char *footer = nullptr;
    size_t footer_len = 0;
    if (h.version != 0) {
        const unsigned char *q = buf + pos + bsize;
        size_t left = len - pos - bsize;
        if (left >= 2 && q[0] == '\n') {
            const void *nl = memchr(q + 1, '\n', std::min(left - 1, TZSPEC_MAX + 1));
            if (nl) {
                footer_len = (size_t)(static_cast<const unsigned char *>(nl) - (q + 1));
                if (!memchr(q + 1, '\0', footer_len))
                    footer = q + 1;
            }
        }
    }

    /* One block, largest alignment first: transitions, leaps, types, then
     * the byte tables. The counts are bounded by the file size above. */
    size_t chars = std::max(h.charcnt + 1, extra);
    size_t total = 0;
    if (!add_mul(&total, h.timecnt, sizeof(int64_t)) || !add_mul(&total, h.leapcnt, sizeof(leap)) ||
        !add_mul(&total, h.typecnt, sizeof(ttinfo)) || !add_mul(&total, h.timecnt, 1) || !add_mul(&total, chars, 1) ||
        !add_mul(&total, footer ? footer_len + 1 : 0, 1))
        return -22;
    unsigned char *block = static_cast<unsigned char *>(calloc(1, total));
    if (!block)
        return -12;
    std::unique_ptr<unsigned char, decltype(&free)> guard(block, free);

    int64_t *transitions = reinterpret_cast<int64_t *>(block);
    leap *leaps = reinterpret_cast<leap *>(transitions + h.timecnt);
    ttinfo *types = reinterpret_cast<ttinfo *>(leaps + h.leapcnt);
    unsigned char *type_idxs = reinterpret_cast<unsigned char *>(types + h.typecnt);
    char *zone_names = reinterpret_cast<char *>(type_idxs + h.timecnt);
    char *tzspec = footer ? zone_names + chars : nullptr;

    const unsigned char *p = buf + pos;
    for (size_t i = 0; i < h.timecnt; i++, p += tsize) {
        transitions[i] = be_time(p, tsize);
        if (i > 0 && transitions[i] <= transitions[i - 1])
            return -22;
    }
    for (size_t i = 0; i < h.timecnt; i++, p++) {
        if (*p >= h.typecnt)
            return -22;
        type_idxs[i] = *p;
    }
    for (size_t i = 0; i < h.typecnt; i++, p += 6) {
        int32_t off = (int32_t)be32(p);
        if (off == INT32_MIN || p[5] >= h.charcnt)
            return -22;
        types[i].offset = off;
        types[i].isdst = p[4] != 0;
        types[i].idx = p[5];
    }
    memcpy(zone_names, p, h.charcnt); /* the block is zeroed: terminated */
    p += h.charcnt;
    for (size_t i = 0; i < h.leapcnt; i++, p += tsize + 4) {
        leaps[i].transition = be_time(p, tsize);
        leaps[i].change = (int32_t)be32(p + tsize);
        if (i > 0 && leaps[i].transition <= leaps[i - 1].transition)
            return -22;
    }
    for (size_t i = 0; i < h.isstdcnt; i++, p++)
        types[i].isstd = *p != 0;
    for (size_t i = 0; i < h.isutcnt; i++, p++)
        types[i].isut = *p != 0;
    if (footer)
        memcpy(tzspec, footer, footer_len);

    guard.release();
    tzfile_free(ctx);
    ctx->tzfile_block = block;
    ctx->transitions = transitions;
    ctx->num_transitions = h.timecnt;
    ctx->type_idxs = type_idxs;
    ctx->types = types;
    ctx->num_types = h.typecnt;
    ctx->leaps = leaps;
    ctx->num_leaps = h.leapcnt;
    ctx->zone_names = zone_names;
    ctx->tzfile_chars = chars;
    ctx->tzspec = tzspec;
    activate(ctx);
    return 0;
}

int tzfile_read(localtime_tz_t *ctx, const char *file, size_t extra)
{
    /* Names are relative to the zone directory; "../" could leave it, and
     * an absolute name must point into the default directory. */
    if (!ctx || !file || !*file || strstr(file, "../"))
        return -2;
    std::string path;
    if (file[0] == '/') {
        size_t dl = strlen(LOCALTIME_TZ_DEFAULT_DIR);
        if (strncmp(file, LOCALTIME_TZ_DEFAULT_DIR, dl) != 0 || file[dl] != '/')
            return -2;
        path = file;
    } else {
        const char *dir = getenv("TZDIR");
        if (!dir || !*dir)
            dir = LOCALTIME_TZ_DEFAULT_DIR;
        path = std::string(dir) + "/" + file;
    }
    if (path.size() >= PATH_MAX)
        return -2;

    struct stat st;
    if (extra == 0 && ctx->tzfile_block && ctx->tzfile_ino && stat(path.c_str(), &st) == 0 &&
        st.st_dev == ctx->tzfile_dev && st.st_ino == ctx->tzfile_ino && st.st_mtime == ctx->tzfile_mtime) {
        activate(ctx);
        return 0;
    }

    /* Non-blocking open so that a FIFO in the zone directory cannot hang
     * the set-up; only regular files are read. */
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    FILE *f = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !f)
        close(fd);
    fprintf(stderr, "%s:%d: fopen(%s)=%p\n", __func__, __LINE__, path.c_str(), (void *)f);
    if (!f)
        return -2;
    std::unique_ptr<FILE, decltype(&fclose)> fguard(f, fclose);
    if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))
        return -2;
    if (st.st_size > TZFILE_MAX_SIZE)
        return -22;

    std::vector<unsigned char> buf((size_t)st.st_size + 1);
    size_t got = fread(buf.data(), 1, buf.size(), f);
    if (got > TZFILE_MAX_SIZE || ferror(f))
        return -22;
    int r = tzfile_parse(ctx, buf.data(), got, extra);
    if (r == 0) {
        ctx->tzfile_dev = st.st_dev;
        ctx->tzfile_ino = st.st_ino;
        ctx->tzfile_mtime = st.st_mtime;
    }
    return r;
}

int tzfile_default(localtime_tz_t *ctx, const char *std, const char *dst, long stdoff, long dstoff)
{
    char sname[LOCALTIME_TZ_ABBR_MAX + 1], dname[LOCALTIME_TZ_ABBR_MAX + 1];
    if (!ctx || !std || !dst || strlen(std) >= sizeof(sname) || strlen(dst) >= sizeof(dname))
        return -22;
    memcpy(sname, std, strlen(std) + 1);
    memcpy(dname, dst, strlen(dst) + 1);
    size_t sl = strlen(sname) + 1, dl = strlen(dname) + 1;

    int r = tzfile_read(ctx, "posixrules", sl + dl);
    if (r < 0)
        return r;
    if (ctx->num_types < 2) {
        ctx->__use_tzfile = 0;
        return -22;
    }

    /* Move each transition from the file's offsets to the given ones,
     * according to the clock it was stated in: UT, standard time, or the
     * wall clock in force before it. Two types remain: 0 standard, 1 DST. */
    std::vector<int64_t> moved(ctx->num_transitions);
    std::vector<unsigned char> kinds(ctx->num_transitions);
    int before_dst = 0;
    for (size_t i = 0; i < ctx->num_transitions; i++) {
        const ttinfo &ty = ctx->types[ctx->type_idxs[i]];
        long delta = 0;
        if (ty.isut)
            delta = 0;
        else if (ty.isstd || !before_dst)
            delta = ctx->rule_stdoff - stdoff;
        else
            delta = ctx->rule_dstoff - dstoff;
        if (__builtin_add_overflow(ctx->transitions[i], (int64_t)delta, &moved[i]) ||
            (i > 0 && moved[i] <= moved[i - 1])) {
            /* The moved times no longer make a sorted table: refuse. */
            tzfile_free(ctx);
            return -22;
        }
        kinds[i] = ty.isdst ? 1 : 0;
        before_dst = ty.isdst;
    }
    std::copy(moved.begin(), moved.end(), ctx->transitions);
    std::copy(kinds.begin(), kinds.end(), ctx->type_idxs);

    memcpy(ctx->zone_names, sname, sl);
    memcpy(ctx->zone_names + sl, dname, dl);
    ctx->types[0] = ttinfo{(int32_t)stdoff, 0, 0, 0, 0};
    ctx->types[1] = ttinfo{(int32_t)dstoff, 1, (unsigned char)sl, 0, 0};
    ctx->num_types = 2;
    ctx->rule_stdoff = stdoff;
    ctx->rule_dstoff = dstoff;

    /* After the last transition the file's rule keeps its dates but takes
     * the given names and offsets. */
    tz_rule *rules = ctx->tz_rules;
    if (ctx->tzspec_usable && (rules[0].offset != rules[1].offset || strcmp(rules[0].name, rules[1].name) != 0)) {
        memcpy(rules[0].name, sname, sl);
        memcpy(rules[1].name, dname, dl);
        rules[0].offset = stdoff;
        rules[1].offset = dstoff;
        rules[0].computed_for = rules[1].computed_for = 0;
    } else {
        ctx->tzspec_usable = 0;
    }
    ctx->__tzname[0] = ctx->zone_names;
    ctx->__tzname[1] = ctx->zone_names + sl;
    ctx->__daylight = stdoff != dstoff;
    ctx->__timezone = -stdoff;

    /* The tables no longer match the file: read it again next time. */
    ctx->tzfile_dev = 0;
    ctx->tzfile_ino = 0;
    ctx->tzfile_mtime = 0;
    return 0;
}

void tzfile_compute(localtime_tz_t *ctx, int64_t t, struct tm *tp, long *leap_correct, int *leap_hit)
{
    *leap_correct = 0;
    *leap_hit = 0;
    size_t n = ctx->num_transitions;
    const ttinfo *info = nullptr;

    bool after_last = n == 0 ? ctx->tzspec_usable : t >= ctx->transitions[n - 1];
    struct tm utc;
    if (after_last && ctx->tzspec_usable && offtime(t, 0, &utc) == 0) {
        int isdst = tzset_compute(ctx->tz_rules, t, (int64_t)utc.tm_year + 1900);
        tp->tm_isdst = isdst;
        tp->tm_gmtoff = ctx->tz_rules[isdst].offset;
        tp->tm_zone = ctx->tz_rules[isdst].name;
    } else {
        if (n == 0 || t < ctx->transitions[0]) {
            /* Before the first transition: the first standard time type. */
            size_t i = 0;
            while (i < ctx->num_types && ctx->types[i].isdst)
                i++;
            info = &ctx->types[i < ctx->num_types ? i : 0];
        } else {
            const int64_t *first = ctx->transitions, *end = first + n;
            size_t i = (size_t)(std::upper_bound(first, end, t) - first) - 1;
            info = &ctx->types[ctx->type_idxs[i]];
        }
        tp->tm_isdst = info->isdst;
        tp->tm_gmtoff = info->offset;
        tp->tm_zone = ctx->zone_names + info->idx;
    }

    /* Leap seconds: the correction of the last record at or before t; at
     * the very second of an inserted one, the clock shows :60. */
    const leap *lb = ctx->leaps, *le = ctx->leaps + ctx->num_leaps;
    const leap *it = std::upper_bound(lb, le, t, [](int64_t v, const leap &l) { return v < l.transition; });
    if (it == lb)
        return;
    const leap &l = *(it - 1);
    *leap_correct = l.change;
    long before = it - 1 == lb ? 0 : (it - 2)->change;
    if (t == l.transition && l.change > before)
        *leap_hit = 1;
}
