// The utility error stream and its echoing buffer.
#include "lib/log/UtilityErrorStream.h"

#include <iostream>

namespace velka {

UtilityErrorStreamBuf::~UtilityErrorStreamBuf() {
    sync();
}

int UtilityErrorStreamBuf::sync() {
    std::cerr.flush();
    std::cout << pending;
    std::cout.flush();
    pending.clear();
    return 0;
}

UtilityErrorStreamBuf::int_type UtilityErrorStreamBuf::overflow(int_type ch) {
    if (traits_type::eq_int_type(ch, traits_type::eof()))
        return traits_type::eof();
    char c = traits_type::to_char_type(ch);
    std::cerr.put(c);
    pending.push_back(c);
    return ch;
}

UtilityErrorStream::UtilityErrorStream() : std::ostream(nullptr) {
    rdbuf(&buf);
}

UtilityErrorStream uerr;

} // namespace velka
