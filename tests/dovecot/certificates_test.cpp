// Tests for the per-domain certificate files: contents, replacement, removal, the
// remove-all walk and the names and paths that are refused.
#include "dovecot/certificates.h"

#include "tests/dovecot/test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

using namespace dovecot_test;
using namespace velka::mail::dovecot;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

std::string sniFile(const std::string &name, const std::string &cert) {
    return HEADER + ("local_name " + name + " {\n  ssl_server_cert_file = " + cert +
                     "\n  ssl_server_key_file = " + cert + "\n}\n");
}

class CertificatesTest : public testing::Test {
protected:
    ScratchDir dir;
    ScratchDir certs;
    ScopedEnv includeDir{"DC_INCLUDE_DIR", dir.path().c_str()};

    // A certificate file at name under a scratch directory; its absolute path.
    std::string cert(const std::string &name = "c.pem") {
        const std::string path = certs / name;
        fs::create_directories(fs::path(path).parent_path());
        writeFile(path, "-----BEGIN CERTIFICATE-----\n");
        return path;
    }
};

TEST_F(CertificatesTest, InstallWritesAndReplacesTheNamesFile) {
    const std::string first = cert("a b/first.pem"), second = cert("p/bücher.pem");
    CaptureStderr();
    EXPECT_EQ(0, installDovecotCertificate("mail.example.com", first));
    EXPECT_EQ(0, installDovecotCertificate("xn--bcher-kva.example", second));
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ(sniFile("mail.example.com", first),
              readFile(dir / "14-velka-sni-mail.example.com.conf"));
    EXPECT_EQ(sniFile("xn--bcher-kva.example", second),
              readFile(dir / "14-velka-sni-xn--bcher-kva.example.conf"));

    EXPECT_EQ(0, installDovecotCertificate("mail.example.com", second));
    EXPECT_EQ(sniFile("mail.example.com", second),
              readFile(dir / "14-velka-sni-mail.example.com.conf"));
    EXPECT_EQ("14-velka-sni-mail.example.com.conf\n14-velka-sni-xn--bcher-kva.example.conf\n",
              listDir(dir.path()));
}

TEST_F(CertificatesTest, InstallFailureIsReported) {
    ScopedEnv missing("DC_INCLUDE_DIR", (dir / "missing").c_str());
    CaptureStderr();
    EXPECT_EQ(-1, installDovecotCertificate("a.org", cert()));
    EXPECT_EQ("Unable to set custom SSL certificate for Dovecot: cannot create/open file " +
                  (dir / "missing/14-velka-sni-a.org.conf") + "\n",
              GetCapturedStderr());
}

TEST_F(CertificatesTest, RemoveOne) {
    ASSERT_EQ(0, installDovecotCertificate("a.org", cert()));
    ASSERT_EQ(0, installDovecotCertificate("b.org", cert()));
    CaptureStderr();
    EXPECT_EQ(0, removeDovecotCertificate("a.org"));
    EXPECT_EQ(0, removeDovecotCertificate("never.installed"));
    EXPECT_EQ("", GetCapturedStderr());
    EXPECT_EQ("14-velka-sni-b.org.conf\n", listDir(dir.path()));

    fs::create_directory(dir / "14-velka-sni-c.org.conf");
    CaptureStderr();
    EXPECT_EQ(-1, removeDovecotCertificate("c.org"));
    EXPECT_EQ("Unable to remove Dovecot configuration file " + (dir / "14-velka-sni-c.org.conf") +
                  " : Is a directory\n",
              GetCapturedStderr());
}

TEST_F(CertificatesTest, RemoveAllTakesOnlyCertificateFiles) {
    ASSERT_EQ(0, installDovecotCertificate("a.org", cert()));
    ASSERT_EQ(0, installDovecotCertificate("b.org", cert()));
    writeFile(dir / "14-velka-sni-.conf", "");
    writeFile(dir / "14-velka-sni-a.org.txt", "");
    writeFile(dir / "20-velka-quota-warning.conf", "");
    writeFile(dir / "x14-velka-sni-a.conf", "");
    writeFile(dir / "14-velka-sni-a.conf.bak", "");
    EXPECT_EQ(0, removeDovecotAllDomainCertificates());
    EXPECT_EQ("14-velka-sni-a.conf.bak\n14-velka-sni-a.org.txt\n20-velka-quota-warning.conf\n"
              "x14-velka-sni-a.conf\n",
              listDir(dir.path()));
}

TEST_F(CertificatesTest, RemoveAllThrowsForAMissingDirectory) {
    ScopedEnv missing("DC_INCLUDE_DIR", (dir / "missing").c_str());
    EXPECT_THROW(removeDovecotAllDomainCertificates(), std::filesystem::filesystem_error);
}

// Names and paths end up in file names and configuration lines: whatever refuses them
// must write one line and nothing else.
TEST_F(CertificatesTest, RefusesUnsafeNames) {
    const std::string names[] = {"",
                                 "../etc",
                                 "a/b.org",
                                 "a b.org",
                                 "a\nb.org",
                                 "a.org\n",
                                 ".hidden",
                                 "a..org",
                                 "*.a.org",
                                 "a_b.org",
                                 std::string("a\0b", 3),
                                 "a.org }",
                                 std::string(256, 'a')};
    for (const std::string &name : names) {
        CaptureStderr();
        EXPECT_EQ(-1, installDovecotCertificate(name, "/c.pem")) << name;
        const std::string installErr = GetCapturedStderr();
        CaptureStderr();
        EXPECT_EQ(-1, removeDovecotCertificate(name)) << name;
        const std::string removeErr = GetCapturedStderr();
        EXPECT_EQ(0, installErr.rfind("Unable to set custom SSL certificate for Dovecot: "
                                      "invalid certificate name '",
                                      0))
            << installErr;
        EXPECT_EQ(0, removeErr.rfind("Unable to remove custom SSL certificate for Dovecot: "
                                     "invalid certificate name '",
                                     0))
            << removeErr;
        EXPECT_EQ(installErr.size() - 1, installErr.find('\n')) << installErr;
    }
    CaptureStderr();
    installDovecotCertificate("a\nb.org", "/c.pem");
    EXPECT_EQ("Unable to set custom SSL certificate for Dovecot: invalid certificate name "
              "'a\\x0ab.org'\n",
              GetCapturedStderr());
    EXPECT_EQ("", listDir(dir.path()));
}

TEST_F(CertificatesTest, RefusesUnsafeCertificatePaths) {
    const std::string paths[] = {"",         "c.pem",      "./c.pem",      "/c.pem\nssl = no",
                                 "/c\t.pem", "/c\x7f.pem", "/%{user}.pem", "</c.pem"};
    for (const std::string &path : paths) {
        CaptureStderr();
        EXPECT_EQ(-1, installDovecotCertificate("a.org", path)) << path;
        const std::string err = GetCapturedStderr();
        EXPECT_EQ(err.size() - 1, err.find('\n')) << err;
    }
    CaptureStderr();
    installDovecotCertificate("a.org", "/c.pem\nssl = no");
    EXPECT_EQ("Unable to set custom SSL certificate for Dovecot: certificate file path must be "
              "absolute and hold no control character: '/c.pem\\x0assl = no'\n",
              GetCapturedStderr());
    EXPECT_EQ("", listDir(dir.path()));
}

// Paths Dovecot's reader would take otherwise are quoted; ordinary ones stay bare.
TEST_F(CertificatesTest, PathsAreQuotedOnlyWhereDovecotNeedsIt) {
    const std::pair<std::string, std::string> cases[] = {
        {"/a b/c_d-1.2+x,y:z@w=v~.pem", "/a b/c_d-1.2+x,y:z@w=v~.pem"},
        {"/\xd0\xbf.pem", "/\xd0\xbf.pem"},
        {"/a.pem\\", "\"/a.pem\\\\\""},
        {"/a #b", "\"/a #b\""},
        {"/a\"b\\\"", "\"/a\\\"b\\\\\\\"\""},
        {"/a ", "\"/a \""},
        {"/$x%y{}<'", "\"/$x%y{}<'\""},
    };
    for (const auto &c : cases) {
        const std::string path = cert(c.first.substr(1));
        const bool quoted = c.second[0] == '"';
        const std::string value = quoted ? '"' + certs.path() + c.second.substr(1) : path;
        EXPECT_EQ(0, installDovecotCertificate("a.org", path));
        EXPECT_EQ(sniFile("a.org", value), readFile(dir / "14-velka-sni-a.org.conf")) << c.first;
    }
}

TEST_F(CertificatesTest, RefusedRemovalLeavesOtherFiles) {
    writeFile(dir / "14-velka-sni-.conf", "keep\n");
    CaptureStderr();
    EXPECT_EQ(-1, removeDovecotCertificate(""));
    GetCapturedStderr();
    EXPECT_EQ("keep\n", readFile(dir / "14-velka-sni-.conf"));
}

} // namespace
