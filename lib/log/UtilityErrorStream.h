// velka::uerr: stream for user-facing error text; characters reach standard error at
// once, and a copy of the text reaches standard output at every flush and at exit.
#ifndef VELKA_LOG_UTILITYERRORSTREAM_H
#define VELKA_LOG_UTILITYERRORSTREAM_H

#include <ostream>
#include <streambuf>
#include <string>

namespace velka {

class UtilityErrorStreamBuf : public std::streambuf {
public:
    UtilityErrorStreamBuf() = default;
    UtilityErrorStreamBuf(const UtilityErrorStreamBuf &) = delete;
    UtilityErrorStreamBuf &operator=(const UtilityErrorStreamBuf &) = delete;
    ~UtilityErrorStreamBuf() override;

protected:
    int sync() override;
    int_type overflow(int_type ch) override;

private:
    std::string pending; // written since the last flush, not yet on standard output
};

class UtilityErrorStream : public std::ostream {
public:
    UtilityErrorStream();

private:
    UtilityErrorStreamBuf buf;
};

extern UtilityErrorStream uerr;

} // namespace velka

#endif
