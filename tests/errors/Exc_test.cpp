// Exc and its bases: formatting, fallback text, copies, visiting, distinct tags.
#include "lib/errors/Exc.h"
#include "lib/errors/reportException.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

class Xyz {
public:
    void Failed(); // tag only
};

class Other {
public:
    void Failed(); // tag only
};

namespace {

using XyzFailed = velka::Exc<&Xyz::Failed, velka::ExDefault>;
using OtherFailed = velka::Exc<&Other::Failed, velka::ExDefault>;

XyzFailed makeExc(const std::string &tmpl) {
    return XyzFailed("Xyz::ExFailed", tmpl, 30, "void Xyz::run() const", "lib/xyz/Xyz", 76);
}

std::string boostError(const std::string &tmpl, int fed) {
    try {
        boost::format f(tmpl);
        for (int i = 0; i < fed; ++i)
            f % i;
        return f.str();
    } catch (const std::exception &e) {
        return e.what();
    }
}

struct Recorder : velka::ExInfoVisitor {
    std::vector<std::string> calls;
    void setType(const std::string &s) override { calls.push_back("type:" + s); }
    void setMessage(const std::string &s) override { calls.push_back("message:" + s); }
    void setFunction(const std::string &s) override { calls.push_back("function:" + s); }
    void setFile(const std::string &s) override { calls.push_back("file:" + s); }
    void setLine(int n) override { calls.push_back("line:" + std::to_string(n)); }
    void beginIncluded() override { calls.push_back("included"); }
    void setSeverity(int n) override { calls.push_back("severity:" + std::to_string(n)); }
};

} // namespace

TEST(Exc, WithoutArgumentsTheTemplateIsLiteral) {
    XyzFailed e = makeExc("Execution of %1% failed with %2%.");
    EXPECT_STREQ(e.what(), "Execution of %1% failed with %2%.");
    EXPECT_STREQ(e.kindName(), "Xyz::ExFailed");
    EXPECT_EQ(e.getSeverity(), 30);
}

TEST(Exc, ArgumentsFillTheTemplate) {
    XyzFailed e = makeExc("Execution of %1% failed with return code %2%.\n%3%");
    e % std::string("'ls' -l") % -1 % std::string("");
    EXPECT_STREQ(e.what(), "Execution of 'ls' -l failed with return code -1.\n");
    EXPECT_STREQ(e.what(),
                 "Execution of 'ls' -l failed with return code -1.\n"); // recomposed alike
}

TEST(Exc, FormattingProblemsBecomeTheFallbackText) {
    const std::string tmpl = "need %1% and %2%";
    XyzFailed tooFew = makeExc(tmpl);
    tooFew % 1;
    EXPECT_EQ(tooFew.what(), boostError(tmpl, 1) + ": " + tmpl);

    // A surplus argument or a broken template must not replace the exception being
    // thrown; they show in the text instead.
    XyzFailed tooMany = makeExc(tmpl);
    EXPECT_NO_THROW(tooMany % 1 % 2 % 3);
    EXPECT_EQ(tooMany.what(), boostError(tmpl, 3) + ": " + tmpl);

    XyzFailed broken = makeExc("bad %");
    EXPECT_NO_THROW(broken % 1);
    EXPECT_EQ(broken.what(), boostError("bad %", 0) + ": bad %");
}

TEST(Exc, CopiesReadLikeTheSource) {
    XyzFailed formatted = makeExc("value %1%");
    formatted % 5;
    XyzFailed failing = makeExc("value %1% %2%");
    failing % 5;

    for (const XyzFailed *source : {&formatted, &failing}) {
        XyzFailed copy(*source);
        EXPECT_STREQ(copy.what(), source->what());
        std::unique_ptr<velka::IExTraceable> cloned(source->clone());
        EXPECT_STREQ(cloned->what(), source->what());
        EXPECT_EQ(typeid(*cloned), typeid(XyzFailed));
        EXPECT_EQ(cloned->getSeverity(), 30);
    }

    try {
        try {
            throw makeExc("thrown %1%") % std::string("text");
        } catch (const std::exception &) {
            throw;
        }
    } catch (const XyzFailed &e) {
        EXPECT_STREQ(e.what(), "thrown text");
        EXPECT_EQ(e.getLine(), 76);
        EXPECT_EQ(e.getFile(), "lib/xyz/Xyz");
    }
}

TEST(Exc, DistinctTagsAreDistinctTypes) {
    bool caughtAsOther = false;
    bool caughtAsXyz = false;
    try {
        try {
            throw makeExc("x");
        } catch (const OtherFailed &) {
            caughtAsOther = true;
        }
    } catch (const XyzFailed &) {
        caughtAsXyz = true;
    }
    EXPECT_FALSE(caughtAsOther);
    EXPECT_TRUE(caughtAsXyz);
    EXPECT_EQ(velka::demangleTypeName(typeid(XyzFailed).name()),
              "velka::Exc<&Xyz::Failed, velka::ExDefault>");
}

TEST(Exc, VisitorSeesFieldsInOrderThenIncluded) {
    velka::ExTraceableBase<velka::ExDefault> cause("Cause", "disk full", 10);
    XyzFailed e = makeExc("copy of %1% failed");
    e % std::string("a");
    e.include(cause);

    Recorder r;
    e.accept(r);
    std::vector<std::string> expected = {"function:void Xyz::run() const",
                                         "file:lib/xyz/Xyz",
                                         "line:76",
                                         "type:Xyz::ExFailed",
                                         "severity:30",
                                         "message:copy of a failed",
                                         "included",
                                         "type:Cause",
                                         "severity:10",
                                         "message:disk full"};
    EXPECT_EQ(r.calls, expected);

    // The included exception is owned: copies carry their own.
    std::unique_ptr<velka::IExTraceable> cloned(e.clone());
    Recorder rc;
    cloned->accept(rc);
    EXPECT_EQ(rc.calls, expected);
}

TEST(Exc, ThrowSiteMacroNamesTheFunction) {
    XyzFailed e("Xyz::ExFailed", "m", 1, VELKA_THROW_SITE);
    int line = __LINE__ - 1;
    EXPECT_NE(e.getFunction().find("TestBody"), std::string::npos) << e.getFunction();
    EXPECT_EQ(e.getFile(), __FILE__);
    EXPECT_EQ(e.getLine(), line);
}
