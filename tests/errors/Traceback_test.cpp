// Traceback: capture limits, symbol lines with demangled names, raw-address fallback.
#include "lib/errors/Traceback.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace tb_probe {

__attribute__((noinline)) velka::Traceback capture(std::uint64_t skip) {
    velka::Traceback tb(skip);
    asm volatile("" ::: "memory"); // keep this frame from being folded into the caller
    return tb;
}

} // namespace tb_probe

namespace {

std::string print(const velka::Traceback &tb) {
    std::ostringstream os;
    os << tb;
    return os.str();
}

size_t countLines(const std::string &text) {
    size_t n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

} // namespace

TEST(Traceback, PrintsDemangledFrames) {
    velka::Traceback tb = tb_probe::capture(0);
    ASSERT_GT(tb.getCount(), 0u);
    ASSERT_LE(tb.getCount(), velka::Traceback::MAX_FRAMES);

    std::string text = print(tb);
    ASSERT_EQ(text.rfind("Traceback:\n", 0), 0u) << text;
    EXPECT_EQ(countLines(text), 1 + tb.getCount());
    EXPECT_NE(text.find("tb_probe::capture("), std::string::npos) << text;
    EXPECT_EQ(print(tb), text); // symbol lines are kept
}

TEST(Traceback, SkipLeavesOutLeadingFrames) {
    velka::Traceback tb = tb_probe::capture(1);
    ASSERT_GT(tb.getCount(), 1u);
    EXPECT_EQ(tb.getSkip(), 1u);
    EXPECT_EQ(countLines(print(tb)), tb.getCount());
}

TEST(Traceback, SkipBeyondDepthPrintsOnlyTheAddressHeading) {
    velka::Traceback tb(1000);
    EXPECT_EQ(tb.getSkip(), tb.getCount());
    EXPECT_EQ(print(tb), "Traceback addresses:\n");
}

TEST(Traceback, CopiesPrintOnTheirOwn) {
    velka::Traceback original = tb_probe::capture(0);
    std::string text = print(original);
    velka::Traceback copy(original);
    EXPECT_EQ(print(copy), text);
}
