// ExecCmd: one run of an external program with its output captured, and the failure
// exception that names the command line, the return code and all the program printed.
#ifndef VELKA_PROCESS_LIB_EXECCMD_H
#define VELKA_PROCESS_LIB_EXECCMD_H

#include "lib/errors/Exc.h"
#include "lib/process/lib/ArgList.h"

#include <map>
#include <new>
#include <string>

namespace velka {

// Base of the command objects; ExecCmd is the only kind.
class CmdLine {
public:
    virtual ~CmdLine() = default;
};

// Filled in by the caller, run once, then inspected. A second run appends its output
// to the text captured before and overwrites the other results.
class ExecCmd : public CmdLine {
public:
    // path: the program, searched in PATH when it holds no "/"; also argument 0.
    explicit ExecCmd(const std::string &path);

    // Tag of the failure exception type; declared only, never defined nor called.
    void Failed();

    // Appends an argument.
    virtual ExecCmd &operator<<(const std::string &arg);
    // Sets a variable for the child, replacing an earlier value of that name.
    virtual void setEnv(const std::string &name, const std::string &value);
    // Runs; a non-zero result throws ExecCmdFailed (see reportError), else returns 0.
    // Failures of the spawning machinery pass through as velka::SystemError.
    virtual int exec();
    // Runs and returns the result; anything thrown is swallowed and returnCode (-1
    // when no run recorded a result) is returned.
    virtual int exec(const std::nothrow_t &);
    // One run: exit status 0 to 255, or -1 (killed, stopped, not waitable).
    virtual int execCmdLine();

    // The arguments separated by blanks, each shown through sh_quote, an empty one as ''.
    std::string getString() const;
    // Throws ExecCmdFailed: "Execution of <command line> failed with return code <n>.\n"
    // followed by the non-empty ones of "Stdin", "Stdout", "Stderr" and "Last error",
    // each as "<name> is\n<text>" ending in exactly one line feed.
    [[noreturn]] void reportError() const;

    ArgList args;
    std::string path;
    std::string stdinText;
    std::string user;      // empty: run as the current user
    bool chdirHome = true; // when switching user, start in its home directory
    std::map<std::string, std::string> env;
    std::string stdoutText; // captured, appended to by every run
    std::string stderrText;
    bool started = false;  // a run began
    bool finished = false; // a run recorded its results
    int savedErrno = 0;    // errno right after the last run
    int returnCode = -1;
    std::string lastError; // strerror(savedErrno), empty for 0
};

using ExecCmdFailed = Exc<&ExecCmd::Failed, ExDefault>;

// "The return code was <n>", then the standard output, standard error and last error
// of the last run, each introduced by a line of its own (or a no-output line).
std::string getReport(const ExecCmd &cmd);

// A random identifier laid out as a version 4 UUID, "xxxxxxxx-xxxx-4xxx-8xxx-
// xxxxxxxxxxxx" with lower-case hex digits from the kernel's random source. Throws
// velka::SystemError when that source fails.
std::string newUUID();

} // namespace velka

#endif
