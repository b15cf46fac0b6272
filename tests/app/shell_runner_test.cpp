// The runner against real children.

#include <cstdlib>
#include <system_error>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "app/services/ShellRunner.h"
#include "tests/app/AppTestSupport.h"

namespace {

using namespace brisvale;
using namespace std::chrono_literals;
using apptest::await;
using ::testing::HasSubstr;
using ::testing::Not;

ShellRunner runner;

std::string sh(const std::string& script, ChildEnvironment environment = ChildEnvironment::system,
               std::chrono::milliseconds limit = 20s) {
    return await(runner.run("/bin/sh", {"-c", script}, environment, limit));
}

ShellError failureOf(const std::string& script, std::chrono::milliseconds limit = 20s) {
    try {
        sh(script, ChildEnvironment::system, limit);
    } catch (const ShellError& error) {
        return error;
    }
    ADD_FAILURE() << "no ShellError from: " << script;
    return {};
}

// Both pipes are drained past their capacity; failures describe themselves, invalid UTF-8 is
// repaired, and a missing program throws.
TEST(ShellRunner, OutputFailuresMissingProgramsAndEnvironments) {
    const std::string out =
        sh("head -c 1000000 /dev/zero | tr '\\0' o; "
           "head -c 1000000 /dev/zero | tr '\\0' e >&2; echo end");
    EXPECT_EQ(out.size(), 1000004u);
    EXPECT_TRUE(out.ends_with("end\n"));
    EXPECT_EQ(sh("echo only-stderr >&2"), "");
    ShellError busy = failureOf("printf ' busy \\n' >&2; exit 3");
    EXPECT_EQ(busy.status, 3);
    EXPECT_EQ(busy.stderrText, " busy \n");
    EXPECT_EQ(busy.description(), "busy");
    EXPECT_EQ(failureOf("exit 1").description(), "sh exited with 1");
    EXPECT_EQ(failureOf("kill -9 $$").status, 128 + 9);
    EXPECT_EQ(sh("printf 'a\\377b'"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(failureOf("printf 'x\\300' >&2; exit 2").stderrText, "x\xEF\xBF\xBD");
    EXPECT_THROW(await(runner.run("/nonexistent/tool", {})), std::system_error);
    runner.runQuietly("/nonexistent/tool", {});  // returns normally

    // Tools see a fixed environment; the mount helper sees the app's.
    ::setenv("LD_PRELOAD", "", 1);
    ::setenv("BRISVALE_TEST_MARK", "inherited", 1);
    const std::string system = await(runner.run("/usr/bin/env", {}));
    EXPECT_THAT(system, Not(HasSubstr("LD_PRELOAD")));
    EXPECT_THAT(system, Not(HasSubstr("BRISVALE_TEST_MARK")));
    EXPECT_THAT(system, HasSubstr("PATH=/usr/sbin:/usr/bin:/sbin:/bin\n"));
    EXPECT_THAT(await(runner.run("/usr/bin/env", {}, ChildEnvironment::inherited)),
                HasSubstr("BRISVALE_TEST_MARK=inherited"));
    ::unsetenv("LD_PRELOAD");
}

// A child past its limit is killed; a quiet run is bounded too, with the processes the child
// started; a helper that goes to the background while its child keeps the pipes open ends the
// run with the helper, not with the child.
TEST(ShellRunner, RunsEndInTime) {
    const auto start = std::chrono::steady_clock::now();
    const ShellError error = failureOf("echo started >&2; exec sleep 100", 300ms);
    EXPECT_TRUE(error.timedOut);
    EXPECT_EQ(error.description(), "sh did not finish in time");
    runner.runQuietly("/bin/sh", {"-c", "sleep 100 & sleep 100"}, 300ms);
    EXPECT_EQ(sh("sleep 30 & echo served"), "served\n");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

}  // namespace
