/* pelmora-ctl runner of the program tests: see ctl_run.h. */
#include "ctl_run.h"

#include <gtest/gtest.h>

#include "child_process.h"

ctl_run_result ctl_run(const std::vector<std::string> &args, const std::string &in, const std::vector<std::string> &env)
{
    ctl_run_result r;
    std::vector<std::string> argv = {std::string(PELMORA_BUILD_BIN_DIR) + "/pelmora-ctl"};
    argv.insert(argv.end(), args.begin(), args.end());
    child_process p;
    if (!p.start(argv, env, in)) {
        ADD_FAILURE() << "no temporary files for pelmora-ctl's input and output";
        return r;
    }
    p.wait_ms(-1);
    r.status = p.exit_code();
    r.out = p.out();
    r.err = p.err();
    EXPECT_EQ(r.err.find("Sanitizer"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("runtime error:"), std::string::npos) << r.err;
    return r;
}
