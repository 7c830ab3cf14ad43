/* Runs the built pelmora-ctl for the program tests: arguments, standard
 * input and extra environment in; exit status, output and messages out. */
#pragma once
#include <string>
#include <vector>

struct ctl_run_result
{
    int status = -1; /* exit status, -1 when it did not exit normally */
    std::string out;
    std::string err;
};

/* Runs pelmora-ctl with args, `in` on its standard input (else /dev/null's
 * empty input) and env entries NAME=VALUE. A sanitizer report in its
 * messages is a test failure: a finding ends the program with status 1,
 * which some cases expect as the refusal status. */
ctl_run_result ctl_run(const std::vector<std::string> &args, const std::string &in = "",
                       const std::vector<std::string> &env = {});
