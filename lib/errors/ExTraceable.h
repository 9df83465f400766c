// Traceable exceptions: the interface IExTraceable and the bases that carry a message,
// a severity and an optional included exception.
#ifndef VELKA_ERRORS_EXTRACEABLE_H
#define VELKA_ERRORS_EXTRACEABLE_H

#include "lib/errors/Cloneable.h"
#include "lib/errors/ExInfoVisitor.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace velka {

// Policy tag of the exception templates; carries no data.
struct ExDefault {};

// The std::runtime_error part holds the exception's kind name (e.g. "ExecCmd::ExFailed");
// the overriding what() of the derived classes yields the message.
class IExTraceable : public Cloneable, public ExVisitable, public std::runtime_error {
public:
    explicit IExTraceable(const std::string &kind) : std::runtime_error(kind) {}
    IExTraceable *clone() const override = 0;
    virtual int getSeverity() const = 0;

    const char *kindName() const noexcept { return std::runtime_error::what(); }
};

template <class Policy> class ExTraceableBase : public IExTraceable {
public:
    ExTraceableBase(const std::string &kind, const std::string &message, int severity)
        : IExTraceable(kind), message(message), severity(severity) {}
    // The copy takes the source's what() text as its message, so that a copy reads the
    // same as its source even where what() composes the text.
    ExTraceableBase(const ExTraceableBase &other)
        : IExTraceable(other), message(other.what()), severity(other.severity) {}
    ExTraceableBase &operator=(const ExTraceableBase &) = delete;

    ExTraceableBase *clone() const override { return new ExTraceableBase(*this); }
    int getSeverity() const override { return severity; }
    const char *what() const noexcept override { return message.c_str(); }
    void accept(ExInfoVisitor &visitor) const override {
        visitor.setType(kindName());
        visitor.setSeverity(severity);
        visitor.setMessage(what());
    }

protected:
    std::string message;
    int severity;
};

template <class Policy> class ExTaggedIncludableBase : public ExTraceableBase<Policy> {
public:
    ExTaggedIncludableBase(const std::string &kind, const std::string &message, int severity)
        : ExTraceableBase<Policy>(kind, message, severity) {}
    ExTaggedIncludableBase(const ExTaggedIncludableBase &other)
        : ExTraceableBase<Policy>(other),
          included(other.included ? other.included->clone() : nullptr) {}

    ExTaggedIncludableBase *clone() const override { return new ExTaggedIncludableBase(*this); }
    void accept(ExInfoVisitor &visitor) const override {
        ExTraceableBase<Policy>::accept(visitor);
        if (!included)
            return;
        visitor.beginIncluded();
        included->accept(visitor);
    }

    // Includes a copy of another exception, e.g. the cause of this one.
    void include(const IExTraceable &cause) { included.reset(cause.clone()); }
    const IExTraceable *getIncluded() const { return included.get(); }

private:
    std::unique_ptr<IExTraceable> included;
};

} // namespace velka

#endif
