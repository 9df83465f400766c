// The report shows text from the database, files and the command line safely:
// nothing that acts on a terminal, and only valid UTF-8 in JSON.
#include "authcheck/report_output.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using namespace velka::authcheck;

struct Case {
    const char *what;
    std::string message, inTable, inJson;
};

const Case CASES[] = {
    {"a stray Latin-1 byte", "caf\xE9", "caf\\xE9", "caf\\\\xE9"},
    {"a terminal escape", "\x1B[31mred", "\\x1B[31mred", "\\u001b[31mred"},
    {"a C1 control character",
     "\xC2\x9B"
     "2J",
     "\\u009B2J", "\\u009b2J"},
    {"a cut-off sequence", "\xE2\x82", "\\xE2\\x82", "\\\\xE2\\\\x82"},
    {"an overlong slash", "\xC0\xAF", "\\xC0\\xAF", "\\\\xC0\\\\xAF"},
    {"valid UTF-8", "caf\xC3\xA9 \xF0\x9F\x93\xAC", "caf\xC3\xA9 \xF0\x9F\x93\xAC",
     "caf\xC3\xA9 \xF0\x9F\x93\xAC"},
    {"quotes and backslashes", "a \"b\" \\c", "a \"b\" \\c", "a \\\"b\\\" \\\\c"},
};

TEST(ReportOutput, TextIsShownSafely) {
    for (const Case &c : CASES) {
        const Results results = {{"user.account", Status::Warning, c.message}};
        std::ostringstream table, json;
        printTable(table, results);
        printJson(json, results);
        EXPECT_NE(table.str().find("warning  " + c.inTable + "\n"), std::string::npos)
            << c.what << ": " << table.str();
        EXPECT_NE(json.str().find("\"message\": \"" + c.inJson + "\"}"), std::string::npos)
            << c.what << ": " << json.str();
    }
}

} // namespace
