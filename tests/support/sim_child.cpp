/* pelmora-sim as a child process: spawn, port discovery, output capture, stop. */
#include "sim_child.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>

std::string sim_child_bin(void)
{
#ifdef PELMORA_BUILD_BIN_DIR
    return std::string(PELMORA_BUILD_BIN_DIR) + "/pelmora-sim";
#else
    return "pelmora-sim";
#endif
}

static void sim_child_read(sim_child_t *c)
{
    std::string part;
    char buf[4096];
    for (;;) {
        ssize_t n = read(c->out_fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        part.append(buf, (size_t)n);
        size_t nl;
        while ((nl = part.find('\n')) != std::string::npos) {
            std::lock_guard<std::mutex> g(c->lock);
            c->lines.push_back(part.substr(0, nl));
            part.erase(0, nl + 1);
        }
    }
}

int sim_child_start(sim_child_t *c, const std::string &bin, const std::vector<std::string> &args)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -errno;
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid < 0)
        return -errno;
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    close(fds[1]);
    c->pid = pid;
    c->out_fd = fds[0];
    c->lines.clear();
    c->reader = std::thread(sim_child_read, c);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        {
            std::lock_guard<std::mutex> g(c->lock);
            for (const std::string &l : c->lines)
                if (sscanf(l.c_str(), "automation port %d", &c->port) == 1) {
                    c->hostport = "127.0.0.1:" + std::to_string(c->port);
                    c->url = "http://" + c->hostport + "/RPC2";
                    return 0;
                }
        }
        int status;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            c->pid = -1;
            if (c->reader.joinable())
                c->reader.join();
            close(c->out_fd);
            c->out_fd = -1;
            return -1;
        }
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
    sim_child_stop(c);
    return -110;
}

int sim_child_stop(sim_child_t *c)
{
    int status = -1;
    if (c->pid > 0) {
        kill(c->pid, SIGTERM);
        int waited = 0;
        for (; waited < 1000; waited++) {
            if (waitpid(c->pid, &status, WNOHANG) == c->pid)
                break;
            struct timespec ts = {0, 10 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
        if (waited == 1000) {
            kill(c->pid, SIGKILL);
            waitpid(c->pid, &status, 0);
            status = -1;
        }
        c->pid = -1;
    }
    if (c->reader.joinable())
        c->reader.join();
    if (c->out_fd >= 0)
        close(c->out_fd);
    c->out_fd = -1;
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int sim_child_count(sim_child_t *c, const std::string &prefix)
{
    std::lock_guard<std::mutex> g(c->lock);
    int n = 0;
    for (const std::string &l : c->lines)
        if (l.compare(0, prefix.size(), prefix) == 0)
            n++;
    return n;
}
