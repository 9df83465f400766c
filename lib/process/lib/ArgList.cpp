// ArgList: heap-copied, null-terminated argument vectors.
#include "lib/process/lib/ArgList.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

ArgList::ArgList() : entries{nullptr} {}

ArgList::ArgList(const ArgList &other) : ArgList() {
    entries.reserve(other.entries.size());
    for (size_t i = 0; i < other.size(); ++i)
        add(other.entries[i]);
}

ArgList::ArgList(ArgList &&other) noexcept : ArgList() {
    entries.swap(other.entries);
}

ArgList &ArgList::operator=(ArgList other) noexcept {
    entries.swap(other.entries);
    return *this;
}

ArgList::~ArgList() {
    for (char *entry : entries)
        std::free(entry);
}

ArgList &ArgList::add(const std::string &arg) {
    return add(arg.c_str());
}

ArgList &ArgList::add(const char *arg) {
    // Room first, so that a failing push_back cannot leak the copy.
    entries.reserve(entries.size() + 1);
    char *copy = ::strdup(arg ? arg : "");
    if (!copy)
        throw std::bad_alloc();
    entries.back() = copy;
    entries.push_back(nullptr);
    return *this;
}
