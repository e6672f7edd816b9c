#pragma once

#include <QString>

#include <stdexcept>

namespace quorvane {

// The one failure type: what an operation could not do, in words the user will see.
class Failure : public std::runtime_error
{
public:
    explicit Failure(const QString& description)
        : std::runtime_error(description.toStdString())
    {}
    QString description() const { return QString::fromUtf8(what()); }
};

} // namespace quorvane
