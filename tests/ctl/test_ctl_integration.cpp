/* pelmora-ctl as a program against pelmora-sim on loopback: every command,
 * its JSON and table output and exit status, edits seen by a later read,
 * refusals, a server that is not there or never answers, and bad command
 * lines that must not reach the server. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ctl_json_test.h"
#include "ctl_run.h"
#include "sim_child.h"

namespace {

using run_result = ctl_run_result;

run_result ctl(const std::vector<std::string> &args, const std::string &in = "",
               const std::vector<std::string> &env = {})
{
    return ctl_run(args, in, env);
}

/* A loopback port with nothing listening on it. */
int unused_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (bind(fd, (struct sockaddr *)&a, sizeof a) == 0 && getsockname(fd, (struct sockaddr *)&a, &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

std::vector<jv> lines(const run_result &r)
{
    std::vector<jv> v;
    EXPECT_TRUE(jv_parse_lines(r.out, &v)) << "not JSON lines: " << r.out;
    return v;
}

jv one(const run_result &r)
{
    std::vector<jv> v = lines(r);
    EXPECT_EQ(v.size(), 1u) << r.out;
    return v.empty() ? jv() : v[0];
}

struct CtlSim : ::testing::Test
{
    std::string dir;
    sim_child_t sim;

    void SetUp() override
    {
        char tmpl[] = "/tmp/ctl_it_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::string cmd = std::string("cp -r ") + PELMORA_SOURCE_DIR + "/examples/sim/. " + dir;
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void start(std::vector<std::string> extra = {})
    {
        std::vector<std::string> args = {"--automation", "0", "--data", dir, "--log-calls"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_EQ(sim_child_start(&sim, sim_child_bin(), args), 0);
    }
    void TearDown() override
    {
        sim_child_stop(&sim);
        if (dir.compare(0, 12, "/tmp/ctl_it_") == 0)
            system(("rm -rf " + dir).c_str());
    }
    /* pelmora-ctl --host <sim> args... */
    run_result run(std::vector<std::string> args, const std::string &in = "", const std::vector<std::string> &env = {})
    {
        args.insert(args.begin(), {"--host", sim.hostport});
        return ctl(args, in, env);
    }
    jv state()
    {
        run_result r = run({"state"});
        EXPECT_EQ(r.status, 0) << r.err;
        return one(r);
    }
    std::vector<jv> events(std::vector<std::string> ranges = {})
    {
        ranges.insert(ranges.begin(), "events");
        run_result r = run(ranges);
        EXPECT_EQ(r.status, 0) << r.err;
        return lines(r);
    }
};

TEST_F(CtlSim, StateAndEventsOfALoadedPlaylist)
{
    start();
    run_result r = run({"load", "morning_show"});
    ASSERT_EQ(r.status, 0) << r.err;
    jv res = one(r);
    EXPECT_EQ(res.s("command"), "load");
    long long n = res.n("result");
    ASSERT_GT(n, 3);
    EXPECT_EQ(res.get("state")->n("count"), n);

    jv st = state();
    ASSERT_EQ(st.obj.size(), 18u);
    EXPECT_EQ(st.n("count"), n);
    EXPECT_EQ(st.n("f_running"), 0);
    EXPECT_NE(st.s("last_playlist").find("morning_show"), std::string::npos);
    EXPECT_EQ(st.get("er")->arr.size(), 5u);

    std::vector<jv> ev = events();
    ASSERT_EQ((long long)ev.size(), n);
    for (size_t i = 0; i < ev.size(); i++) {
        EXPECT_EQ(ev[i].n("idx"), (long long)i);
        EXPECT_GT(ev[i].n("sys_id"), 0);
        EXPECT_EQ(ev[i].n("amend"), st.n("amend"));
        EXPECT_NE(ev[i].get("metadata"), nullptr);
    }
    /* The playlist file's first line, field by field. */
    EXPECT_EQ(ev[0].s("media_id"), "morning/intro.mxf");
    EXPECT_EQ(ev[0].s("title"), "Good Morning - opening titles");
    EXPECT_EQ(ev[0].s("start_type"), "F");
    EXPECT_EQ(ev[0].s("fixed_time"), "06:00:00:00");
    EXPECT_EQ(ev[0].s("event_type"), "V");
    EXPECT_EQ(ev[0].s("assets"), "logo_morning+clock_ul");
    /* Metadata with two pairs as the file holds it. */
    bool found_presenter = false;
    for (const jv &e : ev)
        for (const jv &pair : e.get("metadata")->arr)
            if (pair.arr.size() == 2 && pair.arr[0].str == "presenter") {
                EXPECT_EQ(pair.arr[1].str, "Mia Holm; Erik Dahl");
                found_presenter = true;
            }
    EXPECT_TRUE(found_presenter);

    std::vector<jv> part = events({"1-2", std::to_string(n - 1)});
    ASSERT_EQ(part.size(), 3u);
    EXPECT_EQ(part[0].n("idx"), 1);
    EXPECT_EQ(part[1].n("idx"), 2);
    EXPECT_EQ(part[2].n("idx"), n - 1);
    EXPECT_EQ(part[0].n("sys_id"), ev[1].n("sys_id"));
    EXPECT_EQ(events({"2-"}).size(), (size_t)n - 2);

    /* An index past the end is named, with the list's length. */
    r = run({"events", std::to_string(n + 5)});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no event at list index " + std::to_string(n + 5) + " (the list holds " + std::to_string(n)),
              std::string::npos)
        << r.err;

    /* The table: the header, one row per event, columns aligned. */
    r = run({"--table", "events"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> rows;
    std::istringstream is(r.out);
    for (std::string l; std::getline(is, l);)
        rows.push_back(l);
    ASSERT_EQ((long long)rows.size(), n + 1);
    EXPECT_EQ(rows[0].compare(0, 3, "IDX"), 0);
    size_t media_col = rows[0].find("MEDIA_ID");
    ASSERT_NE(media_col, std::string::npos);
    EXPECT_EQ(rows[1].compare(media_col, 17, "morning/intro.mxf"), 0) << rows[1];
    r = run({"state", "--table"});
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\ncount  "), std::string::npos);
    EXPECT_NE(r.out.find(" " + std::to_string(n) + "\n"), std::string::npos);
}

TEST_F(CtlSim, InsertUpdateDeleteAreSeenByTheNextRead)
{
    start();
    ASSERT_EQ(run({"load", "news_evening"}).status, 0);
    long long n = state().n("count");

    /* Fields, with quotes, a backslash and non-ASCII text in the title. */
    const std::string title = "Caf\xc3\xa9 \"Nord\" \\ \xe6\x97\xa5\xe6\x9c\xac";
    run_result r = run({"insert", "--at", "1", "--media", "news/weather.mxf", "--title", title, "--dur", "00:00:20:00",
                        "--type", "V", "--start-type", "manual", "--meta", "presenter=Ola Nord", "--meta",
                        "note=line1\tline2", "--tag", "wx"});
    ASSERT_EQ(r.status, 0) << r.err;
    jv res = one(r);
    EXPECT_EQ(res.s("command"), "insert");
    EXPECT_EQ(res.n("result"), 1);
    EXPECT_EQ(res.get("state")->n("count"), n + 1);

    std::vector<jv> ev = events({"1"});
    ASSERT_EQ(ev.size(), 1u);
    jv e = ev[0];
    EXPECT_EQ(e.s("title"), title);
    EXPECT_EQ(e.s("media_id"), "news/weather.mxf");
    EXPECT_EQ(e.s("duration"), "00:00:20:00");
    EXPECT_EQ(e.s("start_type"), "M");
    EXPECT_EQ(e.s("tag"), "wx");
    const jv *meta = e.get("metadata");
    ASSERT_EQ(meta->arr.size(), 2u);
    EXPECT_EQ(meta->arr[0].arr[1].str, "Ola Nord");
    EXPECT_EQ(meta->arr[1].arr[1].str, "line1\tline2");
    long long inserted = e.n("sys_id");

    /* A line on standard input, placed before the inserted event by sys_id. */
    r = run({"insert", "--before-sys-id", std::to_string(inserted), "--line", "-"},
            "\t \t\t\t00:00:05:00\tC\tads/spot_car.mxf\tCar spot\t\t\t\tadvertiser\\tCar Co\t\t\t\n");
    ASSERT_EQ(r.status, 0) << r.err;
    ev = events({"1-2"});
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0].s("title"), "Car spot");
    EXPECT_EQ(ev[0].get("metadata")->arr[0].arr[1].str, "Car Co");
    EXPECT_EQ(ev[1].n("sys_id"), inserted);
    long long car = ev[0].n("sys_id");

    /* A line typed with \t escapes, at the end. */
    r = run({"insert", "--at", "end", "--line", "\\t \\t\\t\\t00:00:07:00\\tC\\tads/spot_bank.mxf\\tBank\\t"});
    ASSERT_EQ(r.status, 0) << r.err;
    ev = events();
    ASSERT_EQ((long long)ev.size(), n + 3);
    EXPECT_EQ(ev.back().s("title"), "Bank");

    /* Update by list index changes only the named field. */
    r = run({"update", "--idx", "2", "--title", "Weather (late)"});
    ASSERT_EQ(r.status, 0) << r.err;
    e = events({"2"})[0];
    EXPECT_EQ(e.s("title"), "Weather (late)");
    EXPECT_EQ(e.s("media_id"), "news/weather.mxf");
    EXPECT_EQ(e.s("duration"), "00:00:20:00");
    EXPECT_EQ(e.get("metadata")->arr.size(), 2u);

    /* Update by sys_id: start type and metadata replaced. */
    r = run({"update", "--sys-id", std::to_string(car), "--start-type", "follow", "--meta", "advertiser=Car Co AB"});
    ASSERT_EQ(r.status, 0) << r.err;
    e = events({"1"})[0];
    EXPECT_EQ(e.n("sys_id"), car);
    EXPECT_EQ(e.s("start_type"), " ");
    EXPECT_EQ(e.s("title"), "Car spot");
    ASSERT_EQ(e.get("metadata")->arr.size(), 1u);
    EXPECT_EQ(e.get("metadata")->arr[0].arr[1].str, "Car Co AB");

    /* A whole line replaces the event at a list index. */
    r = run({"update", "--idx", "1", "--line", "\\t \\t\\t\\t00:00:09:00\\tC\\tads/spot_cola.mxf\\tCola\\t"});
    ASSERT_EQ(r.status, 0) << r.err;
    e = events({"1"})[0];
    EXPECT_EQ(e.s("title"), "Cola");
    EXPECT_EQ(e.get("metadata")->arr.size(), 0u);

    r = run({"update", "--sys-id", "999999999", "--title", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no event with sys_id 999999999"), std::string::npos) << r.err;
    r = run({"update", "--idx", "500", "--title", "x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no event at list index 500"), std::string::npos) << r.err;

    /* Delete by sys_id and by list index. */
    r = run({"delete", "--sys-id", std::to_string(inserted)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one(r).n("result"), 1);
    ev = events();
    ASSERT_EQ((long long)ev.size(), n + 2);
    for (const jv &x : ev)
        EXPECT_NE(x.n("sys_id"), inserted);
    long long first = ev[0].n("sys_id");
    r = run({"delete", "0", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    ev = events();
    ASSERT_EQ((long long)ev.size(), n);
    EXPECT_NE(ev[0].n("sys_id"), first);
}

TEST_F(CtlSim, BusCommandsAndRefusals)
{
    start();
    ASSERT_EQ(run({"load", "news_evening"}).status, 0);
    std::vector<jv> ev = events();
    ASSERT_GT(ev.size(), 4u);

    /* A stopped bus refuses a take: status 1 and the server's result named. */
    run_result r = run({"take"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("pelmora-ctl: take: refused by the server: result -1 (Operation not permitted)"),
              std::string::npos)
        << r.err;

    /* Started, the bus puts its first (follow) event on air by itself. */
    r = run({"run", "start"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one(r).get("state")->n("f_running"), 1);
    jv top = events({"0"})[0];
    EXPECT_EQ(top.n("sys_id"), ev[0].n("sys_id"));
    EXPECT_NE(top.n("flags") & 0x2, 0); /* PLAY */
    bool play = false;
    for (const jv &f : top.get("flag_names")->arr)
        play |= f.str == "PLAY";
    EXPECT_TRUE(play);

    /* take ends it and puts the next one on air. */
    r = run({"take"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one(r).n("result"), 0);
    EXPECT_EQ(events({"0"})[0].n("sys_id"), ev[1].n("sys_id"));

    /* take-n 2 jumps to the event two rows further down. */
    r = run({"take-n", "2"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(events({"0"})[0].n("sys_id"), ev[3].n("sys_id"));
    r = run({"take-n", "100"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("result -22"), std::string::npos) << r.err;

    r = run({"fallback"});
    ASSERT_EQ(r.status, 0) << r.err;
    jv fb = events({"0"})[0];
    EXPECT_EQ(fb.s("media_id"), "fallback");
    EXPECT_EQ(fb.s("title"), "FALLBACK");

    r = run({"run", "stop", "--table"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("command                run\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nf_running              0\n"), std::string::npos) << r.out;

    /* A bus the server does not have: its refusal, not "no answer". */
    r = run({"--idx", "7", "state"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("refused by the server: result -22"), std::string::npos) << r.err;
}

TEST_F(CtlSim, PlaylistsSaveCloseAppendTruncate)
{
    start();
    ASSERT_EQ(run({"load", "morning_show"}).status, 0);
    long long n = state().n("count");

    run_result r = run({"save", "ctl_copy"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one(r).n("result"), n);
    r = run({"playlists"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> names;
    for (const jv &v : lines(r))
        names.push_back(v.s("name"));
    EXPECT_NE(std::find(names.begin(), names.end(), "ctl_copy.ply"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "news_evening.ply"), names.end());
    r = run({"playlists", "--table"});
    EXPECT_EQ(r.out.compare(0, 5, "NAME\n"), 0) << r.out;

    r = run({"close"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one(r).get("state")->n("count"), 0);
    EXPECT_EQ(events().size(), 0u);

    ASSERT_EQ(run({"append", "ctl_copy"}).status, 0);
    ASSERT_EQ(run({"append", "ctl_copy"}).status, 0);
    std::vector<jv> ev = events();
    ASSERT_EQ((long long)ev.size(), 2 * n);
    EXPECT_EQ(ev[n].s("title"), ev[0].s("title"));

    /* Everything below the second event goes. */
    r = run({"truncate", "--sys-id", std::to_string(ev[1].n("sys_id")), "--below"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one(r).n("result"), 2 * n - 2);
    EXPECT_EQ(state().n("count"), 2);

    r = run({"load", "no_such_list"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("result -2"), std::string::npos) << r.err;
    r = run({"load", "../escape"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("result -22"), std::string::npos) << r.err;
    EXPECT_EQ(state().n("count"), 2);
}

TEST_F(CtlSim, SearchAndErrorLists)
{
    start();
    ASSERT_EQ(run({"load", "news_evening"}).status, 0);
    std::vector<jv> ev = events();
    ASSERT_GT(ev.size(), 4u);

    run_result r = run({"search", "headlines"});
    ASSERT_EQ(r.status, 0) << r.err;
    jv hit = one(r);
    EXPECT_EQ(hit.s("title"), "Headlines");
    EXPECT_EQ(ev[(size_t)hit.n("idx")].n("sys_id"), hit.n("sys_id"));

    /* Every break item by its tag-free media path. */
    size_t ads = 0;
    for (const jv &e : ev)
        ads += e.s("media_id").compare(0, 4, "ads/") == 0;
    r = run({"search", "ads/", "--fields", "media_id", "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<jv> hits = lines(r);
    EXPECT_EQ(hits.size(), ads);
    for (size_t i = 1; i < hits.size(); i++)
        EXPECT_GT(hits[i].n("idx"), hits[i - 1].n("idx"));

    r = run({"search", std::to_string(ev[3].n("sys_id")), "--fields", "sys_id"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(one(r).n("idx"), 3);

    r = run({"search", "headlines", "--from", std::to_string(hit.n("idx") + 1)});
    EXPECT_EQ(r.status, 1);
    r = run({"search", "no such words"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no event matches [no such words]; server result -2"), std::string::npos) << r.err;

    /* An absent clip and a range error, each in its own list. */
    r = run({"errors", "--absent"});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t absent_before = lines(r).size();
    r = run({"errors"});
    ASSERT_EQ(r.status, 0) << r.err;
    size_t errors_before = lines(r).size();

    ASSERT_EQ(run({"insert", "--at", "0", "--media", "nowhere/missing.mxf", "--dur", "00:00:10:00"}).status, 0);
    ASSERT_EQ(run({"insert", "--at", "end", "--media", "news/open.mxf", "--in", "00:00:00:00", "--out", "09:00:00:00",
                   "--title", "Too long"})
                  .status,
              0);
    r = run({"errors", "--absent"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<jv> absent = lines(r);
    ASSERT_EQ(absent.size(), absent_before + 1);
    size_t missing = 0;
    for (const jv &a : absent) {
        missing += a.s("media_id") == "nowhere/missing.mxf";
        bool named = false;
        for (const jv &f : a.get("flag_names")->arr)
            named |= f.str == "ABSENT";
        EXPECT_TRUE(named) << a.s("media_id");
    }
    EXPECT_EQ(missing, 1u);

    r = run({"errors"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<jv> errs = lines(r);
    ASSERT_EQ(errs.size(), errors_before + 1);
    size_t too_long = 0;
    for (const jv &x : errs) {
        EXPECT_NE(x.n("flags") & 0x2000100, 0);
        too_long += x.s("title") == "Too long";
    }
    EXPECT_EQ(too_long, 1u);
    /* Both masks at once: each flagged event once, in a table. */
    std::set<long long> both;
    for (const jv &x : absent)
        both.insert(x.n("sys_id"));
    for (const jv &x : errs)
        both.insert(x.n("sys_id"));
    r = run({"errors", "--mask", "RANGE_ERR|NON_CONT|ABSENT", "--table"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ((size_t)std::count(r.out.begin(), r.out.end(), '\n'), 1 + both.size()) << r.out;
    EXPECT_NE(r.out.find("RANGE_ERR"), std::string::npos);
}

TEST_F(CtlSim, BadCommandLinesNeverReachTheServer)
{
    start();
    ASSERT_EQ(run({"state"}).status, 0);
    int calls = sim_child_count(&sim, "call ");
    ASSERT_GT(calls, 0);
    const std::vector<std::vector<std::string>> bad = {
        {"frobnicate"},
        {"take", "--idx", "1"},
        {"events", "5-2"},
        {"insert", "--media", "a.mxf"},
        {"insert", "--at", "0", "--dur", "30s"},
        {"insert", "--at", "0", "--title", "tab\there"},
        {"insert", "--at", "0", "--line", "only\\tthree\\tfields"},
        {"update", "--idx", "0"},
        {"delete"},
        {"truncate", "--sys-id", "5"},
        {"errors", "--mask", "SOMETHING"},
        {"search", "x", "--fields", "everything"},
    };
    for (const auto &args : bad) {
        run_result r = run(args);
        EXPECT_EQ(r.status, 2) << args[0] << ": " << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.compare(0, 13, "pelmora-ctl: "), 0) << r.err;
    }
    run_result r = ctl({"state"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("--host HOST:PORT is required"), std::string::npos);
    r = ctl({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: pelmora-ctl"), std::string::npos);
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
    EXPECT_EQ(sim_child_count(&sim, "call "), calls);
}

TEST_F(CtlSim, QuietKeepsOnlyOurMessage)
{
    start();
    run_result loud = run({"take"});
    run_result quiet = run({"-q", "take"});
    EXPECT_EQ(loud.status, 1);
    EXPECT_EQ(quiet.status, 1);
    /* The library's own log line is there without --quiet, gone with it. */
    EXPECT_NE(loud.err.find("parser_std_response"), std::string::npos) << loud.err;
    EXPECT_EQ(quiet.err, "pelmora-ctl: take: refused by the server: result -1 (Operation not permitted)\n");
}

TEST_F(CtlSim, AServerThatNeverAnswers)
{
    start({"--hang", "PelmoraBox.GetState"});
    run_result r = run({"--timeout", "400", "state"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("no usable answer from " + sim.hostport), std::string::npos) << r.err;
    /* The environment variable the library reads works the same. */
    r = run({"state"}, "", {"PELMORA_RPC_TIMEOUT_MS=400"});
    EXPECT_EQ(r.status, 3);
}

TEST(CtlNoServer, NoUsableAnswer)
{
    int port = unused_port();
    ASSERT_GT(port, 0);
    std::string host = "127.0.0.1:" + std::to_string(port);
    for (const char *cmd : {"state", "events", "take", "playlists", "errors"}) {
        run_result r = ctl({"--host", host, cmd});
        EXPECT_EQ(r.status, 3) << cmd;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(std::string("pelmora-ctl: ") + cmd + ": no usable answer from " + host + " (result -14"),
                  std::string::npos)
            << r.err;
    }
}

} // namespace
