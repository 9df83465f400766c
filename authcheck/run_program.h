// Runs a program with its output captured, without a shell.
#ifndef VELKA_AUTHCHECK_RUN_PROGRAM_H
#define VELKA_AUTHCHECK_RUN_PROGRAM_H

#include <string>
#include <vector>

namespace velka::authcheck {

struct ProgramOutput {
    int status = -1; // exit status; -1 when it could not run or was killed
    std::string out;
    std::string err;
};

// argv[0] is an absolute path; standard input is /dev/null.
ProgramOutput runProgram(const std::vector<std::string> &argv);

} // namespace velka::authcheck

#endif
