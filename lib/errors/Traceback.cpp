// Capturing and printing call stacks.
#include "lib/errors/Traceback.h"

#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <execinfo.h>
#include <string>

namespace velka {

Traceback::Traceback(std::uint64_t skip) {
    int captured = backtrace(frames, static_cast<int>(MAX_FRAMES));
    count = captured > 0 ? static_cast<std::uint64_t>(captured) : 0;
    this->skip = skip < count ? skip : count;
}

// The copy resolves its own symbol lines, so that each object frees only its own.
Traceback::Traceback(const Traceback &other) : count(other.count), skip(other.skip) {
    std::memcpy(frames, other.frames, sizeof(frames));
}

Traceback::~Traceback() {
    std::free(symbols);
}

namespace {

// "binary(_ZN5velka3fooEv+0x1c) [0x...]" becomes "binary(velka::foo()+0x1c) [0x...]".
std::string demangleLine(const char *line, char *&buf, size_t &bufLen) {
    const char *open = std::strchr(line, '(');
    const char *plus = open ? std::strchr(open + 1, '+') : nullptr;
    if (!plus)
        return line;
    std::string mangled(open + 1, plus);
    int status = 0;
    char *demangled = abi::__cxa_demangle(mangled.c_str(), buf, &bufLen, &status);
    if (status != 0 || !demangled)
        return line;
    buf = demangled;
    return std::string(line, open + 1) + demangled + plus;
}

} // namespace

std::ostream &operator<<(std::ostream &os, const Traceback &tb) {
    if (!tb.symbols && tb.count > 0)
        tb.symbols = backtrace_symbols(tb.frames, static_cast<int>(tb.count));

    if (tb.symbols && tb.skip < tb.count) {
        os << "Traceback:" << std::endl;
        char *buf = nullptr;
        size_t bufLen = 0;
        for (std::uint64_t i = tb.skip; i < tb.count; ++i)
            os << '\t' << demangleLine(tb.symbols[i], buf, bufLen) << std::endl;
        std::free(buf);
        return os;
    }

    os << "Traceback addresses:" << std::endl;
    for (std::uint64_t i = tb.skip; i < tb.count; ++i)
        os << '\t' << tb.frames[i] << std::endl;
    return os;
}

} // namespace velka
