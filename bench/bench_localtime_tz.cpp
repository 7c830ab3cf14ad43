// Zone conversion figures: conversions per second of localtime_tz for a zone
// file inside its transition table, beyond it (footer rule), and for a rule
// string, next to the C library's localtime_r in the same zone. Prints
// figures; never fails on time.
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <functional>
#include <random>
#include <vector>

#include "localtime_tz.h"

using clock_type = std::chrono::steady_clock;

static double seconds_per_run()
{
    const char *s = getenv("BENCH_SECONDS");
    return s ? atof(s) : 2.0;
}

// Converts the instants over and over for the configured time; returns
// conversions per second. The checksum keeps the work from being dropped.
static double rate(const std::vector<time_t> &ts, const std::function<struct tm *(const time_t *, struct tm *)> &f,
                   long *checksum)
{
    double limit = seconds_per_run();
    long n = 0;
    struct tm r;
    auto t0 = clock_type::now();
    double el = 0;
    do {
        for (const time_t &t : ts) {
            if (f(&t, &r))
                *checksum += r.tm_hour;
        }
        n += (long)ts.size();
        el = std::chrono::duration<double>(clock_type::now() - t0).count();
    } while (el < limit);
    return n / el;
}

static std::vector<time_t> instants(int64_t from, int64_t to)
{
    std::mt19937_64 rng(5);
    std::uniform_int_distribution<int64_t> pick(from, to);
    std::vector<time_t> v(4096);
    for (auto &t : v)
        t = (time_t)pick(rng);
    return v;
}

int main()
{
    const char *dir = getenv("TZDIR");
    if (!dir || !*dir)
        setenv("TZDIR", "/usr/share/zoneinfo", 1);
    setenv("TZ", "Europe/Paris", 1);
    tzset();

    localtime_tz_t *paris = nullptr, *rule = nullptr;
    localtime_tz_set("TZ=Europe/Paris", &paris);
    localtime_tz_set("TZ=CET-1CEST,M3.5.0,M10.5.0/3", &rule);
    if (!paris->__use_tzfile) {
        fprintf(stderr, "Europe/Paris not found under %s\n", getenv("TZDIR"));
        return 1;
    }

    std::vector<time_t> inside = instants(0, 2000000000), beyond = instants(2200000000LL, 4000000000LL);
    long sum = 0;
    auto ctx_conv = [](localtime_tz_t *c) {
        return [c](const time_t *t, struct tm *r) { return localtime_tz(t, r, c); };
    };
    auto sys_conv = [](const time_t *t, struct tm *r) { return localtime_r(t, r); };

    printf("conversions per second, Europe/Paris (%.1f s per figure)\n", seconds_per_run());
    printf("  1970-2033, zone file:      localtime_tz %12.0f   localtime_r %12.0f\n",
           rate(inside, ctx_conv(paris), &sum), rate(inside, sys_conv, &sum));
    printf("  2039-2096, footer rule:    localtime_tz %12.0f   localtime_r %12.0f\n",
           rate(beyond, ctx_conv(paris), &sum), rate(beyond, sys_conv, &sum));
    printf("  1970-2033, rule string:    localtime_tz %12.0f\n", rate(inside, ctx_conv(rule), &sum));
    printf("(checksum %ld)\n", sum);
    localtime_tz_release(paris);
    localtime_tz_release(rule);
    return 0;
}
