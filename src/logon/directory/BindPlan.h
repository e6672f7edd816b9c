#pragma once

#include "BindFlags.h"
#include "LdapPath.h"

#include <QString>

namespace quorvane {

struct TransportPlan
{
    int port = port::ldap;
    bool implicitTls = false;
    bool startTls = false;
    bool serverBind = false; // 0x200: the host as written, no DNS SRV lookup of the domain's servers
};

TransportPlan planTransport(const LdapPath& path, qint32 flags);

struct BindPlan
{
    bool anonymous = false;
    QString bindName; // what the bind sends to Active Directory, which takes these name forms itself
    // A name that is no DN: other servers need the DN, so this value is looked up first. Empty for a DN.
    QString lookupValue;
    QString downLevelDomain; // DOMAIN of DOMAIN\user
    QString typedName; // the user name as typed
    bool readObject = true;
    // Flag 0x1 without 0x10 or 0x2 and without TLS from the first byte, for a name that can name a
    // Kerberos principal, or none (the current user's own ticket): a negotiated bind where the
    // server offers one.
    bool negotiate = false;
    int requiredStrength = 0; // of the negotiated layer: 1 for signing (0x40), 56 for sealing (0x80)
};

constexpr int sealingStrength = 56;

// Decides how to bind without seeing the password itself. Throws Failure for combinations that
// would let a directory report an unauthenticated bind as a valid logon.
BindPlan planBind(const QString& user, bool hasPassword, qint32 flags, const LdapPath& path);

// The domain a DOMAIN\user name must name before it may be looked up by its user part alone: the
// leftmost DC label of the path. Empty when the path names no domain.
QString pathDownLevelDomain(const LdapPath& path);

} // namespace quorvane
