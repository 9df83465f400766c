// Mail data of a command from its two sources: what its options say
// (MailDbOptionsProcessor) and the session mail data document on standard input
// (MailDbStdinReader), with the document's certificates merged into the options'.
#ifndef VELKA_MAILDATA_MAILDBOPTIONS_H
#define VELKA_MAILDATA_MAILDBOPTIONS_H

#include <boost/any.hpp>
#include <boost/program_options/variables_map.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velka::mail::wendra_commands {

// Option value: domain aliases, given as one token of names separated by blanks, tabs
// or commas; each must be a valid domain name. Stored lower-cased, without duplicates.
struct MailDbDomainAliasesList {
    std::vector<std::string> aliases;
};

// Option value: mail names with their aliases, given as one token of entries separated
// by blanks, tabs or commas, each "name" or "name:alias:alias..." (":" cannot occur in
// a mail name). Every name and alias must be a valid mail name. Stored lower-cased; a
// repeated name gathers its aliases without duplicates.
struct MailDbMailAddressesList {
    std::map<std::string, std::vector<std::string>> mails;
};

// Validation hooks of the option library; an invalid token throws the library's
// invalid-value error, a repeated option its multiple-occurrence error.
void validate(boost::any &value, const std::vector<std::string> &tokens, MailDbDomainAliasesList *,
              int);
void validate(boost::any &value, const std::vector<std::string> &tokens, MailDbMailAddressesList *,
              int);

class MailDbOptionsProcessor {
public:
    // Takes "domain-aliases", "mail-addresses", "default-domain-quota" and
    // "wait-stdin" from the parsed options; a value of another type than expected
    // throws boost::bad_any_cast.
    explicit MailDbOptionsProcessor(const boost::program_options::variables_map &options);

    MailDbOptionsProcessor &withDomain(const std::string &domain);
    // Appends the alias unless present.
    MailDbOptionsProcessor &withDomainAlias(const std::string &alias);
    // Makes name the current mail name, entering it with no aliases unless present.
    MailDbOptionsProcessor &withMailname(const std::string &name);
    // Appends an alias of the current mail name unless present; std::runtime_error
    // before any withMailname().
    MailDbOptionsProcessor &withMailAlias(const std::string &alias);
    // Enters (name, certFile) for each non-empty comma-separated name not entered yet.
    MailDbOptionsProcessor &withCerts(const std::string &names, const std::string &certFile);

    // A domain is set and an option gave mail data.
    bool isEnough() const { return !domain_.empty() && enough_; }

    const std::string &domain() const { return domain_; }
    const std::vector<std::string> &domainAliases() const { return domainAliases_; }
    // Certificate name to certificate path, in ascending byte order of the name.
    const std::map<std::string, std::string> &certificates() const { return certificates_; }
    const std::map<std::string, std::vector<std::string>> &mails() const { return mails_; }
    std::int64_t defaultDomainQuota() const { return defaultDomainQuota_; }
    bool waitStdin() const { return waitStdin_; }

private:
    friend class MailDbStdinReader;

    std::string domain_;
    std::vector<std::string> domainAliases_;
    std::map<std::string, std::string> certificates_;
    std::string currentMailname_;
    std::map<std::string, std::vector<std::string>> mails_;
    std::int64_t defaultDomainQuota_ = -1;
    bool waitStdin_ = false;
    bool enough_ = false;
};

// Reads the session mail data when asked or needed and merges its certificates into a
// processor; its destruction releases the session mail data, so use the data while
// the reader exists.
class MailDbStdinReader {
public:
    // With "--wait-stdin": reads standard input to its end. Otherwise, when dataRequired
    // is set: fills the session data from the processor when it isEnough(), else reads
    // what is ready on standard input, or prompts on standard output and waits for it.
    // Then enters the document's certificates the processor does not have yet. Throws
    // std::runtime_error when the data cannot be read or parsed (the cause is logged).
    MailDbStdinReader(MailDbOptionsProcessor &processor, bool dataRequired);
    ~MailDbStdinReader();
    MailDbStdinReader(const MailDbStdinReader &) = delete;
    MailDbStdinReader &operator=(const MailDbStdinReader &) = delete;

    // Builds the session mail data from the processor: its strings point into the
    // processor, which must outlive the data. std::runtime_error when no session object
    // can be had, std::bad_alloc when its lists cannot be allocated.
    static void fillSessionMailDbInfo(const MailDbOptionsProcessor &processor);

    // (mail name, mbox_quota) of each mail of the session data, in document order.
    std::vector<std::pair<std::string, std::int64_t>> getMailboxQuotas() const;
};

} // namespace velka::mail::wendra_commands

#endif
