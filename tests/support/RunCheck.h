#pragma once

#include "Doubles.h"
#include "LogonCheck.h"

namespace quorvane::test {

// One press of the button on these texts: the single message shown, or how many there were.
inline QString runCheck(DirectoryProvider& directory, const QString& path, const QString& user,
                        const QString& password, const QString& flags)
{
    PlainFieldSource fields;
    fields.pathText = path;
    fields.user = user;
    fields.secret = password;
    fields.flagsText = flags;
    RecordingMessageBox box;
    ValidateUser(fields, box, directory);
    return box.shown.size() == 1 ? box.shown.first() : QStringLiteral("%1 boxes shown").arg(box.shown.size());
}

} // namespace quorvane::test
