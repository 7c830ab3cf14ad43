/* The client library's connection pool for a whole test program: set up
 * before the first test (after the variables it reads once are set) and
 * released after the last, so that no pool outlives the run. One line at
 * namespace scope:
 *     const auto *const env = client_env_add("my-test");
 */
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <utility>
#include <vector>

#include "pelmora.h"

class client_env : public ::testing::Environment
{
  public:
    using vars = std::vector<std::pair<std::string, std::string>>;
    client_env(std::string name, std::string version, vars set)
        : name_(std::move(name)), version_(std::move(version)), set_(std::move(set))
    {
    }
    void SetUp() override
    {
        for (const auto &v : set_)
            setenv(v.first.c_str(), v.second.c_str(), 1);
        pelmora_init(name_.c_str(), version_.c_str());
    }
    void TearDown() override { pelmora_release(); }

  private:
    std::string name_, version_;
    vars set_;
};

/* set: environment variables (NAME, VALUE) set before the pool starts. */
inline ::testing::Environment *client_env_add(const std::string &name, const std::string &version = "0",
                                              client_env::vars set = {})
{
    return ::testing::AddGlobalTestEnvironment(new client_env(name, version, std::move(set)));
}
