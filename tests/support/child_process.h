/* A child program for the tests: started with its own environment and
 * standard input, standard output and error captured to files, waited for
 * with a limit. */
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct child_process
{
    pid_t pid = -1;
    std::string out_path, err_path;
    int status = -1;
    /* Set before start: standard output goes to a pipe read from out_fd
     * instead of to a file. */
    bool pipe_out = false;
    int out_fd = -1;

    /* env: extra NAME=VALUE entries, "-NAME" removes a variable; in: the
     * standard input (empty: /dev/null's). */
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {},
               const std::string &in = "");
    /* true when the child ended within ms (a negative ms waits as long as it
     * takes); status then holds its wait status. */
    bool wait_ms(int ms);
    void kill_now();
    /* SIGTERM, then waits for the end. */
    void term();
    std::string out() const;
    std::string err() const;
    int exit_code() const;
    ~child_process();
};

std::string program_path();
