/* pelmora-ctl's library, IO and job commands against loopback servers that
 * answer badly: every command ends with status 3 on an answer it cannot
 * use, lists that never end and searches that go back are cut, a wait
 * does not take another job's record for its own, server texts cannot
 * break the output, and a target's password never reaches it. */
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "client_env.h"
#include "ctl.h"
#include "ctl_inproc.h"
#include "ctl_json_test.h"
#include "pelmora.h"
#include "raw_http_server.h"
#include "test_xmlrpc_server.h"

namespace {

::testing::Environment *const pool_env = client_env_add("pelmora-ctl-test");

using outcome = ctl_run_result;

/* Runs a command line in-process against hostport, output and messages
 * captured. */
outcome run(const std::string &hostport, const std::vector<std::string> &cmd)
{
    std::vector<std::string> args = {"--lib", hostport, "--io", hostport};
    args.insert(args.end(), cmd.begin(), cmd.end());
    return ctl_run_inproc(args);
}

/* Every command of the three groups, each as a script would give it. */
const std::vector<std::vector<std::string>> all_commands = {
    {"lib", "list", "/news"},
    {"lib", "list", "/news", "--offset", "0", "--limit", "5"},
    {"lib", "stat", "/news/a.mov"},
    {"lib", "search", "a", "--all"},
    {"lib", "search-dur", "1", "20"},
    {"lib", "mkdir", "/d"},
    {"lib", "rename", "/a.mov", "/b.mov"},
    {"lib", "move", "/a.mov", "/d"},
    {"lib", "delete", "/a.mov"},
    {"lib", "rmdir", "/d"},
    {"lib", "subclips", "/a.mov"},
    {"lib", "subclip-add", "/a.mov", "1", "2", "t"},
    {"lib", "subclip-delete", "/a.mov", "0"},
    {"lib", "capacity"},
    {"lib", "journal"},
    {"io", "status"},
    {"io", "status", "--follow", "--interval", "10", "--count", "2"},
    {"io", "settings"},
    {"io", "set", "keyer", "1"},
    {"io", "save"},
    {"io", "modes"},
    {"io", "set-mode", "720p50", "h264"},
    {"io", "set-mode", "1", "2"},
    {"io", "play"},
    {"io", "play", "--speed", "-2"},
    {"io", "pause"},
    {"io", "stop"},
    {"io", "seek", "5"},
    {"io", "cue", "/a.mov", "--in", "5"},
    {"transfer", "targets"},
    {"transfer", "list"},
    {"transfer", "add", "--target", "t", "--local", "/a.mov", "--remote", "a.mov", "--wait"},
    {"transfer", "cancel", "1"},
    {"transfer", "restart", "1"},
    {"transfer", "delete", "1"},
    {"transfer", "wait", "1"},
    {"transcode", "list", "--state", "done"},
    {"transcode", "add", "--src", "/a.mov", "--dst", "/b.mov", "--factory", "f", "--profile", "p"},
    {"transcode", "cancel", "1"},
    {"transcode", "restart", "1"},
    {"transcode", "delete", "1"},
    {"transcode", "wait", "1"},
};

std::string hostport_of(const std::string &url)
{
    return url.substr(7, url.size() - 7 - 5); /* http://...:PORT/RPC2 */
}

void expect_no_answer(const std::string &kind, const std::string &hostport)
{
    for (const auto &cmd : all_commands) {
        std::string name = cmd[0] + " " + cmd[1];
        outcome o = run(hostport, cmd);
        EXPECT_EQ(o.status, 3) << kind << ": " << name << ": " << o.err;
        EXPECT_EQ(o.out, "") << kind << ": " << name;
        EXPECT_NE(o.err.find("pelmora-ctl: " + name + ": "), std::string::npos) << kind << ": " << o.err;
    }
}

TEST(CtlSysHostile, EveryCommandEndsWithStatusThreeOnAnAnswerItCannotUse)
{
    /* Answers that parse as XML-RPC but carry no usable result. */
    const struct
    {
        const char *kind;
        std::function<xmlrpc_value *(xmlrpc_env *)> answer;
    } shapes[] = {
        {"fault",
         [](xmlrpc_env *env) -> xmlrpc_value * {
             xmlrpc_env_set_fault(env, 42, "no");
             return nullptr;
         }},
        {"bare string", [](xmlrpc_env *env) { return xmlrpc_string_new(env, "result"); }},
        {"result as text", [](xmlrpc_env *env) { return xmlrpc_build_value(env, "{s:s}", "result", "0"); }},
        {"array", [](xmlrpc_env *env) { return xmlrpc_build_value(env, "(ii)", 0, 0); }},
    };
    for (const auto &sh : shapes) {
        test_xmlrpc_server srv(
            [&sh](xmlrpc_env *env, const std::string &, xmlrpc_value *) -> xmlrpc_value * { return sh.answer(env); });
        expect_no_answer(sh.kind, srv.hostport());
        EXPECT_GE(srv.calls().size(), all_commands.size()) << sh.kind;
    }

    /* Bytes that are no answer at all, and a malformed 64-bit value the
     * guard must stop before it reaches the parser. */
    const char *bodies[] = {
        "not xml at all\n",
        "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct><member><name>result</name>"
        "<value><i8>99999999999999999999999</i8></value></member></struct></value></param></params>"
        "</methodResponse>",
    };
    for (const char *body : bodies) {
        raw_http::raw_server raw;
        raw.set([body](int fd) { raw_http::answer_body(fd, body); });
        expect_no_answer(body, hostport_of(raw.url()));
    }
}

/* A server whose answers the test scripts per method. */
struct scripted
{
    std::mutex lock;
    std::map<std::string, std::function<xmlrpc_value *(xmlrpc_env *, xmlrpc_value *)>> answers;
    test_xmlrpc_server srv;
    scripted()
        : srv([this](xmlrpc_env *env, const std::string &m, xmlrpc_value *p) -> xmlrpc_value * {
              std::function<xmlrpc_value *(xmlrpc_env *, xmlrpc_value *)> f;
              {
                  std::lock_guard<std::mutex> g(lock);
                  auto it = answers.find(m);
                  if (it != answers.end())
                      f = it->second;
              }
              if (f)
                  return f(env, p);
              xmlrpc_env_set_fault(env, -501, "not scripted");
              return nullptr;
          })
    {
    }
    outcome operator()(const std::vector<std::string> &cmd) { return run(srv.hostport(), cmd); }
};

xmlrpc_value *lib_state(xmlrpc_env *env, int64_t amend)
{
    return xmlrpc_build_value(env, "{s:i,s:I,s:i,s:I,s:I,s:()}", "result", 0, "amend_idx", (xmlrpc_int64)amend,
                              "total_items", 0, "free_space", (xmlrpc_int64)0, "total_space", (xmlrpc_int64)0,
                              "amend_list");
}

xmlrpc_value *item_struct(xmlrpc_env *env, const std::string &name, const char *duration = "10")
{
    return xmlrpc_build_value(env, "{s:s,s:s,s:s}", "name", name.c_str(), "duration", duration, "format_name", "mov");
}

/* The i-th argument of a call as an int. */
int int_param(xmlrpc_env *env, xmlrpc_value *p, int i)
{
    xmlrpc_value *v = nullptr;
    xmlrpc_array_read_item(env, p, i, &v);
    xmlrpc_int32 x = 0;
    xmlrpc_read_int(env, v, &x);
    xmlrpc_DECREF(v);
    return x;
}

TEST(CtlSysHostile, ListsThatNeverEndAndSearchesThatGoBackAreCut)
{
    scripted s;
    s.answers["PelmoraLib.LibState"] = [](xmlrpc_env *env, xmlrpc_value *) { return lib_state(env, 7); };
    s.answers["PelmoraLib.LibListDirs"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:i,s:()}", "result", 0, "list");
    };
    /* Every page is the first page again. */
    s.answers["PelmoraLib.LibListItems"] = [](xmlrpc_env *env, xmlrpc_value *p) {
        int limit = int_param(env, p, 2);
        xmlrpc_value *list = xmlrpc_array_new(env);
        for (int i = 0; i < limit; i++) {
            xmlrpc_value *it = item_struct(env, "clip" + std::to_string(i) + ".mov");
            xmlrpc_array_append_item(env, list, it);
            xmlrpc_DECREF(it);
        }
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", list);
        xmlrpc_DECREF(list);
        return v;
    };
    outcome o = s({"lib", "list", "/news", "--page", "5"});
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_NE(o.err.find("the server gave the item [clip0.mov] twice across pages"), std::string::npos) << o.err;

    /* A page larger than asked for. */
    s.answers["PelmoraLib.LibListItems"] = [](xmlrpc_env *env, xmlrpc_value *) {
        xmlrpc_value *a = item_struct(env, "a.mov"), *b = item_struct(env, "b.mov");
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:(SS)}", "result", 0, "list", a, b);
        xmlrpc_DECREF(a);
        xmlrpc_DECREF(b);
        return v;
    };
    o = s({"lib", "list", "/news", "--offset", "0", "--limit", "1"});
    EXPECT_EQ(o.status, 3) << o.err;
    EXPECT_NE(o.err.find("2 items to a page of 1"), std::string::npos) << o.err;

    /* A change counter that moves on every read: printed, with a warning. */
    std::atomic<int> amend{0};
    s.answers["PelmoraLib.LibState"] = [&](xmlrpc_env *env, xmlrpc_value *) { return lib_state(env, ++amend); };
    o = s({"lib", "list", "/news", "--offset", "0", "--limit", "2"});
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_NE(o.err.find("kept changing"), std::string::npos) << o.err;
    EXPECT_EQ(amend.load(), 6); /* three reads, each between two states */

    /* A search that answers the same hit again would run for ever. */
    s.answers["PelmoraLib.LibSearchItem"] = [](xmlrpc_env *env, xmlrpc_value *) {
        return xmlrpc_build_value(env, "{s:i,s:s}", "result", 4, "item", "/news/a.mov");
    };
    o = s({"lib", "search", "a", "--all"});
    EXPECT_EQ(o.status, 3);
    EXPECT_EQ(o.out, "{\"pos\":4,\"path\":\"/news/a.mov\"}\n");
    EXPECT_NE(o.err.find("went back (position 4 after 4)"), std::string::npos) << o.err;

    /* A job list whose every page is the same full page. */
    s.answers["PelmoraFileTranscoder.RequestsList"] = [](xmlrpc_env *env, xmlrpc_value *p) {
        int limit = int_param(env, p, 2);
        xmlrpc_value *list = xmlrpc_array_new(env);
        for (int i = 0; i < limit; i++) {
            xmlrpc_value *j = xmlrpc_build_value(
                env, "{s:i,s:I,s:I,s:i,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:i,s:i,s:s,s:s,s:i,s:s,s:s,s:s,s:i}", "id",
                i + 1, "updated", (xmlrpc_int64)0, "created", (xmlrpc_int64)0, "f_delete", 0, "src_object", "/a",
                "src_local", "", "dst_object", "/b", "dst_local", "", "in", "", "dur", "", "factory", "f", "profile",
                "p", "progress", 10, "state", 1, "error", "", "audio_map", "", "audio_conf", 0, "timecode", "", "osd",
                "", "transfer_target", "", "transfer_f_delete", 0);
            xmlrpc_array_append_item(env, list, j);
            xmlrpc_DECREF(j);
        }
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:A}", "result", 0, "list", list);
        xmlrpc_DECREF(list);
        return v;
    };
    o = s({"transcode", "list"});
    EXPECT_EQ(o.status, 3);
    EXPECT_NE(o.err.find("does not end"), std::string::npos) << o.err;
    /* A wait for a job that is not in such a list ends too. */
    o = s({"transcode", "wait", "500"});
    EXPECT_EQ(o.status, 3) << o.err;
}

xmlrpc_value *transfer_item(xmlrpc_env *env, int id, int state, const char *error)
{
    xmlrpc_value *item =
        xmlrpc_build_value(env, "{s:i,s:s,s:i,s:i,s:s,s:s,s:i,s:i,s:s,s:I,s:I}", "id", id, "target", "archive",
                           "f_delete", 0, "f_import", 0, "object_local", "/a.mov", "object_remote", "a.mov", "progress",
                           50, "state", state, "error", error, "updated", (xmlrpc_int64)1, "created", (xmlrpc_int64)1);
    xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "item", item);
    xmlrpc_DECREF(item);
    return v;
}

TEST(CtlSysHostile, AWaitTakesOnlyItsOwnJobInADefinedState)
{
    scripted s;
    const struct
    {
        int id, state;
        const char *error;
        int status;
        const char *msg;
    } cases[] = {
        {7, 2, "", 3, "no usable answer"}, /* another job's record */
        {1, 9, "", 3, "a state the server does not define (9)"},
        {1, -1, "", 3, "a state the server does not define (-1)"},
        {1, 4, "", 1, "job 1 was cancelled"},
        {1, 3, "disk\nfull", 1, "job 1 ended in error: disk\\nfull\n"},
        {1, 2, "", 0, ""},
    };
    for (const auto &c : cases) {
        s.answers["PelmoraFileTransfer.RequestGet"] = [&c](xmlrpc_env *env, xmlrpc_value *) {
            return transfer_item(env, c.id, c.state, c.error);
        };
        outcome o = s({"transfer", "wait", "1", "--interval", "10"});
        EXPECT_EQ(o.status, c.status) << c.id << "/" << c.state << ": " << o.err;
        EXPECT_NE(o.err.find(c.msg), std::string::npos) << o.err;
        EXPECT_EQ(o.err.find("\nfull"), std::string::npos) << o.err;
    }
}

TEST(CtlSysHostile, ServerTextsCannotBreakTheOutputAndPasswordsNeverShow)
{
    scripted s;
    const char *secret = "hunter2-Secret";
    s.answers["PelmoraFileTransfer.TargetsList"] = [secret](xmlrpc_env *env, xmlrpc_value *) {
        xmlrpc_value *t = xmlrpc_build_value(env, "{s:s,s:s,s:s,s:s,s:s,s:s,s:s,s:s}", "id", "ftp1", "type", "ftp",
                                             "title", "Archive\nFTP", "host", "10.0.0.9", "port", "21", "path", "/in",
                                             "login", "playout", "passw", secret);
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:(S)}", "result", 0, "list", t);
        xmlrpc_DECREF(t);
        return v;
    };
    for (const char *fmt : {"--json", "--table"}) {
        outcome o = s({fmt, "transfer", "targets"});
        EXPECT_EQ(o.status, 0) << o.err;
        EXPECT_EQ(o.out.find(secret), std::string::npos) << o.out;
        EXPECT_EQ(o.err.find(secret), std::string::npos) << o.err;
        if (std::string(fmt) == "--json") {
            jv t;
            ASSERT_TRUE(jv_parse(o.out.substr(0, o.out.size() - 1), &t)) << o.out;
            EXPECT_TRUE(t.get("password")->b);
            EXPECT_EQ(t.s("title"), "Archive\nFTP");
        } else
            EXPECT_NE(o.out.find("Archive\\nFTP"), std::string::npos) << o.out;
    }

    /* An item whose texts hold control characters and quotes, and a
     * duration that is no number (read as none). */
    s.answers["PelmoraLib.LibMetaItem"] = [](xmlrpc_env *env, xmlrpc_value *) {
        xmlrpc_value *it = item_struct(env, "a\n\x7f\"\\b.mov", "nan");
        xmlrpc_value *v = xmlrpc_build_value(env, "{s:i,s:S}", "result", 0, "item", it);
        xmlrpc_DECREF(it);
        return v;
    };
    outcome o = s({"lib", "stat", "/a.mov"});
    ASSERT_EQ(o.status, 0) << o.err;
    jv it;
    ASSERT_TRUE(jv_parse(o.out.substr(0, o.out.size() - 1), &it)) << o.out;
    EXPECT_EQ(it.n("duration"), 0);
    EXPECT_EQ(it.s("name"), "a\n\x7f\"\\b.mov");
    o = s({"--table", "lib", "stat", "/a.mov"});
    EXPECT_NE(o.out.find("a\\n\\x7f\"\\b.mov"), std::string::npos) << o.out;
}

} // namespace
