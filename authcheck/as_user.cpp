#include "authcheck/as_user.h"

#include "lib/files/file_writing.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace velka::authcheck {

namespace {

bool becomeUser(const std::string &user) {
    struct passwd *pw = getpwnam(user.c_str());
    if (pw == nullptr)
        return false;
    if (pw->pw_uid == 0)
        return true;
    return initgroups(user.c_str(), pw->pw_gid) == 0 && setgid(pw->pw_gid) == 0 &&
           setuid(pw->pw_uid) == 0 && setuid(0) != 0;
}

// One result per line: id, status and message separated by tabs; messages
// never hold a newline or a tab of their own.
std::string serialize(const Results &results) {
    std::string text;
    for (const CheckResult &r : results) {
        std::string message = r.message;
        for (char &c : message)
            if (c == '\n' || c == '\t')
                c = ' ';
        text += r.id + '\t' + statusName(r.status) + '\t' + message + '\n';
    }
    return text;
}

Results parse(const std::string &text) {
    Results results;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        size_t a = line.find('\t'), b = line.find('\t', a + 1);
        Status status;
        if (a == std::string::npos || b == std::string::npos ||
            !parseStatus(line.substr(a + 1, b - a - 1), &status))
            continue;
        results.push_back({line.substr(0, a), status, line.substr(b + 1)});
    }
    return results;
}

} // namespace

Results runAsUser(const std::string &user, const std::string &failureId,
                  const std::function<Results()> &work) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return {{failureId, Status::Failure, "cannot create a pipe"}};
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (!becomeUser(user))
            _exit(3);
        const std::string text = serialize(work());
        files::writeAll(fds[1], text.data(), text.size());
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while (pid > 0 && (n = read(fds[0], buffer, sizeof buffer)) > 0)
        text.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0)
        return {{failureId, Status::Failure,
                 "could not run the check as user " + user + " (does the user exist?)"}};
    return parse(text);
}

} // namespace velka::authcheck
