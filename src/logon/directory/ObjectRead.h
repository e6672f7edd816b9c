#pragma once

#include "DirectoryProvider.h"
#include "LdapConnection.h"

#include <QString>
#include <QStringList>

#include <memory>

namespace quorvane {

struct Entry
{
    QString dn;
    QStringList objectClasses;
    bool hasSubordinates = false;
};

// The object the path names, read as the bound identity.
Entry readObject(LdapConnection& connection, const QString& boundAs);

// Active Directory's computed expiry of the bound account's password, into the connection's facts;
// nothing when the server does not say.
void readPasswordExpiry(LdapConnection& connection, const QString& boundAs);

// The opened object: it keeps the bound connection until it goes.
std::unique_ptr<DirectoryObject> openedObject(LdapConnection connection, Entry entry, bool read);

} // namespace quorvane
