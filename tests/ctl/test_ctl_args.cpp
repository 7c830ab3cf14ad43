/* pelmora-ctl command line and event building: where options belong, value
 * checks that keep bad input from the server, event lines from the shell,
 * and the event an insert or update would send. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ctl_args.h"

namespace {

struct Parsed
{
    ctl_args_t a;
    std::string err;
    int r = 0;
};

Parsed parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "pelmora-ctl");
    std::vector<char *> argv;
    for (std::string &s : args)
        argv.push_back(&s[0]);
    Parsed p;
    FILE *null = fopen("/dev/null", "w");
    p.r = ctl_args_parse((int)argv.size(), argv.data(), &p.a, &p.err, null);
    fclose(null);
    return p;
}

Parsed host(std::vector<std::string> rest)
{
    rest.insert(rest.begin(), {"--host", "127.0.0.1:9000"});
    return parse(rest);
}

/* The event line an edit builds (base optional). */
std::string built(const ctl_args_t &a, const pelmorabox_event_t *base = nullptr)
{
    std::string err;
    pelmorabox_event_t *e = ctl_event_build(&a.edit, base, &err);
    if (!e)
        return "ERR:" + err;
    char buf[PELMORABOX_EVENT_LINE_BUF];
    pelmorabox_event_format_string(e, buf, sizeof buf);
    pelmorabox_event_destroy(&e);
    return buf;
}

TEST(CtlArgs, GlobalOptionsCommandAndWhereIdxBelongs)
{
    Parsed p = parse({"--host", "srv.example:8001", "--idx", "3", "--table", "state"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.cmd, CTL_CMD_STATE);
    EXPECT_EQ(p.a.bus_idx, 3);
    EXPECT_EQ(p.a.url, "http://srv.example:8001/RPC2");
    EXPECT_EQ(p.a.f_table, 1);

    /* --table, --quiet and --host also after the command. */
    p = parse({"take", "--host", "h:1", "--table", "-q"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.f_table, 1);
    EXPECT_EQ(p.a.f_quiet, 1);

    /* After the command --idx is the event index of update, and a mistake
     * for every other command (it would silently address bus 0). */
    p = host({"--idx", "1", "update", "--idx", "7", "--title", "x"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.bus_idx, 1);
    EXPECT_EQ(p.a.event_idx, 7);
    p = host({"take", "--idx", "2"});
    EXPECT_EQ(p.r, -22);
    EXPECT_NE(p.err.find("before the command"), std::string::npos);

    EXPECT_EQ(parse({"state"}).r, -22);           /* no host */
    EXPECT_EQ(host({}).r, -22);                   /* no command */
    EXPECT_EQ(host({"stat"}).r, -22);             /* unknown command */
    EXPECT_EQ(host({"state", "--bogus"}).r, -22); /* unknown option */
    EXPECT_EQ(host({"state", "extra"}).r, -22);   /* stray argument */
    EXPECT_EQ(host({"--idx", "-1", "state"}).r, -22);
    EXPECT_EQ(host({"--idx", "x", "state"}).r, -22);
    EXPECT_EQ(host({"--timeout", "0", "state"}).r, -22);
    EXPECT_EQ(host({"--timeout=250", "state"}).a.timeout_ms, 250);
    EXPECT_EQ(host({"take", "--table=1"}).r, -22); /* a flag takes no value */
    EXPECT_EQ(host({"load"}).r, -22);              /* value missing */
    EXPECT_EQ(parse({"--help"}).r, 1);
    EXPECT_EQ(parse({"--host", "h:1", "take", "-h"}).r, 1);
}

TEST(CtlArgs, HostForms)
{
    std::string url;
    EXPECT_EQ(ctl_host_url("127.0.0.1:8080", &url), 0);
    EXPECT_EQ(url, "http://127.0.0.1:8080/RPC2");
    EXPECT_EQ(ctl_host_url("[::1]:8080", &url), 0);
    EXPECT_EQ(url, "http://[::1]:8080/RPC2");
    for (const char *bad : {"", "host", "host:", ":80", "host:0", "host:65536", "host:8x", "a:b:80", "ho st:80",
                            "h/x:80", "user@h:80", "[::1]80", "[]:80"})
        EXPECT_EQ(ctl_host_url(bad, &url), -22) << bad;
}

TEST(CtlArgs, CommandArguments)
{
    Parsed p = host({"events", "3", "5-7", "9-"});
    ASSERT_EQ(p.r, 0) << p.err;
    ASSERT_EQ(p.a.ranges.size(), 3u);
    EXPECT_EQ(p.a.ranges[0].from, 3);
    EXPECT_EQ(p.a.ranges[0].to, 3);
    EXPECT_EQ(p.a.ranges[1].to, 7);
    EXPECT_EQ(p.a.ranges[2].from, 9);
    EXPECT_EQ(p.a.ranges[2].to, -1);
    for (const char *bad : {"7-5", "x", "1-x", "+3", "3.5", "99999999999"})
        EXPECT_EQ(host({"events", bad}).r, -22) << bad;

    EXPECT_EQ(host({"run", "start"}).a.f_run, 1);
    EXPECT_EQ(host({"run", "stop"}).a.f_run, 0);
    EXPECT_EQ(host({"run", "go"}).r, -22);
    EXPECT_EQ(host({"take-n", "4"}).a.event_idx, 4);
    EXPECT_EQ(host({"take-n"}).r, -22);
    EXPECT_EQ(host({"take-n", "4", "5"}).r, -22);
    EXPECT_EQ(host({"load", "morning.ply"}).a.name, "morning.ply");
    EXPECT_EQ(host({"save", ""}).r, -22);

    p = host({"truncate", "--sys-id", "42", "--below"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.sys_id, 42);
    EXPECT_EQ(p.a.f_below, 1);
    EXPECT_EQ(host({"truncate", "--sys-id", "42"}).r, -22);
    EXPECT_EQ(host({"truncate", "--below"}).r, -22);
    EXPECT_EQ(host({"truncate", "--sys-id", "42", "--below", "--above"}).r, -22);

    p = host({"delete", "2", "4-6"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.ids, (std::vector<int64_t>{2, 4, 5, 6}));
    EXPECT_EQ(p.a.f_sys_id, 0);
    p = host({"delete", "--sys-id", "11,12", "--sys-id", "13"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.ids, (std::vector<int64_t>{11, 12, 13}));
    EXPECT_EQ(p.a.f_sys_id, 1);
    EXPECT_EQ(host({"delete"}).r, -22);
    EXPECT_EQ(host({"delete", "3-"}).r, -22); /* open ranges would delete to the end unseen */
    EXPECT_EQ(host({"delete", "1", "--sys-id", "5"}).r, -22);
    EXPECT_EQ(host({"delete", "--sys-id", "5,"}).r, -22);
    EXPECT_EQ(host({"delete", "0-200000"}).r, -22);

    /* -- lets a search key start with a dash. */
    p = host({"search", "--all", "--", "-live-"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.name, "-live-");
    EXPECT_EQ(p.a.f_search_all, 1);
}

TEST(CtlArgs, SearchFieldsAndErrorMasks)
{
    Parsed p = host({"search", "news"});
    ASSERT_EQ(p.r, 0);
    EXPECT_EQ(p.a.search_flags, (1 << PELMORABOX_EVENT_SEARCH_IDX_TITLE) | (1 << PELMORABOX_EVENT_SEARCH_IDX_MEDIA_ID));
    p = host({"search", "x", "--fields", "meta_val,sys_id", "--from", "4"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.search_flags, (1 << 4) | (1 << 6));
    EXPECT_EQ(p.a.search_from, 4);
    EXPECT_EQ(host({"search", "x", "--fields", "all"}).a.search_flags, 0x7f);
    EXPECT_EQ(host({"search", "x", "--fields", "title,"}).r, -22);
    EXPECT_EQ(host({"search", "x", "--fields", "name"}).r, -22);

    int64_t m = 0;
    std::string err;
    EXPECT_EQ(host({"errors"}).a.error_mask, 0x2000100);
    EXPECT_EQ(host({"errors", "--absent"}).a.error_mask, 0x80);
    EXPECT_EQ(ctl_parse_error_mask("RANGE_ERR|NON_CONT", &m, &err), 0);
    EXPECT_EQ(m, 0x2000100);
    EXPECT_EQ(ctl_parse_error_mask("error-subclip", &m, &err), 0);
    EXPECT_EQ(m, 0x2000500);
    EXPECT_EQ(ctl_parse_error_mask("0x400,absent", &m, &err), 0);
    EXPECT_EQ(m, 0x480);
    EXPECT_EQ(ctl_parse_error_mask("subclip", &m, &err), 0); /* flag names in any case */
    EXPECT_EQ(m, 0x400);
    for (const char *bad : {"", "0", "-1", "0x100000000", "RANGE", "error|", "12abc"})
        EXPECT_EQ(ctl_parse_error_mask(bad, &m, &err), -22) << bad;
    EXPECT_EQ(host({"errors", "--mask", "128", "--absent"}).r, -22);
}

TEST(CtlArgs, FieldValuesAreCheckedBeforeSending)
{
    std::string err;
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TITLE, std::string(259, 'x'), &err), 0);
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TITLE, std::string(260, 'x'), &err), -22);
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TITLE, "a\tb", &err), -22); /* would split the line */
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TITLE, "a\nb", &err), -22);
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TITLE, "Caf\xc3\xa9 \"live\"", &err), 0);
    EXPECT_EQ(ctl_field_check(CTL_FIELD_AR, std::string(32, '1'), &err), -22);
    for (const char *tc : {"00:00:30:00", "", "100:59:59:24", "01:00:00;29"})
        EXPECT_EQ(ctl_field_check(CTL_FIELD_DUR, tc, &err), 0) << tc;
    for (const char *tc : {"30", "00:00:30", "0:00:30:00", "00:60:00:00", "00:00:30:00:00", "aa:bb:cc:dd"})
        EXPECT_EQ(ctl_field_check(CTL_FIELD_IN, tc, &err), -22) << tc;
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TYPE, "C", &err), 0);
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TYPE, "none", &err), 0);
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TYPE, "CC", &err), -22);
    EXPECT_EQ(ctl_field_check(CTL_FIELD_TYPE, "\xc3\xa9", &err), -22);

    char st = 0;
    EXPECT_EQ(ctl_parse_start_type("manual", &st), 0);
    EXPECT_EQ(st, 'M');
    EXPECT_EQ(ctl_parse_start_type("Gap-Fill", &st), 0);
    EXPECT_EQ(st, 'G');
    EXPECT_EQ(ctl_parse_start_type("follow", &st), 0);
    EXPECT_EQ(st, ' ');
    EXPECT_EQ(ctl_parse_start_type("[", &st), 0);
    EXPECT_EQ(st, '[');
    EXPECT_EQ(ctl_parse_start_type("X", &st), -22);

    EXPECT_EQ(host({"insert", "--at", "0", "--title", std::string(300, 't')}).r, -22);
    EXPECT_EQ(host({"insert", "--at", "0", "--meta", "novalue"}).r, -22);
    EXPECT_EQ(host({"insert", "--at", "0", "--meta", "=v"}).r, -22);
    EXPECT_EQ(host({"insert", "--at", "0", "--meta", "k="}).r, -22);
    EXPECT_EQ(host({"insert", "--at", "0", "--start-type", "soon"}).r, -22);
}

TEST(CtlArgs, InsertAndUpdateNeedPositionAndEvent)
{
    Parsed p = host({"insert", "--at", "end", "--media", "a.mxf"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.f_at_end, 1);
    p = host({"insert", "--before-sys-id", "77", "--media", "a.mxf"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.sys_id, 77);
    EXPECT_EQ(host({"insert", "--media", "a.mxf"}).r, -22); /* where? */
    EXPECT_EQ(host({"insert", "--at", "1"}).r, -22);        /* what? */
    EXPECT_EQ(host({"insert", "--at", "1", "--at", "end", "--media", "a"}).r, -22);
    EXPECT_EQ(host({"insert", "--at", "1", "--before-sys-id", "3", "--media", "a"}).r, -22);
    EXPECT_EQ(host({"insert", "--at", "-1", "--media", "a"}).r, -22);

    p = host({"update", "--sys-id", "9", "--no-meta"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(p.a.sys_id, 9);
    EXPECT_EQ(p.a.edit.f_meta, 1);
    EXPECT_EQ(host({"update", "--title", "x"}).r, -22);
    EXPECT_EQ(host({"update", "--idx", "1"}).r, -22);
    EXPECT_EQ(host({"update", "--idx", "1", "--sys-id", "2", "--title", "x"}).r, -22);
    EXPECT_EQ(host({"take", "--title", "x"}).r, -22); /* event options only for insert and update */
}

TEST(CtlArgs, EventLineFromTheShell)
{
    /* Without a real tab, backslash-t is a tab and two backslashes one. */
    EXPECT_EQ(ctl_line_unescape("a\\tb\\\\tc\\n"), "a\tb\\tc\\n");
    /* With a real tab the text is taken as it is. */
    EXPECT_EQ(ctl_line_unescape("a\tb\\tc"), "a\tb\\tc");

    std::string err;
    EXPECT_EQ(ctl_line_check(std::string(8, '\t'), &err), 0);    /* 9 fields */
    EXPECT_EQ(ctl_line_check(std::string(12, '\t'), &err), -22); /* 13 fields */
    EXPECT_NE(err.find("13"), std::string::npos);
    EXPECT_EQ(ctl_line_check(std::string(15, '\t'), &err), 0); /* 16 fields */
    EXPECT_EQ(ctl_line_check(std::string(16, '\t'), &err), -22);
    EXPECT_EQ(ctl_line_check("\tX\t\t\t\t\t\t\t", &err), -22);     /* unknown start type */
    EXPECT_EQ(ctl_line_check("\tM\t\t\t\t\ta\rb\t\t", &err), -22); /* control character */
    EXPECT_EQ(ctl_line_check("\tM\t\t\t\tCC\t\t\t", &err), -22);   /* two-letter event type */
    std::string long_title = "\t\t\t\t\t\t\t" + std::string(260, 'x') + "\t";
    EXPECT_EQ(ctl_line_check(long_title, &err), -22); /* would be cut to 259 */
    EXPECT_NE(err.find("title"), std::string::npos);

    /* A metadata pair whose value holds a tab travels as backslash sequences:
     * typed in the shell with doubled backslashes. */
    Parsed p = host({"insert", "--at", "0", "--line",
                     "\\tM\\t\\t\\t00:00:10:00\\tC\\tclip.mxf\\tTitle\\t\\t\\t\\tk\\\\tv\\\\\\\\tw\\t\\t\\t"});
    ASSERT_EQ(p.r, 0) << p.err;
    pelmorabox_event_t *e = pelmorabox_event_create_from_string(p.a.edit.line.c_str(), nullptr, 0);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->start_type, 'M');
    EXPECT_EQ(e->event_type, 'C');
    EXPECT_STREQ(e->media_id, "clip.mxf");
    ASSERT_EQ(e->metadata_cnt, 1);
    EXPECT_STREQ(e->metadata_pairs[0].key, "k");
    EXPECT_STREQ(e->metadata_pairs[0].val, "v\tw");
    pelmorabox_event_destroy(&e);

    EXPECT_EQ(host({"insert", "--at", "0", "--line", "a\\tb"}).r, -22);
}

TEST(CtlArgs, EventBuilding)
{
    /* Fields alone: a fresh event with blank start type. */
    Parsed p = host({"insert", "--at", "0", "--media", "/clips/a.mxf", "--title", "Spot", "--dur", "00:00:30:00",
                     "--type", "C", "--meta", "k=v=w", "--meta", "k2=x"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(built(p.a), "\t \t\t\t00:00:30:00\tC\t/clips/a.mxf\tSpot\t\t\t\tk\\tv=w\\nk2\\tx\t\t\t");

    /* --fixed gives a fixed start unless the start type is named too. */
    p = host({"insert", "--at", "0", "--media", "a", "--fixed", "10:00:00:00"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(built(p.a).substr(0, 3), "\tF\t");
    p = host({"insert", "--at", "0", "--start-type", "manual", "--fixed", "10:00:00:00", "--media", "a"});
    EXPECT_EQ(built(p.a).substr(0, 3), "\tM\t");

    /* A line, with fields overriding it. */
    p = host({"insert", "--at", "0", "--line", "\\tM\\t\\t\\t00:00:05:00\\tV\\told.mxf\\tOld\\t", "--title", "New"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(built(p.a), "\tM\t\t\t00:00:05:00\tV\told.mxf\tNew\t\t\t\t\t\t\t");

    /* Update by fields keeps what is not named; --meta replaces the pairs,
     * --no-meta drops them. */
    pelmorabox_event_t *base = pelmorabox_event_create_from_string(
        "10:00:00:00\tF\t00:00:01:00\t00:00:10:24\t00:00:10:00\tV\tnews/open.mxf\tOpen\tlogo\t10:00:00:00\ttag1\t"
        "a\\tx\\nb\\ty\tmap\tamp\t16:9",
        nullptr, 0);
    ASSERT_NE(base, nullptr);
    p = host({"update", "--idx", "0", "--title", "Opening"});
    ASSERT_EQ(p.r, 0) << p.err;
    EXPECT_EQ(built(p.a, base), "10:00:00:00\tF\t00:00:01:00\t00:00:10:24\t00:00:10:00\tV\tnews/open.mxf\tOpening\t"
                                "logo\t10:00:00:00\ttag1\ta\\tx\\nb\\ty\tmap\tamp\t16:9");
    p = host({"update", "--idx", "0", "--meta", "c=z"});
    EXPECT_NE(built(p.a, base).find("\ttag1\tc\\tz\tmap"), std::string::npos);
    p = host({"update", "--idx", "0", "--no-meta", "--type", "none", "--in", ""});
    EXPECT_EQ(built(p.a, base), "10:00:00:00\tF\t\t00:00:10:24\t00:00:10:00\t \tnews/open.mxf\tOpen\t"
                                "logo\t10:00:00:00\ttag1\t\tmap\tamp\t16:9");
    pelmorabox_event_destroy(&base);

    /* Metadata that would push the line past 16383 characters is refused
     * as a whole, never cut. */
    std::vector<std::string> args = {"insert", "--at", "0", "--media", "a"};
    for (int i = 0; i < 5; i++) {
        args.push_back("--meta");
        args.push_back("k" + std::to_string(i) + "=" + std::string(4000, 'v'));
    }
    p = host(args);
    EXPECT_EQ(p.r, -22);
    EXPECT_NE(p.err.find("16383"), std::string::npos);
}

} // namespace
