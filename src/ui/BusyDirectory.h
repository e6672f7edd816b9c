#pragma once

#include "DirectoryProvider.h"

namespace quorvane {

// The directory as the window uses it. An open blocks the only thread, so the window cannot
// react meanwhile: it shows a busy cursor, and whatever the user typed or clicked in that time is
// dropped before open returns, so that it never reaches the check's message box or starts a
// second check.
class BusyDirectory : public DirectoryProvider
{
public:
    explicit BusyDirectory(DirectoryProvider& directory);

    std::unique_ptr<DirectoryObject> open(const QString& path, const QString& user, const QString& password,
                                          qint32 flags) override;

private:
    DirectoryProvider& m_directory;
};

} // namespace quorvane
