// Visitor interface through which an exception hands out its fields one by one.
#ifndef VELKA_ERRORS_EXINFOVISITOR_H
#define VELKA_ERRORS_EXINFOVISITOR_H

#include <string>

namespace velka {

class ExInfoVisitor {
public:
    virtual ~ExInfoVisitor() = default;
    virtual void setType(const std::string &type) = 0;
    virtual void setMessage(const std::string &message) = 0;
    virtual void setFunction(const std::string &function) = 0;
    virtual void setFile(const std::string &file) = 0;
    virtual void setLine(int line) = 0;
    // Called before the fields of an included exception are visited.
    virtual void beginIncluded() = 0;
    virtual void setSeverity(int) {}
};

class ExVisitable {
public:
    virtual ~ExVisitable() = default;
    virtual void accept(ExInfoVisitor &visitor) const = 0;
};

} // namespace velka

#endif
