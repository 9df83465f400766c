// VelkaUtilException: a failure whose text main prints as a plain message.
#pragma once

#include <stdexcept>

namespace velka
{

class VelkaUtilException : public std::runtime_error
{
  public:
    using std::runtime_error::runtime_error;
};

} // namespace velka
