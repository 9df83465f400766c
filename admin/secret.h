// A password (or a hash read for one) held in a fixed buffer that is wiped when
// it goes, so that no copy is left behind in freed memory by growing strings.
#ifndef VELKA_ADMIN_SECRET_H
#define VELKA_ADMIN_SECRET_H

#include <cstddef>

namespace velka::admin {

class Secret {
public:
    // Longer passwords are refused: far beyond what anyone types, and crypt
    // hashes are a few dozen characters.
    static constexpr size_t CAPACITY = 1024;

    Secret() = default;
    ~Secret() { clear(); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    // False, adding nothing, when the buffer is full.
    bool append(char c);
    void clear();
    // Drops a final carriage return, as a line from another system ends.
    void dropCarriageReturn();

    const char *c_str() const { return bytes_; }
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // Compared without revealing through timing where they differ.
    bool sameAs(const Secret &other) const;

private:
    char bytes_[CAPACITY + 1] = {};
    size_t size_ = 0;
};

} // namespace velka::admin

#endif
