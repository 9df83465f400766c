// Cloneable: polymorphic copy for objects held through a base pointer.
#ifndef VELKA_ERRORS_CLONEABLE_H
#define VELKA_ERRORS_CLONEABLE_H

class Cloneable {
public:
    virtual ~Cloneable() = default;
    // A new heap copy of the most-derived object; the caller owns it.
    virtual Cloneable *clone() const = 0;
};

#endif
