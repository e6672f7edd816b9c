#include "BindPlan.h"
#include "Failure.h"
#include "FuzzSupport.h"
#include "LdapPath.h"

#include <QString>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

using namespace quorvane;
using fuzz::require;

namespace {

// Every bit the planners look at, alone and in the combinations that change the outcome.
constexpr qint32 flagSamples[] = {
    0,
    bindflag::secureAuthentication,
    bindflag::useEncryption,
    bindflag::secureAuthentication | bindflag::useEncryption,
    bindflag::noAuthentication,
    bindflag::fastBind,
    bindflag::useSigning,
    bindflag::useSealing,
    bindflag::serverBind | bindflag::readonlyServer,
    -1,
    std::numeric_limits<qint32>::min(),
};

constexpr qint32 protectionFlags =
    bindflag::secureAuthentication | bindflag::useEncryption | bindflag::useSigning | bindflag::useSealing;

bool isHostNameCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'-'
        || u == u'.' || u == u'_';
}

void checkDescription(const Failure& failure, const QString& input, const char* unbounded)
{
    const std::string_view bytes(failure.what());
    require(bytes.size() < fuzz::descriptionByteLimit, unbounded, input.left(200));
    require(!fuzz::hasControlByte(bytes), "description carries a raw control character",
            input + QStringLiteral(" -> ") + failure.description());
}

void checkTransport(const LdapPath& path, qint32 flags)
{
    const TransportPlan plan = planTransport(path, flags);
    require(plan.port >= 1 && plan.port <= 65535, "transport port outside 1..65535",
            QString::number(plan.port));
    require(!(plan.implicitTls && plan.startTls), "implicit TLS and StartTLS together");
    require(path.port == 0 || plan.port == path.port, "the port written in the path is not the one used");
    require(path.scheme != LdapScheme::Ldaps || plan.implicitTls, "LDAPS:// planned without TLS");
    // The password must never travel in clear once any protection flag is set.
    require((flags & protectionFlags) == 0 || plan.implicitTls || plan.startTls,
            "protection flags planned as a clear connection", QString::number(flags, 16));

    const QString where = endpointText(path.host, path.hostIsIpv6, plan.port);
    const QString portSuffix = u':' + QString::number(plan.port);
    require(where.endsWith(portSuffix), "endpoint text does not end with the port", where);
    if (path.host.size() <= 100 && !fuzz::hasControlCharacter(path.host)) {
        const QString host = path.hostIsIpv6 ? u'[' + path.host + u']' : path.host;
        require(where == host + portSuffix, "endpoint text is not the host and port as parsed",
                path.host + QStringLiteral(" port ") + QString::number(plan.port) + QStringLiteral(" -> ")
                    + where);
    }
}

void checkBind(const LdapPath& path, const QString& user, bool hasPassword, qint32 flags)
{
    BindPlan plan;
    try {
        plan = planBind(user, hasPassword, flags, path);
    } catch (const Failure& failure) {
        checkDescription(failure, user, "bind refusal is not bounded");
        require(!(user.isEmpty() && !hasPassword), "an empty name with no password is refused");
        // DOMAIN\user has one backslash; a name with more is no account name anywhere.
        const bool manyBackslashes = !user.contains(u'=') && user.count(u'\\') > 1;
        require(!(hasPassword && !user.isEmpty() && (flags & bindflag::noAuthentication) == 0
                  && !user.contains(QChar(0)) && !manyBackslashes),
                "a name and password were refused", user);
        return;
    }
    require(plan.readObject == ((flags & bindflag::fastBind) == 0), "fast bind flag not honoured");
    if (plan.anonymous) {
        require(user.isEmpty() && !hasPassword, "a typed name or password became an anonymous bind", user);
        return;
    }
    // A name without a password would be an unauthenticated bind that any directory accepts.
    require(hasPassword, "a bind without password was planned as authenticated", user);
    require(!plan.bindName.isEmpty() || user.isEmpty(), "a typed user name produced an empty bind name",
            user);
    require(plan.bindName.startsWith(user), "the bind name lost the name as typed",
            user + QStringLiteral(" -> ") + plan.bindName);
    require(!plan.bindName.contains(QChar(0)), "a bind name carries NUL", user);
    require(plan.lookupValue.isEmpty() || plan.bindName.contains(plan.lookupValue),
            "the lookup value is not part of the bind name",
            plan.bindName + QStringLiteral(" / ") + plan.lookupValue);
}

void checkPath(const QString& input)
{
    // U+0001 separates the path from a user name, so one input drives both planners.
    const qsizetype split = input.indexOf(QChar(1));
    const QString text = split < 0 ? input : input.left(split);
    const QString user = split < 0 ? QString() : input.mid(split + 1);

    LdapPath path;
    try {
        path = parseLdapPath(text);
    } catch (const Failure& failure) {
        checkDescription(failure, text, "path refusal is not bounded");
        require(std::string_view(failure.what()).find("LDAP://host[:port]/DN") != std::string_view::npos,
                "path refusal does not show the accepted form", failure.description());
        return;
    }
    require(path.port >= 0 && path.port <= 65535, "path port outside 0..65535", QString::number(path.port));
    require(!path.host.isEmpty(), "accepted a path with no host", text);
    if (path.serverless) {
        require(!path.dnsDomain.isEmpty() && path.host == path.dnsDomain,
                "a serverless path's host is not its DNS domain", text);
    } else {
        // The host goes into an ldap:// URI and a resolver; only name and address characters belong.
        for (const QChar c : path.host) {
            require(isHostNameCharacter(c) || (path.hostIsIpv6 && (c == u':' || c == u'%')),
                    "the host holds a character no host name or address has",
                    text + QStringLiteral(" -> ") + path.host);
        }
    }
    const char16_t* scheme = path.scheme == LdapScheme::Ldaps ? u"LDAPS://"
        : path.scheme == LdapScheme::GlobalCatalog            ? u"GC://"
                                                              : u"LDAP://";
    require(text.startsWith(QString::fromUtf16(scheme), Qt::CaseInsensitive),
            "scheme does not match the text", text);
    // These reach C strings; a NUL would cut them there and make them name something else.
    require(!path.dn.contains(QChar(0)) && !path.host.contains(QChar(0))
                && !path.dnsDomain.contains(QChar(0)),
            "the DN, host or domain carries NUL", text);

    for (const qint32 flags : flagSamples) {
        checkTransport(path, flags);
        checkBind(path, user, false, flags);
        checkBind(path, user, true, flags);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const char*>(data);
    const auto length = static_cast<qsizetype>(size);
    checkPath(QString::fromUtf8(bytes, length));
    // As UTF-16 the same bytes reach lone surrogates, which no UTF-8 decoding produces.
    QString utf16(length / 2, Qt::Uninitialized);
    std::memcpy(utf16.data(), bytes, static_cast<std::size_t>(length / 2) * 2);
    checkPath(utf16);
    return 0;
}
