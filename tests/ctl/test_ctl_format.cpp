/* pelmora-ctl output: JSON escaping of any byte sequence, the state and
 * event objects with every member, flag names, and table alignment. */
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>

#include "ctl_format.h"
#include "ctl_json_test.h"
#include "strl.h"

namespace {

std::string js(const std::string &bytes)
{
    std::string out;
    ctl_json_string(&out, bytes.data(), bytes.size());
    return out;
}

TEST(CtlFormat, JsonEscaping)
{
    EXPECT_EQ(js("plain"), "\"plain\"");
    EXPECT_EQ(js("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(js("\n\r\t\b\f"), "\"\\n\\r\\t\\b\\f\"");
    EXPECT_EQ(js(std::string("\x01\x1f\x7f", 3)), "\"\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(js(std::string("a\0b", 3)), "\"a\\u0000b\"");
    /* Valid UTF-8 passes through unchanged: 2, 3 and 4 byte forms. */
    EXPECT_EQ(js("Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac"), "\"Caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac\"");
    /* Bytes that are not valid UTF-8 become \u00XX, one per byte: a stray
     * Latin-1 byte, a cut sequence, an overlong form, a surrogate, a value
     * beyond U+10FFFF, a lone continuation byte. */
    EXPECT_EQ(js("Caf\xe9"), "\"Caf\\u00e9\"");
    EXPECT_EQ(js("\xe2\x82"), "\"\\u00e2\\u0082\"");
    EXPECT_EQ(js("\xe2\x82x"), "\"\\u00e2\\u0082x\"");
    EXPECT_EQ(js("\xc0\xaf"), "\"\\u00c0\\u00af\"");
    EXPECT_EQ(js("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\"");
    EXPECT_EQ(js("\xf4\x90\x80\x80"), "\"\\u00f4\\u0090\\u0080\\u0080\"");
    EXPECT_EQ(js("\x80"), "\"\\u0080\"");

    /* Every byte value, in every position, yields valid JSON that reads back
     * as the same text for the valid parts. */
    std::string all;
    for (int i = 0; i < 256; i++)
        all.push_back((char)i);
    jv v;
    ASSERT_TRUE(jv_parse(js(all), &v));
    ASSERT_EQ(v.kind, jv::STR);
    EXPECT_EQ(v.str.substr(0, 128), all.substr(0, 128));
    std::string mixed = "\"\xc3\xa9\\\t\xff\xe2\x82\xac";
    ASSERT_TRUE(jv_parse(js(mixed), &v));
    EXPECT_EQ(v.str, "\"\xc3\xa9\\\t\xc3\xbf\xe2\x82\xac"); /* 0xff read as U+00FF */
}

TEST(CtlFormat, FixedFieldsStopAtTheirSize)
{
    char f[4] = {'a', 'b', 'c', 'd'}; /* no terminator inside the array */
    std::string out;
    ctl_json_field(&out, f, sizeof f);
    EXPECT_EQ(out, "\"abcd\"");
}

TEST(CtlFormat, StateHasAllMembersInOrder)
{
    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof s);
    s.f_running = 1;
    s.amend = 5000000000LL;
    s.count = 12;
    strlcpy(s.time, "10:00:00:00", sizeof s.time);
    for (int i = 0; i < 5; i++)
        s.er[i] = i + 1;
    strlcpy(s.curr_remain, "00:00:10:00", sizeof s.curr_remain);
    s.lib_absent_count = 2;
    s.ply_stat_flag_subclip = 1;
    strlcpy(s.last_playlist, "news \"late\".ply", sizeof s.last_playlist);
    strlcpy(s.ply_hash, "00ff", sizeof s.ply_hash);
    std::string out;
    ctl_json_state(&out, &s);
    jv v;
    ASSERT_TRUE(jv_parse(out, &v)) << out;
    static const char *names[] = {"f_running",
                                  "amend",
                                  "count",
                                  "time",
                                  "er",
                                  "curr_remain",
                                  "ply_remain",
                                  "lib_queued_count",
                                  "lib_absent_count",
                                  "lib_present_count",
                                  "ply_stat_flag_range",
                                  "ply_stat_flag_subclip",
                                  "absent_remain",
                                  "last_playlist",
                                  "type_C_remain",
                                  "type_L_remain",
                                  "fixed_time_remain",
                                  "ply_hash"};
    ASSERT_EQ(v.obj.size(), 18u);
    for (size_t i = 0; i < 18; i++)
        EXPECT_EQ(v.obj[i].first, names[i]);
    EXPECT_EQ(v.n("amend"), 5000000000LL); /* 64-bit values are not cut */
    EXPECT_EQ(v.n("count"), 12);
    EXPECT_EQ(v.s("last_playlist"), "news \"late\".ply");
    ASSERT_EQ(v.get("er")->arr.size(), 5u);
    EXPECT_EQ(v.get("er")->arr[4].num, 5);

    out.clear();
    ctl_json_result(&out, "take", 3, &s);
    ASSERT_TRUE(jv_parse(out, &v)) << out;
    EXPECT_EQ(v.s("command"), "take");
    EXPECT_EQ(v.n("result"), 3);
    EXPECT_EQ(v.get("state")->obj.size(), 18u);
}

TEST(CtlFormat, FlagNames)
{
    auto names = [](int64_t f) {
        std::string s;
        for (const std::string &n : ctl_flag_names(f))
            s += (s.empty() ? "" : ",") + n;
        return s;
    };
    EXPECT_EQ(names(0x4 | 0x2 | 0x40), "PLAY,PRESENT,PLAYING");
    EXPECT_EQ(names(0x4 | 0x8), "PRESENT,CUED");
    EXPECT_EQ(names(0), "ABSENT");                  /* media not present */
    EXPECT_EQ(names(0x80 | 0x4), "PRESENT,ABSENT"); /* the flagged-list absent bit */
    EXPECT_EQ(names(0x4 | 0x10 | 0x20 | 0x100 | 0x400 | 0x2000000 | 0x1),
              "CUEING,PRESENT,CUE_FAILED,PLAY_FAILED,RANGE_ERR,SUBCLIP,NON_CONT");
    EXPECT_EQ(names(0x4 | 0x800 | (1LL << 40)), "PRESENT,BIT11,BIT40");
}

TEST(CtlFormat, EventHasEveryField)
{
    pelmorabox_event_t *e = pelmorabox_event_create_from_string(
        "10:00:00:00\tM\t00:00:01:00\t00:00:10:24\t00:00:10:00\tC\tads/spot.mxf\tSpot \xe9t\xc3\xa9\tlogo\t"
        "10:00:00:00\ttag\ta\\tx\\ny\\ta\\\\\\\\tb\tmap\tamp\t16:9\tB",
        nullptr, 0);
    ASSERT_NE(e, nullptr);
    e->sys_id = 4242;
    e->flags = 0x4 | 0x8;
    e->start = 1700000000123LL;
    e->amend = 17;
    std::string out;
    ctl_json_event(&out, e, 3);
    jv v;
    ASSERT_TRUE(jv_parse(out, &v)) << out;
    EXPECT_EQ(v.n("idx"), 3);
    EXPECT_EQ(v.n("sys_id"), 4242);
    EXPECT_EQ(v.n("start"), 1700000000123LL);
    EXPECT_EQ(v.n("amend"), 17);
    EXPECT_EQ(v.n("flags"), 12);
    ASSERT_EQ(v.get("flag_names")->arr.size(), 2u);
    EXPECT_EQ(v.get("flag_names")->arr[1].str, "CUED");
    EXPECT_EQ(v.s("start_type"), "M");
    EXPECT_EQ(v.s("start_type_name"), "MANUAL");
    EXPECT_EQ(v.s("event_type"), "C");
    EXPECT_EQ(v.s("media_id"), "ads/spot.mxf");
    EXPECT_EQ(v.s("title"), "Spot \xc3\xa9t\xc3\xa9"); /* Latin-1 byte read as U+00E9 */
    EXPECT_EQ(v.s("mark_in"), "00:00:01:00");
    EXPECT_EQ(v.s("mark_out"), "00:00:10:24");
    EXPECT_EQ(v.s("duration"), "00:00:10:00");
    EXPECT_EQ(v.s("assets"), "logo");
    EXPECT_EQ(v.s("fixed_time"), "10:00:00:00");
    EXPECT_EQ(v.s("tag"), "tag");
    EXPECT_EQ(v.s("audio_map"), "map");
    EXPECT_EQ(v.s("audio_amp"), "amp");
    EXPECT_EQ(v.s("ar"), "16:9");
    EXPECT_EQ(v.s("dst"), "B");
    EXPECT_EQ(v.s("origin"), "");
    /* Metadata keeps order and repeated keys: an array of pairs. */
    const jv *m = v.get("metadata");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->arr.size(), 2u);
    EXPECT_EQ(m->arr[0].arr[0].str, "a");
    EXPECT_EQ(m->arr[0].arr[1].str, "x");
    EXPECT_EQ(m->arr[1].arr[0].str, "y");
    EXPECT_EQ(m->arr[1].arr[1].str, "a\\tb");
    /* The line member is the event as it would be sent (15 fields). */
    char line[PELMORABOX_EVENT_LINE_BUF];
    pelmorabox_event_format_string(e, line, sizeof line);
    EXPECT_EQ(v.get("line")->str.size(), strlen(line) + 1); /* é became two bytes */
    EXPECT_EQ(std::count(v.get("line")->str.begin(), v.get("line")->str.end(), '\t'), 14);

    /* A blank event type is "", no list index means no idx member. */
    e->event_type = 0;
    e->start_type = 'G';
    out.clear();
    ctl_json_event(&out, e, -1);
    ASSERT_TRUE(jv_parse(out, &v)) << out;
    EXPECT_EQ(v.get("idx"), nullptr);
    EXPECT_EQ(v.s("event_type"), "");
    EXPECT_EQ(v.s("start_type_name"), "GAP FILL");
    pelmorabox_event_destroy(&e);
}

TEST(CtlFormat, TablesAlignByDisplayWidth)
{
    EXPECT_EQ(ctl_text_width("abc"), 3u);
    EXPECT_EQ(ctl_text_width("Caf\xc3\xa9"), 4u);
    EXPECT_EQ(ctl_text_width("\xe6\x97\xa5\xe6\x9c\xac"), 4u); /* two wide characters */
    EXPECT_EQ(ctl_text_width("e\xcc\x81"), 1u);                /* e with a combining accent */
    EXPECT_EQ(ctl_cell_text("a\tb\nc\x01", 6), "a\\tb\\nc\\x01");
    EXPECT_EQ(ctl_cell_text("Caf\xe9", 4), "Caf\xc3\xa9");

    ctl_table_t t;
    t.head = {"N", "NAME", "X"};
    t.right = {1, 0, 0};
    t.rows = {{"7", "Caf\xc3\xa9", "a"}, {"12", "\xe6\x97\xa5\xe6\x9c\xac\xe6\x97\xa5", "b"}, {"3", "", ""}};
    EXPECT_EQ(ctl_table_render(&t), " N  NAME    X\n"
                                    " 7  Caf\xc3\xa9    a\n"
                                    "12  \xe6\x97\xa5\xe6\x9c\xac\xe6\x97\xa5  b\n"
                                    " 3\n");

    pelmorabox_bus_state_t s;
    memset(&s, 0, sizeof s);
    s.count = 4;
    ctl_table_state(&t, "take", 0, &s);
    EXPECT_EQ(t.rows.size(), 20u); /* command, result and the 18 members */
    std::string text = ctl_table_render(&t);
    EXPECT_NE(text.find("\ncount                  4\n"), std::string::npos) << text;
}

} // namespace
