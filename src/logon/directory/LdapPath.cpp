#include "LdapPath.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "LdapHandles.h"

#include <QStringList>

#include <ldap.h>

#include <algorithm>
#include <arpa/inet.h>
#include <memory>

namespace quorvane {

namespace {

[[noreturn]] void invalid(const QString& text, const QString& reason)
{
    throw Failure(QStringLiteral("The LDAP path \"%1\" is not valid: %2. Write it as LDAP://host[:port]/DN, "
                                 "LDAP://host[:port] or LDAP://DN; LDAPS:// and GC:// are accepted too.")
                      .arg(quoteForDescription(text), reason));
}

int parsePort(const QString& text, const QString& digits)
{
    const int port = portDigits(digits);
    if (port < 0) {
        invalid(text,
                QStringLiteral("the port \"%1\" is not a number from 1 to 65535")
                    .arg(quoteForDescription(digits, 20)));
    }
    if (port < 1 || port > 65535) {
        invalid(text, QStringLiteral("the port %1 is outside 1 to 65535").arg(digits));
    }
    return port;
}

void parseServer(const QString& text, const QString& server, LdapPath& path)
{
    const HostPort split = splitHostPort(server, false);
    path.host = split.host;
    path.hostIsIpv6 = split.ipv6;
    if (split.unclosed) {
        invalid(text, QStringLiteral("the IPv6 address has no closing \"]\""));
    }
    if (split.ipv6 && !isIpv6Literal(path.host)) {
        invalid(text, QStringLiteral("\"%1\" is not an IPv6 address").arg(quoteForDescription(path.host)));
    }
    if (split.strayText) {
        invalid(text, QStringLiteral("unexpected text after the IPv6 address"));
    }
    if (!split.ipv6 && path.host.isEmpty()) {
        invalid(text, QStringLiteral("it names no server"));
    }
    const auto bad = std::find_if_not(path.host.cbegin(), path.host.cend(), isHostNameCharacter);
    if (!split.ipv6 && bad != path.host.cend()) {
        invalid(text,
                QStringLiteral("the server name \"%1\" contains \"%2\", which no host name or address may "
                               "contain")
                    .arg(quoteForDescription(path.host),
                         bad->isPrint() ? QString(*bad) : QStringLiteral("a control character")));
    }
    if (split.port) {
        path.port = parsePort(text, *split.port);
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
        // libldap has checked the type: a name or an OID, ASCII either way.
        const bool dc = ava->la_attr.bv_len == 2 && qstrnicmp(ava->la_attr.bv_val, "dc", 2) == 0;
        if (single && dc) {
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
    if (!dn.contains(u"\\/")) {
        return dn;
    }
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

bool isIpv6Literal(const QString& text)
{
    // A zone ("%eth0") is for getaddrinfo, not inet_pton.
    const QString zone = text.section(u'%', 1);
    in6_addr address {};
    return inet_pton(AF_INET6, text.section(u'%', 0, 0).toUtf8().constData(), &address) == 1
        && std::all_of(zone.cbegin(), zone.cend(), isHostNameCharacter)
        && (!text.contains(u'%') || !zone.isEmpty());
}

HostPort splitHostPort(const QString& text, bool bareIpv6)
{
    HostPort split;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        split.ipv6 = true;
        split.unclosed = close < 0;
        split.host = split.unclosed ? QString() : text.mid(1, close - 1);
        const QString after = split.unclosed ? QString() : text.mid(close + 1);
        split.strayText = !after.isEmpty() && !after.startsWith(u':');
        if (after.startsWith(u':')) {
            split.port = after.mid(1);
        }
    } else if (bareIpv6 && text.count(u':') > 1) {
        split.host = text;
        split.ipv6 = true;
    } else {
        split.host = text.section(u':', 0, 0);
        if (text.contains(u':')) {
            split.port = text.section(u':', 1);
        }
    }
    return split;
}

int portDigits(const QString& text)
{
    const bool digits = !text.isEmpty() && text.size() <= 5
        && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    return digits ? text.toInt() : -1;
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
