// Cost of decrypting one stored mail password through mail_aes_decrypt, beside a
// bare OpenSSL EVP decryption of the same bytes, reported as a ratio.
#include "mail/dovecot/authdb/base64.h"
#include "mail/dovecot/authdb/mail_aes.h"

#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

namespace {

const char PASSWORD[] = "correct horse battery";

std::string stored;
std::string iv;
std::string cipherText;
unsigned char key[MAIL_AES_KEY_LENGTH];

std::string decodeBase64(const std::string &text) {
    size_t len = 0;
    unsigned char *bytes = b64_decode(text.c_str(), &len);
    std::string out(reinterpret_cast<char *>(bytes), len);
    free(bytes);
    return out;
}

// A key file in /tmp, the cipher initialised from it, one stored password and
// its raw IV and cipher text for the baseline.
bool setUp(std::string *key_path) {
    char path[] = "/tmp/cipher-bench-key-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || mail_aes_gen_key(key, sizeof key) != sizeof key ||
        write(fd, key, sizeof key) != static_cast<ssize_t>(sizeof key)) {
        perror("key file");
        return false;
    }
    close(fd);
    *key_path = path;
    if (!mail_aes_init(path))
        return false;
    char *text = mail_aes_encrypt(PASSWORD);
    if (text == nullptr)
        return false;
    stored = text;
    free(text);
    size_t iv_end = stored.rfind('$');
    iv = decodeBase64(
        stored.substr(sizeof(MAIL_AES_PREFIX) - 1, iv_end - (sizeof(MAIL_AES_PREFIX) - 1)));
    cipherText = decodeBase64(stored.substr(iv_end + 1));
    return true;
}

void mailAesDecrypt(benchmark::State &state) {
    for (auto _ : state) {
        char *plain = mail_aes_decrypt(stored.c_str());
        benchmark::DoNotOptimize(plain);
        free(plain);
    }
}
BENCHMARK(mailAesDecrypt);

// The same work as the record does, minus the stored format: one context kept
// across messages and re-initialised with the IV only.
void evpDecrypt(benchmark::State &state) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key,
                       reinterpret_cast<const unsigned char *>(iv.data()));
    unsigned char out[64];
    for (auto _ : state) {
        int n = 0;
        int m = 0;
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr,
                           reinterpret_cast<const unsigned char *>(iv.data()));
        EVP_DecryptUpdate(ctx, out, &n, reinterpret_cast<const unsigned char *>(cipherText.data()),
                          static_cast<int>(cipherText.size()));
        if (EVP_DecryptFinal_ex(ctx, out + n, &m) != 1)
            state.SkipWithError("EVP decryption failed");
        benchmark::DoNotOptimize(out);
    }
    EVP_CIPHER_CTX_free(ctx);
}
BENCHMARK(evpDecrypt);

// Prints as usual and keeps the time per iteration of each benchmark.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0)
                secondsPerIteration[run.benchmark_name()] =
                    run.real_accumulated_time / run.iterations;
        ConsoleReporter::ReportRuns(runs);
    }

    std::map<std::string, double> secondsPerIteration;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::string key_path;
    bool ready = setUp(&key_path);
    if (!key_path.empty())
        unlink(key_path.c_str());
    if (!ready) {
        fprintf(stderr, "cipher_bench: cannot set up the mail cipher\n");
        return 1;
    }

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ours = reporter.secondsPerIteration.find("mailAesDecrypt");
    auto bare = reporter.secondsPerIteration.find("evpDecrypt");
    if (ours != reporter.secondsPerIteration.end() && bare != reporter.secondsPerIteration.end())
        printf("mail_aes_decrypt / bare EVP decryption: %.2f (%.0f ns / %.0f ns)\n",
               ours->second / bare->second, ours->second * 1e9, bare->second * 1e9);
    mail_aes_cleanup();
    benchmark::Shutdown();
    return 0;
}
