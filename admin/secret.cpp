#include "admin/secret.h"

#include <openssl/crypto.h>

namespace velka::admin {

bool Secret::append(char c) {
    if (size_ == CAPACITY)
        return false;
    bytes_[size_++] = c;
    return true;
}

void Secret::clear() {
    OPENSSL_cleanse(bytes_, sizeof(bytes_));
    size_ = 0;
}

void Secret::dropCarriageReturn() {
    if (size_ > 0 && bytes_[size_ - 1] == '\r')
        bytes_[--size_] = '\0';
}

bool Secret::sameAs(const Secret &other) const {
    return size_ == other.size_ && CRYPTO_memcmp(bytes_, other.bytes_, size_) == 0;
}

} // namespace velka::admin
