// Traceback: a call stack captured at construction and printed with demangled names.
// An exception class that also derives from Traceback gets its stack printed by
// reportException.
#ifndef VELKA_ERRORS_TRACEBACK_H
#define VELKA_ERRORS_TRACEBACK_H

#include <cstdint>
#include <ostream>

namespace velka {

class Traceback {
public:
    static constexpr std::uint64_t MAX_FRAMES = 11;

    // Captures up to MAX_FRAMES return addresses; the first `skip` of them (capped at
    // the number captured) are left out when printing.
    explicit Traceback(std::uint64_t skip = 0);
    Traceback(const Traceback &other);
    Traceback &operator=(const Traceback &) = delete;
    virtual ~Traceback();

    std::uint64_t getCount() const { return count; }
    std::uint64_t getSkip() const { return skip; }

    // Prints "Traceback:" and one tab-indented symbol line per frame, or, when no
    // symbol lines can be had or nothing is left after skipping, "Traceback addresses:"
    // and the raw addresses. Symbol lines are resolved on the first print and kept.
    friend std::ostream &operator<<(std::ostream &os, const Traceback &traceback);

private:
    std::uint64_t count = 0;
    std::uint64_t skip = 0;
    void *frames[MAX_FRAMES] = {};
    mutable char **symbols = nullptr; // from backtrace_symbols(), released with free()
};

} // namespace velka

#endif
