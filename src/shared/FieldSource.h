#pragma once

#include <QString>

namespace quorvane {

// Where the check reads its four inputs; each read may throw Failure.
class FieldSource
{
public:
    virtual ~FieldSource() = default;
    virtual QString path() const = 0;
    virtual QString userName() const = 0;
    virtual QString password() const = 0;
    virtual QString flags() const = 0;
};

} // namespace quorvane
