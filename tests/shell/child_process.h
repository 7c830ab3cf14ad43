/* A child program for the shell tests: started with its own environment,
 * standard output and error captured to files, waited for with a limit. */
#pragma once
#include <sys/types.h>

#include <string>
#include <vector>

struct child_process
{
    pid_t pid = -1;
    std::string out_path, err_path;
    int status = -1;

    /* env: extra NAME=VALUE entries, "-NAME" removes a variable. */
    bool start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    /* true when the child ended within ms; status then holds its wait status. */
    bool wait_ms(int ms);
    void kill_now();
    std::string out() const;
    std::string err() const;
    int exit_code() const;
    ~child_process();
};

std::string program_path();
