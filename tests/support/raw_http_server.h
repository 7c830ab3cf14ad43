/* A loopback HTTP server for hostile-answer tests: reads each request and
 * lets the test write whatever bytes it likes as the answer (one answer per
 * connection). Header-only so that every area's tests can use it. */
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace raw_http {

/* Writes all of buf; false once the peer is gone. */
inline bool send_all(int fd, const char *buf, size_t len)
{
    while (len) {
        ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        buf += n;
        len -= (size_t)n;
    }
    return true;
}

/* A loopback HTTP server that reads each request and lets the test write
 * whatever it likes as the answer, one connection at a time per thread.
 * With set (answer_fn) a connection carries one answer; with each_request
 * it stays open for as many requests as the client sends. */
class raw_server
{
  public:
    using answer_fn = std::function<void(int fd)>;
    /* Answers one request (its body and the number of the connection that
     * carried it, from 1); false closes the connection without more. */
    using request_fn = std::function<bool(int fd, const std::string &body, int conn)>;
    std::atomic<int> accepted{0}; /* connections so far */

    raw_server()
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof a);
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(fd_, (struct sockaddr *)&a, sizeof a) || listen(fd_, 64))
            abort();
        socklen_t al = sizeof a;
        getsockname(fd_, (struct sockaddr *)&a, &al);
        port_ = ntohs(a.sin_port);
        url_ = "http://127.0.0.1:" + std::to_string(port_) + "/RPC2";
        acceptor_ = std::thread([this] { loop(); });
    }
    ~raw_server()
    {
        stop_ = 1;
        shutdown(fd_, SHUT_RDWR);
        acceptor_.join();
        std::lock_guard<std::mutex> g(lock_);
        for (int c : conns_)
            shutdown(c, SHUT_RDWR);
        for (auto &t : threads_)
            t.join();
        for (int c : conns_)
            close(c);
        close(fd_);
    }
    void set(answer_fn fn)
    {
        std::lock_guard<std::mutex> g(lock_);
        fn_ = std::move(fn);
    }
    void each_request(request_fn fn)
    {
        std::lock_guard<std::mutex> g(lock_);
        request_fn_ = std::move(fn);
    }
    const std::string &url() const { return url_; }
    int port() const { return port_; }

  private:
    void loop()
    {
        while (!stop_) {
            int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            int n = ++accepted;
            std::lock_guard<std::mutex> g(lock_);
            conns_.push_back(c);
            if (request_fn_)
                threads_.emplace_back([this, c, n] { serve_each(c, n); });
            else
                threads_.emplace_back([this, c] { serve(c); });
        }
    }
    void serve(int c)
    {
        std::string req;
        char buf[4096];
        for (;;) {
            size_t head = req.find("\r\n\r\n");
            if (head != std::string::npos) {
                size_t cl = 0;
                size_t at = req.find("Content-Length:");
                if (at != std::string::npos)
                    cl = strtoul(req.c_str() + at + 15, nullptr, 10);
                if (req.size() >= head + 4 + cl) {
                    answer_fn fn;
                    {
                        std::lock_guard<std::mutex> g(lock_);
                        fn = fn_;
                    }
                    fn(c);
                    return; /* one answer per connection: the client reconnects */
                }
            }
            ssize_t n = recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            req.append(buf, (size_t)n);
        }
    }

    void serve_each(int c, int n)
    {
        std::string in;
        char buf[8192];
        for (;;) {
            size_t head = in.find("\r\n\r\n");
            size_t cl = 0;
            if (head != std::string::npos) {
                size_t at = in.find("Content-Length:");
                if (at != std::string::npos && at < head)
                    cl = strtoul(in.c_str() + at + 15, nullptr, 10);
            }
            if (head == std::string::npos || in.size() < head + 4 + cl) {
                ssize_t got = recv(c, buf, sizeof buf, 0);
                if (got <= 0)
                    break;
                in.append(buf, (size_t)got);
                continue;
            }
            std::string body = in.substr(head + 4, cl);
            in.erase(0, head + 4 + cl);
            request_fn fn;
            {
                std::lock_guard<std::mutex> g(lock_);
                fn = request_fn_;
            }
            if (!fn(c, body, n))
                break;
        }
        shutdown(c, SHUT_RDWR);
    }

    int fd_ = -1;
    int port_ = 0;
    std::atomic<int> stop_{0};
    std::string url_;
    std::thread acceptor_;
    std::mutex lock_;
    answer_fn fn_;
    request_fn request_fn_;
    std::vector<int> conns_;
    std::vector<std::thread> threads_;
};

/* An HTTP 200 answer carrying body as XML. */
inline void answer_body(int fd, const std::string &body)
{
    std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\nConnection: close\r\n\r\n";
    if (send_all(fd, head.data(), head.size()))
        send_all(fd, body.data(), body.size());
}

} // namespace raw_http
