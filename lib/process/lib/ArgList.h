// ArgList: the argument vector of one program run, kept ready for execv().
#ifndef VELKA_PROCESS_LIB_ARGLIST_H
#define VELKA_PROCESS_LIB_ARGLIST_H

#include <cstddef>
#include <string>
#include <vector>

// Owns heap copies (strdup, released with free) of its arguments and always ends with
// a null entry, so that argv() can go to execv()/execvp() as it is. Element 0 is the
// program path by convention of the builders. Copies are deep.
class ArgList {
public:
    ArgList();
    ArgList(const ArgList &other);
    ArgList(ArgList &&other) noexcept;
    ArgList &operator=(ArgList other) noexcept;
    ~ArgList();

    // Appends a copy of arg; throws std::bad_alloc when the copy cannot be made.
    // Text after an embedded NUL does not survive the copy.
    ArgList &add(const std::string &arg);
    ArgList &add(const char *arg);
    ArgList &operator<<(const std::string &arg) { return add(arg); }

    // The null-terminated array; valid until the next change of the list.
    char *const *argv() const { return entries.data(); }
    // Number of arguments, not counting the closing null entry.
    size_t size() const { return entries.size() - 1; }
    const char *operator[](size_t i) const { return entries.at(i); }

private:
    std::vector<char *> entries; // arguments, then exactly one null entry
};

#endif
