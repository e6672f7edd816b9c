#pragma once

#include "LdapPath.h"

#include <QString>

namespace quorvane {

// The bind-flag bits an administrator may set; unknown bits are ignored.
namespace bindflag {
constexpr qint32 secureAuthentication = 0x1; // the password must never travel in clear
constexpr qint32 useEncryption = 0x2;
constexpr qint32 readonlyServer = 0x4;
constexpr qint32 noAuthentication = 0x10;
constexpr qint32 fastBind = 0x20; // bind only, the object is not read
constexpr qint32 useSigning = 0x40;
constexpr qint32 useSealing = 0x80;
constexpr qint32 useDelegation = 0x100;
constexpr qint32 serverBind = 0x200;
constexpr qint32 noReferralChasing = 0x400;
} // namespace bindflag

namespace port {
constexpr int ldap = 389;
constexpr int ldaps = 636;
constexpr int globalCatalog = 3268;
constexpr int globalCatalogTls = 3269;
} // namespace port

struct TransportPlan
{
    int port = port::ldap;
    bool implicitTls = false;
    bool startTls = false;
};

TransportPlan planTransport(const LdapPath& path, qint32 flags);

struct BindPlan
{
    bool anonymous = false;
    QString bindName; // what the bind sends to Active Directory, which takes these name forms itself
    // A name that is no DN: other servers need the DN, so this value is looked up first. Empty for a DN.
    QString lookupValue;
    QString downLevelDomain; // DOMAIN of DOMAIN\user
    bool readObject = true;
};

// Decides how to bind without seeing the password itself. Throws Failure for combinations that
// would let a directory report an unauthenticated bind as a valid logon.
BindPlan planBind(const QString& user, bool hasPassword, qint32 flags, const LdapPath& path);

// The domain a DOMAIN\user name must name before it may be looked up by its user part alone: the
// leftmost DC label of the path. Empty when the path names no domain.
QString pathDownLevelDomain(const LdapPath& path);

} // namespace quorvane
