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

// The four inputs as text a caller already holds: a command line, a tool.
struct TextFields : FieldSource
{
    QString pathText, user, secret, flagsText;
    QString path() const override { return pathText; }
    QString userName() const override { return user; }
    QString password() const override { return secret; }
    QString flags() const override { return flagsText; }
};

} // namespace quorvane
