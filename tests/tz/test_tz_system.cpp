// Zone contexts against the system's zone files and the C library's own
// conversion: random instants from 1900 to 2100 and every transition of
// each zone, summer and winter time in Paris, contexts side by side without
// moving the process zone, refused names, and TZDIR beside the program.
#include "localtime_tz.h"
#include "tz_test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <unistd.h>

using namespace tztest;

namespace {

const char *const SYSTEM_DIR = "/usr/share/zoneinfo";

struct Ctx
{
    localtime_tz_t *p = nullptr;
    explicit Ctx(const char *name) { EXPECT_EQ(localtime_tz_set(name, &p), 0); }
    ~Ctx() { localtime_tz_release(p); }
};

struct tm conv(localtime_tz_t *ctx, int64_t t)
{
    struct tm r;
    memset(&r, 0x55, sizeof(r));
    time_t tt = (time_t)t;
    EXPECT_EQ(localtime_tz(&tt, &r, ctx), &r);
    return r;
}

// Compares n random instants of [T1900, T2100] and each transition of the
// context's file (one second before, at, one second after) with the process's
// conversion under TZ=zone. Returns the number of instants compared.
size_t compare_with_system(const char *zone, int n, uint64_t seed)
{
    setenv("TZ", zone, 1);
    tzset();
    Ctx c((std::string("TZ=") + zone).c_str());
    std::vector<int64_t> instants;
    std::mt19937_64 rng(seed);
    std::uniform_int_distribution<int64_t> pick(T1900, T2100);
    for (int i = 0; i < n; i++)
        instants.push_back(pick(rng));
    for (size_t i = 0; c.p->__use_tzfile && i < c.p->num_transitions; i++)
        for (int d = -1; d <= 1; d++)
            instants.push_back(c.p->transitions[i] + d);

    int bad = 0;
    for (int64_t t : instants) {
        std::string d = tm_diff(conv(c.p, t), sys_local((time_t)t));
        if (!d.empty() && ++bad <= 5)
            ADD_FAILURE() << zone << " t=" << t << ": " << d;
    }
    EXPECT_EQ(bad, 0) << zone;
    return instants.size();
}

} // namespace

TEST(TzSystem, AgreesWithSystemConversionInManyZones)
{
    EnvGuard env;
    setenv("TZDIR", SYSTEM_DIR, 1);
    const char *zones[] = {"Europe/Paris",  "America/New_York",  "Australia/Sydney", "Australia/Adelaide",
                           "Asia/Kolkata",  "America/Sao_Paulo", "Pacific/Chatham",  "Africa/Casablanca",
                           "Europe/Dublin", "Asia/Kathmandu",    "America/St_Johns", "Antarctica/Troll"};
    uint64_t seed = 1;
    for (const char *z : zones) {
        SCOPED_TRACE(z);
        Ctx probe((std::string("TZ=") + z).c_str());
        ASSERT_EQ(probe.p->__use_tzfile, 1) << "zone file not read: " << z;
        EXPECT_GE(compare_with_system(z, 10000, seed++), 10000u);
    }
}

TEST(TzSystem, ParisSummerAndWinter)
{
    EnvGuard env;
    setenv("TZDIR", SYSTEM_DIR, 1);
    Ctx paris("TZ=Europe/Paris");
    // 2024-07-15 12:00:00Z and 2024-01-15 12:00:00Z.
    struct tm jul = conv(paris.p, 1721044800), jan = conv(paris.p, 1705320000);
    EXPECT_EQ(jul.tm_hour, 14);
    EXPECT_EQ(jul.tm_gmtoff, 7200);
    EXPECT_EQ(jul.tm_isdst, 1);
    EXPECT_STREQ(jul.tm_zone, "CEST");
    EXPECT_EQ(jan.tm_hour, 13);
    EXPECT_EQ(jan.tm_gmtoff, 3600);
    EXPECT_EQ(jan.tm_isdst, 0);
    EXPECT_STREQ(jan.tm_zone, "CET");
    EXPECT_EQ(jan.tm_mday, 15);
    EXPECT_EQ(jan.tm_mon, 0);
    EXPECT_EQ(jan.tm_year, 124);
    EXPECT_EQ(jan.tm_wday, 1);

    // 2090 lies beyond the file's transitions: the footer rule decides.
    ASSERT_GT(paris.p->num_transitions, 0u);
    ASSERT_LT(paris.p->transitions[paris.p->num_transitions - 1], 3803803200LL);
    EXPECT_EQ(conv(paris.p, 3803803200LL).tm_gmtoff, 7200); // 2090-07-15 12:00Z
    EXPECT_EQ(conv(paris.p, 3788006400LL).tm_gmtoff, 3600); // 2090-01-14
}

TEST(TzSystem, ContextsKeepTheirZonesAndLeaveTheProcessZone)
{
    EnvGuard env;
    setenv("TZDIR", SYSTEM_DIR, 1);
    setenv("TZ", "America/New_York", 1);
    tzset();
    const time_t t = 1721044800; // 2024-07-15 12:00:00Z
    struct tm before = sys_local(t);
    ASSERT_EQ(before.tm_hour, 8);

    localtime_tz_t *paris = nullptr, *sydney = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=Europe/Paris", &paris), 0);
    ASSERT_EQ(localtime_tz_set("TZ=Australia/Sydney", &sydney), 0);
    struct tm p, s;
    ASSERT_TRUE(localtime_tz(&t, &p, paris));
    ASSERT_TRUE(localtime_tz(&t, &s, sydney));
    EXPECT_EQ(p.tm_hour, 14);
    EXPECT_EQ(s.tm_hour, 22);
    EXPECT_STREQ(p.tm_zone, "CEST");
    EXPECT_STREQ(s.tm_zone, "AEST");

    // Neither the environment nor the process zone moved, even after the
    // process re-reads its zone.
    EXPECT_STREQ(getenv("TZ"), "America/New_York");
    EXPECT_EQ(tm_diff(sys_local(t), before), "");
    tzset();
    EXPECT_EQ(tm_diff(sys_local(t), before), "");

    // Each context also stays put while the process zone changes.
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    ASSERT_TRUE(localtime_tz(&t, &p, paris));
    EXPECT_EQ(p.tm_hour, 14);
    EXPECT_EQ(sys_local(t).tm_hour, 21);

    // A context without a zone is the process's own conversion.
    struct tm own;
    ASSERT_TRUE(localtime_tz(&t, &own, nullptr));
    EXPECT_EQ(tm_diff(own, sys_local(t)), "");

    localtime_tz_release(paris);
    localtime_tz_release(sydney);
}

TEST(TzSystem, RefusedNamesGiveUtc)
{
    EnvGuard env;
    setenv("TZDIR", SYSTEM_DIR, 1);
    // Each would reach a real zone file if it were not refused.
    const char *names[] = {
        "TZ=../zoneinfo/Europe/Paris",         "TZ=Europe/../Europe/Paris", "TZ=:../zoneinfo/Asia/Tokyo",
        "TZ=/usr/share/zoneinfo/Europe/Paris", "TZ=No/Such_Zone",           "TZ=Europe"};
    const time_t t = 1721044800;
    struct tm utc;
    gmtime_r(&t, &utc);
    for (const char *n : names) {
        SCOPED_TRACE(n);
        Ctx c(n);
        EXPECT_EQ(c.p->__use_tzfile, 0);
        struct tm r = conv(c.p, t);
        EXPECT_EQ(r.tm_gmtoff, 0);
        EXPECT_EQ(r.tm_isdst, 0);
        EXPECT_EQ(r.tm_hour, utc.tm_hour);
        EXPECT_EQ(r.tm_mday, utc.tm_mday);
    }
    // The same file by its proper name is read, so the refusals above are
    // the name rules at work.
    Ctx ok("TZ=Europe/Paris");
    EXPECT_EQ(conv(ok.p, t).tm_gmtoff, 7200);
}

TEST(TzSystem, TzdirBesideTheProgram)
{
    EnvGuard env;
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    ASSERT_GT(n, 0);
    exe[n] = '\0';
    std::string bin(exe, strrchr(exe, '/'));

    ASSERT_EQ(localtime_tzdir_set(nullptr), 0);
    ASSERT_TRUE(getenv("TZDIR"));
    EXPECT_EQ(std::string(getenv("TZDIR")), bin + "/../share/zoneinfo");

    // The build lays the system's zone files out there.
    Ctx c("TZ=Europe/Paris");
    EXPECT_EQ(c.p->__use_tzfile, 1);
    EXPECT_EQ(conv(c.p, 1721044800).tm_gmtoff, 7200);

    ASSERT_EQ(localtime_tzdir_set("/opt/pelmora/bin"), 0);
    EXPECT_STREQ(getenv("TZDIR"), "/opt/pelmora/bin/../share/zoneinfo");
    std::string huge(PATH_MAX, 'x');
    EXPECT_EQ(localtime_tzdir_set(huge.c_str()), -22);
    EXPECT_STREQ(getenv("TZDIR"), "/opt/pelmora/bin/../share/zoneinfo");
}

TEST(TzSystem, SetUpAgainReusesTheContext)
{
    EnvGuard env;
    setenv("TZDIR", SYSTEM_DIR, 1);
    localtime_tz_t *ctx = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=Europe/Paris", &ctx), 0);
    localtime_tz_t *first = ctx;
    void *block = ctx->tzfile_block;
    ASSERT_TRUE(block);

    // A rule zone in between, then the same file again: the held tables are
    // used again (same block) rather than read anew.
    ASSERT_EQ(localtime_tz_set("TZ=EST5EDT,M3.2.0,M11.1.0", &ctx), 0);
    EXPECT_EQ(ctx, first);
    EXPECT_EQ(ctx->__use_tzfile, 0);
    EXPECT_EQ(conv(ctx, 1721044800).tm_gmtoff, -4 * 3600);
    ASSERT_EQ(localtime_tz_set("TZ=Europe/Paris", &ctx), 0);
    EXPECT_EQ(ctx->tzfile_block, block);
    EXPECT_EQ(ctx->__use_tzfile, 1);
    EXPECT_EQ(conv(ctx, 1721044800).tm_gmtoff, 7200);
    EXPECT_EQ(conv(ctx, 3803803200LL).tm_gmtoff, 7200); // the footer rule is back too

    // A new zone file replaces the tables.
    ASSERT_EQ(localtime_tz_set("TZ=Asia/Kolkata", &ctx), 0);
    EXPECT_EQ(conv(ctx, 1721044800).tm_gmtoff, 19800);
    localtime_tz_release(ctx);

    EXPECT_EQ(localtime_tz_set("TZ=UTC", nullptr), -22);
    time_t t = 0;
    struct tm r;
    EXPECT_EQ(localtime_tz(nullptr, &r, nullptr), nullptr);
    EXPECT_EQ(localtime_tz(&t, nullptr, nullptr), nullptr);
}

TEST(TzSystem, NewContextIsUtcNamedGmt)
{
    localtime_tz_t *ctx = localtime_tz_new();
    ASSERT_TRUE(ctx);
    EXPECT_STREQ(ctx->__tzname[0], "GMT");
    EXPECT_STREQ(ctx->__tzname[1], "GMT");
    EXPECT_EQ(ctx->__use_tzfile, 0);
    time_t t = 86400 * 365;
    struct tm r;
    ASSERT_TRUE(localtime_tz(&t, &r, ctx));
    EXPECT_EQ(r.tm_year, 71);
    EXPECT_EQ(r.tm_gmtoff, 0);
    EXPECT_STREQ(r.tm_zone, "GMT");
    localtime_tz_release(ctx);
}
