// Tests of the session mail data reader: its results and log lines, the readiness
// check, normalisation, the session object's life cycle and the debug dump.
#include "maildata/mail_db_data.h"

#include "tests/log/log_capture.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <syslog.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

std::vector<LogLine> &logged = LogCapture::lines();

// A pipe whose read end is a stream; the write end stays open until closeWriter().
class Pipe {
public:
    Pipe() {
        int fds[2];
        if (pipe(fds) != 0)
            std::abort();
        reader = fdopen(fds[0], "r");
        writer_ = fds[1];
    }
    ~Pipe() {
        closeWriter();
        fclose(reader);
    }
    void write(const std::string &text) {
        ASSERT_EQ(::write(writer_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeWriter() {
        if (writer_ >= 0)
            close(writer_);
        writer_ = -1;
    }

    FILE *reader;

private:
    int writer_;
};

int readDocument(const std::string &text) {
    Pipe pipe;
    pipe.write(text);
    pipe.closeWriter();
    return read_session_mail_db_info(pipe.reader, 0);
}

const char MINIMAL[] =
    R"({"domain": {"name": "a.com", "dom_aliases": [], "maillists": [], "mails": []},
        "certificates": []})";

class SessionMailDb : public ::testing::Test {
protected:
    void TearDown() override { free_session_mail_db_info(); }

    LogCapture log;
};

// Decoding has put NUL bytes into the buffer, so its size comes from the caller.
bool inBuffer(const char *text, size_t size) {
    const char *start = session_mail_db_json;
    return text >= start && text < start + size;
}

TEST_F(SessionMailDb, ReadsAndNormalises) {
    const std::string text = R"({
        "domain": {
            "name": "Example.COM", "dom_aliases": ["Example.NET"], "maillists": ["News"],
            "mails": [
                {"name": "John", "mbox_quota": 5, "mbox_quota_unit": "KB", "aliases": ["JD"]},
                {"name": "zero", "mbox_quota": 0, "mbox_quota_unit": "TB", "aliases": []},
                {"name": "none", "aliases": []},
                {"name": "big", "mbox_quota": 8388607, "mbox_quota_unit": "TB", "aliases": []}
            ]
        },
        "certificates": [{"name": "Mail.Example.COM", "certfile": "/etc/SSL/Mail.pem"}]
    })";
    ASSERT_EQ(readDocument(text), 0);
    EXPECT_TRUE(logged.empty());
    const mail_db_data_t *d = session_mail_db_info;
    ASSERT_NE(d, nullptr);
    ASSERT_NE(session_mail_db_json, nullptr);
    EXPECT_STREQ(d->domain_name, "example.com");
    EXPECT_STREQ(d->domain_aliases.items[0], "example.net");
    EXPECT_STREQ(d->maillists.items[0], "News");
    EXPECT_STREQ(d->mails.items[0].name, "john");
    EXPECT_STREQ(d->mails.items[0].aliases.items[0], "jd");
    EXPECT_EQ(d->mails.items[0].mbox_quota, 5120);
    EXPECT_STREQ(d->mails.items[0].mbox_quota_unit, "KB");
    EXPECT_EQ(d->mails.items[1].mbox_quota, 0);
    EXPECT_EQ(d->mails.items[2].mbox_quota, -1);
    EXPECT_EQ(d->mails.items[3].mbox_quota, 8388607 * 1099511627776LL);
    EXPECT_STREQ(d->certificates.items[0].name, "mail.example.com");
    EXPECT_STREQ(d->certificates.items[0].certfile, "/etc/SSL/Mail.pem");
    EXPECT_TRUE(inBuffer(d->domain_name, text.size()));
    EXPECT_TRUE(inBuffer(d->certificates.items[0].certfile, text.size()));
    EXPECT_EQ(get_session_mail_db_info(), d);
}

TEST_F(SessionMailDb, ParseErrorIsLoggedAndLeavesNothing) {
    EXPECT_EQ(readDocument(""), SJ_ERROR_OBJECT_EXPECTED);
    EXPECT_EQ(session_mail_db_info, nullptr);
    EXPECT_EQ(session_mail_db_json, nullptr);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].priority, LOG_ERR);
    EXPECT_EQ(logged[0].text, "Session mail DB info parsing error: JSON object is expected. "
                              "Error occured at offset 0, character '\\x00'. ");

    logged.clear();
    std::string text = MINIMAL;
    text.replace(text.find("a.com"), 5, "a_b.com");
    EXPECT_EQ(readDocument(text), SJ_ERROR_CONSTRAINT);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].text.rfind("Session mail DB info parsing error: Custom JSON value "
                                   "constraint failed: Domain name is not valid. Error occured "
                                   "at offset " +
                                       std::to_string(text.find("a_b.com") + 8),
                                   0),
              0u)
        << logged[0].text;
    EXPECT_EQ(session_mail_db_info, nullptr);
}

TEST_F(SessionMailDb, SecondReadIsRefusedUntilReleased) {
    ASSERT_EQ(readDocument(MINIMAL), 0);
    mail_db_data_t *first = session_mail_db_info;
    EXPECT_EQ(readDocument(MINIMAL), -2);
    EXPECT_EQ(session_mail_db_info, first);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0], (LogLine{LOG_ERR, "Session mail DB info have already been "
                                           "initialized. Probably a programming error."}));

    free_session_mail_db_info();
    EXPECT_EQ(session_mail_db_info, nullptr);
    EXPECT_EQ(session_mail_db_json, nullptr);
    free_session_mail_db_info();
    EXPECT_EQ(readDocument(MINIMAL), 0);

    // An object made empty on demand counts as read data too.
    free_session_mail_db_info();
    mail_db_data_t *empty = get_session_mail_db_info();
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->domain_name, nullptr);
    EXPECT_EQ(empty->certificates.count, 0u);
    EXPECT_EQ(get_session_mail_db_info(), empty);
    EXPECT_EQ(readDocument(MINIMAL), -2);
}

TEST_F(SessionMailDb, CheckReadyDoesNotWaitNorConsume) {
    Pipe pipe;
    EXPECT_EQ(read_session_mail_db_info(pipe.reader, 1), -1);
    EXPECT_EQ(session_mail_db_info, nullptr);
    EXPECT_TRUE(logged.empty());

    // What arrives later is read whole by a waiting read.
    pipe.write(MINIMAL);
    pipe.closeWriter();
    EXPECT_EQ(read_session_mail_db_info(pipe.reader, 0), 0);
    EXPECT_STREQ(session_mail_db_info->domain_name, "a.com");
}

TEST_F(SessionMailDb, CheckReadyReadsWhatIsWaiting) {
    Pipe waiting;
    waiting.write(MINIMAL);
    waiting.closeWriter();
    EXPECT_EQ(read_session_mail_db_info(waiting.reader, 1), 0);
    free_session_mail_db_info();

    // End of input counts as ready: it is read, as an empty document.
    Pipe ended;
    ended.closeWriter();
    EXPECT_EQ(read_session_mail_db_info(ended.reader, 1), SJ_ERROR_OBJECT_EXPECTED);
}

TEST_F(SessionMailDb, UnreadableInputIsMinusThree) {
    FILE *directory = fopen("/", "r");
    ASSERT_NE(directory, nullptr);
    EXPECT_EQ(read_session_mail_db_info(directory, 0), -3);
    EXPECT_EQ(session_mail_db_info, nullptr);
    EXPECT_EQ(session_mail_db_json, nullptr);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].priority, LOG_ERR);
    EXPECT_EQ(logged[0].text, "Failed to read session mail DB info from input stream (fd=" +
                                  std::to_string(fileno(directory)) + "): Is a directory [21]");
    fclose(directory);
}

// Input beyond 64 MB is refused once the limit is passed, even from an endless stream;
// a document of exactly 64 MB (here with blanks after it) is still read.
TEST_F(SessionMailDb, InputIsCappedAt64MB) {
    const size_t limit = 64 * 1024 * 1024;
    FILE *endless = fopen("/dev/zero", "r");
    ASSERT_NE(endless, nullptr);
    EXPECT_EQ(read_session_mail_db_info(endless, 0), -3);
    EXPECT_LE(ftell(endless), static_cast<long>(limit + 128 * 1024));
    fclose(endless);
    EXPECT_EQ(session_mail_db_json, nullptr);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].text.find("larger than 67108864 bytes (64 MB)"), std::string::npos)
        << logged[0].text;

    std::string text = MINIMAL;
    text.resize(limit, ' ');
    FILE *stream = fmemopen(&text[0], text.size(), "r");
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(read_session_mail_db_info(stream, 0), 0);
    fclose(stream);
}

std::string dump(const mail_db_data_t *object) {
    char *text = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&text, &size);
    debug_print_session_mail_db_info(stream, object);
    fclose(stream);
    std::string result(text, size);
    free(text);
    return result;
}

TEST_F(SessionMailDb, DebugDump) {
    EXPECT_EQ(dump(nullptr), "mail_db_data_t = (null)\n");
    ASSERT_EQ(readDocument(R"({"domain": {"name": "a.com", "dom_aliases": ["b.com", "c.com"],
        "maillists": ["list"], "mails": [{"name": "m", "mbox_quota": 2, "mbox_quota_unit": "KB",
        "aliases": ["x"]}, {"name": "n", "aliases": []}]},
        "certificates": [{"name": "a.com", "certfile": "/a.pem"}]})"),
              0);
    EXPECT_EQ(dump(session_mail_db_info), R"(mail_db_data_t = {
    "domain": {
        "name": "a.com",
        "dom_aliases": [ "b.com", "c.com" ],
        "mails": [
            {
                "name": "m",
                "mbox_quota": 2048,
                "aliases": [ "x" ]
            },
            {
                "name": "n",
                "mbox_quota": -1,
                "aliases": [  ]
            }
        ]
    },
    "certificates": [
        {
            "name": "a.com",
            "certfile": "/a.pem"
        }
    ]
}
)");
    EXPECT_EQ(dump(get_session_mail_db_info()).find("list"), std::string::npos);
}

} // namespace
