/* Runs a pelmora-ctl command line inside the test program (its client
 * library set up by the test), with output and messages captured: for the
 * suites that answer from in-process servers. */
#pragma once
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "ctl.h"
#include "ctl_run.h"

/* args without the program name; a command line the parser refuses is a
 * test failure. */
inline ctl_run_result ctl_run_inproc(const std::vector<std::string> &args)
{
    std::vector<std::string> all = {"pelmora-ctl"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &a : all)
        argv.push_back(&a[0]);
    ctl_args_t a;
    std::string err;
    EXPECT_EQ(ctl_args_parse((int)argv.size(), argv.data(), &a, &err, stdout), 0) << err;
    ctl_run_result o;
    char *ob = nullptr, *eb = nullptr;
    size_t ol = 0, el = 0;
    FILE *fo = open_memstream(&ob, &ol), *fe = open_memstream(&eb, &el);
    o.status = ctl_run(&a, fo, fe);
    fclose(fo);
    fclose(fe);
    o.out.assign(ob, ol);
    o.err.assign(eb, el);
    free(ob);
    free(eb);
    return o;
}
