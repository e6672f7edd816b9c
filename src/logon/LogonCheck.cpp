#include "LogonCheck.h"

#include "DirectoryProvider.h"
#include "FieldSource.h"
#include "FlagsConversion.h"
#include "MessageBox.h"

#include <QString>

#include <exception>

namespace quorvane {

namespace {

// Every text read here, the password included, dies when this returns: before any message shows.
std::unique_ptr<DirectoryObject> openFromFields(const FieldSource& fields, DirectoryProvider& directory)
{
    const QString path = fields.path();
    const QString user = fields.userName();
    const QString password = fields.password();
    // Converted before the directory is contacted, so bad flags never reach it.
    const qint32 flags = parseBindFlags(fields.flags());
    std::unique_ptr<DirectoryObject> opened = directory.open(path, user, password, flags);
    opened->requireContainer();
    return opened;
}

} // namespace

void ValidateUser(const FieldSource& fields, MessageBox& box, DirectoryProvider& directory)
{
    std::unique_ptr<DirectoryObject> opened; // keeps the bind until the box is dismissed
    try {
        opened = openFromFields(fields, directory);
        box.show(QStringLiteral("User is valid"));
    } catch (const std::exception& failure) {
        // A failure of this box leaves ValidateUser, after `opened` is released.
        box.show(QString::fromUtf8(failure.what()));
    }
}

void Command1_Click(const FieldSource& fields, MessageBox& box, DirectoryProvider& directory)
{
    ValidateUser(fields, box, directory);
}

} // namespace quorvane
