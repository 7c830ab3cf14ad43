// The jobs client against a raw answer server: the caller's limit holds,
// a negative result comes back without the list being read, an element that
// does not decompose ends the list, and hostile answers (wrong types, huge
// texts, lists that are no lists, truncated documents) crash nothing and
// overrun no field.
#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <vector>

#include "client_env.h"
#include "pelmora.h"
#include "pelmora_jobs.h"
#include "raw_http_server.h"

namespace {

const auto *const env = client_env_add("jobs-client-test");

std::string member(const std::string &name, const std::string &value)
{
    return "<member><name>" + name + "</name><value>" + value + "</value></member>";
}
std::string str(const std::string &s)
{
    return "<string>" + s + "</string>";
}
std::string i4(int v)
{
    return "<i4>" + std::to_string(v) + "</i4>";
}

std::string transcoder_job(int id, bool with_osd, const std::string &text = "x")
{
    std::string m = member("id", i4(id)) + member("updated", "<i8>1700000000</i8>") +
                    member("created", "<i8>1700000000</i8>") + member("f_delete", i4(0));
    for (const char *k : {"src_object", "src_local", "dst_object", "dst_local", "in", "dur", "factory", "profile",
                          "error", "audio_map", "timecode", "transfer_target"})
        m += member(k, str(text));
    m += member("progress", i4(5)) + member("state", i4(1)) + member("audio_conf", i4(6)) +
         member("transfer_f_delete", i4(0));
    if (with_osd)
        m += member("osd", str("TC"));
    return "<value><struct>" + m + "</struct></value>";
}

std::string answer(int result, const std::string &list_value)
{
    return "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>" + member("result", i4(result)) +
           member("list", list_value) + "</struct></value></param></params></methodResponse>";
}

std::string array(const std::vector<std::string> &items)
{
    std::string a = "<array><data>";
    for (const auto &i : items)
        a += i;
    return a + "</data></array>";
}

struct served
{
    raw_http::raw_server srv;
    explicit served(const std::string &body)
    {
        srv.set([body](int fd) { raw_http::answer_body(fd, body); });
    }
};

TEST(JobsClient, LimitNegativeResultAndAnElementWithoutOsd)
{
    std::vector<std::string> jobs;
    for (int i = 0; i < 150; i++)
        jobs.push_back(transcoder_job(i + 1, true));
    std::vector<pelmora_filetranscoder_request_t> r(101);
    {
        served s(answer(0, array(jobs)));
        memset((void *)r.data(), 0, r.size() * sizeof r[0]);
        EXPECT_EQ(100, pelmora_filetranscoder_requests_list(s.srv.url().c_str(), -1, 0, 100, r.data()));
        EXPECT_EQ(100, r[99].id);
        EXPECT_STREQ("TC", r[99].osd);
        EXPECT_EQ(6, r[99].audio_conf);
        EXPECT_EQ(1700000000, r[99].created);
        EXPECT_EQ(0, r[100].id);
    }
    {
        // A negative result comes back as it is; the list (garbage) is not read.
        served s(answer(-5, str("not a list")));
        memset((void *)r.data(), 0, r.size() * sizeof r[0]);
        EXPECT_EQ(-5, pelmora_filetranscoder_requests_list(s.srv.url().c_str(), -1, 0, 100, r.data()));
        EXPECT_EQ(0, r[0].id);
    }
    {
        // The third element lacks "osd": the list ends there with the
        // server's result.
        served s(answer(0, array({transcoder_job(1, true), transcoder_job(2, true), transcoder_job(3, false),
                                  transcoder_job(4, true)})));
        memset((void *)r.data(), 0, r.size() * sizeof r[0]);
        EXPECT_EQ(0, pelmora_filetranscoder_requests_list(s.srv.url().c_str(), -1, 0, 100, r.data()));
        EXPECT_EQ(0, r[3].id);
    }
}

TEST(JobsClient, HostileAnswersCrashNothingAndOverrunNothing)
{
    std::string huge(5000, 'A'); // past every field, inside the size limit
    const std::vector<std::string> bodies = {
        answer(0, array({transcoder_job(1, true, huge)})),
        answer(0, str("list")),
        answer(0, array({"<value><i4>3</i4></value>"})),
        answer(0, array({"<value><struct>" + member("id", str("seven")) + "</struct></value>"})),
        "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>" + member("result", i4(0)),
        "<?xml version=\"1.0\"?><!DOCTYPE a [<!ENTITY b \"c\">]><methodResponse/>",
        answer(0, array({transcoder_job(1, true, "&#0;")})),
        "<?xml version=\"1.0\"?><methodResponse><params><param><value><struct>" + member("result", "<i8>1x</i8>") +
            "</struct></value></param></params></methodResponse>",
        "HTTP garbage",
    };
    for (const std::string &b : bodies) {
        served s(b);
        std::vector<pelmora_filetranscoder_request_t> tr(2);
        memset((void *)tr.data(), 0, tr.size() * sizeof tr[0]);
        int n = pelmora_filetranscoder_requests_list(s.srv.url().c_str(), -1, 0, 1, tr.data());
        EXPECT_LE(n, 1) << b.substr(0, 200);
        EXPECT_EQ(0, tr[1].id);
        EXPECT_LT(strnlen(tr[0].src.object, sizeof tr[0].src.object), sizeof tr[0].src.object);
        EXPECT_LT(strnlen(tr[0].error, sizeof tr[0].error), sizeof tr[0].error);
        std::vector<pelmora_filetransfer_request_t> fr(1);
        memset((void *)fr.data(), 0, sizeof fr[0]);
        EXPECT_LE(pelmora_filetransfer_requests_list(s.srv.url().c_str(), -1, 0, 1, fr.data()), 1);
        pelmora_filetransfer_target_t t;
        memset(&t, 0, sizeof t);
        EXPECT_LE(pelmora_filetransfer_targets_list(s.srv.url().c_str(), 0, 1, &t), 1);
        EXPECT_LT(strnlen(t.passw, sizeof t.passw), sizeof t.passw);
        EXPECT_LT(pelmora_filetransfer_request_cancel(s.srv.url().c_str(), 1), 1);
    }
    // A huge text is cut to its field, terminated.
    served s(bodies[0]);
    pelmora_filetranscoder_request_t one;
    memset(&one, 0, sizeof one);
    ASSERT_EQ(1, pelmora_filetranscoder_requests_list(s.srv.url().c_str(), -1, 0, 1, &one));
    EXPECT_EQ(sizeof one.src.object - 1, strlen(one.src.object));
    EXPECT_EQ(sizeof one.profile - 1, strlen(one.profile));
}

} // namespace
