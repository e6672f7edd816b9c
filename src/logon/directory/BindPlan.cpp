#include "BindPlan.h"

#include "DescriptionText.h"
#include "Failure.h"

namespace quorvane {

TransportPlan planTransport(const LdapPath& path, qint32 flags)
{
    TransportPlan plan;
    const bool encrypt = (flags & bindflag::useEncryption) != 0;
    const bool globalCatalog = path.scheme == LdapScheme::GlobalCatalog;
    if (path.port != 0) {
        plan.port = path.port;
    } else if (path.scheme == LdapScheme::Ldaps) {
        plan.port = port::ldaps;
    } else if (globalCatalog) {
        plan.port = encrypt ? port::globalCatalogTls : port::globalCatalog;
    } else {
        plan.port = encrypt ? port::ldaps : port::ldap;
    }
    plan.implicitTls =
        path.scheme == LdapScheme::Ldaps || plan.port == port::ldaps || plan.port == port::globalCatalogTls;
    constexpr qint32 wantsProtection = bindflag::secureAuthentication | bindflag::useEncryption
        | bindflag::useSigning | bindflag::useSealing;
    plan.startTls = !plan.implicitTls && (flags & wantsProtection) != 0;
    plan.serverBind = (flags & bindflag::serverBind) != 0;
    return plan;
}

namespace {

BindPlan namePlan(const QString& user, bool hasPassword, qint32 flags, const LdapPath& path)
{
    BindPlan plan;
    plan.readObject = (flags & bindflag::fastBind) == 0;
    if ((flags & bindflag::noAuthentication) != 0) {
        if (!user.isEmpty() || hasPassword) {
            throw Failure(
                QStringLiteral("Bind flag 0x10 asks for an anonymous bind, but a user name or password was "
                               "typed. Clear both fields, or remove 0x10 from the flags."));
        }
        plan.anonymous = true;
        return plan;
    }
    if (user.isEmpty() && !hasPassword) {
        plan.anonymous = true;
        return plan;
    }
    if (!user.isEmpty() && !hasPassword) {
        // A name without a password is an unauthenticated bind, which directories accept for anyone.
        throw Failure(
            QStringLiteral("No password was typed for \"%1\". A directory accepts a user name with an empty "
                           "password as an anonymous logon whoever the user is, so it proves nothing; "
                           "type the password, or leave both fields empty to test an anonymous bind.")
                .arg(quoteForDescription(user)));
    }
    if (user.isEmpty()) {
        // Servers may take an empty name with a password as an anonymous logon: a success would prove
        // nothing about the password.
        throw Failure(
            QStringLiteral("A password was typed but no user name. Type the user name too, or clear "
                           "the password to test an anonymous bind."));
    }
    if (user.contains(QChar(0))) {
        throw Failure(
            QStringLiteral("The user name contains a NUL character, which a bind name cannot carry."));
    }
    if (user.contains(u'=')) {
        plan.bindName = user;
    } else if (user.contains(u'\\')) {
        if (user.count(u'\\') > 1) {
            throw Failure(QStringLiteral("The user name \"%1\" holds more than one backslash. Type it as "
                                         "DOMAIN\\user, as user@domain or as a distinguished name.")
                              .arg(quoteForDescription(user)));
        }
        plan.bindName = user;
        plan.downLevelDomain = user.section(u'\\', 0, 0);
        plan.lookupValue = user.section(u'\\', 1);
    } else if (user.contains(u'@')) {
        plan.bindName = user;
        plan.lookupValue = user;
    } else {
        const QString domain = path.dnsDomain.isEmpty() ? path.host : path.dnsDomain;
        plan.bindName = QStringLiteral("%1@%2").arg(user, domain);
        plan.lookupValue = user;
    }
    return plan;
}

} // namespace

BindPlan planBind(const QString& user, bool hasPassword, qint32 flags, const LdapPath& path)
{
    BindPlan plan = namePlan(user, hasPassword, flags, path);
    plan.typedName = user;
    const bool nameIsDn = !plan.anonymous && plan.lookupValue.isEmpty();
    // With TLS asked for (0x2) or in place, servers refuse a SASL security layer on top of it.
    plan.negotiate = (flags & bindflag::secureAuthentication) != 0
        && (flags & bindflag::noAuthentication) == 0 && (flags & bindflag::useEncryption) == 0
        && !planTransport(path, flags).implicitTls && !nameIsDn;
    plan.requiredStrength = (flags & bindflag::useSealing) != 0 ? sealingStrength
        : (flags & bindflag::useSigning) != 0                   ? 1
                                                                : 0;
    return plan;
}

QString pathDownLevelDomain(const LdapPath& path)
{
    return path.dnsDomain.section(u'.', 0, 0);
}

} // namespace quorvane
