// Helpers shared by the authdb tests: captured log lines, a scratch directory
// and byte/hex conversions.
#ifndef VELKA_TESTS_AUTHDB_TEST_SUPPORT_H
#define VELKA_TESTS_AUTHDB_TEST_SUPPORT_H

#include "tests/log/log_capture.h"
#include "tests/support/test_common.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using velka_test::ScratchDir;

inline void writeFile(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

inline std::string readFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string fromHex(const std::string &hex) {
    std::string bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

inline std::string toHex(const void *data, size_t len) {
    static const char DIGITS[] = "0123456789abcdef";
    const unsigned char *p = static_cast<const unsigned char *>(data);
    std::string hex;
    for (size_t i = 0; i < len; ++i) {
        hex.push_back(DIGITS[p[i] >> 4]);
        hex.push_back(DIGITS[p[i] & 15]);
    }
    return hex;
}

#endif
