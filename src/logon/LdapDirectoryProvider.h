#pragma once

#include "DirectoryLimits.h"
#include "DirectoryProvider.h"

#include <vector>

namespace quorvane {

// Opens directory objects over LDAP with libldap: one password attempt per open (a simple bind,
// or Kerberos or NTLM for secure authentication), the certificate always verified, referrals never
// followed.
class LdapDirectoryProvider : public DirectoryProvider
{
public:
    using Limits = DirectoryLimits;

    // Process-wide settings libldap reads once; call first thing in main, before any thread starts.
    static void prepareProcess();

    LdapDirectoryProvider();
    explicit LdapDirectoryProvider(Limits limits);

    std::unique_ptr<DirectoryObject> open(const QString& path, const QString& user, const QString& password,
                                          qint32 flags) override;

    // Whether a check also reads the bound account's password expiry where the directory computes it
    // (Active Directory); one more search each. Off unless asked.
    void readPasswordExpiry(bool on) { m_readExpiry = on; }

    // The servers a check of `path` tries, in that order, as "host:port": the host as written, or the
    // domain's own from DNS SRV records (a serverless path, or a host that is the DN's domain).
    // Throws Failure for a path or flags the check would refuse.
    std::vector<QString> serversFor(const QString& path, qint32 flags);
    // `path` with its server replaced by `server` ("host:port" as serversFor gives it), for a check of
    // that server alone (with flag 0x200).
    static QString pathOnServer(const QString& path, const QString& server);

private:
    Limits m_limits;
    bool m_readExpiry = false;
};

} // namespace quorvane
