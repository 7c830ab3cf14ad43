/* pelmora-ctl, the program, against a loopback server whose results lie at
 * the edge of int: the most negative result has no positive counterpart,
 * yet it is a refusal like any other and must be reported as one line, with
 * the refusal status, and without undefined arithmetic on the way. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <vector>

#include "ctl_args.h"
#include "ctl_run.h"
#include "pelmora.h"
#include "test_xmlrpc_server.h"

namespace {

using run_result = ctl_run_result;

run_result ctl(const std::vector<std::string> &args)
{
    return ctl_run(args);
}

/* A server answering every call with {result: R} and nothing else. */
struct refusing
{
    std::atomic<int> result;
    test_xmlrpc_server srv;
    explicit refusing(int r)
        : result(r), srv([this](xmlrpc_env *env, const std::string &, xmlrpc_value *) -> xmlrpc_value * {
              return xmlrpc_build_value(env, "{s:i}", "result", (xmlrpc_int32)result.load());
          })
    {
    }
};

/* The program's own messages (the client library logs its diagnostics
 * ahead of them), each a whole line; false when any line of err holds a
 * control character or the text does not end in a newline. */
bool own_lines(const std::string &err, std::vector<std::string> *own)
{
    own->clear();
    if (!err.empty() && err.back() != '\n')
        return false;
    size_t start = 0;
    for (size_t nl; (nl = err.find('\n', start)) != std::string::npos; start = nl + 1) {
        std::string line = err.substr(start, nl - start + 1);
        for (size_t i = 0; i + 1 < line.size(); i++)
            if ((unsigned char)line[i] < 0x20 || line[i] == 0x7f)
                return false;
        if (line.compare(0, 12, "pelmora-ctl:") == 0)
            own->push_back(line);
    }
    return true;
}

TEST(CtlResultLimits, TheMostNegativeResultIsAnOrdinaryRefusal)
{
    refusing s(INT_MIN);
    const std::string why = std::string("(") + pelmora_result_text(INT_MIN) + ")";
    ASSERT_GT(why.size(), 2u);
    /* state reads the result itself; take and search go through the client
     * library; search names what it looked for. */
    const struct
    {
        std::vector<std::string> args;
        std::string line;
    } cases[] = {
        {{"state"}, "pelmora-ctl: state: refused by the server: result -2147483648 " + why + "\n"},
        {{"take"}, "pelmora-ctl: take: refused by the server: result -2147483648 " + why + "\n"},
        {{"search", "weather"},
         "pelmora-ctl: search: no event matches [weather]; server result -2147483648 " + why + "\n"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"--host", s.srv.hostport()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run_result r = ctl(args);
        EXPECT_EQ(r.status, CTL_EXIT_REFUSED) << c.args[0] << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.args[0];
        std::vector<std::string> own;
        EXPECT_TRUE(own_lines(r.err, &own)) << c.args[0] << ": " << r.err;
        EXPECT_EQ(own, std::vector<std::string>{c.line}) << c.args[0];
    }
    EXPECT_GE(s.srv.count("PelmoraBox.GetState"), 1u);
    EXPECT_GE(s.srv.count("PelmoraBox.Take"), 1u);
    EXPECT_GE(s.srv.count("PelmoraBox.SearchEvent"), 1u);
}

TEST(CtlResultLimits, OrdinaryRefusalsKeepTheSystemsText)
{
    refusing s(-5);
    run_result r = ctl({"--host", s.srv.hostport(), "state"});
    std::vector<std::string> own;
    EXPECT_EQ(r.status, CTL_EXIT_REFUSED);
    EXPECT_TRUE(own_lines(r.err, &own)) << r.err;
    EXPECT_EQ(own, std::vector<std::string>{std::string("pelmora-ctl: state: refused by the server: result -5 (") +
                                            strerror(5) + ")\n"});

    s.result = -(INT_MAX);
    r = ctl({"--host", s.srv.hostport(), "take"});
    EXPECT_EQ(r.status, CTL_EXIT_REFUSED);
    EXPECT_TRUE(own_lines(r.err, &own)) << r.err;
    EXPECT_EQ(own, std::vector<std::string>{std::string("pelmora-ctl: take: refused by the server: result "
                                                        "-2147483647 (") +
                                            strerror(INT_MAX) + ")\n"});

    /* -14 stays the missing answer, with its own status. */
    s.result = -14;
    r = ctl({"--host", s.srv.hostport(), "take"});
    EXPECT_EQ(r.status, CTL_EXIT_NO_ANSWER);
    EXPECT_TRUE(own_lines(r.err, &own)) << r.err;
    ASSERT_EQ(own.size(), 1u) << r.err;
    EXPECT_NE(own[0].find("no usable answer"), std::string::npos) << own[0];
}

} // namespace
