// Mail data from options and from standard input: the options processor, the
// standard-input reader with its prompt, and the option value types.
#include "maildata/MailDbOptions.h"

#include "maildata/mail_db_data.h"

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/program_options.hpp>
#include <boost/tokenizer.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <new>
#include <stdexcept>

namespace po = boost::program_options;

namespace velka::mail::wendra_commands {

namespace {

const char READ_FAILED[] =
    "Failed to read and parse session mail data from STDIN. See mail log for details.";
const char NO_SESSION_OBJECT[] =
    "Failed to create or obtain session mail data object. Maybe out of memory.";
const char ALIAS_BEFORE_NAME[] =
    "Programming error: withMailAlias() must be called after withMailname()";

typedef boost::tokenizer<boost::char_separator<char>> Pieces;

Pieces split(const std::string &text, const char *separators) {
    return Pieces(text, boost::char_separator<char>(separators));
}

void appendUnique(std::vector<std::string> &list, const std::string &item) {
    if (std::find(list.begin(), list.end(), item) == list.end())
        list.push_back(item);
}

// The token of a list option, checked for a single occurrence and a single value.
std::string listToken(boost::any &value, const std::vector<std::string> &tokens) {
    po::validators::check_first_occurrence(value);
    return boost::algorithm::to_lower_copy(po::validators::get_single_string(tokens));
}

// An array of count zeroed items, or null for none; std::bad_alloc when it cannot be had.
template <typename Item> Item *allocateItems(size_t count) {
    if (count == 0)
        return nullptr;
    void *items = calloc(count, sizeof(Item));
    if (items == nullptr)
        throw std::bad_alloc();
    return static_cast<Item *>(items);
}

void fillStringList(mail_db_string_list_t &list, const std::vector<std::string> &items) {
    list.items = allocateItems<const char *>(items.size());
    list.capacity = list.count = items.size();
    for (size_t i = 0; i < items.size(); ++i)
        list.items[i] = items[i].c_str();
}

} // namespace

void validate(boost::any &value, const std::vector<std::string> &tokens, MailDbDomainAliasesList *,
              int) {
    const std::string token = listToken(value, tokens);
    MailDbDomainAliasesList list;
    for (const std::string &alias : split(token, " \t,")) {
        if (!is_domain_name_valid(alias.c_str()))
            throw po::invalid_option_value(token);
        appendUnique(list.aliases, alias);
    }
    value = list;
}

void validate(boost::any &value, const std::vector<std::string> &tokens, MailDbMailAddressesList *,
              int) {
    const std::string token = listToken(value, tokens);
    MailDbMailAddressesList list;
    for (const std::string &entry : split(token, " \t,")) {
        std::vector<std::string> parts;
        const boost::char_separator<char> colons(":", "", boost::keep_empty_tokens);
        for (const std::string &part : Pieces(entry, colons))
            parts.push_back(part);
        for (const std::string &part : parts) {
            if (!is_mailname_valid(part.c_str()))
                throw po::invalid_option_value(token);
        }
        std::vector<std::string> &aliases = list.mails[parts[0]];
        for (size_t i = 1; i < parts.size(); ++i)
            appendUnique(aliases, parts[i]);
    }
    value = list;
}

MailDbOptionsProcessor::MailDbOptionsProcessor(const po::variables_map &options) {
    if (options.count("domain-aliases"))
        domainAliases_ = options["domain-aliases"].as<MailDbDomainAliasesList>().aliases;
    if (options.count("mail-addresses"))
        mails_ = options["mail-addresses"].as<MailDbMailAddressesList>().mails;
    if (options.count("default-domain-quota"))
        defaultDomainQuota_ = options["default-domain-quota"].as<std::int64_t>();
    waitStdin_ = options.count("wait-stdin") != 0;
    enough_ = options.count("domain-aliases") || options.count("mail-addresses") ||
              options.count("default-domain-quota");
}

MailDbOptionsProcessor &MailDbOptionsProcessor::withDomain(const std::string &domain) {
    domain_ = domain;
    return *this;
}

MailDbOptionsProcessor &MailDbOptionsProcessor::withDomainAlias(const std::string &alias) {
    appendUnique(domainAliases_, alias);
    return *this;
}

MailDbOptionsProcessor &MailDbOptionsProcessor::withMailname(const std::string &name) {
    currentMailname_ = name;
    mails_.emplace(name, std::vector<std::string>());
    return *this;
}

MailDbOptionsProcessor &MailDbOptionsProcessor::withMailAlias(const std::string &alias) {
    if (currentMailname_.empty())
        throw std::runtime_error(ALIAS_BEFORE_NAME);
    appendUnique(mails_[currentMailname_], alias);
    return *this;
}

MailDbOptionsProcessor &MailDbOptionsProcessor::withCerts(const std::string &names,
                                                          const std::string &certFile) {
    for (const std::string &name : split(names, ","))
        certificates_.emplace(name, certFile);
    return *this;
}

MailDbStdinReader::MailDbStdinReader(MailDbOptionsProcessor &processor, bool dataRequired) {
    int rc = 0;
    if (processor.waitStdin()) {
        rc = read_session_mail_db_info(stdin, 0);
    } else if (dataRequired && processor.isEnough()) {
        fillSessionMailDbInfo(processor);
    } else if (dataRequired) {
        rc = read_session_mail_db_info(stdin, 1);
        if (rc == -1) {
            std::cout << "This command requires additional data to be passed via STDIN in JSON "
                         "format.\n"
                         "To get help on expected input data format call this utility with "
                         "--help-stdin option.\n"
                         "Type ^D (send EOF) to abort.\n"
                      << std::flush;
            rc = read_session_mail_db_info(stdin, 0);
        }
    }
    if (rc != 0)
        throw std::runtime_error(READ_FAILED);

    try {
        const mail_db_data_t *data = get_session_mail_db_info();
        if (data == nullptr)
            throw std::bad_alloc();
        // Entries from the options came first, so they win over the document's.
        for (uint64_t i = 0; i < data->certificates.count; ++i) {
            const mail_db_certificate_t &certificate = data->certificates.items[i];
            processor.certificates_.emplace(certificate.name, certificate.certfile);
        }
    } catch (...) {
        free_session_mail_db_info();
        throw;
    }
}

MailDbStdinReader::~MailDbStdinReader() {
    free_session_mail_db_info();
}

void MailDbStdinReader::fillSessionMailDbInfo(const MailDbOptionsProcessor &processor) {
    mail_db_data_t *data = get_session_mail_db_info();
    if (data == nullptr)
        throw std::runtime_error(NO_SESSION_OBJECT);
    free_mail_db_data_object_fields(sj_get_dummy_parser(nullptr), data);
    try {
        data->domain_name = processor.domain().c_str();
        fillStringList(data->domain_aliases, processor.domainAliases());

        const auto &mails = processor.mails();
        data->mails.items = allocateItems<mail_db_mail_t>(mails.size());
        data->mails.capacity = mails.size();
        for (const auto &mail : mails) {
            mail_db_mail_t &record = data->mails.items[data->mails.count++];
            record.name = mail.first.c_str();
            record.mbox_quota = -1;
            record.mbox_quota_unit = "B";
            fillStringList(record.aliases, mail.second);
        }
    } catch (...) {
        free_mail_db_data_object_fields(sj_get_dummy_parser(nullptr), data);
        throw;
    }
}

std::vector<std::pair<std::string, std::int64_t>> MailDbStdinReader::getMailboxQuotas() const {
    std::vector<std::pair<std::string, std::int64_t>> quotas;
    const mail_db_data_t *data = session_mail_db_info;
    if (data == nullptr)
        return quotas;
    for (uint64_t i = 0; i < data->mails.count; ++i) {
        const mail_db_mail_t &mail = data->mails.items[i];
        quotas.emplace_back(mail.name != nullptr ? mail.name : "", mail.mbox_quota);
    }
    return quotas;
}

} // namespace velka::mail::wendra_commands
