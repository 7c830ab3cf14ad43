/* Timecode: frame counts to and from HH:MM:SS:FF text, fields, seconds,
 * milliseconds and BCD in one process-wide mode. Free functions without
 * allocation or static buffers; callers own every text buffer. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* In C++ the enumeration gets int as its underlying type, so that any int
 * stored through tc_setmode (which does not range-test) is a valid value. */
#ifdef __cplusplus
typedef enum tc_modes : int
{
#else
typedef enum tc_modes
{
#endif
    TC_PAL = 0,     /* 25 frames per second */
    TC_50 = 1,      /* 50 frames per second */
    TC_NTSC = 2,    /* 30 labels per second, 30000/1001 real rate */
    TC_NTSC_DF = 3, /* as TC_NTSC with drop-frame numbering */
    TC_ENV = 4      /* tc_setmode only: take the mode from TC_MODE */
} tc_modes_t;

/* Process-wide mode, TC_PAL at start; set at start-up, read afterwards. */
extern tc_modes_t tc_mode;

/* BCD digit to character: "0123456789??????" (16 characters). */
extern const char tc_alphabet[];

/* Text buffers. tc_frames2tc writes at most 15 bytes (hours up to five
 * digits for any non-negative int), so its buffer must hold TC_TEXT_SIZE
 * bytes; 12 bytes do while the hours stay below 100. tc_bcd2txt always
 * writes exactly 12 bytes. The program's 32-byte timecode arrays fit both. */
#define TC_TEXT_SIZE 16

/* Mode. */
int tc_findmode(const char *e); /* 0..3 for "pal" "50" "ntsc" "ntsc_df", else -22 */
int tc_setmode(tc_modes_t m);   /* TC_ENV: -2 when TC_MODE unset, -22 when unknown */
tc_modes_t tc_getmode(void);
int tc_test(void);

/* Fields and text in the current mode. */
int tc_frames2hmsf(int f, int *hh, int *mm, int *ss, int *ff);
int tc_hmsf2frames(int hh, int mm, int ss, int ff);
char *tc_frames2tc(int f, char *buf); /* "" for f < 0 */
/* -1: full form read or no digit at all (nothing stored then);
 * 0: a short form of 1..4 two-digit parts was expanded. */
int tc_tc2hmsf(const char *tc, int *phh, int *pmm, int *pss, int *pff);
int tc_tc2frames(const char *tc);
/* Free-form operator input, right-aligned; -1 when empty or without digit. */
int tc_txt2frames2(const char *src);

/* Timecode labels per second of the current mode (25, 50, 30; 0 for a
 * value that is no mode). */
int tc_fps(void);
/* What keeps operator input from being a timecode of the current mode. */
enum tc_check_result
{
    TC_CHECK_OK = 0,
    TC_CHECK_FORM = -1,    /* no digit, a sign or tail, digits left over */
    TC_CHECK_HOURS = -2,   /* above max_hours, or no int frame count */
    TC_CHECK_MINUTES = -3, /* not 0..59 */
    TC_CHECK_SECONDS = -4, /* not 0..59 */
    TC_CHECK_FRAMES = -5,  /* not below tc_fps() */
    TC_CHECK_DROPPED = -6  /* a label that drop-frame numbering skips */
};
/* Fields as a timecode: hours 0..max_hours (max_hours < 0: any whose frame
 * count is an int), minutes and seconds 0..59, frames below the rate, and
 * in TC_NTSC_DF no skipped label. */
int tc_check_hmsf(int hh, int mm, int ss, int ff, int max_hours);
/* Operator input: the full form H:M:S:F (digits and colons only) or a
 * short form that tc_tc2hmsf expands (1:2:3 is 00:01:02:03), whose fields
 * then pass tc_check_hmsf. Fills the fields only on TC_CHECK_OK. */
int tc_check(const char *tc, int max_hours, int *phh, int *pmm, int *pss, int *pff);

/* Seconds and milliseconds by the current mode. */
double tc_frames2sec(int f);
int tc_sec2frames(double t);
int tc_frames2mili(int f);
int tc_mili2frames(int ms);
int tc_tc2mili(const char *buf);

/* Seconds and milliseconds by an explicit time base: one frame lasts
 * num/den seconds. A zero divisor gives 0. */
double tc_frames2sec_tb(int f, int num, int den);
int tc_sec2frames_tb(double t, int num, int den);
int tc_frames2mili_tb(int f, int num, int den);
int tc_mili2frames_tb(int ms, int num, int den);

/* Packed BCD, eight digits HHMMSSFF from the most significant nibble. */
char *tc_bcd2txt(int tc_bcd, char *txt); /* txt: 12 bytes */
int tc_bcd2frames(int tc_bcd);
/* -1 (every digit 15, shown "??:??:??:??") for a negative count or for
 * 100 hours and more, which eight BCD digits cannot hold. */
int tc_frames2bcd(int f);

#ifdef __cplusplus
}
#endif
