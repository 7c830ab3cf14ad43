#include "child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

static std::string slurp(const std::string &p)
{
    std::ifstream f(p);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

std::string program_path()
{
    return std::string(PELMORA_BUILD_BIN_DIR) + "/PelmoraBoxUI";
}

bool child_process::start(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                          const std::string &in)
{
    char tmpl_out[] = "/tmp/pelmora-test-out-XXXXXX";
    char tmpl_err[] = "/tmp/pelmora-test-err-XXXXXX";
    char tmpl_in[] = "/tmp/pelmora-test-in-XXXXXX";
    int p[2] = {-1, -1};
    if (pipe_out && pipe2(p, O_CLOEXEC) != 0)
        return false;
    int fo = pipe_out ? p[1] : mkstemp(tmpl_out), fe = mkstemp(tmpl_err);
    int fi = in.empty() ? open("/dev/null", O_RDONLY) : mkstemp(tmpl_in);
    if (fo < 0 || fe < 0 || fi < 0)
        return false;
    if (!in.empty()) {
        unlink(tmpl_in);
        if (write(fi, in.data(), in.size()) != (ssize_t)in.size())
            return false;
        lseek(fi, 0, SEEK_SET);
    }
    if (!pipe_out)
        out_path = tmpl_out;
    err_path = tmpl_err;
    pid = fork();
    if (pid == 0) {
        dup2(fo, 1);
        dup2(fe, 2);
        dup2(fi, 0);
        for (const auto &e : env) {
            if (!e.empty() && e[0] == '-')
                unsetenv(e.c_str() + 1);
            else
                putenv(strdup(e.c_str()));
        }
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data()); /* a bare name is looked for on PATH */
        _exit(127);
    }
    close(fo);
    close(fe);
    close(fi);
    out_fd = p[0];
    return pid > 0;
}

bool child_process::wait_ms(int ms)
{
    if (pid <= 0)
        return true;
    if (ms < 0) {
        waitpid(pid, &status, 0);
        pid = -1;
        return true;
    }
    for (int waited = 0; waited <= ms; waited += 10) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            pid = -1;
            return true;
        }
        usleep(10000);
    }
    return false;
}

void child_process::term()
{
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, &status, 0);
        pid = -1;
    }
}

void child_process::kill_now()
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        pid = -1;
    }
}

std::string child_process::out() const
{
    return slurp(out_path);
}
std::string child_process::err() const
{
    return slurp(err_path);
}

int child_process::exit_code() const
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

child_process::~child_process()
{
    kill_now();
    if (out_fd >= 0)
        close(out_fd);
    if (!out_path.empty())
        unlink(out_path.c_str());
    if (!err_path.empty())
        unlink(err_path.c_str());
}
