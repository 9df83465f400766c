// Service-control runner and feature lines: the panel's service programs, run from an
// argument vector, and the PHP lines of the feature report.
#include "dovecot/service_control.h"

#include "lib/process/lib/fork_exec.h"

#include <stdio.h>
#include <string.h>

#include <string>

namespace {

std::string velkarcPath = VELKARC_PATH;
std::string registerServicePath = REGISTER_SERVICE_PATH;

// Runs "path arg1 arg2" and returns the runner's result.
int runProgram(const std::string &path, const char *arg1, const char *arg2, int quiet) {
    // fork_execv_log takes a vector of writable strings; ours are never changed.
    char *const argv[] = {const_cast<char *>(path.c_str()), const_cast<char *>(arg1),
                          const_cast<char *>(arg2), nullptr};
    return fork_execv_log(path.c_str(), argv, quiet);
}

} // namespace

extern "C" {

int invoke_velkarc(const char *service, const char *action) {
    return runProgram(velkarcPath, service, action, 1);
}

int invoke_velkarc_keep_fail_msg(const char *service, const char *action) {
    return runProgram(velkarcPath, service, action, 0);
}

int enable_service(const char *service) {
    return runProgram(registerServicePath, "--enable", service, 1);
}

int disable_service(const char *service) {
    return runProgram(registerServicePath, "--disable", service, 1);
}

int print_status(int stopped) {
    puts(stopped ? "is stopped" : "is running");
    return 0;
}

int print_feature(const char *key, const char *value) {
    if (strcmp(value, "true") == 0 || strcmp(value, "false") == 0)
        return printf("$features['%s'] = %s;\n", key, value);
    return printf("$features['%s'] = \"%s\";\n", key, value);
}

int print_feature_array(const char *key, int count, const char *const pairs[][2]) {
    printf("$features['%s'] = array(", key);
    for (int i = 0; i < count; ++i)
        printf("'%s'=>'%s',", pairs[i][0], pairs[i][1]);
    printf(");\n");
    return ferror(stdout) ? -1 : 0;
}

void set_service_control_paths(const char *velkarc, const char *register_service) {
    if (velkarc)
        velkarcPath = velkarc;
    if (register_service)
        registerServicePath = register_service;
}

} // extern "C"
