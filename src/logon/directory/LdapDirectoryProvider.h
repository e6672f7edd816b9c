#pragma once

#include "DirectoryProvider.h"

#include <chrono>

namespace quorvane {

// Opens directory objects over LDAP with libldap: one connection and one password attempt per
// open, the certificate always verified, referrals never followed.
class LdapDirectoryProvider : public DirectoryProvider
{
public:
    struct Limits
    {
        std::chrono::milliseconds connect { std::chrono::seconds(10) };
        std::chrono::milliseconds operation { std::chrono::seconds(30) };
    };

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
