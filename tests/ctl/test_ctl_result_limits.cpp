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
#include "pelmora.h"
#include "test_xmlrpc_server.h"

namespace {

struct run_result
{
    int status = -1;
    std::string out, err;
};

std::string slurp(int fd)
{
    std::string s;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, (size_t)n);
    return s;
}

int temp_fd()
{
    char name[] = "/tmp/pelmora-ctl-limits-XXXXXX";
    int fd = mkstemp(name);
    if (fd >= 0)
        unlink(name);
    return fd;
}

/* Runs the built pelmora-ctl with args; output and messages captured. */
run_result ctl(const std::vector<std::string> &args)
{
    run_result r;
    std::string bin = std::string(PELMORA_BUILD_BIN_DIR) + "/pelmora-ctl";
    int fout = temp_fd(), ferr = temp_fd();
    if (fout < 0 || ferr < 0)
        return r;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0)
    {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(fout, 1);
        dup2(ferr, 2);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    r.out = slurp(fout);
    r.err = slurp(ferr);
    close(fout);
    close(ferr);
    /* A sanitizer finding also ends the program with status 1, the refusal
     * status: look for its report as well. */
    EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    return r;
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
    for (size_t nl; (nl = err.find('\n', start)) != std::string::npos; start = nl + 1)
    {
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
    for (const auto &c : cases)
    {
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
