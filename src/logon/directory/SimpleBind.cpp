#include "SimpleBind.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "LdapDescriptions.h"

namespace quorvane {

namespace {

Outcome simpleBind(LdapConnection& connection, const QString& name, const QString& password)
{
    LDAP* ld = connection.handle();
    const QByteArray nameUtf8 = name.toUtf8();
    QByteArray secret = password.toUtf8();
    berval credentials { static_cast<ber_len_t>(secret.size()), secret.data() };
    // Asks OpenLDAP-style servers to say why, when a password policy refuses the logon.
    LDAPControl* rawPolicy = nullptr;
    if (ldap_create_passwordpolicy_control(ld, &rawPolicy) != LDAP_SUCCESS) {
        throw Failure(QStringLiteral("The LDAP library could not build the password-policy request."));
    }
    const LdapControl policy { rawPolicy };
    LDAPControl* requestControls[] = { policy.get(), nullptr };
    int messageId = 0;
    const QString operation = QStringLiteral("bind request");
    if (!password.isEmpty()) {
        connection.passwordSent();
    }
    if (ldap_sasl_bind(ld, nameUtf8.constData(), LDAP_SASL_SIMPLE, &credentials, requestControls, nullptr,
                       &messageId)
        != LDAP_SUCCESS) {
        connection.failed(operation);
    }
    const LdapMessage answer = connection.awaitResult(messageId, operation);
    return connection.parseOutcome(answer.get(), operation);
}

// Servers other than Active Directory bind distinguished names only, and some answer any other
// name as a wrong password: find the user's entry first, anonymously, so the one bind uses its DN.
QString lookUpBindName(LdapConnection& connection, const BindPlan& plan)
{
    const QString lead =
        QStringLiteral("The directory server %1 %2, so the user name is looked up before the "
                       "bind, and ")
            .arg(connection.where(),
                 connection.rootEntry().read
                     ? QStringLiteral("is not Active Directory")
                     : QStringLiteral("does not say what it is (its root entry cannot be read)"));
    const QString pathDomain = pathDownLevelDomain(connection.path());
    if (!plan.downLevelDomain.isEmpty()
        && plan.downLevelDomain.compare(pathDomain, Qt::CaseInsensitive) != 0) {
        throw failureOf(
            connection.failureFacts(),
            lead
                + (pathDomain.isEmpty()
                       ? QStringLiteral("the path names no domain (no DC= components) to hold \"%1\" to.")
                             .arg(quoteForDescription(plan.downLevelDomain, 100))
                       : QStringLiteral("\"%1\" names another domain than the path's, %2 (%3).")
                             .arg(quoteForDescription(plan.downLevelDomain, 100), pathDomain,
                                  connection.path().dnsDomain))
                + QStringLiteral(" Type the user's full distinguished name instead."));
    }
    const QString base = connection.path().namingContext.isEmpty() ? connection.defaultNamingContext()
                                                                   : connection.path().namingContext;
    const QString term = filterValue(plan.lookupValue);
    const QString filter =
        QStringLiteral("(|(uid=%1)(sAMAccountName=%1)(userPrincipalName=%1)(mail=%1))").arg(term);
    const QString attributes = QStringLiteral("uid, sAMAccountName, userPrincipalName or mail");
    const SearchResult found = connection.search(base, LDAP_SCOPE_SUBTREE, filter, { "1.1" }, 2,
                                                 QStringLiteral("search for the user"));
    const QString shownBase = quoteForDescription(base, 300);
    const QString shownValue = quoteForDescription(plan.lookupValue, 200);
    if (found.count > 1 || found.outcome.code == LDAP_SIZELIMIT_EXCEEDED) {
        throw failureOf(
            connection.failureFacts(),
            lead
                + QStringLiteral("more than one entry under \"%1\" has %2 equal to \"%3\". Type the user's "
                                 "full distinguished name instead.")
                      .arg(shownBase, attributes, shownValue));
    }
    if (found.outcome.code != LDAP_SUCCESS && found.outcome.code != LDAP_NO_SUCH_OBJECT) {
        FailureFacts facts = connection.failureFacts();
        facts.resultCode = found.outcome.code;
        facts.serverText = found.outcome.diagnostic;
        throw failureOf(facts,
                        lead
                            + QStringLiteral("the search for \"%1\" under \"%2\" failed: %3")
                                  .arg(shownValue, shownBase,
                                       describeLdapResult(found.outcome.code, found.outcome.diagnostic)));
    }
    // An entry without a name would turn the bind into an unauthenticated one.
    if (found.count == 0 || found.firstDn.isEmpty()) {
        throw failureOf(
            connection.failureFacts(),
            lead
                + QStringLiteral("no entry under \"%1\" has %2 equal to \"%3\". Check the user name, or "
                                 "type the user's full distinguished name.")
                      .arg(shownBase, attributes, shownValue));
    }
    return found.firstDn;
}

} // namespace

QString simpleBindOnce(LdapConnection& connection, const BindPlan& plan, const QString& password)
{
    QString name = plan.anonymous ? QString() : plan.bindName;
    if (!plan.lookupValue.isEmpty() && !connection.rootEntry().activeDirectory) {
        name = lookUpBindName(connection, plan);
    }
    const Outcome outcome = simpleBind(connection, name, plan.anonymous ? QString() : password);
    if (outcome.code != LDAP_SUCCESS) {
        // TLS is always verified; a plain connection proves nothing about who answered.
        const bool verified = connection.transport().implicitTls || connection.transport().startTls;
        FailureFacts facts = connection.failureFacts();
        facts.resultCode = outcome.code;
        facts.serverText = outcome.diagnostic;
        throw failureOf(facts,
                        describeBindRefusal(connection.where(), name, outcome.code, outcome.diagnostic,
                                            outcome.referrals, outcome.policyError, verified));
    }
    if (outcome.policyError == PP_changeAfterReset) {
        // The server lets this session change the password and nothing else.
        throw failureOf(
            connection.failureFacts(),
            QStringLiteral("The directory server %1 accepted the password of %2, but an administrator reset "
                           "it: it must be changed before the account can be used.")
                .arg(connection.where(), bindIdentity(name)));
    }
    CheckFacts& facts = connection.facts();
    if (outcome.expiresIn >= 0) {
        facts.passwordExpires = QDateTime::currentDateTimeUtc().addSecs(outcome.expiresIn);
    }
    if (outcome.graceLeft >= 0) {
        facts.graceLogins = outcome.graceLeft;
    }
    return name;
}

} // namespace quorvane
