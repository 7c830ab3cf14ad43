// Fuzz target for the timecode parsers: arbitrary text through the full and
// short forms, the free-form reader and the mode names in every mode; every
// count that comes out is printed back and must read back unchanged.
#include "timecode.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

static void check_count(int f)
{
    char buf[32];
    memset(buf, 'x', sizeof(buf));
    tc_frames2tc(f, buf);
    size_t n = strlen(buf);
    if (n >= TC_TEXT_SIZE)
        abort();
    if (f < 0) {
        if (n != 0)
            abort();
        return;
    }
    if (tc_tc2frames(buf) != f)
        abort();
    int bcd = tc_frames2bcd(f);
    char txt[12];
    tc_bcd2txt(bcd, txt);
    if (bcd != -1 && tc_tc2frames(txt) != f)
        abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size); // NUL-terminated copy
    const char *s = text.c_str();
    tc_modes_t saved = tc_getmode();

    for (int m = TC_PAL; m <= TC_NTSC_DF; m++) {
        tc_setmode((tc_modes_t)m);
        int hh = 0, mm = 0, ss = 0, ff = 0;
        int r = tc_tc2hmsf(s, &hh, &mm, &ss, &ff);
        if (r != 0 && r != -1)
            abort();
        int f = tc_tc2frames(s);
        if (f != tc_hmsf2frames(hh, mm, ss, ff))
            abort();
        check_count(f);
        check_count(tc_txt2frames2(s));
        check_count(tc_tc2mili(s));
        check_count(tc_mili2frames(f));
        check_count(tc_frames2mili(f));
    }

    int mode = tc_findmode(s);
    if (mode != -22 && (mode < TC_PAL || mode > TC_NTSC_DF))
        abort();
    if (mode >= 0) {
        tc_setmode((tc_modes_t)mode);
        if (tc_getmode() != mode)
            abort();
    }

    if (size >= 4) {
        uint32_t v;
        memcpy(&v, data, 4);
        char txt[12];
        tc_bcd2txt((int)v, txt);
        if (strlen(txt) != 11)
            abort();
        check_count(tc_bcd2frames((int)v));
    }

    tc_setmode(saved);
    return 0;
}
