// Fuzz target for the TZif reader: arbitrary bytes as a zone file image.
// A refused image must leave the context as it was; an accepted one must
// convert instants from the whole 64-bit range into broken-down times whose
// fields are in range and whose abbreviation lies inside the context.
#include "localtime_tz.h"
#include "tzfile.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

static void check(localtime_tz_t *ctx, int64_t t)
{
    time_t tt = (time_t)t;
    struct tm r;
    errno = 0;
    if (!localtime_tz(&tt, &r, ctx)) {
        if (errno != EOVERFLOW)
            abort();
        return;
    }
    if (r.tm_sec < 0 || r.tm_sec > 60 || r.tm_min < 0 || r.tm_min > 59 || r.tm_hour < 0 || r.tm_hour > 23 ||
        r.tm_mday < 1 || r.tm_mday > 31 || r.tm_mon < 0 || r.tm_mon > 11 || r.tm_wday < 0 || r.tm_wday > 6 ||
        r.tm_yday < 0 || r.tm_yday > 365 || (r.tm_isdst != 0 && r.tm_isdst != 1) || !r.tm_zone)
        abort();
    if (strlen(r.tm_zone) > 4096)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    localtime_tz_t *ctx = localtime_tz_new();
    if (!ctx)
        return 0;
    // An exact-size copy, so that any read past the image is caught.
    std::vector<unsigned char> img(data, data + size);
    int r = tzfile_parse(ctx, img.data(), img.size(), 0);
    if (r != 0 && r != -22)
        abort();
    if (r != 0 && (ctx->__use_tzfile || ctx->tzfile_block))
        abort();
    if (r == 0) {
        const int64_t fixed[] = {INT64_MIN,    INT64_MIN + 1, -2208988800LL,       -1,       0, 1,
                                 2147483647LL, 4133980799LL,  67768036191676799LL, INT64_MAX};
        for (int64_t t : fixed)
            check(ctx, t);
        for (size_t i = 0; i < ctx->num_transitions && i < 64; i++)
            for (int d = -1; d <= 1; d++)
                check(ctx, ctx->transitions[i] +
                               (ctx->transitions[i] > INT64_MIN && ctx->transitions[i] < INT64_MAX ? d : 0));
        for (size_t i = 0; i < ctx->num_leaps && i < 16; i++)
            check(ctx, ctx->leaps[i].transition);
        // A second image into the same context replaces the first cleanly.
        if (tzfile_parse(ctx, img.data(), img.size(), 0) != 0)
            abort();
    }
    localtime_tz_release(ctx);
    return 0;
}
