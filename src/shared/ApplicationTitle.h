#pragma once

#include <QString>

namespace quorvane {

// Caption of every message box and the application's display name.
inline QString applicationTitle()
{
    return QStringLiteral("Tarvine");
}

} // namespace quorvane
