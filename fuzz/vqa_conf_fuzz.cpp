// libFuzzer target for the panel configuration file parser: parses arbitrary bytes as
// the file and compares the store with a plain model of the documented line rules.
#include "fuzz/fuzz_support.h"
#include "lib/log/velka_log.h"
#include "mail/dovecot/authdb/vqa_conf.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

namespace {

bool blank(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool nameChar(char ch) {
    return (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
           ch == '_';
}

// What the file means: one "NAME value" a line, a line read as text up to its first NUL.
std::map<std::string, std::string> model(const uint8_t *data, size_t size) {
    std::map<std::string, std::string> pairs;
    std::string all(reinterpret_cast<const char *>(data), size);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find('\n', start);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find('\0'));
        size_t i = 0;
        while (i < line.size() && blank(line[i]))
            ++i;
        size_t name_start = i;
        while (i < line.size() && nameChar(line[i]))
            ++i;
        if (i == name_start || i == line.size() || !blank(line[i]))
            continue;
        std::string name = line.substr(name_start, i - name_start);
        while (i < line.size() && blank(line[i]))
            ++i;
        std::string value = line.substr(i, line.find('#', i) - i);
        while (!value.empty() && blank(value.back()))
            value.pop_back();
        if (!value.empty())
            pairs[name] = value;
    }
    return pairs;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    velka_log = velka_fuzz::quietLog;
    int fd = memfd_create("vqa.conf", MFD_CLOEXEC);
    CHECK(fd >= 0);
    CHECK(write(fd, data, size) == static_cast<ssize_t>(size));
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    conf_r *conf = static_cast<conf_r *>(calloc(1, sizeof(conf_r)));
    CHECK(conf != nullptr);
    CHECK(conf_read_file_r(path, conf) == 0);
    close(fd);

    const std::map<std::string, std::string> expected = model(data, size);
    CHECK(conf->sorted);
    CHECK(conf->count == expected.size());
    CHECK(conf->count <= conf->capacity);
    size_t i = 0;
    for (const auto &pair : expected) {
        const conf_item &item = conf->items[i];
        CHECK(pair.first == item.name);
        CHECK(pair.second == item.value);
        CHECK(conf_get_r(pair.first.c_str(), conf) == item.value);
        ++i;
    }
    CHECK(conf_get_r("", conf) == nullptr);

    // Setting every pair again, plus one new name, leaves a store that still answers.
    for (const auto &pair : expected)
        CHECK(conf_set_r(pair.first.c_str(), "x", conf) == 0);
    CHECK(conf_set_r("FUZZ_EXTRA_NAME", "y", conf) == 0);
    conf_finalize_r(conf);
    for (const auto &pair : expected)
        if (pair.first != "FUZZ_EXTRA_NAME")
            CHECK(strcmp(conf_get_r(pair.first.c_str(), conf), "x") == 0);
    CHECK(strcmp(conf_get_r("FUZZ_EXTRA_NAME", conf), "y") == 0);
    conf_free_r(conf);
    return 0;
}
