// The per-domain certificates of the local_name blocks: both files present,
// certificate and key belonging together, the certificate valid today and
// made out for the name.
#include "authcheck/checks.h"
#include "authcheck/doveconf.h"
#include "authcheck/files.h"
#include "authcheck/wendra_includes.h"

#include <memory>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
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

// A failure, or a warning for a certificate that works but does not name the
// host: clients that check names refuse it, others accept it.
struct Problem {
    Status status = Status::Ok;
    std::string text;
};

Problem failure(std::string text) {
    return {Status::Failure, std::move(text)};
}

Problem problemWith(const LocalName &ln) {
    std::string error;
    auto certPem = readFileFollowing(ln.certFile, PEM_LIMIT, &error);
    if (!certPem)
        return failure("certificate " + ln.certFile + " is " + error);
    auto keyPem = readFileFollowing(ln.keyFile, PEM_LIMIT, &error);
    if (!keyPem)
        return failure("key " + ln.keyFile + " is " + error);
    Bio certBio(BIO_new_mem_buf(certPem->data(), static_cast<int>(certPem->size())), BIO_free);
    Bio keyBio(BIO_new_mem_buf(keyPem->data(), static_cast<int>(keyPem->size())), BIO_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr), X509_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr), EVP_PKEY_free);
    if (!cert)
        return failure(ln.certFile + " holds no PEM certificate");
    if (!key)
        return failure(ln.keyFile + " holds no unencrypted PEM private key");
    if (X509_check_private_key(cert.get(), key.get()) != 1)
        return failure("the key in " + ln.keyFile + " does not belong to the certificate in " +
                       ln.certFile);
    if (X509_cmp_current_time(X509_get0_notBefore(cert.get())) >= 0)
        return failure("the certificate in " + ln.certFile + " is not valid yet");
    if (X509_cmp_current_time(X509_get0_notAfter(cert.get())) <= 0)
        return failure("the certificate in " + ln.certFile + " has expired");
    // Wildcards are matched as clients match them.
    if (X509_check_host(cert.get(), ln.name.data(), ln.name.size(), 0, nullptr) != 1)
        return {Status::Warning, "the certificate in " + ln.certFile + " is not made out for " +
                                     ln.name + ": clients that check the name refuse it"};
    return {};
}

} // namespace

void checkCertificates(const Context &ctx, Results &results) {
    const std::string from =
        ctx.configRead ? ""
                       : " (from wendra's include files: doveconf cannot read the configuration)";
    std::vector<LocalName> names = localNames(
        ctx.configRead ? ctx.configText : includeFilesText(ctx.configFile, "14-velka-sni-"));
    if (names.empty())
        results.push_back({"certificates", Status::Ok, "no per-domain certificates" + from});
    for (const LocalName &ln : names) {
        Problem problem = problemWith(ln);
        const std::string id = "certificate " + ln.name;
        if (problem.status == Status::Ok)
            results.push_back(
                {id, Status::Ok,
                 ln.certFile + ": key matches, valid today, made out for " + ln.name + from});
        else if (problem.status == Status::Warning)
            results.push_back({id, Status::Warning,
                               problem.text + "; install one for " + ln.name + " (wendra)" + from});
        else
            results.push_back({id, Status::Failure,
                               problem.text + ": install a valid certificate for " + ln.name +
                                   " (wendra) or remove it" + from});
    }
}

} // namespace velka::authcheck
