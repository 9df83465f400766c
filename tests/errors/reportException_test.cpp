// reportException: the "Fatal error" line on uerr, with a traceback when the exception
// carries one.
#include "lib/errors/reportException.h"

#include "lib/errors/Exc.h"
#include "lib/errors/SystemError.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class Xyz {
public:
    void Failed(); // tag only
};

namespace {

struct TracedError : std::runtime_error, velka::Traceback {
    TracedError() : std::runtime_error("traced"), velka::Traceback(0) {}
};

// Reports through a std::exception reference, as main does.
void report(const std::exception &e, std::string &out, std::string &err) {
    CaptureStdout();
    CaptureStderr();
    velka::reportException(e);
    err = GetCapturedStderr();
    out = GetCapturedStdout();
}

} // namespace

TEST(ReportException, RuntimeErrorIsOneLineOnBothStreams) {
    std::string out, err;
    report(std::runtime_error("x"), out, err);
    EXPECT_EQ(err, "Fatal error: std::runtime_error(x)\n");
    EXPECT_EQ(out, err);
}

TEST(ReportException, NamesTheDynamicType) {
    std::string out, err;
    velka::Exc<&Xyz::Failed, velka::ExDefault> exc("Xyz::ExFailed", "run %1% failed", 30,
                                                   VELKA_THROW_SITE);
    exc % 3;
    report(exc, out, err);
    EXPECT_EQ(err, "Fatal error: velka::Exc<&Xyz::Failed, velka::ExDefault>(run 3 failed)\n");

    report(velka::SystemError("", 2), out, err);
    EXPECT_EQ(err, std::string("Fatal error: velka::SystemError(") + strerror(2) + ")\n");
}

TEST(ReportException, TracebackFollowsWhenCarried) {
    std::string out, err;
    report(TracedError(), out, err);
    const std::string head = "Fatal error: (anonymous namespace)::TracedError(traced)\nTraceback";
    EXPECT_EQ(err.rfind(head, 0), 0u) << err;
    EXPECT_EQ(out, err);
}

TEST(DemangleTypeName, SkipsStarAndKeepsUnknownNames) {
    EXPECT_EQ(velka::demangleTypeName("*N5velka11SystemErrorE"), "velka::SystemError");
    EXPECT_EQ(velka::demangleTypeName("not a mangled name"), "not a mangled name");
}
