#pragma once

#include <QString>

#include <optional>

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
// An IPv6 address, optionally with a zone ("fe80::1%eth0").
bool isIpv6Literal(const QString& text);

// "host", "host:port", "[address]" or "[address]:port" taken apart. The callers judge the parts, as
// each refuses a wrong one in its own words and order.
struct HostPort
{
    QString host; // without brackets
    bool ipv6 = false; // in brackets, or a bare address
    bool unclosed = false; // a "[" without its "]"
    bool strayText = false; // after the "]" something other than ":port"
    std::optional<QString> port; // what follows the port's ':'
};
// With `bareIpv6`, text with more than one ':' is an IPv6 address without brackets, and no port.
HostPort splitHostPort(const QString& text, bool bareIpv6);
// A port written as one to five ASCII digits, else -1; whether it is from 1 to 65535 is the caller's.
int portDigits(const QString& text);

// "host:port", with IPv6 addresses bracketed.
QString endpointText(const QString& host, bool ipv6, int port);

} // namespace quorvane
