#pragma once

#include "DirectoryLimits.h"
#include "DirectoryProvider.h"

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

private:
    Limits m_limits;
};

} // namespace quorvane
