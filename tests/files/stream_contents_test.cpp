// Whole streams and files read into one buffer, whatever their size.
#include "lib/files/stream_contents.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

TEST(StreamContents, ReadsAcrossEveryGrowthStep) {
    for (size_t size : {0, 1, 1022, 1023, 1024, 2047, 2048, 70000}) {
        std::string text(size, 'c');
        if (size > 10)
            text[5] = '\0';
        FILE *stream = tmpfile();
        fwrite(text.data(), 1, text.size(), stream);
        rewind(stream);
        size_t len = 12345;
        char *contents = get_stream_contents(stream, &len);
        fclose(stream);
        ASSERT_NE(contents, nullptr);
        EXPECT_EQ(len, size);
        EXPECT_EQ(std::string(contents, len), text);
        EXPECT_EQ(contents[len], '\0');
        free(contents);
    }
    EXPECT_EQ(get_file_contents("/velka/no/such/file", nullptr), nullptr);
    char *passwd = get_file_contents("/etc/passwd", nullptr);
    ASSERT_NE(passwd, nullptr);
    EXPECT_EQ(std::string(passwd).rfind("root:", 0), 0u);
    free(passwd);
}
