// Command lines for the tests of wendra's option parsing and dispatch.
#ifndef VELKA_TESTS_WENDRA_TEST_ARGV_H
#define VELKA_TESTS_WENDRA_TEST_ARGV_H

#include <string>
#include <vector>

namespace wendra_test {

// Pointers into args followed by a null, as main() gets them (argc is args.size());
// valid while args is not changed.
inline std::vector<char *> argvOf(std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return argv;
}

// argvOf() after the command word "--cmd" has been put in front of args.
inline std::vector<char *> commandArgv(std::vector<std::string> &args) {
    args.insert(args.begin(), "--cmd");
    return argvOf(args);
}

} // namespace wendra_test

#endif
