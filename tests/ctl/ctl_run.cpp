/* pelmora-ctl runner of the program tests: see ctl_run.h. */
#include "ctl_run.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::string slurp_fd(int fd)
{
    std::string s;
    char buf[4096];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, (size_t)n);
    return s;
}

/* An unlinked temporary file holding content, read from its start. */
int temp_fd(const std::string &content = "")
{
    char name[] = "/tmp/pelmora_ctl_run_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return -1;
    unlink(name);
    if (!content.empty() && write(fd, content.data(), content.size()) != (ssize_t)content.size()) {
        close(fd);
        return -1;
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

} // namespace

ctl_run_result ctl_run(const std::vector<std::string> &args, const std::string &in, const std::vector<std::string> &env)
{
    ctl_run_result r;
    std::string bin = std::string(PELMORA_BUILD_BIN_DIR) + "/pelmora-ctl";
    int fin = temp_fd(in), fout = temp_fd(), ferr = temp_fd();
    if (fin < 0 || fout < 0 || ferr < 0) {
        for (int fd : {fin, fout, ferr})
            if (fd >= 0)
                close(fd);
        ADD_FAILURE() << "no temporary files for pelmora-ctl's input and output";
        return r;
    }
    std::vector<char *> argv;
    argv.push_back(const_cast<char *>(bin.c_str()));
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fin, 0);
        dup2(fout, 1);
        dup2(ferr, 2);
        for (const std::string &e : env)
            putenv(const_cast<char *>(e.c_str()));
        execv(bin.c_str(), argv.data());
        _exit(127);
    }
    int st = 0;
    if (pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    r.out = slurp_fd(fout);
    r.err = slurp_fd(ferr);
    close(fin);
    close(fout);
    close(ferr);
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << r.err;
    return r;
}
