#pragma once

#include <QString>

namespace quorvane {

enum class LdapScheme
{
    Ldap,
    Ldaps,
    GlobalCatalog,
};

// An LDAP path as administrators write it: LDAP://host[:port]/DN, LDAP://host[:port] or LDAP://DN.
struct LdapPath
{
    LdapScheme scheme = LdapScheme::Ldap;
    QString host; // without brackets; for a serverless path, the DNS name built from the DC= components
    bool hostIsIpv6 = false;
    bool serverless = false;
    int port = 0; // 0 when the path names none
    QString dn; // as written, with "\/" taken as "/"
    QString dnsDomain; // the DC= components joined with dots; empty when there are none
    QString namingContext; // the trailing run of DC= components as a DN; empty when there is none
};

// Throws Failure naming what is wrong and the accepted forms; contacts nothing.
LdapPath parseLdapPath(const QString& text);

// Letters, digits, '-', '.' and '_': what host names and IPv6 zone names are made of.
bool isHostNameCharacter(QChar c);

// "host:port", with IPv6 addresses bracketed.
QString endpointText(const QString& host, bool ipv6, int port);

} // namespace quorvane
