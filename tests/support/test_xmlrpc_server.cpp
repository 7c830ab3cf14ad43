/* In-process XML-RPC test server: Abyss connection handling on sockets we
 * accept ourselves, so that every connection can be woken and joined when
 * the test stops the server. */
#include "test_xmlrpc_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include <xmlrpc-c/abyss.h>
#include <xmlrpc-c/server.h>
#include <xmlrpc-c/server_abyss.h>

std::string test_xmlrpc_types(xmlrpc_value *v)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    std::string out;
    switch (xmlrpc_value_type(v)) {
    case XMLRPC_TYPE_INT:
        out = "i";
        break;
    case XMLRPC_TYPE_I8:
        out = "I";
        break;
    case XMLRPC_TYPE_BOOL:
        out = "b";
        break;
    case XMLRPC_TYPE_DOUBLE:
        out = "d";
        break;
    case XMLRPC_TYPE_DATETIME:
        out = "t";
        break;
    case XMLRPC_TYPE_STRING:
        out = "s";
        break;
    case XMLRPC_TYPE_BASE64:
        out = "6";
        break;
    case XMLRPC_TYPE_NIL:
        out = "n";
        break;
    case XMLRPC_TYPE_ARRAY: {
        out = "(";
        int n = xmlrpc_array_size(&env, v);
        for (int i = 0; i < n; i++) {
            xmlrpc_value *item = nullptr;
            xmlrpc_array_read_item(&env, v, i, &item);
            out += test_xmlrpc_types(item);
            xmlrpc_DECREF(item);
        }
        out += ")";
        break;
    }
    case XMLRPC_TYPE_STRUCT: {
        std::vector<std::string> members;
        int n = xmlrpc_struct_size(&env, v);
        for (int i = 0; i < n; i++) {
            xmlrpc_value *key = nullptr, *val = nullptr;
            xmlrpc_struct_read_member(&env, v, (unsigned)i, &key, &val);
            const char *k = nullptr;
            xmlrpc_read_string(&env, key, &k);
            members.push_back(std::string(k) + ":" + test_xmlrpc_types(val));
            free((void *)k);
            xmlrpc_DECREF(key);
            xmlrpc_DECREF(val);
        }
        std::sort(members.begin(), members.end());
        out = "{";
        for (size_t i = 0; i < members.size(); i++)
            out += (i ? "," : "") + members[i];
        out += "}";
        break;
    }
    default:
        out = "?";
        break;
    }
    xmlrpc_env_clean(&env);
    return out;
}

static void xml_processor(xmlrpc_env *envP, void *arg, const char *callXml, size_t callXmlLen, TSession *session,
                          xmlrpc_mem_block **responseXmlPP)
{
    const TRequestInfo *info = nullptr;
    SessionGetRequestInfo(session, &info);
    auto *srv = static_cast<test_xmlrpc_server *>(arg);
    srv->process(callXml, callXmlLen, info && info->useragent ? info->useragent : "", responseXmlPP);
    (void)envP;
}

void test_xmlrpc_server::process(const char *xml, size_t len, const char *user_agent, xmlrpc_mem_block **response)
{
    xmlrpc_env env;
    xmlrpc_env_init(&env);
    *response = xmlrpc_mem_block_new(&env, 0);
    const char *method = nullptr;
    xmlrpc_value *params = nullptr;
    xmlrpc_parse_call(&env, xml, len, &method, &params);
    xmlrpc_value *result = nullptr;
    if (!env.fault_occurred) {
        test_xmlrpc_call c;
        c.method = method;
        c.types = test_xmlrpc_types(params);
        c.user_agent = user_agent;
        xmlrpc_INCREF(params);
        c.params = std::shared_ptr<xmlrpc_value>(params, [](xmlrpc_value *v) { xmlrpc_DECREF(v); });
        {
            std::lock_guard<std::mutex> g(lock_);
            calls_.push_back(c);
        }
        result = handler_(&env, c.method, params);
    }
    xmlrpc_env out;
    xmlrpc_env_init(&out);
    if (env.fault_occurred || !result) {
        if (!env.fault_occurred)
            xmlrpc_env_set_fault(&env, XMLRPC_INTERNAL_ERROR, "test handler returned nothing");
        xmlrpc_serialize_fault(&out, *response, &env);
    } else
        xmlrpc_serialize_response2(&out, *response, result, xmlrpc_dialect_i8);
    if (result)
        xmlrpc_DECREF(result);
    if (params)
        xmlrpc_DECREF(params);
    free((void *)method);
    xmlrpc_env_clean(&out);
    xmlrpc_env_clean(&env);
}

test_xmlrpc_server::test_xmlrpc_server(handler_t handler) : handler_(std::move(handler))
{
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (bind(listen_fd_, (struct sockaddr *)&a, sizeof(a)) || listen(listen_fd_, 128))
        throw std::runtime_error("test_xmlrpc_server: cannot listen on 127.0.0.1");
    socklen_t al = sizeof(a);
    getsockname(listen_fd_, (struct sockaddr *)&a, &al);
    port_ = ntohs(a.sin_port);
    if (pipe2(stop_pipe_, O_CLOEXEC))
        throw std::runtime_error("test_xmlrpc_server: pipe");

    TServer *srv = new TServer;
    if (!ServerCreateNoAccept(srv, "test_xmlrpc_server", nullptr, nullptr))
        throw std::runtime_error("test_xmlrpc_server: ServerCreateNoAccept failed");
    ServerSetKeepaliveTimeout(srv, 30);
    ServerSetKeepaliveMaxConn(srv, 1000000);
    xmlrpc_server_abyss_set_handler2(srv, "/RPC2", xml_processor, this, 0, false);
    server_ = srv;
    acceptor_ = std::thread([this] { accept_loop(); });
}

void test_xmlrpc_server::accept_loop()
{
    for (;;) {
        struct pollfd p[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(p, 2, -1) < 0)
            continue;
        if (p[1].revents)
            return;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard<std::mutex> g(lock_);
        conn_fds_.push_back(fd);
        conn_threads_.emplace_back([this, fd] {
            TSocket *sock = nullptr;
            SocketUnixCreateFd(fd, &sock);
            if (sock) {
                const char *err = nullptr;
                ServerRunConn2(static_cast<TServer *>(server_), sock, &err);
                if (err)
                    free((void *)err);
                SocketDestroy(sock);
            }
        });
    }
}

test_xmlrpc_server::~test_xmlrpc_server()
{
    if (write(stop_pipe_[1], "x", 1) < 0) {
    }
    if (acceptor_.joinable())
        acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> g(lock_);
        for (int fd : conn_fds_)
            shutdown(fd, SHUT_RDWR);
        threads.swap(conn_threads_);
    }
    for (auto &t : threads)
        t.join();
    for (int fd : conn_fds_)
        close(fd);
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    if (server_) {
        ServerFree(static_cast<TServer *>(server_));
        delete static_cast<TServer *>(server_);
    }
}

std::string test_xmlrpc_server::hostport() const
{
    return "127.0.0.1:" + std::to_string(port_);
}

std::string test_xmlrpc_server::url() const
{
    return "http://" + hostport() + "/RPC2";
}

std::vector<test_xmlrpc_call> test_xmlrpc_server::calls()
{
    std::lock_guard<std::mutex> g(lock_);
    return calls_;
}

size_t test_xmlrpc_server::count(const std::string &method)
{
    std::lock_guard<std::mutex> g(lock_);
    size_t n = 0;
    for (auto &c : calls_)
        n += c.method == method;
    return n;
}

void test_xmlrpc_server::clear()
{
    std::lock_guard<std::mutex> g(lock_);
    calls_.clear();
}
