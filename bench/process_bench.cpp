// Cost of one ExecCmd run and throughput of the stream pump, each measured beside a
// plain baseline in the same run: posix_spawn() plus waitpid(), and a bare read loop
// on a pipe.
#include "lib/process/lib/ExecCmd.h"
#include "lib/process/lib/Pump.h"

#include <benchmark/benchmark.h>

#include <string>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr size_t OUTPUT_BYTES = 100u << 20;
// The pump's buffer size in its string forms; the baseline reads in the same steps.
constexpr size_t READ_SIZE = 4096;
const char *const HEAD = "/usr/bin/head";

void execCmdTrue(benchmark::State &state) {
    for (auto _ : state) {
        velka::ExecCmd cmd("/bin/true");
        if (cmd.exec() != 0)
            state.SkipWithError("run failed");
    }
}

void posixSpawnTrue(benchmark::State &state) {
    char *argv[] = {const_cast<char *>("true"), nullptr};
    for (auto _ : state) {
        pid_t pid;
        int status;
        if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0 ||
            waitpid(pid, &status, 0) != pid)
            state.SkipWithError("spawn failed");
    }
}

void countBytes(const char *, size_t length, void *context) {
    *static_cast<size_t *>(context) += length;
}

void pumpOutput(benchmark::State &state) {
    ArgList args;
    args << "head"
         << "-c" << std::to_string(OUTPUT_BYTES) << "/dev/zero";
    for (auto _ : state) {
        size_t got = 0;
        forkExecvGetInOutErrSuidEnv(nullptr, countBytes, nullptr, HEAD, args, "", false, EnvMap(),
                                    &got, READ_SIZE, READ_SIZE, READ_SIZE);
        if (got != OUTPUT_BYTES)
            state.SkipWithError("short output");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * OUTPUT_BYTES));
}

void pumpOutputToString(benchmark::State &state) {
    ArgList args;
    args << "head"
         << "-c" << std::to_string(OUTPUT_BYTES) << "/dev/zero";
    for (auto _ : state) {
        std::string out;
        forkExecvGetOut(out, HEAD, args);
        if (out.size() != OUTPUT_BYTES)
            state.SkipWithError("short output");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * OUTPUT_BYTES));
}

void plainReadLoop(benchmark::State &state) {
    const std::string count = std::to_string(OUTPUT_BYTES);
    char *argv[] = {const_cast<char *>("head"), const_cast<char *>("-c"),
                    const_cast<char *>(count.c_str()), const_cast<char *>("/dev/zero"), nullptr};
    char buf[READ_SIZE];
    for (auto _ : state) {
        int p[2];
        if (pipe(p) != 0) {
            state.SkipWithError("pipe failed");
            break;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, p[1], 1);
        posix_spawn_file_actions_addclose(&actions, p[0]);
        posix_spawn_file_actions_addclose(&actions, p[1]);
        pid_t pid;
        const int rc = posix_spawn(&pid, HEAD, &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(p[1]);
        size_t got = 0;
        ssize_t n;
        while ((n = read(p[0], buf, sizeof buf)) > 0)
            got += static_cast<size_t>(n);
        close(p[0]);
        int status;
        if (rc != 0 || waitpid(pid, &status, 0) != pid || got != OUTPUT_BYTES)
            state.SkipWithError("baseline run failed");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * OUTPUT_BYTES));
}

} // namespace

// The children do the work, so wall-clock time is what counts.
BENCHMARK(posixSpawnTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(execCmdTrue)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(plainReadLoop)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(pumpOutput)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(pumpOutputToString)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
