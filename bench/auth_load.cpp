// Load generator for Dovecot's auth-client protocol: one connection to an
// auth-client socket, PLAIN logins of the given accounts with a fixed number of
// requests in flight for a fixed time, counting OK and FAIL answers. Prints one
// JSON line: logins per second, latency percentiles and its own CPU time, so
// that a driver script can subtract the client from the server's share.
//
//   auth_load SOCKET ACCOUNTS IN_FLIGHT SECONDS [WARMUP_SECONDS]
//   auth_load SOCKET ACCOUNTS IN_FLIGHT once
//
// ACCOUNTS has one "user<TAB>password" per line; they are tried in a fixed
// pseudo-random order, the same in every run, or with "once" each exactly once in
// the file's order (no warm-up), so that a run shows whether every account logs
// in. "temp_fail" counts the failures that Dovecot marks temporary (also in
// "fail"); "failed" names the first accounts that failed.
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::string base64(const std::string &in) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v =
            (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i + 1 == in.size()) {
        const unsigned v = (unsigned char)in[i] << 16;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

[[noreturn]] void die(const char *what) {
    fprintf(stderr, "auth_load: %s: %s\n", what, errno != 0 ? strerror(errno) : "failed");
    exit(1);
}

double cpuSeconds() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

class Connection {
public:
    explicit Connection(const char *path) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0)
            die("socket");
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        if (strlen(path) >= sizeof(addr.sun_path)) {
            errno = ENAMETOOLONG;
            die(path);
        }
        strcpy(addr.sun_path, path);
        if (connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0)
            die(path);
    }
    ~Connection() { close(fd_); }

    void send(const std::string &data) {
        size_t done = 0;
        while (done < data.size()) {
            const ssize_t n = write(fd_, data.data() + done, data.size() - done);
            if (n < 0 && errno != EINTR)
                die("write");
            if (n > 0)
                done += n;
        }
    }

    // The next complete line, waiting at most timeout_ms; false on timeout.
    bool line(std::string &out, int timeout_ms) {
        for (;;) {
            const size_t nl = buffer_.find('\n', start_);
            if (nl != std::string::npos) {
                out.assign(buffer_, start_, nl - start_);
                start_ = nl + 1;
                if (start_ > 65536) {
                    buffer_.erase(0, start_);
                    start_ = 0;
                }
                return true;
            }
            struct pollfd pfd = {fd_, POLLIN, 0};
            const int ready = poll(&pfd, 1, timeout_ms);
            if (ready == 0)
                return false;
            if (ready < 0 && errno != EINTR)
                die("poll");
            char chunk[65536];
            const ssize_t n = read(fd_, chunk, sizeof(chunk));
            if (n == 0) {
                errno = 0;
                die("server closed the connection");
            }
            if (n < 0 && errno != EINTR)
                die("read");
            if (n > 0)
                buffer_.append(chunk, n);
        }
    }

private:
    int fd_;
    std::string buffer_;
    size_t start_ = 0;
};

struct Account {
    std::string user;
    std::string request_tail; // "\tPLAIN\t...resp=...\n"
};

std::vector<Account> loadAccounts(const char *path) {
    std::ifstream in(path);
    if (!in)
        die(path);
    std::vector<Account> accounts;
    std::string line;
    while (std::getline(in, line)) {
        const size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        const std::string user = line.substr(0, tab), password = line.substr(tab + 1);
        std::string plain;
        plain += '\0';
        plain += user;
        plain += '\0';
        plain += password;
        accounts.push_back({user, "\tPLAIN\tservice=imap\tsecured\tresp=" + base64(plain) + "\n"});
    }
    if (accounts.empty()) {
        errno = 0;
        die("no accounts");
    }
    return accounts;
}

double percentile(std::vector<double> &sorted, double p) {
    if (sorted.empty())
        return 0;
    const size_t at = std::min(sorted.size() - 1, static_cast<size_t>(p * sorted.size()));
    return sorted[at];
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        fprintf(stderr, "usage: auth_load SOCKET ACCOUNTS IN_FLIGHT SECONDS [WARMUP_SECONDS]\n");
        return 64;
    }
    const std::vector<Account> accounts = loadAccounts(argv[2]);
    const unsigned in_flight = std::max(1, atoi(argv[3]));
    const bool once = strcmp(argv[4], "once") == 0;
    const double seconds = once ? 1e9 : atof(argv[4]);
    const double warmup = once ? 0 : argc > 5 ? atof(argv[5]) : 0.5;

    Connection conn(argv[1]);
    conn.send("VERSION\t1\t3\nCPID\t" + std::to_string(getpid()) + "\n");
    std::string line;
    do {
        if (!conn.line(line, 5000)) {
            errno = 0;
            die("no handshake from the server");
        }
    } while (line != "DONE");

    std::vector<Clock::time_point> sent_at(1 << 16);
    std::vector<size_t> sent_account(sent_at.size());
    std::vector<std::string> failed;
    unsigned long temp_fail = 0;
    size_t next_in_file = 0;
    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    std::mt19937 order(12345);
    std::uniform_int_distribution<size_t> pick(0, accounts.size() - 1);
    unsigned long next_id = 1, pending = 0, ok = 0, fail = 0, other = 0;

    const Clock::time_point begin = Clock::now();
    const Clock::time_point measure_from =
        begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(warmup));
    const Clock::time_point end = measure_from + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    bool measuring = false;
    double cpu_at_start = 0;
    Clock::time_point measured_begin = measure_from;
    std::string batch;
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (!measuring && now >= measure_from) {
            measuring = true;
            ok = fail = other = 0;
            latencies.clear();
            cpu_at_start = cpuSeconds();
            measured_begin = now;
        }
        const bool sending = now < end && (!once || next_in_file < accounts.size());
        if (!sending && pending == 0)
            break;
        batch.clear();
        while (sending && pending < in_flight) {
            const unsigned long id = next_id++;
            sent_at[id % sent_at.size()] = now;
            const size_t account = once ? next_in_file++ : pick(order);
            sent_account[id % sent_at.size()] = account;
            batch += "AUTH\t" + std::to_string(id) + accounts[account].request_tail;
            ++pending;
        }
        if (!batch.empty())
            conn.send(batch);
        if (!conn.line(line, 10000)) {
            errno = 0;
            die("no answer within 10 s");
        }
        const size_t tab = line.find('\t');
        const std::string verb = line.substr(0, tab);
        if (verb != "OK" && verb != "FAIL" && verb != "CONT")
            continue;
        const unsigned long id = strtoul(line.c_str() + tab + 1, nullptr, 10);
        const Clock::time_point answered = Clock::now();
        --pending;
        if (!measuring || sent_at[id % sent_at.size()] < measured_begin)
            continue;
        latencies.push_back(
            std::chrono::duration<double, std::micro>(answered - sent_at[id % sent_at.size()])
                .count());
        if (verb == "OK") {
            ++ok;
        } else if (verb == "FAIL") {
            ++fail;
            if (line.find("\ttemp") != std::string::npos)
                ++temp_fail;
            if (failed.size() < 10)
                failed.push_back(accounts[sent_account[id % sent_at.size()]].user);
        } else
            ++other;
        if (other == 1 && verb == "CONT")
            fprintf(stderr, "auth_load: unexpected answer: %s\n", line.c_str());
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - measured_begin).count();
    const double cpu = cpuSeconds() - cpu_at_start;
    std::sort(latencies.begin(), latencies.end());
    std::string failed_json;
    for (const std::string &user : failed)
        failed_json += (failed_json.empty() ? "\"" : ", \"") + user + "\"";
    printf("{\"ok\": %lu, \"fail\": %lu, \"temp_fail\": %lu, \"other\": %lu, \"seconds\": %.3f, "
           "\"rate\": %.1f, \"p50_us\": %.1f, \"p90_us\": %.1f, \"p99_us\": %.1f, "
           "\"client_cpu_s\": %.3f, \"failed\": [%s]}\n",
           ok, fail, temp_fail, other, elapsed, (ok + fail + other) / elapsed,
           percentile(latencies, 0.5), percentile(latencies, 0.9), percentile(latencies, 0.99), cpu,
           failed_json.c_str());
    return 0;
}
