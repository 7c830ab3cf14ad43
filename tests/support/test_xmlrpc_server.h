/* In-process XML-RPC server for tests: an Abyss HTTP server on 127.0.0.1 at
 * a free port that hands every call to a handler given by the test and
 * records what it received (method, XML-RPC types of the parameters, the
 * parameters themselves and the HTTP User-Agent), call by call.
 *
 * Usage:
 *   test_xmlrpc_server srv([](xmlrpc_env *env, const std::string &method,
 *                             xmlrpc_value *params) -> xmlrpc_value * {
 *       return xmlrpc_build_value(env, "{s:i}", "result", 0);
 *   });
 *   call_under_test(srv.url().c_str());
 *   EXPECT_EQ(srv.calls()[0].types, "(i6I)");
 *
 * The handler runs on the connection's own thread (one per client
 * connection, so concurrent calls run concurrently). It returns the response
 * value (the server takes that reference), or sets a fault in env to answer
 * with an XML-RPC fault. The server stops in its destructor; a handler that
 * blocks must be released by the test before that. */
#pragma once
#include <xmlrpc-c/base.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct test_xmlrpc_call
{
    std::string method;
    /* Parameter types as an xmlrpc-c format: i (i4), I (i8), b, d, s, 6
     * (base64), t (datetime), n (nil), "(...)" an array of the listed items,
     * "{name:type,...}" a struct with its members sorted by name. The whole
     * parameter list is one array, e.g. "(i((I)(I)))". */
    std::string types;
    std::string user_agent;
    std::shared_ptr<xmlrpc_value> params; /* the parameter array */
};

/* The types text of any value, in the notation above. */
std::string test_xmlrpc_types(xmlrpc_value *v);

class test_xmlrpc_server
{
  public:
    using handler_t = std::function<xmlrpc_value *(xmlrpc_env *env, const std::string &method, xmlrpc_value *params)>;

    explicit test_xmlrpc_server(handler_t handler);
    ~test_xmlrpc_server();
    test_xmlrpc_server(const test_xmlrpc_server &) = delete;
    test_xmlrpc_server &operator=(const test_xmlrpc_server &) = delete;

    int port() const { return port_; }
    std::string hostport() const; /* "127.0.0.1:PORT", as the console's options give it */
    std::string url() const;      /* "http://127.0.0.1:PORT/RPC2" */

    std::vector<test_xmlrpc_call> calls(); /* copy of everything received so far */
    size_t count(const std::string &method);
    void clear();

    /* Internal: called by the Abyss processing hook. */
    void process(const char *xml, size_t len, const char *user_agent, xmlrpc_mem_block **response);

  private:
    void accept_loop();

    handler_t handler_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int port_ = 0;
    void *server_ = nullptr; /* TServer */
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<test_xmlrpc_call> calls_;
    std::vector<int> conn_fds_;
    std::vector<std::thread> conn_threads_;
};
