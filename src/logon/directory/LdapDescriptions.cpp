#include "LdapDescriptions.h"

#include "DescriptionText.h"
#include "LdapPath.h"
#include "NetworkConnect.h"

#include <QRegularExpression>

#include <ldap.h>

namespace quorvane {

namespace {

QString referralText(const QStringList& referrals)
{
    return quotedList(referrals, 5, 200);
}

// Result 8 or 13 when the server insists on a protected connection before it takes a password.
bool demandsProtection(int code, const QString& diagnostic)
{
    return code == LDAP_CONFIDENTIALITY_REQUIRED
        || (code == LDAP_STRONG_AUTH_REQUIRED
            && (diagnostic.contains(u"00002028")
                || diagnostic.contains(u"Transport encryption required", Qt::CaseInsensitive)));
}

QString protectionAdvice()
{
    return QStringLiteral(
        " The server demands an encrypted or signed connection before it accepts a bind: "
        "add flag 0x1 (secure authentication: Kerberos or NTLM, signed and sealed), or flag "
        "0x2 (encryption), or use an LDAPS:// path.");
}

} // namespace

QString quotedList(const QStringList& items, qsizetype shown, qsizetype eachLimit)
{
    QStringList quoted;
    for (const QString& item : items.mid(0, shown)) {
        quoted.append(quoteForDescription(item, eachLimit));
    }
    QString text = quoted.join(QStringLiteral(", "));
    if (items.size() > shown) {
        text += QStringLiteral(" and %1 more").arg(items.size() - shown);
    }
    return text;
}

QString describeLdapResult(int code, const QString& diagnostic)
{
    QString text = QString::fromUtf8(ldap_err2string(code));
    if (!text.endsWith(u'.')) {
        text.append(u'.');
    }
    const QString trimmed = diagnostic.trimmed();
    if (!trimmed.isEmpty()) {
        text += QStringLiteral(" The server said: \"%1\".")
                    .arg(quoteForDescription(trimmed, diagnosticQuoteLimit));
    }
    return text;
}

QString activeDirectoryReason(const QString& diagnostic, bool serverVerified)
{
    static const QRegularExpression subCode(QStringLiteral("\\bdata ([0-9a-fA-F]{3,8})\\b"));
    const QRegularExpressionMatch match = subCode.match(diagnostic);
    if (!match.hasMatch()) {
        return {};
    }
    struct Reason
    {
        const char* code;
        const char* text;
        bool rightPassword; // the server says it checked the password and found it right
        bool accountState;
    };
    static constexpr Reason reasons[] = {
        // ERROR_NO_LOGON_SERVERS: answered before any password is looked at.
        { "51f",
          "No logon server for the user's domain could be reached: the domain controller does not know "
          "the domain typed, or cannot reach its controllers; the password was not checked.",
          false, false },
        { "525", "No such user exists.", false, false },
        { "52e", "The user name or password is wrong.", false, false },
        { "530", "The account may not log on at this time.", true, true },
        { "531", "The account may not log on from this computer.", true, true },
        { "532", "The password has expired.", true, true },
        { "533", "The account is disabled.", true, true },
        { "701", "The account has expired.", true, true },
        { "773", "The user must change the password before logging on.", true, true },
        // Checked before the password: any password, even a guess, gets this answer.
        { "775", "The account is locked out; the password was not checked.", false, true },
    };
    const QString code = match.captured(1).toLower();
    for (const Reason& reason : reasons) {
        if (code != QLatin1String(reason.code)) {
            continue;
        }
        const QString text = QString::fromUtf8(reason.text);
        if (serverVerified || !reason.accountState) {
            return reason.rightPassword ? text + QStringLiteral(" The password itself was right.") : text;
        }
        QString claim = text.left(1).toLower() + text.mid(1);
        if (reason.rightPassword) {
            claim.chop(1);
            claim += QStringLiteral(", and that the password itself was right.");
        }
        return unverifiedClaim(claim);
    }
    return {};
}

QString unverifiedClaim(const QString& claim)
{
    return QStringLiteral("The server says %1 Nothing verified the server's identity (no TLS with a verified "
                          "certificate, no Kerberos), so that is its word only.")
        .arg(claim);
}

Failure failureOf(const FailureFacts& facts, const QString& sentence)
{
    // Before a server answers, the password could not have gone anywhere: saying so adds nothing.
    const bool saysNotSent = facts.password == PasswordFate::NotSent && facts.step != CheckStep::Connect;
    return Failure(facts, saysNotSent ? sentence + QStringLiteral(" The password was not sent.") : sentence);
}

QString describeAttempt(const QString& host, bool ipv6, int port, const ConnectAttempt& attempt)
{
    if (attempt.unresolved) {
        return QStringLiteral("The directory server name \"%1\" could not be resolved: %2.")
            .arg(quoteForDescription(host, 100), attempt.reason);
    }
    return QStringLiteral("Could not connect to the directory server %1: %2.")
        .arg(endpointText(host, ipv6, port), attempt.reason);
}

QString describeLostAnswer(const FailureFacts& facts, const QString& operation, bool layerRejected,
                           std::chrono::milliseconds limit, qsizetype largestAnswer)
{
    if (!facts.firstBytes.isEmpty()) {
        QString shown;
        for (const char byte : facts.firstBytes) {
            const auto value = static_cast<unsigned char>(byte);
            shown += value >= 0x20 && value < 0x7f ? QString(QChar(char16_t(value)))
                                                   : QStringLiteral("\\x%1").arg(value, 2, 16, QChar(u'0'));
        }
        return QStringLiteral("The server at %1 answered the %2 with data that is not LDAP, beginning "
                              "\"%3\". Check that the path names an LDAP port.")
            .arg(facts.server, operation, shown);
    }
    if (layerRejected) {
        return QStringLiteral("The answer of the directory server %1 to the %2 failed the check of the "
                              "negotiated security layer: it was not made with this logon's session key.")
            .arg(facts.server, operation);
    }
    if (facts.timedOut) {
        return QStringLiteral(
                   "The directory server %1 did not answer the %2 before the check's limit of %3 ran out.")
            .arg(facts.server, operation, durationText(limit));
    }
    const int code = facts.resultCode.value_or(LDAP_OTHER);
    if (code == LDAP_SERVER_DOWN || code == LDAP_TIMEOUT) {
        return QStringLiteral("The directory server %1 closed the connection during the %2, or sent an "
                              "answer larger than %3 MiB.")
            .arg(facts.server, operation, QString::number(largestAnswer / (1024 * 1024)));
    }
    if (code == LDAP_DECODING_ERROR || code == LDAP_PROTOCOL_ERROR) {
        return QStringLiteral("The directory server %1 answered the %2 with data that is not valid LDAP. "
                              "Check that the port is an LDAP port.")
            .arg(facts.server, operation);
    }
    return QStringLiteral("The %1 to %2 failed: %3")
        .arg(operation, facts.server, describeLdapResult(code, facts.serverText));
}

QString bindIdentity(const QString& bindName)
{
    return bindName.isEmpty() ? QStringLiteral("an anonymous user")
                              : QStringLiteral("\"%1\"").arg(quoteForDescription(bindName, 200));
}

QString passwordPolicyReason(int policyError, bool serverVerified)
{
    if (!serverVerified && policyError != noPolicyError) {
        const QString reason = passwordPolicyReason(policyError, true);
        return unverifiedClaim(reason.left(1).toLower() + reason.mid(1));
    }
    switch (policyError) {
    case noPolicyError:
        return {};
    case PP_accountLocked:
        return QStringLiteral("The password policy has locked the account.");
    case PP_passwordExpired:
        return QStringLiteral("The password is right, but it has expired.");
    case PP_changeAfterReset:
        return QStringLiteral("An administrator reset the password: it must be changed first.");
    default:
        return QStringLiteral("The password policy says: %1.")
            .arg(QString::fromUtf8(
                ldap_passwordpolicy_err2txt(static_cast<LDAPPasswordPolicyError>(policyError))));
    }
}

QString describeBindRefusal(const QString& where, const QString& bindName, int code,
                            const QString& diagnostic, const QStringList& referrals, int policyError,
                            bool serverVerified)
{
    QString text = bindName.isEmpty()
        ? QStringLiteral("The directory server %1 refused the anonymous bind: ").arg(where)
        : QStringLiteral("The directory server %1 refused the bind as %2: ")
              .arg(where, bindIdentity(bindName));
    text += describeLdapResult(code, diagnostic);
    const QString policy = passwordPolicyReason(policyError, serverVerified);
    if (!policy.isEmpty()) {
        text += u' ' + policy;
    } else if (code == LDAP_INVALID_CREDENTIALS) {
        const QString reason = activeDirectoryReason(diagnostic, serverVerified);
        text += u' ' + (reason.isEmpty() ? QStringLiteral("The user name or password is wrong.") : reason);
    } else if (demandsProtection(code, diagnostic)) {
        text += protectionAdvice();
    } else if (code == LDAP_INVALID_DN_SYNTAX) {
        text += QStringLiteral(" The server does not take this form of user name; type the user's full "
                               "distinguished name.");
    } else if (code == LDAP_REFERRAL && !referrals.isEmpty()) {
        text += QStringLiteral(" It refers to %1; referrals are not followed.").arg(referralText(referrals));
    } else if (code == LDAP_UNWILLING_TO_PERFORM && bindName.isEmpty()) {
        text += QStringLiteral(" The server does not allow anonymous binds.");
    }
    return text;
}

QString describeObjectFailure(const QString& where, const QString& dn, const QString& bindName, int code,
                              const QString& diagnostic, const QString& matchedDn,
                              const QStringList& referrals)
{
    const QString object = QStringLiteral("\"%1\"").arg(quoteForDescription(dn, 300));
    QString text;
    switch (code) {
    case LDAP_NO_SUCH_OBJECT:
        // Servers also answer this for an entry the bound identity may not see.
        text = QStringLiteral("The object %1 does not exist on %2, or %3 may not see it: ")
                   .arg(object, where, bindIdentity(bindName));
        text += describeLdapResult(code, diagnostic);
        if (!matchedDn.isEmpty()) {
            text += QStringLiteral(" The nearest existing entry is \"%1\".")
                        .arg(quoteForDescription(matchedDn, 300));
        }
        return text;
    case LDAP_REFERRAL:
        text = QStringLiteral("The directory server %1 does not hold the object %2: ").arg(where, object);
        text += describeLdapResult(code, diagnostic);
        text += referrals.isEmpty()
            ? QStringLiteral(" It named no other server.")
            : QStringLiteral(" It refers to %1; referrals are not followed.").arg(referralText(referrals));
        return text;
    case LDAP_INSUFFICIENT_ACCESS:
        text = QStringLiteral("The logon succeeded, but %1 may not read the object %2 on %3: ")
                   .arg(bindIdentity(bindName), object, where);
        return text + describeLdapResult(code, diagnostic);
    default:
        text = QStringLiteral("The logon succeeded, but the object %1 could not be read on %2: ")
                   .arg(object, where);
        text += describeLdapResult(code, diagnostic);
        if (demandsProtection(code, diagnostic)) {
            text += protectionAdvice();
        }
        return text;
    }
}

} // namespace quorvane
