// Tests for the service-control runner and the feature lines.
#include "dovecot/service_control.h"

#include "tests/dovecot/test_support.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace dovecot_test;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

TEST(FeatureLinesTest, OnlyExactBooleansStandBare) {
    CaptureStdout();
    print_feature("a", "true");
    print_feature("b", "false");
    print_feature("c", "TRUE");
    print_feature("d", "Dovecot");
    print_feature("e", "");
    EXPECT_EQ("$features['a'] = true;\n"
              "$features['b'] = false;\n"
              "$features['c'] = \"TRUE\";\n"
              "$features['d'] = \"Dovecot\";\n"
              "$features['e'] = \"\";\n",
              GetCapturedStdout());
}

TEST(FeatureLinesTest, ArraysAndStatus) {
    const char *const pairs[][2] = {{"k1", "v1"}, {"k2", "v2"}};
    CaptureStdout();
    EXPECT_EQ(0, print_feature_array("list", 2, pairs));
    print_feature_array("none", 0, pairs);
    print_feature_array("negative", -1, nullptr);
    EXPECT_EQ(0, print_status(1));
    print_status(0);
    EXPECT_EQ("$features['list'] = array('k1'=>'v1','k2'=>'v2',);\n"
              "$features['none'] = array();\n"
              "$features['negative'] = array();\n"
              "is stopped\n"
              "is running\n",
              GetCapturedStdout());
}

class ServiceRunnerTest : public testing::Test {
protected:
    ScratchDir dir;
    FakeVelkarc velkarc{dir};
};

TEST_F(ServiceRunnerTest, RunsTheScriptWithServiceAndAction) {
    EXPECT_EQ(0, invoke_velkarc_keep_fail_msg("dovecot", "reload-or-restart"));
    EXPECT_EQ(0, invoke_velkarc("dovecot", "restart"));
    EXPECT_EQ("dovecot reload-or-restart\ndovecot restart\n", velkarc.calls());
}

TEST_F(ServiceRunnerTest, ReportingFormCopiesOutputAndReports) {
    velkarc.failWith(3, "reload went wrong\n");
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(3, invoke_velkarc_keep_fail_msg("dovecot", "reload-or-restart"));
    const std::string out = GetCapturedStdout();
    const std::string err = GetCapturedStderr();
    const std::string report = (dir / "velkarc") + " execution failed (no output)";
    EXPECT_EQ(0u, err.find("reload went wrong\n" + report)) << err;
    EXPECT_TRUE(contains(out, report)) << out;
    EXPECT_FALSE(contains(out, "reload went wrong")) << out;
}

TEST_F(ServiceRunnerTest, ReportingFormShowsTheScriptsErrors) {
    velkarc.failWith(1, "", "doveadm: Fatal: reload failed\n");
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(1, invoke_velkarc_keep_fail_msg("dovecot", "reload-or-restart"));
    GetCapturedStdout();
    EXPECT_TRUE(contains(GetCapturedStderr(),
                         (dir / "velkarc") + " execution failed:\ndoveadm: Fatal: reload failed"));
}

TEST_F(ServiceRunnerTest, QuietFormsWriteNothing) {
    velkarc.failWith(5, "out\n", "err\n");
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(5, invoke_velkarc("dovecot", "reload-or-restart"));
    EXPECT_EQ("", GetCapturedStdout());
    EXPECT_EQ("", GetCapturedStderr());
}

TEST_F(ServiceRunnerTest, RegistrationProgramArguments) {
    set_service_control_paths(nullptr, (dir / "velkarc").c_str());
    EXPECT_EQ(0, enable_service("dovecot"));
    EXPECT_EQ(0, disable_service("dovecot"));
    set_service_control_paths(nullptr, REGISTER_SERVICE_PATH);
    EXPECT_EQ("--enable dovecot\n--disable dovecot\n", velkarc.calls());
}

TEST_F(ServiceRunnerTest, MissingProgramIsAFailure) {
    set_service_control_paths((dir / "missing").c_str(), nullptr);
    CaptureStderr();
    CaptureStdout();
    EXPECT_NE(0, invoke_velkarc_keep_fail_msg("dovecot", "reload-or-restart"));
    GetCapturedStdout();
    EXPECT_TRUE(contains(GetCapturedStderr(), (dir / "missing") + " execution failed"));
}

} // namespace
