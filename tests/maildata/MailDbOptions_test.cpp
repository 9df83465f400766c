// Tests of the mail data options processor, its option value types and the
// standard-input reader (prompting, waiting, merging, filling from options).
#include "maildata/MailDbOptions.h"

#include "lib/log/velka_log.h"
#include "maildata/mail_db_data.h"
#include "tests/support/test_common.h"

#include <boost/program_options.hpp>
#include <gtest/gtest.h>

#include <cstdio>
#include <iostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

using namespace velka::mail::wendra_commands;
namespace po = boost::program_options;
using velka_test::runInChild;

namespace {

const char PROMPT[] = "This command requires additional data to be passed via STDIN in JSON "
                      "format.\n"
                      "To get help on expected input data format call this utility with "
                      "--help-stdin option.\n"
                      "Type ^D (send EOF) to abort.\n";

const char DOCUMENT[] =
    R"({"domain": {"name": "a.com", "dom_aliases": [], "maillists": [], "mails": []},
        "certificates": [{"name": "B.test", "certfile": "/doc/b"},
                         {"name": "c.test", "certfile": "/doc/c"},
                         {"name": "c.test", "certfile": "/doc/c2"}]})";

// The options the processor knows.
const po::options_description &processorOptions() {
    static po::options_description known;
    if (known.options().empty())
        known.add_options()("domain-aliases", po::value<MailDbDomainAliasesList>(), "aliases")(
            "mail-addresses", po::value<MailDbMailAddressesList>(), "mails")(
            "default-domain-quota", po::value<std::int64_t>(), "quota")("wait-stdin", "wait");
    return known;
}

po::variables_map parsed(const std::vector<std::string> &args,
                         const po::options_description &known = processorOptions()) {
    po::variables_map options;
    po::store(po::command_line_parser(args).options(known).run(), options);
    po::notify(options);
    return options;
}

// Runs body in a child whose standard input is a pipe fed with input, written after
// delayMs milliseconds (the pipe stays open and empty until then) and then closed.
velka_test::ChildResult withStdin(const std::string &input, int delayMs,
                                  const std::function<int()> &body) {
    return runInChild([&] {
        int fds[2];
        if (pipe(fds) != 0 || dup2(fds[0], 0) < 0)
            return 99;
        close(fds[0]);
        std::thread writer([&] {
            usleep(delayMs * 1000);
            if (write(fds[1], input.data(), input.size()) < 0)
                std::abort();
            close(fds[1]);
        });
        int status = 0;
        try {
            status = body();
        } catch (const std::exception &e) {
            std::cout << "exception: " << e.what() << std::endl;
            status = 1;
        }
        writer.join();
        return status;
    });
}

void printCertificates(const MailDbOptionsProcessor &processor) {
    for (const auto &certificate : processor.certificates())
        std::cout << certificate.first << "=" << certificate.second << "\n";
}

TEST(MailDbOptionsProcessor, Builders) {
    MailDbOptionsProcessor p(parsed({}));
    EXPECT_THROW(p.withMailAlias("x"), std::runtime_error);
    try {
        p.withMailAlias("x");
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(),
                     "Programming error: withMailAlias() must be called after withMailname()");
    }

    p.withCerts("a,b,,a", "/p").withCerts("b,c", "/q").withCerts("", "/r");
    const std::map<std::string, std::string> certificates = {{"a", "/p"}, {"b", "/p"}, {"c", "/q"}};
    EXPECT_EQ(p.certificates(), certificates);

    p.withMailname("m").withMailAlias("x").withMailAlias("y").withMailAlias("x");
    p.withMailname("n").withMailname("m").withMailAlias("z");
    const std::map<std::string, std::vector<std::string>> mails = {{"m", {"x", "y", "z"}},
                                                                   {"n", {}}};
    EXPECT_EQ(p.mails(), mails);
    p.withDomainAlias("b.com").withDomainAlias("a.com").withDomainAlias("b.com");
    EXPECT_EQ(p.domainAliases(), std::vector<std::string>({"b.com", "a.com"}));

    // Mail data given through the builders alone is not enough.
    p.withDomain("d.com");
    EXPECT_FALSE(p.isEnough());
    EXPECT_FALSE(p.waitStdin());
    EXPECT_EQ(p.defaultDomainQuota(), -1);
}

TEST(MailDbOptionsProcessor, TakesTheOptions) {
    MailDbOptionsProcessor p(
        parsed({"--domain-aliases=B.com,c.com\td.com,b.com", "--wait-stdin",
                "--mail-addresses=John:jd:J.D,mary john:jd:x", "--default-domain-quota=5"}));
    EXPECT_EQ(p.domainAliases(), std::vector<std::string>({"b.com", "c.com", "d.com"}));
    const std::map<std::string, std::vector<std::string>> mails = {{"john", {"jd", "j.d", "x"}},
                                                                   {"mary", {}}};
    EXPECT_EQ(p.mails(), mails);
    EXPECT_EQ(p.defaultDomainQuota(), 5);
    EXPECT_TRUE(p.waitStdin());
    EXPECT_FALSE(p.isEnough());
    EXPECT_TRUE(p.withDomain("a.com").isEnough());

    EXPECT_TRUE(MailDbOptionsProcessor(parsed({"--default-domain-quota=-1"}))
                    .withDomain("a.com")
                    .isEnough());
    EXPECT_FALSE(MailDbOptionsProcessor(parsed({"--wait-stdin"})).withDomain("a.com").isEnough());

    for (const char *bad : {"--domain-aliases=a_b.com", "--mail-addresses=john:",
                            "--mail-addresses=jo..hn", "--mail-addresses=a@b"})
        EXPECT_THROW(parsed({bad}), po::invalid_option_value) << bad;

    po::options_description mistyped;
    mistyped.add_options()("default-domain-quota", po::value<std::string>(), "quota");
    EXPECT_THROW(MailDbOptionsProcessor p(parsed({"--default-domain-quota=5"}, mistyped)),
                 boost::bad_any_cast);
}

TEST(MailDbStdinReader, InputWaitingIsReadWithoutPromptAndOptionsWin) {
    auto r = withStdin(DOCUMENT, 0, [] {
        usleep(100 * 1000); // the document is in the pipe by now
        MailDbOptionsProcessor processor(parsed({}));
        processor.withCerts("b.test,a.test", "/opt");
        {
            MailDbStdinReader reader(processor, true);
            if (session_mail_db_info == nullptr)
                return 3;
        }
        printCertificates(processor);
        return session_mail_db_info == nullptr ? 0 : 4; // released with the reader
    });
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "a.test=/opt\nb.test=/opt\nc.test=/doc/c\n");
}

TEST(MailDbStdinReader, NothingReadyPromptsAndWaits) {
    auto r = withStdin(DOCUMENT, 300, [] {
        MailDbOptionsProcessor processor(parsed({}));
        MailDbStdinReader reader(processor, true);
        printCertificates(processor);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, std::string(PROMPT) + "b.test=/doc/b\nc.test=/doc/c\n");
}

TEST(MailDbStdinReader, WaitStdinNeverPrompts) {
    auto r = withStdin(DOCUMENT, 300, [] {
        MailDbOptionsProcessor processor(parsed({"--wait-stdin"}));
        MailDbStdinReader reader(processor, false);
        printCertificates(processor);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "b.test=/doc/b\nc.test=/doc/c\n");
}

TEST(MailDbStdinReader, NotRequiredLeavesStdinAlone) {
    auto r = withStdin(DOCUMENT, 0, [] {
        MailDbOptionsProcessor processor(parsed({}));
        processor.withCerts("a.test", "/a");
        { MailDbStdinReader reader(processor, false); }
        printCertificates(processor);
        char first = 0;
        return read(0, &first, 1) == 1 && first == '{' ? 0 : 3;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "a.test=/a\n");
}

TEST(MailDbStdinReader, UnparsableInputIsARuntimeError) {
    auto r = withStdin("", 0, [] {
        MailDbOptionsProcessor processor(parsed({}));
        MailDbStdinReader reader(processor, true);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out.substr(r.out.find("exception: ")),
              "exception: Failed to read and parse session mail data from STDIN. See mail log for "
              "details.\n");
    EXPECT_NE(r.err.find("Session mail DB info parsing error: JSON object is expected. Error "
                         "occured at offset 0"),
              std::string::npos)
        << r.err;
}

TEST(MailDbStdinReader, EnoughOptionsFillTheSessionData) {
    auto r = withStdin(DOCUMENT, 0, [] {
        MailDbOptionsProcessor processor(parsed({"--mail-addresses=mary,john:jd"}));
        processor.withDomain("a.com");
        MailDbStdinReader reader(processor, true);
        const mail_db_data_t *data = session_mail_db_info;
        if (data == nullptr || data->domain_name != processor.domain().c_str())
            return 3;
        if (data->mails.count != 2 || data->mails.items[0].aliases.count != 1 ||
            data->certificates.count != 0 || data->domain_aliases.items != nullptr)
            return 4;
        for (const auto &quota : reader.getMailboxQuotas())
            std::cout << quota.first << " " << quota.second << "\n";
        printCertificates(processor);
        return 0;
    });
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "john -1\nmary -1\n");
}

} // namespace
