// The stream pump: runs a program with its three standard streams on pipes, feeds its
// standard input and collects its standard output and standard error in one loop,
// optionally as another user and with extra environment variables.
//
// Every run reaps its child before returning or throwing. The result is the exit
// status (0 to 255), or -1 when the child was killed or stopped by a signal or could not
// be waited for. A program that cannot be executed shows as exit status 1, with
// "forkExecvPipes: execv() failed: <reason>" printed by the child on both its streams.
//
// Failures of the machinery (fork, poll, pipe input/output) throw velka::SystemError
// after the child got SIGTERM and was reaped; failing to create or set up the pipes
// ends the process with exit status 1. errno is 0 after a run unless the child closed
// its input before taking all of it (EPIPE) or could not be waited for (ECHILD).
#ifndef VELKA_PROCESS_LIB_PUMP_H
#define VELKA_PROCESS_LIB_PUMP_H

#include "lib/process/lib/ArgList.h"

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include <sys/types.h>

using EnvMap = std::map<std::string, std::string>;

// Puts up to size bytes of input into buf and returns their number; 0 ends the input.
using StdinWriter = size_t (*)(char *buf, size_t size, void *context);
// Receives the next piece of an output stream.
using OutputReader = void (*)(const char *data, size_t length, void *context);

// Starts path (searched in PATH when it holds no "/") with args, the descriptors
// moved onto its standard streams (-1: /dev/null) and every other descriptor closed.
// A non-empty user resolving to a uid other than 0 is switched to (changing to its
// home directory when chdirHome is set); env is set in key order. Returns the child's
// pid, which the caller must wait for. fork failure throws
// velka::SystemError "forkExecvPipes: fork() failed".
pid_t forkExecvPipes(int in, int out, int err, const std::string &path, const ArgList &args,
                     const std::string &user, bool chdirHome, const EnvMap &env);

// Callback form: writer may be null (no input), either reader null (output dropped).
// A buffer size of 0 stands for 4096 bytes. An exception from a callback ends the run
// like a machinery failure and is rethrown after the child is reaped.
int forkExecvGetInOutErrSuidEnv(StdinWriter writer, OutputReader outReader, OutputReader errReader,
                                const std::string &path, const ArgList &args,
                                const std::string &user, bool chdirHome, const EnvMap &env,
                                void *context, size_t inBufferSize, size_t outBufferSize,
                                size_t errBufferSize);

// String form: feeds input, appends the output streams to out and err (not cleared).
int forkExecvGetInOutErrSuidEnv(const std::string &input, std::string &out, std::string &err,
                                const std::string &path, const ArgList &args,
                                const std::string &user, bool chdirHome, const EnvMap &env);

int forkExecvGetOutErrSuidEnv(std::string &out, std::string &err, const std::string &path,
                              const ArgList &args, const std::string &user, bool chdirHome,
                              const EnvMap &env);
int forkExecvGetOutErrSuid(std::string &out, std::string &err, const std::string &path,
                           const ArgList &args, const std::string &user, bool chdirHome);
int forkExecvGetOutErr(std::string &out, std::string &err, const std::string &path,
                       const ArgList &args);
// Standard error is read and dropped.
int forkExecvGetOut(std::string &out, const std::string &path, const ArgList &args);

// Vector forms: the path is argv.at(0) (std::out_of_range for an empty vector) and
// every element, the path included, is an argument.
int forkExecvGetOutErrSuidEnv(std::string &out, std::string &err,
                              const std::vector<std::string> &argv, const std::string &user,
                              bool chdirHome, const EnvMap &env);
// No user switch, no change of directory, no extra environment.
int forkExecvGetOutErr(std::string &out, std::string &err, const std::vector<std::string> &argv);

#endif
