// The configuration store, its file parser, the process-wide copy with defaults
// and createNestedDirectory.
#include "mail/dovecot/authdb/vqa_conf.h"

#include "tests/authdb/test_support.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

struct Store {
    conf_r *conf = static_cast<conf_r *>(calloc(1, sizeof(conf_r)));
    ~Store() { conf_free_r(conf); }
    const char *get(const char *name) const { return conf_get_r(name, conf); }
    // Reads content as a configuration file; conf_read_file_r's answer.
    int parse(const std::string &content) {
        ScratchDir dir;
        writeFile(dir.file("vqa.conf"), content);
        return conf_read_file_r(dir.file("vqa.conf").c_str(), conf);
    }
};

std::string valueOf(const char *value) {
    return value != nullptr ? value : "<none>";
}

TEST(ConfFile, ParsesValuesCommentsAndBlanks) {
    LogCapture log;
    Store s;
    ASSERT_EQ(s.parse("# panel paths\n"
                      "\n"
                      "   \t\n"
                      "VELKA_MAILNAMES_D /var/qmail/mailnames # where mail lives\n"
                      "  HTTPD_VHOSTS_D\t\t/srv/web  vhosts   \n"
                      "DUMP_D /first\n"
                      "   # indented comment\n"
                      "DUMP_D   /second\t\n"
                      "SNI_SUPPORT false"),
              0);
    EXPECT_EQ(s.conf->count, 4u);
    EXPECT_TRUE(s.conf->sorted);
    EXPECT_EQ(valueOf(s.get("VELKA_MAILNAMES_D")), "/var/qmail/mailnames");
    EXPECT_EQ(valueOf(s.get("HTTPD_VHOSTS_D")), "/srv/web  vhosts");
    EXPECT_EQ(valueOf(s.get("DUMP_D")), "/second");
    EXPECT_EQ(valueOf(s.get("SNI_SUPPORT")), "false") << "last line without a line end";
    EXPECT_EQ(s.get("panel"), nullptr);
    EXPECT_TRUE(log.lines().empty());
}

TEST(ConfFile, MalformedLinesAreLoggedAndSkipped) {
    LogCapture log;
    Store s;
    ASSERT_EQ(s.parse("  ONLY_NAME\n"
                      "BAD-NAME /x\n"
                      "COMMENTED # nothing\n"
                      "=x\n"
                      "GOOD /y\n"
                      "LAST_NAME"),
              0);
    EXPECT_EQ(s.conf->count, 1u);
    EXPECT_EQ(valueOf(s.get("GOOD")), "/y");
    EXPECT_TRUE(log.contains(12, "Invalid variable definition ONLY_NAME\nExpected a value"));
    EXPECT_TRUE(log.contains(
        12, "Invalid variable definition BAD-NAME /x\nExpected a space after variable name\n"));
    EXPECT_TRUE(
        log.contains(12, "Invalid variable definition COMMENTED # nothing\nExpected a value"));
    EXPECT_TRUE(
        log.contains(12, "Invalid variable definition =x\nExpected a space after variable name\n"));
    EXPECT_TRUE(log.contains(12, "Invalid variable definition LAST_NAME\nExpected a value"));
    EXPECT_EQ(log.lines().size(), 5u);
}

TEST(ConfFile, MissingFileFails) {
    LogCapture log;
    Store s;
    errno = 0;
    EXPECT_EQ(conf_read_file_r("/nonexistent/vqa.conf", s.conf), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_TRUE(log.contains(
        12,
        "unable to open configuration file /nonexistent/vqa.conf: No such file or directory\n"));
}

TEST(ConfStore, GrowsReplacesAndFindsSortedOrNot) {
    Store s;
    for (int i = 99; i >= 0; --i)
        ASSERT_EQ(
            conf_set_r(("NAME_" + std::to_string(i)).c_str(), std::to_string(i).c_str(), s.conf),
            0);
    ASSERT_EQ(conf_set_r("NAME_7", "seven", s.conf), 0);
    EXPECT_EQ(s.conf->count, 100u);
    EXPECT_FALSE(s.conf->sorted);
    EXPECT_EQ(valueOf(s.get("NAME_7")), "seven");

    conf_finalize_r(s.conf);
    EXPECT_TRUE(s.conf->sorted);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(valueOf(s.get(("NAME_" + std::to_string(i)).c_str())),
                  i == 7 ? "seven" : std::to_string(i));
    EXPECT_EQ(s.get("NAME_100"), nullptr);

    errno = 0;
    EXPECT_EQ(conf_set_r(nullptr, "x", s.conf), -1);
    EXPECT_EQ(errno, EINVAL);
    conf_free_r(nullptr);
}

// One process-wide copy per test process, so its whole life is one test.
TEST(VqaConf, DefaultsUntilTheFileAppearsThenKeepsWhatItFound) {
    remove(VQA_CONF_PATH);
    LogCapture log;
    EXPECT_EQ(autoprepend(), -1);
    EXPECT_EQ(vqaConfGetByIndex(VQA_VELKA_MAILNAMES_D), nullptr);
    EXPECT_EQ(valueOf(vqaConfGetDefaultByIndex(VQA_VELKA_MAILNAMES_D)), "/var/qmail/mailnames");
    EXPECT_EQ(valueOf(vqaConfGetDefault("PRODUCT_ROOT_D")), "/usr/local/vqa");
    EXPECT_EQ(vqaConfGetDefault("NOT_A_VARIABLE"), nullptr);
    EXPECT_TRUE(log.contains(3, std::string("variable 'NOT_A_VARIABLE' was found neither in ") +
                                    VQA_CONF_PATH + ", nor in compile-time defaults"));
    EXPECT_EQ(vqaConfGetDefault("_MAX_POSSIBLE_VQA_CONF_VAR_NAME"), nullptr)
        << "the upper marker is not searched";
    EXPECT_EQ(vqaConfGetDefaultByIndex(31), nullptr);
    EXPECT_EQ(vqaConfGetDefaultByIndex(-1), nullptr);

    writeFile(VQA_CONF_PATH, "VELKA_MAILNAMES_D /srv/mailnames\nCUSTOM yes\n");
    EXPECT_EQ(valueOf(vqaConfGetDefaultByIndex(VQA_VELKA_MAILNAMES_D)), "/srv/mailnames");
    EXPECT_EQ(valueOf(vqaConfGet("CUSTOM")), "yes");
    EXPECT_EQ(valueOf(vqaConfGetDefault("SNI_SUPPORT")), "true");

    writeFile(VQA_CONF_PATH, "VELKA_MAILNAMES_D /elsewhere\nSNI_SUPPORT false\n");
    EXPECT_EQ(autoprepend(), 0);
    EXPECT_EQ(valueOf(vqaConfGetDefaultByIndex(VQA_VELKA_MAILNAMES_D)), "/srv/mailnames")
        << "never reloaded";
    EXPECT_EQ(valueOf(vqaConfGetDefault("SNI_SUPPORT")), "true");
    remove(VQA_CONF_PATH);
}

TEST(NestedDirectory, CreatesMissingComponentsOnly) {
    ScratchDir dir;
    std::string deep = dir.file("a/b/c/");
    EXPECT_EQ(createNestedDirectory(deep.c_str()), 1);
    struct stat st;
    ASSERT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(createNestedDirectory(dir.file("a/b").c_str()), 1) << "existing directories are fine";

    writeFile(dir.file("a/file"), "x");
    errno = 0;
    EXPECT_EQ(createNestedDirectory(dir.file("a/file/d/e").c_str()), 0);
    EXPECT_EQ(errno, ENOTDIR);
    EXPECT_NE(stat(dir.file("a/file/d").c_str(), &st), 0);
    errno = 0;
    EXPECT_EQ(createNestedDirectory(dir.file("a/file").c_str()), 0);
    EXPECT_EQ(errno, ENOTDIR);
}

} // namespace
