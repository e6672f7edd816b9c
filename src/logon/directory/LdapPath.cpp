#include "LdapPath.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "Release.h"

#include <QStringList>

#include <ldap.h>

#include <algorithm>
#include <arpa/inet.h>
#include <memory>

namespace quorvane {

namespace {

using LdapDn = std::unique_ptr<LDAPRDN, Release<ldap_dnfree>>;
using LdapText = std::unique_ptr<char, Release<ldap_memfree>>;

[[noreturn]] void invalid(const QString& text, const QString& reason)
{
    throw Failure(QStringLiteral("The LDAP path \"%1\" is not valid: %2. Write it as LDAP://host[:port]/DN, "
                                 "LDAP://host[:port] or LDAP://DN; LDAPS:// and GC:// are accepted too.")
                      .arg(quoteForDescription(text), reason));
}

bool isIpv6Literal(const QString& address)
{
    const qsizetype zone = address.indexOf(u'%');
    const QByteArray bare = address.left(zone < 0 ? address.size() : zone).toUtf8();
    in6_addr parsed {};
    if (inet_pton(AF_INET6, bare.constData(), &parsed) != 1) {
        return false;
    }
    if (zone < 0) {
        return true;
    }
    const QString zoneName = address.mid(zone + 1);
    if (zoneName.isEmpty()) {
        return false;
    }
    for (const QChar c : zoneName) {
        if (!isHostNameCharacter(c)) {
            return false;
        }
    }
    return true;
}

int parsePort(const QString& text, const QString& digits)
{
    if (digits.isEmpty() || digits.size() > 5) {
        invalid(text,
                QStringLiteral("the port \"%1\" is not a number from 1 to 65535")
                    .arg(quoteForDescription(digits, 20)));
    }
    int port = 0;
    for (const QChar c : digits) {
        if (c < u'0' || c > u'9') {
            invalid(text,
                    QStringLiteral("the port \"%1\" is not a number from 1 to 65535")
                        .arg(quoteForDescription(digits, 20)));
        }
        port = port * 10 + (c.unicode() - u'0');
    }
    if (port < 1 || port > 65535) {
        invalid(text, QStringLiteral("the port %1 is outside 1 to 65535").arg(digits));
    }
    return port;
}

void parseServer(const QString& text, const QString& server, LdapPath& path)
{
    QString portText;
    bool hasPort = false;
    if (server.startsWith(u'[')) {
        const qsizetype close = server.indexOf(u']');
        if (close < 0) {
            invalid(text, QStringLiteral("the IPv6 address has no closing \"]\""));
        }
        path.host = server.mid(1, close - 1);
        if (!isIpv6Literal(path.host)) {
            invalid(text,
                    QStringLiteral("\"%1\" is not an IPv6 address").arg(quoteForDescription(path.host)));
        }
        path.hostIsIpv6 = true;
        const QString rest = server.mid(close + 1);
        if (!rest.isEmpty()) {
            if (!rest.startsWith(u':')) {
                invalid(text, QStringLiteral("unexpected text after the IPv6 address"));
            }
            hasPort = true;
            portText = rest.mid(1);
        }
    } else {
        const qsizetype colon = server.indexOf(u':');
        path.host = colon < 0 ? server : server.left(colon);
        if (colon >= 0) {
            hasPort = true;
            portText = server.mid(colon + 1);
        }
        if (path.host.isEmpty()) {
            invalid(text, QStringLiteral("it names no server"));
        }
        for (const QChar c : path.host) {
            if (!isHostNameCharacter(c)) {
                invalid(
                    text,
                    QStringLiteral("the server name \"%1\" contains \"%2\", which no host name or address "
                                   "may contain")
                        .arg(quoteForDescription(path.host),
                             c.isPrint() ? QString(c) : QStringLiteral("a control character")));
            }
        }
    }
    if (hasPort) {
        path.port = parsePort(text, portText);
    }
}

// Validates the DN with libldap's own parser and reads the DC= components out of it.
void parseDn(const QString& text, LdapPath& path)
{
    if (path.dn.isEmpty()) {
        return;
    }
    const QByteArray utf8 = path.dn.toUtf8();
    LDAPDN raw = nullptr;
    const int rc = ldap_str2dn(utf8.constData(), &raw, LDAP_DN_FORMAT_LDAPV3);
    LdapDn dn { raw };
    if (rc != LDAP_SUCCESS || !dn) {
        invalid(text, QStringLiteral("\"%1\" is not a distinguished name").arg(quoteForDescription(path.dn)));
    }
    QStringList labels;
    qsizetype tailStart = -1;
    qsizetype index = 0;
    for (LDAPRDN* rdn = dn.get(); *rdn; ++rdn, ++index) {
        const LDAPAVA* ava = (*rdn)[0];
        const bool single = (*rdn)[1] == nullptr;
        const QString type =
            QString::fromUtf8(ava->la_attr.bv_val, static_cast<qsizetype>(ava->la_attr.bv_len));
        if (single && type.compare(u"dc", Qt::CaseInsensitive) == 0) {
            labels.append(
                QString::fromUtf8(ava->la_value.bv_val, static_cast<qsizetype>(ava->la_value.bv_len)));
            if (tailStart < 0) {
                tailStart = index;
            }
        } else {
            tailStart = -1;
        }
    }
    // The domain becomes a host name and part of bind names: only what DNS names may hold.
    const QString domain = labels.join(u'.');
    const bool usable = std::all_of(labels.cbegin(), labels.cend(), [](const QString& label) {
        return !label.isEmpty() && std::all_of(label.cbegin(), label.cend(), isHostNameCharacter);
    });
    if (usable) {
        path.dnsDomain = domain;
    } else if (path.serverless) {
        invalid(text,
                QStringLiteral("its DC= components \"%1\" do not make a DNS name")
                    .arg(quoteForDescription(domain)));
    }
    if (tailStart >= 0) {
        char* context = nullptr;
        if (ldap_dn2str(dn.get() + tailStart, &context, LDAP_DN_FORMAT_LDAPV3) == LDAP_SUCCESS) {
            const LdapText owned { context };
            path.namingContext = QString::fromUtf8(owned.get());
        }
    }
}

// A '/' inside the DN may be written as "\/"; libldap wants it bare.
QString unescapeSlashes(const QString& dn)
{
    QString out;
    out.reserve(dn.size());
    for (qsizetype i = 0; i < dn.size(); ++i) {
        if (dn.at(i) == u'\\' && i + 1 < dn.size() && dn.at(i + 1) == u'/') {
            continue;
        }
        out.append(dn.at(i));
    }
    return out;
}

// The first '/' not escaped with a backslash, or -1.
qsizetype firstSlash(const QString& text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i) == u'\\') {
            ++i;
        } else if (text.at(i) == u'/') {
            return i;
        }
    }
    return -1;
}

} // namespace

bool isHostNameCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-'
        || c == u'.' || c == u'_';
}

LdapPath parseLdapPath(const QString& text)
{
    // C strings end at a NUL: past it, libldap and the resolver would see another path.
    if (text.contains(QChar(0))) {
        invalid(text, QStringLiteral("it contains a NUL character"));
    }
    LdapPath path;
    const qsizetype separator = text.indexOf(u':');
    const QString scheme = separator < 0 ? QString() : text.left(separator);
    if (scheme.compare(u"LDAP", Qt::CaseInsensitive) == 0) {
        path.scheme = LdapScheme::Ldap;
    } else if (scheme.compare(u"LDAPS", Qt::CaseInsensitive) == 0) {
        path.scheme = LdapScheme::Ldaps;
    } else if (scheme.compare(u"GC", Qt::CaseInsensitive) == 0) {
        path.scheme = LdapScheme::GlobalCatalog;
    } else {
        invalid(text, QStringLiteral("it does not begin with LDAP://, LDAPS:// or GC://"));
    }
    if (text.mid(separator + 1, 2) != u"//") {
        invalid(text, QStringLiteral("\"//\" must follow \"%1:\"").arg(scheme));
    }
    const QString rest = text.mid(separator + 3);
    if (rest.isEmpty()) {
        invalid(text, QStringLiteral("it names neither a server nor an object"));
    }
    const qsizetype slash = firstSlash(rest);
    const QString first = slash < 0 ? rest : rest.left(slash);
    if (first.contains(u'=')) {
        // Serverless: the whole rest is the DN, and its DC= components name the domain.
        path.serverless = true;
        path.dn = unescapeSlashes(rest);
        parseDn(text, path);
        if (path.dnsDomain.isEmpty()) {
            invalid(text,
                    QStringLiteral("it names no server, and its distinguished name has no DC= components to "
                                   "find one from"));
        }
        path.host = path.dnsDomain;
        return path;
    }
    parseServer(text, first, path);
    path.dn = slash < 0 ? QString() : unescapeSlashes(rest.mid(slash + 1));
    parseDn(text, path);
    return path;
}

QString endpointText(const QString& host, bool ipv6, int port)
{
    const QString shown = quoteForDescription(host, 100);
    // One arg() call: a chained one would read a "%2" inside the host as a placeholder.
    return ipv6 ? QStringLiteral("[%1]:%2").arg(shown, QString::number(port))
                : QStringLiteral("%1:%2").arg(shown, QString::number(port));
}

} // namespace quorvane
