#include "KerberosDescriptions.h"

#include "DescriptionText.h"

#include <QDateTime>
#include <QTimeZone>

#include <krb5/krb5.h>

namespace quorvane {

namespace {

// "20261207163000.0Z" as "2026-12-07 16:30:00 UTC".
QString generalizedTimeText(const QString& value)
{
    const QDateTime time = QDateTime::fromString(value.left(14), QStringLiteral("yyyyMMddHHmmss"));
    if (!time.isValid()) {
        return {};
    }
    QDateTime utc = time;
    utc.setTimeZone(QTimeZone::utc());
    return utc.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

} // namespace

bool kerberosCouldNotBeTried(const KerberosFacts& facts)
{
    const long code = facts.code;
    if (code == KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN) {
        return facts.initialTicket;
    }
    return code == KRB5_KDC_UNREACH || code == KRB5_REALM_CANT_RESOLVE || code == KRB5_REALM_UNKNOWN;
}

QString describeKerberosFailure(const KerberosFacts& facts)
{
    const QString who = QStringLiteral("\"%1\"").arg(quoteForDescription(facts.principal, 200));
    switch (facts.code) {
    case KRB5KDC_ERR_PREAUTH_FAILED:
    case KRB5KRB_AP_ERR_BAD_INTEGRITY:
        return QStringLiteral("The password of %1 is wrong.").arg(who);
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
        return QStringLiteral("No user %1 exists in the Kerberos realm %2.").arg(who, facts.realm);
    case KRB5KDC_ERR_CLIENT_REVOKED:
        return QStringLiteral(
                   "The account %1 is disabled, locked out or expired: the Kerberos KDC gives one "
                   "answer for all three (\"client's credentials have been revoked\"), and gives it "
                   "before it looks at the password.")
            .arg(who);
    case KRB5KDC_ERR_NAME_EXP:
        return QStringLiteral("The account %1 has expired: the Kerberos KDC says so before it looks at the "
                              "password.")
            .arg(who);
    case KRB5KDC_ERR_KEY_EXP:
        return QStringLiteral("The password of %1 has expired, or must be changed before the account can be "
                              "used.")
            .arg(who);
    case KRB5KRB_AP_ERR_SKEW: {
        const QString now =
            QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
        const QString server = generalizedTimeText(facts.serverTime);
        return QStringLiteral("The clock of this computer (%1) differs from the Kerberos KDC's%2 by more "
                              "than Kerberos allows (5 minutes unless the domain says otherwise). Set the "
                              "clock right, or let it follow the domain's time.")
            .arg(now, server.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(server));
    }
    case KRB5_REALM_CANT_RESOLVE:
        return QStringLiteral("No Kerberos KDC was found for the realm %1: %2.")
            .arg(facts.realm,
                 facts.library.isEmpty() ? QStringLiteral("neither krb5.conf nor the DNS names one")
                                         : facts.library);
    case KRB5_REALM_UNKNOWN:
        return QStringLiteral("Kerberos cannot be used for this name in the realm %1: %2.")
            .arg(facts.realm, facts.library);
    case KRB5_CONFIG_BADFORMAT:
        return QStringLiteral("Kerberos cannot be used: %1. Nothing was sent to a KDC, and NTLM "
                              "was not tried in its place.")
            .arg(facts.library);
    case KRB5KRB_AP_ERR_TKT_EXPIRED:
        return QStringLiteral("The Kerberos ticket of %1 has expired; run kinit again.").arg(who);
    case kdcGaveNoUsableAnswer:
        if (!facts.passwordSentTo.isEmpty()) {
            return QStringLiteral(
                       "The Kerberos KDC at %1 gave no usable answer to a request made from the password "
                       "(%2). The password was not offered to another KDC.")
                .arg(facts.passwordSentTo, facts.library);
        }
        return QStringLiteral(
                   "The Kerberos KDCs of the realm %1 gave no usable answer once the logon had begun: "
                   "%2.")
            .arg(facts.realm, facts.library);
    case KRB5_KDC_UNREACH:
        return facts.library.isEmpty()
            ? QStringLiteral("No Kerberos KDC of the realm %1 could be reached.").arg(facts.realm)
            : QStringLiteral("No Kerberos KDC of the realm %1 answered: %2.").arg(facts.realm, facts.library);
    case KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN:
        return QStringLiteral("The server's name %1 is not known to Kerberos in the realm %2; write the "
                              "domain controller's full DNS name in the path.")
            .arg(QStringLiteral("\"%1\"").arg(quoteForDescription(facts.service, 200)), facts.realm);
    default:
        return QStringLiteral("Kerberos refused %1: %2.")
            .arg(who, facts.library.isEmpty() ? QStringLiteral("error %1").arg(facts.code) : facts.library);
    }
}

} // namespace quorvane
