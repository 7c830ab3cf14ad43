// Timecode conversions: round trips in every mode, drop-frame numbering,
// operator short forms, mode selection from the environment, seconds and
// milliseconds truncation, and packed BCD.
#include "timecode.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Restores the process-wide mode when a test ends, whatever it set.
struct ModeGuard
{
    tc_modes_t saved = tc_getmode();
    explicit ModeGuard(tc_modes_t m) { tc_setmode(m); }
    ~ModeGuard() { tc_setmode(saved); }
};

// Restores TC_MODE in the environment.
struct EnvGuard
{
    bool had;
    std::string value;
    EnvGuard()
    {
        const char *v = getenv("TC_MODE");
        had = v != nullptr;
        if (had)
            value = v;
    }
    ~EnvGuard()
    {
        if (had)
            setenv("TC_MODE", value.c_str(), 1);
        else
            unsetenv("TC_MODE");
    }
};

std::string text(int f)
{
    char buf[32];
    memset(buf, 'x', sizeof(buf));
    return tc_frames2tc(f, buf);
}

struct Fields
{
    int hh, mm, ss, ff;
};

// Independent reference of drop-frame labelling: the label after (h,m,s,f),
// skipping frames 00 and 01 at each minute start not divisible by ten.
Fields next_df_label(Fields l)
{
    if (++l.ff == 30) {
        l.ff = 0;
        if (++l.ss == 60) {
            l.ss = 0;
            if (++l.mm == 60) {
                l.mm = 0;
                l.hh++;
            }
        }
    }
    if (l.ss == 0 && l.ff == 0 && l.mm % 10 != 0)
        l.ff = 2;
    return l;
}

} // namespace

TEST(TimecodeText, PalFrameCountsAndHoursBeyondADay)
{
    ModeGuard g(TC_PAL);
    EXPECT_EQ(text(0), "00:00:00:00");
    EXPECT_EQ(text(24), "00:00:00:24");
    EXPECT_EQ(text(25), "00:00:01:00");
    EXPECT_EQ(text(2160000), "24:00:00:00");
    EXPECT_EQ(text(100 * 90000 + 1), "100:00:00:01");
    EXPECT_EQ(text(-1), "");
    EXPECT_EQ(text(INT_MIN), "");
    for (int f : {0, 1, 24, 25, 1499, 1500, 89999, 90000, 2159999, 2160000, 9000001})
        EXPECT_EQ(tc_tc2frames(text(f).c_str()), f) << f;
}

TEST(TimecodeText, FiftyAndNtscNonDrop)
{
    {
        ModeGuard g(TC_50);
        EXPECT_EQ(text(49), "00:00:00:49");
        EXPECT_EQ(text(50), "00:00:01:00");
        EXPECT_EQ(text(180000), "01:00:00:00");
        for (int f : {0, 49, 50, 2999, 3000, 4319999, 4320000})
            EXPECT_EQ(tc_tc2frames(text(f).c_str()), f) << f;
    }
    {
        ModeGuard g(TC_NTSC);
        EXPECT_EQ(text(29), "00:00:00:29");
        EXPECT_EQ(text(1800), "00:01:00:00"); // no labels dropped
        EXPECT_EQ(text(108000), "01:00:00:00");
        for (int f : {0, 29, 30, 1799, 1800, 17982, 107999, 108000, 2592000})
            EXPECT_EQ(tc_tc2frames(text(f).c_str()), f) << f;
    }
}

TEST(TimecodeText, LargestCountFitsTheTextBuffer)
{
    for (tc_modes_t m : {TC_PAL, TC_50, TC_NTSC, TC_NTSC_DF}) {
        ModeGuard g(m);
        char buf[32];
        memset(buf, 'x', sizeof(buf));
        tc_frames2tc(INT_MAX, buf);
        size_t n = strlen(buf);
        EXPECT_LT(n, (size_t)TC_TEXT_SIZE) << m;
        for (size_t i = n + 1; i < sizeof(buf); i++)
            ASSERT_EQ(buf[i], 'x') << "mode " << m << " wrote past the text at " << i;
        EXPECT_EQ(tc_tc2frames(buf), INT_MAX) << buf;
    }
    ModeGuard g(TC_PAL);
    EXPECT_EQ(text(INT_MAX), "23860:55:45:22");
}

TEST(TimecodeDropFrame, LabelsOfTheMinuteAndHourMarks)
{
    ModeGuard g(TC_NTSC_DF);
    EXPECT_EQ(text(1799), "00:00:59:29");
    EXPECT_EQ(text(1800), "00:01:00:02");
    EXPECT_EQ(text(17982), "00:10:00:00");
    EXPECT_EQ(text(107892), "01:00:00:00");
    EXPECT_EQ(text(2589408), "24:00:00:00");
    for (int f : {1799, 1800, 17982, 107892, 2589408})
        EXPECT_EQ(tc_tc2frames(text(f).c_str()), f) << f;

    // The skipped label lands two frames early.
    EXPECT_EQ(tc_tc2frames("00:01:00:00"), 1798);
    EXPECT_EQ(text(1798), "00:00:59:28");
    EXPECT_EQ(tc_tc2frames("00:10:00:00"), 17982); // tenth minutes keep 00
}

TEST(TimecodeDropFrame, EveryFrameOfTwoHoursRoundTripsAndFollowsTheNumbering)
{
    ModeGuard g(TC_NTSC_DF);
    Fields label{0, 0, 0, 0};
    const int two_hours = 2 * 107892;
    for (int f = 0; f <= two_hours; f++) {
        Fields got;
        tc_frames2hmsf(f, &got.hh, &got.mm, &got.ss, &got.ff);
        ASSERT_TRUE(got.hh == label.hh && got.mm == label.mm && got.ss == label.ss && got.ff == label.ff)
            << "frame " << f << " shows " << text(f);
        char buf[32];
        ASSERT_EQ(tc_tc2frames(tc_frames2tc(f, buf)), f) << buf;
        ASSERT_EQ(tc_hmsf2frames(got.hh, got.mm, got.ss, got.ff), f);
        label = next_df_label(label);
    }
}

TEST(TimecodeDropFrame, SampleAcrossADay)
{
    ModeGuard g(TC_NTSC_DF);
    int checked = 0;
    for (int f = 0; f <= 2589408 + 17982; f += 997, checked++) {
        char buf[32];
        ASSERT_EQ(tc_tc2frames(tc_frames2tc(f, buf)), f) << buf;
        int hh, mm, ss, ff;
        tc_frames2hmsf(f, &hh, &mm, &ss, &ff);
        ASSERT_FALSE(ss == 0 && ff < 2 && mm % 10 != 0) << "dropped label shown: " << buf;
    }
    EXPECT_GT(checked, 2600);
}

TEST(TimecodeFields, HmsfFieldsAreNotLimitedAndUnknownModesGiveZero)
{
    {
        ModeGuard g(TC_PAL);
        EXPECT_EQ(tc_hmsf2frames(0, 0, 0, 30), 30);
        EXPECT_EQ(tc_hmsf2frames(0, 0, 2, -5), 45);
        EXPECT_EQ(tc_hmsf2frames(1, 2, 3, 4), 93079);
    }
    ModeGuard g((tc_modes_t)7);
    EXPECT_EQ(tc_getmode(), (tc_modes_t)7); // stored without a range test
    int hh = 9, mm = 9, ss = 9, ff = 9;
    EXPECT_EQ(tc_frames2hmsf(12345, &hh, &mm, &ss, &ff), 0);
    EXPECT_EQ(hh + mm + ss + ff, 0);
    EXPECT_EQ(tc_hmsf2frames(1, 2, 3, 4), 0);
    EXPECT_EQ(text(12345), "00:00:00:00");
    EXPECT_DOUBLE_EQ(tc_frames2sec(30000), 1001.0); // seconds as in NTSC
    EXPECT_EQ(tc_frames2mili(30), 1001);
}

TEST(TimecodeParse, Tc2hmsfFullAndShortForms)
{
    struct Case
    {
        const char *in;
        int result, hh, mm, ss, ff;
    } cases[] = {
        {"01:02:03:04", -1, 1, 2, 3, 4},  {" 1:-2:+3:400 and more", -1, 1, -2, 3, 400}, // what the scanner accepts
        {"01:02:03;04", 0, 1, 2, 3, 4},   {"12", 0, 0, 0, 12, 0},
        {"1234", 0, 0, 12, 34, 0},        {"12:34:56", 0, 0, 12, 34, 56},
        {"123456789", 0, 12, 34, 56, 78}, {"1.2", 0, 0, 1, 2, 0},
        {"a1b22c333", 0, 1, 22, 33, 3},
    };
    for (const Case &c : cases) {
        int hh = -7, mm = -7, ss = -7, ff = -7;
        EXPECT_EQ(tc_tc2hmsf(c.in, &hh, &mm, &ss, &ff), c.result) << c.in;
        EXPECT_EQ(hh, c.hh) << c.in;
        EXPECT_EQ(mm, c.mm) << c.in;
        EXPECT_EQ(ss, c.ss) << c.in;
        EXPECT_EQ(ff, c.ff) << c.in;
    }
    for (const char *none : {"", "::", "abc"}) {
        int hh = -7, mm = -7, ss = -7, ff = -7;
        EXPECT_EQ(tc_tc2hmsf(none, &hh, &mm, &ss, &ff), -1) << none;
        EXPECT_TRUE(hh == -7 && mm == -7 && ss == -7 && ff == -7) << "stored for [" << none << "]";
    }

    ModeGuard g(TC_PAL);
    EXPECT_EQ(tc_tc2frames("abc"), 0);
    EXPECT_EQ(tc_tc2frames("12:34:56"), (12 * 60 + 34) * 25 + 56);
    EXPECT_EQ(tc_tc2mili("00:00:01:05"), 1200);
}

TEST(TimecodeParse, Txt2frames2FreeForm)
{
    ModeGuard g(TC_PAL);
    EXPECT_EQ(tc_txt2frames2(""), -1);
    EXPECT_EQ(tc_txt2frames2(":: -"), -1);
    EXPECT_EQ(tc_txt2frames2("5"), 5);
    EXPECT_EQ(tc_txt2frames2("1000"), 250);
    EXPECT_EQ(tc_txt2frames2("10:00"), 250);
    EXPECT_EQ(tc_txt2frames2("00:00:10:00"), 250);
    EXPECT_EQ(tc_txt2frames2("1:2:3:4"), 93079);
    EXPECT_EQ(tc_txt2frames2("01020304"), 93079);
    EXPECT_EQ(tc_txt2frames2("01.02 03/04"), 93079);
    EXPECT_EQ(tc_txt2frames2("123"), 48);
    EXPECT_EQ(tc_txt2frames2("1:30"), 55);         // fields not limited
    EXPECT_EQ(tc_txt2frames2("5:0"), 125);         // a zero group fills one field
    EXPECT_EQ(tc_txt2frames2("9:1:2:3:4"), 93079); // earlier groups ignored
    EXPECT_EQ(tc_txt2frames2("102:03:04"), 93079); // a group spills into higher fields

    // The twelfth group stops reading and keeps its first digit only.
    EXPECT_EQ(tc_txt2frames2("1 2 3 4 5 6 7 8 9 10 11 12 13"), tc_hmsf2frames(9, 10, 11, 1));

    // Groups wider than 32 bits: their low eight digits fill the fields,
    // and a group of five or more pieces fills every remaining field.
    EXPECT_EQ(tc_txt2frames2("2000000000"), 0);
    EXPECT_EQ(tc_txt2frames2("7:2000000000"), 0);
    EXPECT_EQ(tc_txt2frames2("7:100"), tc_hmsf2frames(0, 7, 1, 0));
    EXPECT_EQ(tc_txt2frames2("123456789012"), tc_txt2frames2("56789012"));
    EXPECT_EQ(tc_txt2frames2("99999999999999999999999999:1"), tc_hmsf2frames(99, 99, 99, 1));

    ModeGuard df(TC_NTSC_DF);
    EXPECT_EQ(tc_txt2frames2("00:01:00:02"), 1800);
}

TEST(TimecodeMode, FindmodeIsExact)
{
    EXPECT_EQ(tc_findmode("pal"), TC_PAL);
    EXPECT_EQ(tc_findmode("50"), TC_50);
    EXPECT_EQ(tc_findmode("ntsc"), TC_NTSC);
    EXPECT_EQ(tc_findmode("ntsc_df"), TC_NTSC_DF);
    for (const char *bad : {"PAL", "Ntsc", "NTSC_DF", "pal ", " pal", "ntsc_d", "ntsc_df2", "5", "", "env"})
        EXPECT_EQ(tc_findmode(bad), -22) << "[" << bad << "]";
    EXPECT_EQ(tc_findmode(nullptr), -22);
}

TEST(TimecodeMode, SetmodeFromEnvironment)
{
    EnvGuard env;
    ModeGuard g(TC_50);
    EXPECT_EQ(tc_test(), 0);

    setenv("TC_MODE", "ntsc_df", 1);
    EXPECT_EQ(tc_setmode(TC_ENV), 0);
    EXPECT_EQ(tc_getmode(), TC_NTSC_DF);
    EXPECT_EQ(tc_mode, TC_NTSC_DF);

    setenv("TC_MODE", "NTSC", 1);
    EXPECT_EQ(tc_setmode(TC_ENV), -22);
    EXPECT_EQ(tc_getmode(), TC_NTSC_DF); // unchanged

    unsetenv("TC_MODE");
    EXPECT_EQ(tc_setmode(TC_ENV), -2);
    EXPECT_EQ(tc_getmode(), TC_NTSC_DF);

    setenv("TC_MODE", "pal", 1);
    EXPECT_EQ(tc_setmode(TC_ENV), 0);
    EXPECT_EQ(tc_getmode(), TC_PAL);
    EXPECT_EQ(tc_setmode(TC_NTSC), 0);
    EXPECT_EQ(tc_getmode(), TC_NTSC);
}

TEST(TimecodeSeconds, CurrentModeTruncation)
{
    {
        ModeGuard g(TC_PAL);
        EXPECT_EQ(tc_sec2frames(0.5), 12);
        EXPECT_EQ(tc_sec2frames(0.9997), 25); // within 0.01 frame counts as the frame
        EXPECT_EQ(tc_sec2frames(0.9995), 24);
        EXPECT_EQ(tc_sec2frames(-0.5), -12); // toward zero
        EXPECT_EQ(tc_sec2frames(1e300), INT_MAX);
        EXPECT_EQ(tc_sec2frames(-1e300), INT_MIN);
        EXPECT_EQ(tc_sec2frames(NAN), 0);
        EXPECT_DOUBLE_EQ(tc_frames2sec(50), 2.0);
        EXPECT_EQ(tc_frames2mili(1), 40);
        EXPECT_EQ(tc_frames2mili(-1), -40);
        EXPECT_EQ(tc_mili2frames(999), 24);
        EXPECT_EQ(tc_mili2frames(-39), 0);
        EXPECT_EQ(tc_frames2mili(INT_MAX), INT_MAX); // saturates, no wrap
    }
    {
        ModeGuard g(TC_50);
        EXPECT_EQ(tc_sec2frames(0.5), 25);
        EXPECT_EQ(tc_frames2mili(1), 20);
        EXPECT_EQ(tc_mili2frames(999), 49);
        EXPECT_DOUBLE_EQ(tc_frames2sec(25), 0.5);
    }
    for (tc_modes_t m : {TC_NTSC, TC_NTSC_DF}) {
        ModeGuard g(m);
        EXPECT_DOUBLE_EQ(tc_frames2sec(30000), 1001.0);
        EXPECT_EQ(tc_sec2frames(1001.0), 30000);
        EXPECT_EQ(tc_sec2frames(1.0), 29);
        EXPECT_EQ(tc_frames2mili(1), 33);
        EXPECT_EQ(tc_frames2mili(-1), -33);
        EXPECT_EQ(tc_frames2mili(3000), 100100); // product beyond 32 bits
        EXPECT_EQ(tc_mili2frames(1000), 29);
        EXPECT_EQ(tc_mili2frames(100000), 2997); // product beyond 32 bits
    }
}

TEST(TimecodeSeconds, ExplicitTimeBase)
{
    // num/den is the duration of one frame in seconds.
    EXPECT_DOUBLE_EQ(tc_frames2sec_tb(25, 1, 25), 1.0);
    EXPECT_DOUBLE_EQ(tc_frames2sec_tb(30000, 1001, 30000), 1001.0);
    EXPECT_EQ(tc_sec2frames_tb(1.0, 1001, 30000), 29);
    EXPECT_EQ(tc_sec2frames_tb(0.5, 1, 25), 12);
    EXPECT_EQ(tc_sec2frames_tb(1001.0, 1001, 30000), 30000);
    EXPECT_EQ(tc_frames2mili_tb(3, 1, 25), 120);
    EXPECT_EQ(tc_frames2mili_tb(1, 1001, 30000), 33);
    EXPECT_EQ(tc_frames2mili_tb(100000, 1001, 30000), 3336666);
    EXPECT_EQ(tc_frames2mili_tb(INT_MAX, INT_MAX, 1), INT_MAX);
    EXPECT_EQ(tc_mili2frames_tb(1000, 1, 25), 25);
    EXPECT_EQ(tc_mili2frames_tb(999, 1, 25), 24);
    EXPECT_EQ(tc_mili2frames_tb(1000, 1001, 30000), 29);
    // A clip without a frame rate must not crash the caller.
    EXPECT_EQ(tc_frames2mili_tb(10, 1, 0), 0);
    EXPECT_EQ(tc_mili2frames_tb(10, 0, 25), 0);
    EXPECT_EQ(tc_sec2frames_tb(1.0, 0, 25), 0);
    EXPECT_DOUBLE_EQ(tc_frames2sec_tb(10, 1, 0), 0.0);
}

TEST(TimecodeBcd, TextFramesAndUnknownDigits)
{
    char txt[12];
    EXPECT_STREQ(tc_bcd2txt(0x01020304, txt), "01:02:03:04");
    EXPECT_STREQ(tc_bcd2txt(0x0A0B0C0F, txt), "0?:0?:0?:0?");
    EXPECT_STREQ(tc_bcd2txt((int)0x92345678u, txt), "92:34:56:78"); // top digit unsigned
    EXPECT_STREQ(tc_bcd2txt(-1, txt), "??:??:??:??");
    EXPECT_EQ(strlen(tc_alphabet), 16u);

    ModeGuard g(TC_PAL);
    EXPECT_EQ(tc_bcd2frames(0x01020304), 93079);
    EXPECT_EQ(tc_frames2bcd(93079), 0x01020304);
    EXPECT_EQ(tc_frames2bcd(2160000), 0x24000000);
    EXPECT_EQ(tc_frames2bcd(-1), -1);          // no text for a negative count
    EXPECT_EQ(tc_frames2bcd(100 * 90000), -1); // three hour digits do not fit
    for (int f : {0, 1, 24, 25, 93079, 2159999, 100 * 90000 - 1})
        EXPECT_EQ(tc_bcd2frames(tc_frames2bcd(f)), f) << f;

    ModeGuard df(TC_NTSC_DF);
    EXPECT_EQ(tc_frames2bcd(1800), 0x00010002);
    EXPECT_EQ(tc_bcd2frames(0x00010002), 1800);
}

namespace {
// tc_check's verdict and, when accepted, the fields as timecode text.
std::string check(const char *in, int max_hours = -1)
{
    int hh = -7, mm = -7, ss = -7, ff = -7;
    int r = tc_check(in, max_hours, &hh, &mm, &ss, &ff);
    if (r != TC_CHECK_OK) {
        EXPECT_TRUE(hh == -7 && mm == -7 && ss == -7 && ff == -7) << "fields stored for refused [" << in << "]";
        return std::to_string(r);
    }
    char buf[64];
    snprintf(buf, sizeof buf, "%.2d:%.2d:%.2d:%.2d", hh, mm, ss, ff);
    return buf;
}
} // namespace

TEST(TimecodeCheck, RangesPerModeHoursAndForms)
{
    const std::string form = std::to_string(TC_CHECK_FORM), hours = std::to_string(TC_CHECK_HOURS),
                      minutes = std::to_string(TC_CHECK_MINUTES), seconds = std::to_string(TC_CHECK_SECONDS),
                      frames = std::to_string(TC_CHECK_FRAMES), dropped = std::to_string(TC_CHECK_DROPPED);
    {
        ModeGuard g(TC_PAL);
        EXPECT_EQ(tc_fps(), 25);
        EXPECT_EQ(check("00:00:00:24"), "00:00:00:24");
        EXPECT_EQ(check("00:00:00:25"), frames);
        EXPECT_EQ(check("99:99:99:99"), minutes);
        EXPECT_EQ(check("00:00:60:00"), seconds);
        // A start time stays within the day; other fields take any hours
        // as long as the frame count is an int.
        EXPECT_EQ(check("25:61:00:00", 23), hours);
        EXPECT_EQ(check("23:59:59:24", 23), "23:59:59:24");
        EXPECT_EQ(check("24:00:00:00", 23), hours);
        EXPECT_EQ(check("24:00:00:00"), "24:00:00:00");
        EXPECT_EQ(check("23860:00:00:00"), "23860:00:00:00");
        EXPECT_EQ(check("23861:00:00:00"), hours);
        // Short forms expand as the completion offers them.
        EXPECT_EQ(check("1:2:3"), "00:01:02:03");
        EXPECT_EQ(check("1234"), "00:12:34:00");
        EXPECT_EQ(check("01:02:03;04"), "01:02:03:04");
        EXPECT_EQ(check("1:2:3:4"), "01:02:03:04");
        // What the scanner would half-read, or drop, is refused.
        for (const char *bad : {"", "::", "abc", "1:2:3:4:5", "1:2:3:4x", "+1:2:3:4", " 1:2:3:4", "00:-1:00:00",
                                "123456789", "1234567890:00:00:00"})
            EXPECT_EQ(check(bad), form) << bad;
    }
    {
        ModeGuard g(TC_50);
        EXPECT_EQ(tc_fps(), 50);
        EXPECT_EQ(check("00:00:00:49"), "00:00:00:49");
        EXPECT_EQ(check("00:00:00:50"), frames);
        EXPECT_EQ(check("11930:00:00:00"), "11930:00:00:00");
        EXPECT_EQ(check("11931:00:00:00"), hours);
    }
    {
        ModeGuard g(TC_NTSC);
        EXPECT_EQ(tc_fps(), 30);
        EXPECT_EQ(check("00:00:00:29"), "00:00:00:29");
        EXPECT_EQ(check("00:00:00:30"), frames);
        EXPECT_EQ(check("00:01:00:00"), "00:01:00:00");
    }
    {
        ModeGuard g(TC_NTSC_DF);
        EXPECT_EQ(tc_fps(), 30);
        EXPECT_EQ(check("00:01:00:00"), dropped);
        EXPECT_EQ(check("00:01:00:01"), dropped);
        EXPECT_EQ(check("00:01:00:02"), "00:01:00:02");
        EXPECT_EQ(check("00:10:00:00"), "00:10:00:00");
        EXPECT_EQ(check("00:00:00:00"), "00:00:00:00");
        EXPECT_EQ(check("00:00:00:30"), frames);
        // Every accepted label is one that frames display as.
        for (const char *l : {"00:01:00:02", "00:09:59:29", "01:00:00:00", "23:59:59:29"}) {
            char buf[32];
            EXPECT_EQ(tc_frames2tc(tc_tc2frames(l), buf), std::string(l));
        }
    }
    {
        ModeGuard g((tc_modes_t)7);
        EXPECT_EQ(tc_fps(), 0);
        EXPECT_EQ(check("00:00:00:00"), frames) << "no mode, no timecode";
    }
}
