// Cloneable: polymorphic copy for objects held through a base pointer.
#pragma once

class Cloneable
{
  public:
    virtual ~Cloneable() = default;
    // A new heap copy of the most-derived object; the caller owns it.
    virtual Cloneable* clone() const = 0;
};
