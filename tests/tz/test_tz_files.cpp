// TZif files made or cut for the test: version 1 files, the footer rule
// after the last transition, leap seconds, the "posixrules" rewrite, and
// damaged or hostile files, which must be refused (UTC) without reading
// past their end.
#include "localtime_tz.h"
#include "tz_test_support.h"
#include "tzfile.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <sys/stat.h>

using namespace tztest;

namespace {

const char *const SYSTEM_DIR = "/usr/share/zoneinfo";

struct tm conv(localtime_tz_t *ctx, int64_t t)
{
    struct tm r;
    memset(&r, 0x55, sizeof(r));
    time_t tt = (time_t)t;
    EXPECT_EQ(localtime_tz(&tt, &r, ctx), &r);
    return r;
}

// Sets the process and a context to the zone file `name` under dir and
// compares n random instants of [from, to] and every transition +-1.
void compare_file_with_system(const std::string &dir, const char *name, int n, int64_t from, int64_t to)
{
    setenv("TZDIR", dir.c_str(), 1);
    setenv("TZ", name, 1);
    tzset();
    localtime_tz_t *ctx = nullptr;
    ASSERT_EQ(localtime_tz_set((std::string("TZ=") + name).c_str(), &ctx), 0);
    ASSERT_EQ(ctx->__use_tzfile, 1) << name;
    std::vector<int64_t> instants;
    std::mt19937_64 rng(7);
    std::uniform_int_distribution<int64_t> pick(from, to);
    for (int i = 0; i < n; i++)
        instants.push_back(pick(rng));
    for (size_t i = 0; i < ctx->num_transitions; i++)
        for (int d = -1; d <= 1; d++)
            instants.push_back(ctx->transitions[i] + d);
    for (size_t i = 0; i < ctx->num_leaps; i++)
        for (int d = -1; d <= 1; d++)
            instants.push_back(ctx->leaps[i].transition + d);
    int bad = 0;
    for (int64_t t : instants) {
        std::string d = tm_diff(conv(ctx, t), sys_local((time_t)t));
        if (!d.empty() && ++bad <= 5)
            ADD_FAILURE() << name << " t=" << t << ": " << d;
    }
    EXPECT_EQ(bad, 0);
    localtime_tz_release(ctx);
}

// A small zone: local mean time, then standard and daylight time with two
// years of transitions, and a footer rule for the rest.
TzifParts small_zone(char version, const std::string &footer)
{
    TzifParts s;
    s.version = version;
    s.chars = std::string("LMT\0XST\0XDT\0", 12);
    s.types = {{-11000, false, 0}, {-10800, false, 4}, {-7200, true, 8}};
    s.times = {-1800000000LL, 638506800LL, 657252000LL, 670561200LL, 688701600LL}; // 1912; 1990/91 pairs
    s.idxs = {1, 2, 1, 2, 1};
    s.footer = footer;
    return s;
}

} // namespace

TEST(TzFiles, VersionOneCutFromARealFile)
{
    EnvGuard env;
    TempDir tmp;
    std::string img = read_file(std::string(SYSTEM_DIR) + "/Europe/Paris");
    ASSERT_GT(img.size(), 44u);
    ASSERT_NE(img[4], 0);
    std::string v1 = img.substr(0, tzif_v1_size(img));
    v1[4] = 0;
    write_file(tmp.path + "/V1/Paris", v1);

    localtime_tz_t *ctx = nullptr;
    setenv("TZDIR", tmp.path.c_str(), 1);
    ASSERT_EQ(localtime_tz_set("TZ=V1/Paris", &ctx), 0);
    ASSERT_EQ(ctx->__use_tzfile, 1);
    EXPECT_EQ(ctx->tzspec, nullptr);
    EXPECT_EQ(conv(ctx, 1721044800).tm_gmtoff, 7200); // 2024-07-15
    localtime_tz_release(ctx);
    compare_file_with_system(tmp.path, "V1/Paris", 5000, T1900, T2100);

    // The same bytes still marked version 2 lack their 64-bit part: refused.
    v1[4] = '2';
    write_file(tmp.path + "/V1/Broken", v1);
    ctx = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=V1/Broken", &ctx), 0);
    EXPECT_EQ(ctx->__use_tzfile, 0);
    EXPECT_EQ(conv(ctx, 1721044800).tm_gmtoff, 0);
    localtime_tz_release(ctx);
}

TEST(TzFiles, HandMadeFilesOfEachVersionAgreeWithTheSystem)
{
    EnvGuard env;
    TempDir tmp;
    write_file(tmp.path + "/v1", tzif_build(small_zone(0, "")));
    write_file(tmp.path + "/v2", tzif_build(small_zone('2', "XST3XDT,M3.2.0,M11.1.0")));
    write_file(tmp.path + "/v3", tzif_build(small_zone('3', "<-03>3<-02>,M3.5.0/-1,M10.5.0/-2")));
    write_file(tmp.path + "/nofooter", tzif_build(small_zone('2', "")));
    for (const char *n : {"v1", "v2", "v3", "nofooter"}) {
        SCOPED_TRACE(n);
        compare_file_with_system(tmp.path, n, 3000, T1900, T2100);
    }
}

TEST(TzFiles, FooterRuleAfterTheLastTransition)
{
    EnvGuard env;
    TempDir tmp;
    setenv("TZDIR", tmp.path.c_str(), 1);
    write_file(tmp.path + "/v2", tzif_build(small_zone('2', "XST3XDT,M3.2.0,M11.1.0")));
    write_file(tmp.path + "/nofooter", tzif_build(small_zone('2', "")));
    localtime_tz_t *a = nullptr, *b = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=v2", &a), 0);
    ASSERT_EQ(localtime_tz_set("TZ=nofooter", &b), 0);
    ASSERT_EQ(a->tzspec_usable, 1);
    const int64_t jul2010 = 1277985600, jan2010 = 1262347200;
    struct tm s = conv(a, jul2010), w = conv(a, jan2010);
    EXPECT_EQ(s.tm_gmtoff, -7200);
    EXPECT_EQ(s.tm_isdst, 1);
    EXPECT_STREQ(s.tm_zone, "XDT");
    EXPECT_EQ(w.tm_gmtoff, -10800);
    EXPECT_STREQ(w.tm_zone, "XST");
    // 2024-03-10 02:00 XST = 05:00Z starts daylight time.
    EXPECT_EQ(conv(a, 1710046799).tm_gmtoff, -10800);
    EXPECT_EQ(conv(a, 1710046800).tm_gmtoff, -7200);
    EXPECT_EQ(conv(a, 1710046800).tm_hour, 3);
    // Without a footer the last transition's type stays.
    EXPECT_EQ(conv(b, jul2010).tm_gmtoff, -10800);
    // Before the first transition: the first standard type (LMT).
    EXPECT_EQ(conv(a, -2000000000LL).tm_gmtoff, -11000);
    localtime_tz_release(a);
    localtime_tz_release(b);

    // A file without transitions takes its footer for every instant.
    TzifParts r;
    r.chars = std::string("XST\0", 4);
    r.types = {{-10800, false, 0}};
    r.footer = "XST3XDT,M3.2.0,M11.1.0";
    write_file(tmp.path + "/ruleonly", tzif_build(r));
    localtime_tz_t *c = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=ruleonly", &c), 0);
    ASSERT_EQ(c->__use_tzfile, 1);
    EXPECT_EQ(conv(c, jul2010).tm_gmtoff, -7200);
    EXPECT_EQ(conv(c, jan2010).tm_gmtoff, -10800);
    localtime_tz_release(c);
}

TEST(TzFiles, LeapSecondsAgreeWithTheSystem)
{
    EnvGuard env;
    TempDir tmp;
    TzifParts s;
    s.chars = std::string("UTC\0", 4);
    s.types = {{0, false, 0}};
    s.leaps = {{78796800, 1}, {94694401, 2}, {126230402, 3}, {1483228826, 27}};
    s.footer = "UTC0";
    write_file(tmp.path + "/leapy", tzif_build(s));
    compare_file_with_system(tmp.path, "leapy", 2000, 0, 2000000000);

    localtime_tz_t *ctx = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=leapy", &ctx), 0);
    struct tm r = conv(ctx, 78796800); // the first inserted second
    EXPECT_EQ(r.tm_sec, 60);
    EXPECT_EQ(r.tm_min, 59);
    EXPECT_EQ(r.tm_hour, 23);
    EXPECT_EQ(r.tm_mday, 30);
    EXPECT_EQ(r.tm_mon, 5);
    r = conv(ctx, 78796801);
    EXPECT_EQ(r.tm_sec, 0);
    EXPECT_EQ(r.tm_mday, 1);
    localtime_tz_release(ctx);
}

TEST(TzFiles, PosixrulesGiveTransitionsToARuleWithoutDates)
{
    EnvGuard env;
    setenv("TZDIR", SYSTEM_DIR, 1);
    localtime_tz_t *ctx = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=XST3XDT", &ctx), 0);
    ASSERT_EQ(ctx->__use_tzfile, 1);
    ASSERT_EQ(ctx->num_types, 2u);
    // 2024: 02:00 XST on March 10 (05:00Z) and 02:00 XDT on November 3 (04:00Z).
    EXPECT_EQ(conv(ctx, 1710046799).tm_gmtoff, -10800);
    EXPECT_EQ(conv(ctx, 1710046800).tm_gmtoff, -7200);
    EXPECT_STREQ(conv(ctx, 1710046800).tm_zone, "XDT");
    EXPECT_EQ(conv(ctx, 1730606399).tm_gmtoff, -7200);
    EXPECT_EQ(conv(ctx, 1730606400).tm_gmtoff, -10800);
    EXPECT_STREQ(conv(ctx, 1730606400).tm_zone, "XST");
    // 1980 follows the file's history: daylight time began on April 27.
    EXPECT_EQ(conv(ctx, 322401600).tm_gmtoff, -10800); // 1980-03-20 12:00Z
    EXPECT_EQ(conv(ctx, 330782400).tm_gmtoff, -7200);  // 1980-06-25
    // Beyond the file's last transition its rule keeps our offsets.
    EXPECT_EQ(conv(ctx, 2539339200LL).tm_gmtoff, -7200); // 2050-06-21
    EXPECT_STREQ(conv(ctx, 2539339200LL).tm_zone, "XDT");
    EXPECT_EQ(conv(ctx, 2525515200LL).tm_gmtoff, -10800); // 2050-01-12
    localtime_tz_release(ctx);

    // Without a posixrules file the default dates apply in every year.
    TempDir empty;
    setenv("TZDIR", empty.path.c_str(), 1);
    ctx = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=XST3XDT", &ctx), 0);
    EXPECT_EQ(ctx->__use_tzfile, 0);
    EXPECT_EQ(conv(ctx, 1710046800).tm_gmtoff, -7200);
    EXPECT_EQ(conv(ctx, 322401600).tm_gmtoff, -7200);
    localtime_tz_release(ctx);
}

TEST(TzFiles, EveryTruncationIsRefusedOrLosesOnlyTheFooter)
{
    std::string img = read_file(std::string(SYSTEM_DIR) + "/Europe/Paris");
    size_t v1 = tzif_v1_size(img);
    std::string second = img.substr(v1);
    size_t data_end = v1 + tzif_v1_size(second) + /* 64-bit times are 4 bytes wider */
                      (size_t)((uint8_t)second[32] << 24 | (uint8_t)second[33] << 16 | (uint8_t)second[34] << 8 |
                               (uint8_t)second[35]) *
                          4 +
                      (size_t)((uint8_t)second[28] << 24 | (uint8_t)second[29] << 16 | (uint8_t)second[30] << 8 |
                               (uint8_t)second[31]) *
                          4;
    ASSERT_LT(data_end, img.size());

    localtime_tz_t *ctx = localtime_tz_new();
    ASSERT_EQ(tzfile_parse(ctx, (const unsigned char *)img.data(), img.size(), 0), 0);
    void *block = ctx->tzfile_block;
    for (size_t cut = 0; cut < img.size(); cut++) {
        // A copy of exactly `cut` bytes, so that ASan sees any overread.
        std::vector<unsigned char> part(img.begin(), img.begin() + (long)cut);
        int r = tzfile_parse(ctx, part.data(), part.size(), 0);
        if (cut < data_end) {
            ASSERT_EQ(r, -22) << "cut at " << cut;
            ASSERT_EQ(ctx->tzfile_block, block) << "a refused file replaced the tables";
        } else {
            ASSERT_EQ(r, 0) << "cut at " << cut;
            EXPECT_EQ(ctx->tzspec, nullptr) << "cut at " << cut;
            block = ctx->tzfile_block;
        }
    }
    EXPECT_EQ(ctx->__use_tzfile, 1);
    localtime_tz_release(ctx);
}

TEST(TzFiles, InconsistentFilesAreRefused)
{
    const std::string good = tzif_build(small_zone('2', "XST3XDT,M3.2.0,M11.1.0"));
    const size_t h2 = tzif_v1_size(good);
    auto set32 = [](std::string s, size_t at, uint32_t v) {
        std::string b;
        put32(b, v);
        s.replace(at, 4, b);
        return s;
    };
    // Offsets in the 64-bit block: times at h2+44, type indexes after the
    // five times, types after those.
    const size_t idx0 = h2 + 44 + 5 * 8, type0 = idx0 + 5;
    std::vector<std::pair<const char *, std::string>> bad = {
        {"magic", "TZxf" + good.substr(4)},
        {"v1 time count huge", set32(good, 32, 0xffffffffu)},
        {"v2 time count huge", set32(good, h2 + 32, 0xffffffffu)},
        {"v2 type count huge", set32(good, h2 + 36, 0x40000000u)},
        {"no types", set32(good, h2 + 36, 0)},
        {"leap count past the end", set32(good, h2 + 28, 1000)},
        {"char count past the end", set32(good, h2 + 40, 0x7fffffffu)},
        {"more std flags than types", set32(good, h2 + 24, 4)},
        {"type index out of range", good.substr(0, idx0) + "\x03" + good.substr(idx0 + 1)},
        {"abbreviation index out of range", good.substr(0, type0 + 5) + "\x0c" + good.substr(type0 + 6)},
        {"offset -2^31", set32(good, type0, 0x80000000u)},
        {"times not ascending", set32(set32(good, h2 + 44, 0x7fffffffu), h2 + 48, 0)},
        {"empty", ""},
    };
    localtime_tz_t *ctx = localtime_tz_new();
    for (auto &b : bad) {
        std::vector<unsigned char> bytes(b.second.begin(), b.second.end());
        EXPECT_EQ(tzfile_parse(ctx, bytes.data(), bytes.size(), 0), -22) << b.first;
        EXPECT_EQ(ctx->__use_tzfile, 0) << b.first;
    }
    std::vector<unsigned char> ok(good.begin(), good.end());
    EXPECT_EQ(tzfile_parse(ctx, ok.data(), ok.size(), 0), 0);
    localtime_tz_release(ctx);

    // Through the zone directory such a file, an oversized file and a FIFO
    // all give UTC, and the set-up does not wait on the FIFO.
    EnvGuard env;
    TempDir tmp;
    setenv("TZDIR", tmp.path.c_str(), 1);
    write_file(tmp.path + "/Bad/Zone", bad[1].second);
    write_file(tmp.path + "/Big/Zone", good + std::string(TZFILE_MAX_SIZE, '\0'));
    ASSERT_EQ(mkfifo((tmp.path + "/Fifo").c_str(), 0600), 0);
    for (const char *n : {"TZ=Bad/Zone", "TZ=Big/Zone", "TZ=Fifo"}) {
        localtime_tz_t *c = nullptr;
        ASSERT_EQ(localtime_tz_set(n, &c), 0);
        EXPECT_EQ(c->__use_tzfile, 0) << n;
        EXPECT_EQ(conv(c, 1277985600).tm_gmtoff, 0) << n;
        localtime_tz_release(c);
    }
}

TEST(TzFiles, NamesTooLongEmptyOrWithAColon)
{
    EnvGuard env;
    setenv("TZDIR", SYSTEM_DIR, 1);
    localtime_tz_t *ctx = nullptr;
    std::string longname = "TZ=" + std::string(LOCALTIME_TZ_NAME_MAX + 1, 'A') + "5";
    ASSERT_EQ(localtime_tz_set(longname.c_str(), &ctx), 0);
    EXPECT_EQ(conv(ctx, 1277985600).tm_gmtoff, 0);
    EXPECT_STREQ(conv(ctx, 1277985600).tm_zone, "UTC");
    ASSERT_EQ(localtime_tz_set("TZ=:Europe/Paris", &ctx), 0);
    EXPECT_EQ(conv(ctx, 1277985600).tm_gmtoff, 7200);
    ASSERT_EQ(localtime_tz_set("TZ=", &ctx), 0); // "Universal"
    EXPECT_EQ(ctx->__use_tzfile, 1);
    EXPECT_EQ(conv(ctx, 1277985600).tm_gmtoff, 0);
    EXPECT_STREQ(conv(ctx, 1277985600).tm_zone, "UTC");
    ASSERT_EQ(localtime_tz_set("Asia/Kolkata", &ctx), 0); // the zone alone
    EXPECT_EQ(conv(ctx, 1277985600).tm_gmtoff, 19800);
    localtime_tz_release(ctx);
}
