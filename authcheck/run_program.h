// Runs a program with its output captured, without a shell and for a limited time.
#ifndef VELKA_AUTHCHECK_RUN_PROGRAM_H
#define VELKA_AUTHCHECK_RUN_PROGRAM_H

#include <chrono>
#include <string>
#include <vector>

namespace velka::authcheck {

struct ProgramOutput {
    int status = -1; // exit status; -1 when it could not run, was killed or ran out of time
    std::string out;
    std::string err;
    std::string failure; // with status -1: why, for a report line
};

// argv[0] is an absolute path. The program gets /dev/null as standard input and
// no other descriptor of this process. When it has not ended within limit, it
// is killed with every process it started in its process group.
ProgramOutput runProgram(const std::vector<std::string> &argv, std::chrono::milliseconds limit);

} // namespace velka::authcheck

#endif
