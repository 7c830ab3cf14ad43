// POSIX TZ rule strings: zones given by rule agree with the system's
// conversion of the same rule from 1970 on (northern and southern
// hemisphere, J, n and M dates, negative and over-24-hour change times) and
// hold before 1970 as well; malformed or absurd rules
// are refused, and the calendar arithmetic agrees with gmtime_r.
#include "localtime_tz.h"
#include "offtime.h"
#include "tz_test_support.h"
#include "tzset.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <random>

using namespace tztest;

namespace {

struct tm conv(localtime_tz_t *ctx, int64_t t)
{
    struct tm r;
    memset(&r, 0x55, sizeof(r));
    time_t tt = (time_t)t;
    EXPECT_EQ(localtime_tz(&tt, &r, ctx), &r);
    return r;
}

} // namespace

TEST(TzRules, RuleZonesAgreeWithTheSystem)
{
    EnvGuard env;
    TempDir empty; // no zone file can shadow a rule
    setenv("TZDIR", empty.path.c_str(), 1);
    const char *rules[] = {
        "EST5EDT,M3.2.0,M11.1.0",
        "AEST-10AEDT,M10.1.0,M4.1.0/3", // southern: daylight time spans the new year
        "NZST-12NZDT,M9.5.0,M4.1.0/3",
        "<-03>3<-02>,M10.3.0/0,M2.3.0/0",
        "<-02>2<-01>,M3.5.0/-1,M10.5.0/0", // negative change time
        "IST-1GMT0,M10.5.0,M3.5.0/1",      // negative daylight saving
        "XST3XDT,J60/2,J300/2",
        "XST3XDT,59,299/-1:30",
        "<+1245>-12:45<+1345>,M9.5.0/2:45,M4.1.0/3:45",
        "EST5EDT4,0/0,J365/25", // daylight time all year
        "<+0545>-5:45",
        "XST+3:30:15XDT+2:30,M3.5.0/26,M10.5.0/167",
    };
    for (const char *r : rules) {
        SCOPED_TRACE(r);
        setenv("TZ", r, 1);
        tzset();
        localtime_tz_t *ctx = nullptr;
        ASSERT_EQ(localtime_tz_set((std::string("TZ=") + r).c_str(), &ctx), 0);
        ASSERT_EQ(ctx->__use_tzfile, 0);
        std::vector<int64_t> instants;
        std::mt19937_64 rng(3);
        std::uniform_int_distribution<int64_t> pick(0, T2100);
        for (int i = 0; i < 3000; i++)
            instants.push_back(pick(rng));
        for (int year = 1970; year <= 2100; year++) {
            tz_rule copy[2];
            memcpy(copy, ctx->tz_rules, sizeof(copy));
            for (tz_rule &h : copy) {
                tzset_compute_change(&h, year);
                for (int d = -1; d <= 1; d++)
                    instants.push_back(h.change + d);
            }
        }
        int bad = 0;
        for (int64_t t : instants) {
            std::string d = tm_diff(conv(ctx, t), sys_local((time_t)t));
            if (!d.empty() && ++bad <= 5)
                ADD_FAILURE() << "t=" << t << ": " << d;
        }
        EXPECT_EQ(bad, 0);
        localtime_tz_release(ctx);
    }
}

// A rule holds for every year. (The C library computes the dates of every
// year before 1970 as if it were 1970, which gives no summer time before
// 1970 in the north and summer time all year in the south; hence the
// comparison above starts in 1970.)
TEST(TzRules, RulesApplyBefore1970)
{
    localtime_tz_t *ny = nullptr, *syd = nullptr;
    ASSERT_EQ(localtime_tz_set("TZ=EST5EDT,M3.2.0,M11.1.0", &ny), 0);
    ASSERT_EQ(localtime_tz_set("TZ=AEST-10AEDT,M10.1.0,M4.1.0/3", &syd), 0);
    EXPECT_EQ(conv(ny, -553003200).tm_gmtoff, -4 * 3600); // 1952-06-23 12:00Z
    EXPECT_EQ(conv(ny, -566827200).tm_gmtoff, -5 * 3600); // 1952-01-15
    EXPECT_EQ(conv(syd, -553003200).tm_gmtoff, 10 * 3600);
    EXPECT_EQ(conv(syd, -566827200).tm_gmtoff, 11 * 3600);
    // Sunday 1960-03-13 02:00 EST = 07:00Z.
    EXPECT_EQ(conv(ny, -309373201).tm_isdst, 0);
    struct tm start = conv(ny, -309373200);
    EXPECT_EQ(start.tm_isdst, 1);
    EXPECT_EQ(start.tm_hour, 3);
    EXPECT_EQ(start.tm_mday, 13);
    EXPECT_EQ(start.tm_wday, 0);
    localtime_tz_release(ny);
    localtime_tz_release(syd);
}

TEST(TzRules, ParsedFields)
{
    tz_rule r[2];
    int norules = -1;
    ASSERT_EQ(tzset_parse_rules("CET-1CEST,M3.5.0,M10.5.0/3", r, &norules), 0);
    EXPECT_EQ(norules, 0);
    EXPECT_STREQ(r[0].name, "CET");
    EXPECT_EQ(r[0].offset, 3600);
    EXPECT_EQ(r[0].type, TZ_RULE_M);
    EXPECT_EQ(r[0].m, 3);
    EXPECT_EQ(r[0].n, 5);
    EXPECT_EQ(r[0].d, 0);
    EXPECT_EQ(r[0].secs, 7200);
    EXPECT_STREQ(r[1].name, "CEST");
    EXPECT_EQ(r[1].offset, 7200);
    EXPECT_EQ(r[1].m, 10);
    EXPECT_EQ(r[1].secs, 10800);

    ASSERT_EQ(tzset_parse_rules("EST5EDT", r, &norules), 0);
    EXPECT_EQ(norules, 1);
    EXPECT_EQ(r[1].offset, -4 * 3600);
    ASSERT_EQ(tzset_parse_rules("XST-0:0:1XDT,J1/-167,365/167:59:59", r, &norules), 0);
    EXPECT_EQ(r[0].offset, 1);
    EXPECT_EQ(r[0].type, TZ_RULE_J);
    EXPECT_EQ(r[0].secs, -167 * 3600);
    EXPECT_EQ(r[1].type, TZ_RULE_D);
    EXPECT_EQ(r[1].n, 365);
    EXPECT_EQ(r[1].secs, 167 * 3600 + 59 * 60 + 59);
}

TEST(TzRules, MalformedOrAbsurdRulesAreRefused)
{
    const char *bad[] = {
        "",
        "EST",
        "ES5",
        "<E>5",
        "<EST5",
        "5EST",
        "EST25",
        "EST5:60",
        "EST5:00:60",
        "EST99999999999999999999",
        "EST-4294967301",
        "EST5EDT,M3.2.0",
        "EST5EDT,M3.2.0,",
        "EST5EDT,M13.2.0,M11.1.0",
        "EST5EDT,M0.2.0,M11.1.0",
        "EST5EDT,M3.6.0,M11.1.0",
        "EST5EDT,M3.0.0,M11.1.0",
        "EST5EDT,M3.2.7,M11.1.0",
        "EST5EDT,M99999999999999999999.1.0,M11.1.0",
        "EST5EDT,J0,J365",
        "EST5EDT,J366,J1",
        "EST5EDT,366,1",
        "EST5EDT,M3.2.0/168,M11.1.0",
        "EST5EDT,M3.2.0/2:60,M11.1.0",
        "EST5EDT,M3.2.0,M11.1.0junk",
        "EST5EDT,M3.2.0,M11.1.0,M12.1.0",
        "EST5 EDT",
        "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFGH5", // abbreviation of 34 letters
    };
    for (const char *s : bad) {
        tz_rule r[2];
        EXPECT_EQ(tzset_parse_rules(s, r, nullptr), -22) << "[" << s << "]";
        localtime_tz_t *ctx = nullptr;
        TempDir empty;
        EnvGuard env;
        setenv("TZDIR", empty.path.c_str(), 1);
        ASSERT_EQ(localtime_tz_set((std::string("TZ=") + s).c_str(), &ctx), 0);
        struct tm t = conv(ctx, 1277985600);
        EXPECT_EQ(t.tm_gmtoff, 0) << "[" << s << "]";
        EXPECT_STREQ(t.tm_zone, "UTC") << "[" << s << "]";
        localtime_tz_release(ctx);
    }
    EXPECT_EQ(tzset_parse_rules(nullptr, nullptr, nullptr), -22);
}

TEST(TzRules, CalendarAgreesWithGmtime)
{
    std::mt19937_64 rng(11);
    // The ends of the range of struct tm (years INT_MIN + 1900 and
    // INT_MAX + 1900) and their neighbours outside.
    std::vector<int64_t> ts = {0,
                               -1,
                               86399,
                               86400,
                               -86400,
                               951782400,
                               951868800,
                               4107542400LL,
                               253402300799LL,
                               -62135596800LL,
                               -62135596801LL,
                               67768036191676799LL,
                               67768036191676800LL,
                               -67768040609740800LL,
                               -67768040609740801LL};
    std::uniform_int_distribution<int64_t> wide(-(1LL << 45), 1LL << 45);
    for (int i = 0; i < 20000; i++)
        ts.push_back(wide(rng));
    int fitted = 0;
    for (int64_t t : ts) {
        struct tm mine = {}, sys = {};
        time_t tt = (time_t)t;
        bool sys_ok = gmtime_r(&tt, &sys) != nullptr;
        bool mine_ok = offtime(t, 0, &mine) == 0;
        ASSERT_EQ(mine_ok, sys_ok) << t;
        if (!sys_ok)
            continue;
        fitted++;
        sys.tm_isdst = mine.tm_isdst;
        sys.tm_gmtoff = mine.tm_gmtoff;
        sys.tm_zone = mine.tm_zone;
        ASSERT_EQ(tm_diff(mine, sys), "") << t;
    }
    EXPECT_EQ(fitted, (int)ts.size() - 2);
    // Offsets move the fields; sums or years beyond range are refused.
    struct tm r;
    ASSERT_EQ(offtime(0, -1, &r), 0);
    EXPECT_EQ(r.tm_year, 69);
    EXPECT_EQ(r.tm_yday, 364);
    EXPECT_EQ(r.tm_wday, 3);
    EXPECT_EQ(offtime(INT64_MAX, 1, &r), -75);
    EXPECT_EQ(offtime(INT64_MAX, 0, &r), -75);
    EXPECT_EQ(offtime(INT64_MIN, 0, &r), -75);

    localtime_tz_t *ctx = localtime_tz_new();
    time_t huge = (time_t)INT64_MAX;
    errno = 0;
    EXPECT_EQ(localtime_tz(&huge, &r, ctx), nullptr);
    EXPECT_EQ(errno, EOVERFLOW);
    localtime_tz_release(ctx);
}
