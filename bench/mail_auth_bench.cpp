// Lookups per second of mailAuthCheck on databases of 10,000 and 100,000
// accounts, beside the same SELECT on a handle kept open with its statement
// prepared once (the floor for any lookup; mailAuthCheck adds the check that the
// path still names the same file) and beside a handle opened, prepared and closed
// for every lookup (what mailAuthCheck did before it kept its handle).
#include "mail/dovecot/authdb/mail_aes.h"
#include "mail/dovecot/authdb/mail_auth_db.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

const char CHECK_QUERY[] =
    "SELECT u.userPassword AS password, u.cmusaslsecretPLAIN AS encPassword, "
    "u.status AS userDisabled, d.status AS domainDisabled "
    "FROM users AS u, domains AS d WHERE u.dom_id = d.id AND u.name=LOWER(?) AND d.name=LOWER(?)";

constexpr int USERS_PER_DOMAIN = 20;

struct Population {
    std::string db_path;
    std::string key_path;
    std::vector<std::string> names;
    std::vector<std::string> domains;
};

std::string scratch;

// A database of count accounts with encrypted passwords, made once per size and
// selected as the process's database; null on failure.
const Population *population(int count) {
    static std::map<int, Population> made;
    auto found = made.find(count);
    if (found != made.end()) {
        mailAuthDBSetPath(found->second.db_path.c_str());
        mailAuthKeySetPath(found->second.key_path.c_str());
        return &found->second;
    }
    Population &p = made[count];
    p.db_path = scratch + "/" + std::to_string(count) + "/passwd.db";
    p.key_path = scratch + "/" + std::to_string(count) + "/passwd_db_key";
    mailAuthDBSetPath(p.db_path.c_str());
    mailAuthKeySetPath(p.key_path.c_str());
    if (mailAuthDBInit() != 0 || mailAuthKeyInit() != 0 || !mail_aes_init(p.key_path.c_str()))
        return nullptr;

    sqlite3 *db = nullptr;
    sqlite3_stmt *domain = nullptr, *user = nullptr;
    sqlite3_open(p.db_path.c_str(), &db);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO domains (id, name) VALUES (?, ?)", -1, &domain, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO users (dom_id, name, userPassword) VALUES (?, ?, ?)", -1,
                       &user, nullptr);
    for (int i = 0; i < count; ++i) {
        const int domain_id = i / USERS_PER_DOMAIN + 1;
        p.names.push_back("user" + std::to_string(i));
        p.domains.push_back("domain" + std::to_string(domain_id) + ".test");
        if (i % USERS_PER_DOMAIN == 0) {
            sqlite3_bind_int(domain, 1, domain_id);
            sqlite3_bind_text(domain, 2, p.domains.back().c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(domain);
            sqlite3_reset(domain);
        }
        char *encrypted = mail_aes_encrypt(("password" + std::to_string(i)).c_str());
        sqlite3_bind_int(user, 1, domain_id);
        sqlite3_bind_text(user, 2, p.names.back().c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(user, 3, encrypted, -1, free);
        if (sqlite3_step(user) != SQLITE_DONE)
            return nullptr;
        sqlite3_reset(user);
    }
    sqlite3_finalize(domain);
    sqlite3_finalize(user);
    const bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    mail_aes_cleanup();
    return ok ? &p : nullptr;
}

int accept(const char *, const char *password, unsigned char, void *) {
    benchmark::DoNotOptimize(password);
    return 0;
}

// Addresses spread over the whole table, the same sequence for every run.
size_t nextIndex(size_t i, size_t count) {
    return (i * 7919 + 13) % count;
}

void BM_mailAuthCheck(benchmark::State &state) {
    const Population *p = population(static_cast<int>(state.range(0)));
    if (p == nullptr) {
        state.SkipWithError("cannot build the database");
        return;
    }
    std::vector<std::string> addresses;
    for (size_t i = 0; i < p->names.size(); ++i)
        addresses.push_back(p->names[i] + "@" + p->domains[i]);
    mailPasswdCipherInit(); // as the plug-in does: the key is read once
    size_t i = 0;
    for (auto _ : state) {
        i = nextIndex(i, addresses.size());
        if (mailAuthCheck(addresses[i].c_str(), accept, nullptr) != 0) {
            state.SkipWithError("lookup failed");
            break;
        }
    }
    mailPasswdCipherCleanup();
    state.SetItemsProcessed(state.iterations());
}

// The baseline: the same SELECT, bound and stepped on a handle kept open.
// With decrypt set, the password is also decrypted, as mailAuthCheck does.
void preparedSelect(benchmark::State &state, bool decrypt) {
    const Population *p = population(static_cast<int>(state.range(0)));
    if (p == nullptr) {
        state.SkipWithError("cannot build the database");
        return;
    }
    sqlite3 *db = nullptr;
    sqlite3_stmt *stmt = nullptr;
    sqlite3_open_v2(p->db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_prepare_v2(db, CHECK_QUERY, -1, &stmt, nullptr);
    mail_aes_init(p->key_path.c_str());
    size_t i = 0;
    for (auto _ : state) {
        i = nextIndex(i, p->names.size());
        sqlite3_bind_text(stmt, 1, p->names[i].c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, p->domains[i].c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(stmt) != SQLITE_ROW) {
            state.SkipWithError("lookup failed");
            break;
        }
        const char *stored = reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0));
        if (decrypt)
            free(mail_aes_decrypt(stored));
        benchmark::DoNotOptimize(stored);
        sqlite3_reset(stmt);
    }
    mail_aes_cleanup();
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    state.SetItemsProcessed(state.iterations());
}

// Open, prepare, step, finalise and close for every lookup.
void BM_openPerLookup(benchmark::State &state) {
    const Population *p = population(static_cast<int>(state.range(0)));
    if (p == nullptr) {
        state.SkipWithError("cannot build the database");
        return;
    }
    size_t i = 0;
    for (auto _ : state) {
        i = nextIndex(i, p->names.size());
        sqlite3 *db = nullptr;
        sqlite3_stmt *stmt = nullptr;
        sqlite3_open_v2(p->db_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
        sqlite3_busy_timeout(db, 50);
        sqlite3_prepare_v2(db, CHECK_QUERY, -1, &stmt, nullptr);
        sqlite3_bind_text(stmt, 1, p->names[i].c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(stmt, 2, p->domains[i].c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(stmt) != SQLITE_ROW) {
            state.SkipWithError("lookup failed");
            break;
        }
        benchmark::DoNotOptimize(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_preparedSelect(benchmark::State &state) {
    preparedSelect(state, false);
}

void BM_preparedSelectAndDecrypt(benchmark::State &state) {
    preparedSelect(state, true);
}

BENCHMARK(BM_mailAuthCheck)->Arg(10000)->Arg(100000);
BENCHMARK(BM_openPerLookup)->Arg(10000)->Arg(100000);
BENCHMARK(BM_preparedSelect)->Arg(10000)->Arg(100000);
BENCHMARK(BM_preparedSelectAndDecrypt)->Arg(10000)->Arg(100000);

} // namespace

int main(int argc, char **argv) {
    char dir[] = "/tmp/mail-auth-bench-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    scratch = dir;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::remove_all(scratch, ec);
    return 0;
}
