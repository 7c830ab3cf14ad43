// Shared pieces of the zone tests: a TZif image writer for hand-made zone
// files, a guard that restores the process's TZ and TZDIR, a temporary
// directory, and the field-by-field comparison of two broken-down times.
#pragma once
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tztest {

struct TzifType
{
    int32_t off;
    bool dst;
    uint8_t idx;
};

struct TzifParts
{
    char version = '2'; // 0 writes a version 1 file
    std::vector<int64_t> times;
    std::vector<uint8_t> idxs;
    std::vector<TzifType> types;
    std::string chars; // abbreviations, each NUL-terminated
    std::vector<std::pair<int64_t, int32_t>> leaps;
    std::vector<uint8_t> isstd, isut;
    std::string footer; // without the newlines
};

inline void put32(std::string &o, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        o += (char)((v >> s) & 0xff);
}

inline void put64(std::string &o, uint64_t v)
{
    put32(o, (uint32_t)(v >> 32));
    put32(o, (uint32_t)v);
}

// One header and data block; tsize 4 keeps only the times that fit.
inline std::string tzif_block(const TzifParts &s, char version, int tsize)
{
    std::vector<int64_t> times;
    std::vector<uint8_t> idxs;
    std::vector<std::pair<int64_t, int32_t>> leaps;
    for (size_t i = 0; i < s.times.size(); i++)
        if (tsize == 8 || (s.times[i] >= INT32_MIN && s.times[i] <= INT32_MAX)) {
            times.push_back(s.times[i]);
            idxs.push_back(s.idxs[i]);
        }
    for (auto &l : s.leaps)
        if (tsize == 8 || (l.first >= INT32_MIN && l.first <= INT32_MAX))
            leaps.push_back(l);
    std::string o = "TZif";
    o += version;
    o.append(15, '\0');
    put32(o, (uint32_t)s.isut.size());
    put32(o, (uint32_t)s.isstd.size());
    put32(o, (uint32_t)leaps.size());
    put32(o, (uint32_t)times.size());
    put32(o, (uint32_t)s.types.size());
    put32(o, (uint32_t)s.chars.size());
    for (int64_t t : times)
        tsize == 8 ? put64(o, (uint64_t)t) : put32(o, (uint32_t)(int32_t)t);
    for (uint8_t i : idxs)
        o += (char)i;
    for (auto &t : s.types) {
        put32(o, (uint32_t)t.off);
        o += (char)t.dst;
        o += (char)t.idx;
    }
    o += s.chars;
    for (auto &l : leaps) {
        tsize == 8 ? put64(o, (uint64_t)l.first) : put32(o, (uint32_t)(int32_t)l.first);
        put32(o, (uint32_t)l.second);
    }
    for (uint8_t b : s.isstd)
        o += (char)b;
    for (uint8_t b : s.isut)
        o += (char)b;
    return o;
}

inline std::string tzif_build(const TzifParts &s)
{
    if (s.version == 0)
        return tzif_block(s, 0, 4);
    return tzif_block(s, s.version, 4) + tzif_block(s, s.version, 8) + "\n" + s.footer + "\n";
}

// Size of the version 1 part (header and 32-bit block) of a TZif image.
inline size_t tzif_v1_size(const std::string &img)
{
    auto c = [&](size_t at) {
        return (size_t)(uint8_t)img[at] << 24 | (size_t)(uint8_t)img[at + 1] << 16 | (size_t)(uint8_t)img[at + 2] << 8 |
               (size_t)(uint8_t)img[at + 3];
    };
    size_t isut = c(20), isstd = c(24), leap = c(28), time = c(32), type = c(36), chr = c(40);
    return 44 + time * 5 + type * 6 + chr + leap * 8 + isstd + isut;
}

inline std::string read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline void write_file(const std::string &path, const std::string &data)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream f(path, std::ios::binary);
    f << data;
}

// Restores TZ and TZDIR of the process, and its zone, when the test ends.
struct EnvGuard
{
    bool had_tz, had_dir;
    std::string tz, dir;
    EnvGuard()
    {
        const char *a = getenv("TZ"), *b = getenv("TZDIR");
        had_tz = a != nullptr;
        had_dir = b != nullptr;
        tz = a ? a : "";
        dir = b ? b : "";
    }
    ~EnvGuard()
    {
        had_tz ? setenv("TZ", tz.c_str(), 1) : unsetenv("TZ");
        had_dir ? setenv("TZDIR", dir.c_str(), 1) : unsetenv("TZDIR");
        tzset();
    }
};

struct TempDir
{
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/pelmora-tz-XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path.empty())
            std::filesystem::remove_all(path, ec);
    }
};

// The process's own conversion, in zone tz (TZ and TZDIR are left set).
inline struct tm sys_local(time_t t)
{
    struct tm r = {};
    localtime_r(&t, &r);
    return r;
}

// Empty when equal, else the fields that differ.
inline std::string tm_diff(const struct tm &a, const struct tm &b)
{
    std::ostringstream o;
    auto f = [&](const char *n, long x, long y) {
        if (x != y)
            o << n << " " << x << "!=" << y << " ";
    };
    f("sec", a.tm_sec, b.tm_sec);
    f("min", a.tm_min, b.tm_min);
    f("hour", a.tm_hour, b.tm_hour);
    f("mday", a.tm_mday, b.tm_mday);
    f("mon", a.tm_mon, b.tm_mon);
    f("year", a.tm_year, b.tm_year);
    f("wday", a.tm_wday, b.tm_wday);
    f("yday", a.tm_yday, b.tm_yday);
    f("isdst", a.tm_isdst, b.tm_isdst);
    f("gmtoff", a.tm_gmtoff, b.tm_gmtoff);
    std::string za = a.tm_zone ? a.tm_zone : "(null)", zb = b.tm_zone ? b.tm_zone : "(null)";
    if (za != zb)
        o << "zone " << za << "!=" << zb;
    return o.str();
}

// 1900-01-01T00:00:00Z and 2100-12-31T23:59:59Z.
constexpr int64_t T1900 = -2208988800LL;
constexpr int64_t T2100 = 4133980799LL;

} // namespace tztest
