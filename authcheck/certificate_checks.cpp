// The per-domain certificates of the local_name blocks: both files present,
// certificate and key belonging together, the certificate valid today.
#include "authcheck/checks.h"
#include "authcheck/doveconf.h"
#include "authcheck/files.h"

#include <memory>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sstream>

namespace velka::authcheck {

namespace {

constexpr size_t PEM_LIMIT = 1u << 20;

struct LocalName {
    std::string name, certFile, keyFile;
};

// local_name blocks as doveconf -n prints them, with either setting form.
std::vector<LocalName> localNames(const std::string &config) {
    std::vector<LocalName> found;
    std::istringstream lines(config);
    std::string line;
    bool inside = false;
    while (std::getline(lines, line)) {
        const size_t indent = line.find_first_not_of(' ');
        const std::string text = indent == std::string::npos ? "" : line.substr(indent);
        const size_t equals = text.find(" = ");
        const std::string key = text.substr(0, equals);
        if (line.rfind("local_name ", 0) == 0 && line.size() > 13 &&
            line.compare(line.size() - 2, 2, " {") == 0) {
            found.push_back({unquoteValue(line.substr(11, line.size() - 13)), "", ""});
            inside = true;
        } else if (line == "}") {
            inside = false;
        } else if (inside && equals != std::string::npos) {
            const std::string value = unquoteValue(text.substr(equals + 3));
            if (key == "ssl_server_cert_file" || key == "cert_file")
                found.back().certFile = value;
            else if (key == "ssl_server_key_file" || key == "key_file")
                found.back().keyFile = value;
        }
    }
    return found;
}

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

std::string problemWith(const LocalName &ln) {
    std::string error;
    auto certPem = readFileFollowing(ln.certFile, PEM_LIMIT, &error);
    if (!certPem)
        return "certificate " + ln.certFile + " is " + error;
    auto keyPem = readFileFollowing(ln.keyFile, PEM_LIMIT, &error);
    if (!keyPem)
        return "key " + ln.keyFile + " is " + error;
    Bio certBio(BIO_new_mem_buf(certPem->data(), static_cast<int>(certPem->size())), BIO_free);
    Bio keyBio(BIO_new_mem_buf(keyPem->data(), static_cast<int>(keyPem->size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr), X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!cert)
        return ln.certFile + " holds no PEM certificate";
    if (!key)
        return ln.keyFile + " holds no unencrypted PEM private key";
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return "the key in " + ln.keyFile + " does not belong to the certificate in " + ln.certFile;
    if (X509_cmp_current_time(X509_get0_notBefore(cert.get())) >= 0)
        return "the certificate in " + ln.certFile + " is not valid yet";
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0)
        return "the certificate in " + ln.certFile + " has expired";
    return "";
}

} // namespace

void checkCertificates(const Context &ctx, Results &results) {
    std::vector<LocalName> names = localNames(ctx.configText);
    if (names.empty())
        results.push_back({"certificates", Status::Ok, "no per-domain certificates"});
    for (const LocalName &ln : names) {
        std::string problem = problemWith(ln);
        if (problem.empty())
            results.push_back(
                {"certificate " + ln.name, Status::Ok, ln.certFile + ": key matches, valid today"});
        else
            results.push_back({"certificate " + ln.name, Status::Failure,
                               problem + ": install a valid certificate for " + ln.name +
                                   " (wendra) or remove it"});
    }
}

} // namespace velka::authcheck
