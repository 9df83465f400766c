// The Maildir root that the plug-in's Maildir check looks under.
#include "authcheck/checks.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include <sys/stat.h>

namespace velka::authcheck {

void checkMaildirRoot(const Context &ctx, Results &results) {
    if (!ctx.maildirCheck) {
        results.push_back({"maildir.root", Status::Ok, "Maildir check off"});
        return;
    }
    // Unread settings are taken as the default, which checks the Maildir.
    const std::string unread = ctx.configRead
                                   ? ""
                                   : " (velka_allow_maildir_stat unknown: doveconf cannot read the "
                                     "configuration)";
    const char *root = vqaConfGetDefaultByIndex(VQA_VELKA_MAILNAMES_D);
    struct stat st;
    // stat, not lstat: the root may well be a link to another disk, and
    // nothing is opened through it here.
    if (root == nullptr || stat(root, &st) != 0 || !S_ISDIR(st.st_mode)) {
        results.push_back({"maildir.root", Status::Failure,
                           std::string("the Maildir root ") + (root ? root : "(none)") +
                               " (VELKA_MAILNAMES_D in " VQA_CONF_FILE
                               ") is not a directory: every login would be refused as an alias" +
                               unread});
        return;
    }
    results.push_back({"maildir.root", Status::Ok, std::string(root) + " is a directory" + unread});
}

} // namespace velka::authcheck
