#pragma once

#include <QString>

namespace quorvane {

// A modal message with one OK button; show() returns once the user dismissed it.
class MessageBox
{
public:
    virtual ~MessageBox() = default;
    virtual void show(const QString& text) = 0;
};

} // namespace quorvane
