#include "LdapSession.h"

#include "AnswerSniffer.h"
#include "DescriptionText.h"
#include "Failure.h"
#include "LdapDescriptions.h"
#include "SaslSecurityLayer.h"
#include "TlsDiagnosis.h"
#include "TrustSettings.h"

#include <QFileInfo>

#include <openldap.h>

#include <algorithm>

namespace quorvane {

namespace {

// No answer to a bind or a base read comes near this; a larger one is refused as it arrives.
constexpr ber_len_t maxAnswerBytes = 4 * 1024 * 1024;

timeval toTimeval(std::chrono::milliseconds duration)
{
    timeval value {};
    value.tv_sec = static_cast<time_t>(duration.count() / 1000);
    value.tv_usec = static_cast<suseconds_t>((duration.count() % 1000) * 1000);
    return value;
}

void setIntOption(LDAP* ld, int option, int value)
{
    if (ldap_set_option(ld, option, &value) != LDAP_OPT_SUCCESS) {
        throw Failure(QStringLiteral("The LDAP library rejected option 0x%1.").arg(option, 0, 16));
    }
}

void setTimeOption(LDAP* ld, int option, std::chrono::milliseconds duration)
{
    const timeval value = toTimeval(duration);
    if (ldap_set_option(ld, option, &value) != LDAP_OPT_SUCCESS) {
        throw Failure(QStringLiteral("The LDAP library rejected option 0x%1.").arg(option, 0, 16));
    }
}

[[noreturn]] void answeredWithNoLdap(const Target& target, const QString& operation, const QString& bytes)
{
    throw Failure(
        QStringLiteral("The server at %1 answered the %2 with data that is not LDAP, beginning \"%3\". Check "
                       "that the path names an LDAP port.")
            .arg(target.where, operation, bytes));
}

// Verification is demanded on this handle so no ldaprc or TLS_REQCERT setting can switch it off.
TrustSources configureTls(LDAP* ld, bool sendsPassword)
{
    const TrustSources trust = configuredTrust();
    const QString unreadable = !trust.caFile.isEmpty() && !QFileInfo(trust.caFile).isReadable() ? trust.caFile
        : !trust.caDir.isEmpty() && !QFileInfo(trust.caDir).isReadable()                        ? trust.caDir
                                                                                                : QString();
    const QString untrusting =
        QStringLiteral("The trusted certificate authorities cannot be read from \"%1\" (set by "
                       "%2), so no TLS connection can be verified.%3")
            .arg(quoteForDescription(unreadable.isEmpty() ? trust.caFile : unreadable, 200), trust.origin,
                 sendsPassword ? QStringLiteral(" The password was not sent.") : QString());
    if (!unreadable.isEmpty()) {
        throw Failure(untrusting);
    }
    if (!trust.caFile.isEmpty()) {
        setTextOption(ld, LDAP_OPT_X_TLS_CACERTFILE, trust.caFile);
    }
    if (!trust.caDir.isEmpty()) {
        setTextOption(ld, LDAP_OPT_X_TLS_CACERTDIR, trust.caDir);
    }
    setIntOption(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, LDAP_OPT_X_TLS_DEMAND);
    // Must come last: the handle's TLS options take effect only in a context made after them.
    const int client = 0;
    if (ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client) != LDAP_OPT_SUCCESS) {
        throw Failure(untrusting); // the file is there, but holds no certificate GnuTLS can load
    }
    return trust;
}

[[noreturn]] void tlsFailed(LdapHandle& ld, const Target& target, const TrustSources& trust,
                            bool sendsPassword, Clock::time_point started)
{
    const int code = lastResultCode(ld.get());
    const QString libraryText = lastDiagnostic(ld.get());
    // A single-threaded server would still be busy with the failed connection.
    ld.reset();
    if (code == LDAP_TIMEOUT && Clock::now() - started >= target.limits.connect) {
        throw Failure(
            QStringLiteral("The directory server %1 did not complete the TLS handshake within %2.%3")
                .arg(target.where, durationText(target.limits.connect),
                     sendsPassword ? QStringLiteral(" The password was not sent.") : QString()));
    }
    QString reason = diagnoseTls(target.server.host, target.server.ipv6, target.server.port, target.peer,
                                 target.transport.startTls, trust, target.limits.connect);
    if (reason.isEmpty()) {
        reason = QStringLiteral("The TLS connection to %1 failed: %2")
                     .arg(target.where, describeLdapResult(code, libraryText));
    }
    if (sendsPassword) {
        reason += QStringLiteral(" The password was not sent.");
    }
    throw Failure(reason);
}

} // namespace

int lastResultCode(LDAP* ld)
{
    int code = LDAP_OTHER;
    ldap_get_option(ld, LDAP_OPT_RESULT_CODE, &code);
    return code;
}

QString lastDiagnostic(LDAP* ld)
{
    char* raw = nullptr;
    ldap_get_option(ld, LDAP_OPT_DIAGNOSTIC_MESSAGE, &raw);
    const LdapText text { raw };
    return fromLdap(text.get());
}

// Boolean options test the pointer, not what it points to: only LDAP_OPT_OFF switches one off.
void setBoolOption(LDAP* ld, int option, bool value)
{
    if (ldap_set_option(ld, option, value ? LDAP_OPT_ON : LDAP_OPT_OFF) != LDAP_OPT_SUCCESS) {
        throw Failure(QStringLiteral("The LDAP library rejected option 0x%1.").arg(option, 0, 16));
    }
}

void setTextOption(LDAP* ld, int option, const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    if (ldap_set_option(ld, option, utf8.constData()) != LDAP_OPT_SUCCESS) {
        throw Failure(QStringLiteral("The LDAP library rejected option 0x%1.").arg(option, 0, 16));
    }
}

QString fromLdap(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

QString fromBerval(const berval& value)
{
    return QString::fromUtf8(value.bv_val, static_cast<qsizetype>(value.bv_len));
}

// libldap says LDAP_TIMEOUT for any failed wait, also when the peer reset the connection at once;
// only a limit that really passed is reported as one.
[[noreturn]] void connectionFailed(LDAP* ld, const Target& target, const QString& operation,
                                   Clock::time_point deadline)
{
    const QString bytes = target.sniffer->notLdapText();
    if (!bytes.isEmpty()) {
        answeredWithNoLdap(target, operation, bytes);
    }
    if (target.protection && target.protection->failedCheck()) {
        throw Failure(
            QStringLiteral("The answer of the directory server %1 to the %2 failed the check of the "
                           "negotiated security layer: it was not made with this logon's session key.")
                .arg(target.where, operation));
    }
    const int code = lastResultCode(ld);
    if (code == LDAP_TIMEOUT && Clock::now() >= deadline) {
        throw Failure(
            QStringLiteral(
                "The directory server %1 did not answer the %2 before the check's limit of %3 ran out.")
                .arg(target.where, operation, durationText(target.limits.operation)));
    }
    if (code == LDAP_SERVER_DOWN || code == LDAP_TIMEOUT) {
        throw Failure(
            QStringLiteral("The directory server %1 closed the connection during the %2, or sent an "
                           "answer larger than %3 MiB.")
                .arg(target.where, operation, QString::number(maxAnswerBytes / (1024 * 1024))));
    }
    if (code == LDAP_DECODING_ERROR || code == LDAP_PROTOCOL_ERROR) {
        throw Failure(
            QStringLiteral("The directory server %1 answered the %2 with data that is not valid LDAP. "
                           "Check that the port is an LDAP port.")
                .arg(target.where, operation));
    }
    throw Failure(QStringLiteral("The %1 to %2 failed: %3")
                      .arg(operation, target.where, describeLdapResult(code, lastDiagnostic(ld))));
}

namespace {

// One message of the answer to `messageId` (or all of it), by the deadline.
LdapMessage awaitMessage(LDAP* ld, int messageId, int all, const Target& target, const QString& operation,
                         Clock::time_point deadline)
{
    const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                               std::chrono::milliseconds(1));
    timeval limit = toTimeval(left);
    LDAPMessage* raw = nullptr;
    const int type = ldap_result(ld, messageId, all, &limit, &raw);
    LdapMessage result { raw };
    if (type == 0) {
        const QString bytes = target.sniffer->notLdapText();
        if (!bytes.isEmpty()) {
            answeredWithNoLdap(target, operation, bytes);
        }
        throw Failure(
            QStringLiteral(
                "The directory server %1 did not answer the %2 before the check's limit of %3 ran out.")
                .arg(target.where, operation, durationText(target.limits.operation)));
    }
    if (type < 0 || !result) {
        connectionFailed(ld, target, operation, deadline);
    }
    return result;
}

} // namespace

LdapMessage awaitResult(LDAP* ld, int messageId, const Target& target, const QString& operation)
{
    return awaitMessage(ld, messageId, LDAP_MSG_ALL, target, operation, target.deadline);
}

Outcome parseOutcome(LDAP* ld, LDAPMessage* chain, const Target& target, const QString& operation)
{
    int code = LDAP_SUCCESS;
    char* matched = nullptr;
    char* diagnostic = nullptr;
    char** referrals = nullptr;
    LDAPControl** controls = nullptr;
    const int parsed = ldap_parse_result(ld, chain, &code, &matched, &diagnostic, &referrals, &controls, 0);
    const LdapText matchedOwner { matched };
    const LdapText diagnosticOwner { diagnostic };
    const LdapTexts referralsOwner { referrals };
    const LdapControls controlsOwner { controls };
    if (parsed != LDAP_SUCCESS) {
        connectionFailed(ld, target, operation, Clock::time_point::max());
    }
    Outcome outcome;
    outcome.code = code;
    outcome.matchedDn = fromLdap(matched);
    outcome.diagnostic = fromLdap(diagnostic);
    for (char** url = referrals; url && *url; ++url) {
        outcome.referrals.append(fromLdap(*url));
    }
    if (LDAPControl* policy = ldap_control_find(LDAP_CONTROL_PASSWORDPOLICYRESPONSE, controls, nullptr)) {
        ber_int_t expires = -1;
        ber_int_t grace = -1;
        LDAPPasswordPolicyError error = PP_noError;
        if (ldap_parse_passwordpolicy_control(ld, policy, &expires, &grace, &error) == LDAP_SUCCESS
            && error != PP_noError) {
            outcome.policyError = error;
        }
    }
    return outcome;
}

Socket connectFirstReachable(Target& target, const ServerPlan& plan, Clock::time_point phaseEnd)
{
    QStringList tried = plan.notes;
    for (const Server& server : plan.servers) {
        const QString where = endpointText(server.host, server.ipv6, server.port);
        const Clock::time_point now = Clock::now();
        if (now >= phaseEnd) {
            tried.append(QStringLiteral("%1: not tried, out of time").arg(where));
            continue;
        }
        ConnectAttempt attempt = attemptTcp(server.host, server.port, target.limits.connect,
                                            std::min(now + target.limits.connect, phaseEnd));
        if (attempt.socket.fd() >= 0) {
            target.server = server;
            target.peer = attempt.peer;
            target.deadline = Clock::now() + target.limits.operation;
            target.where = where;
            // A server found through DNS may advertise the TLS ports.
            if (server.port == port::ldaps || server.port == port::globalCatalogTls) {
                target.transport.implicitTls = true;
                target.transport.startTls = false;
            }
            return std::move(attempt.socket);
        }
        if (plan.domain.isEmpty()) {
            throw Failure(describeAttempt(server.host, server.ipv6, server.port, attempt));
        }
        tried.append(QStringLiteral("%1: %2").arg(
            where,
            attempt.unresolved ? QStringLiteral("name not resolved (%1)").arg(attempt.reason)
                               : attempt.reason));
    }
    throw Failure(QStringLiteral("No directory server of %1 could be reached: %2.")
                      .arg(plan.domain, tried.join(u"; ")));
}

LdapHandle adoptConnection(const Target& target, Socket socket)
{
    // Only scheme, host and port.
    const QString host = target.server.ipv6
        ? QStringLiteral("[%1]").arg(QString(target.server.host).replace(u'%', QStringLiteral("%25")))
        : target.server.host;
    const QByteArray url =
        QStringLiteral("%1://%2:%3")
            .arg(target.transport.implicitTls ? QStringLiteral("ldaps") : QStringLiteral("ldap"), host,
                 QString::number(target.server.port))
            .toUtf8();
    LDAP* raw = nullptr;
    const int rc = ldap_init_fd(socket.fd(), LDAP_PROTO_TCP, url.constData(), &raw);
    LdapHandle ld { raw };
    if (rc != LDAP_SUCCESS || !ld) {
        throw Failure(QStringLiteral("The LDAP library could not use the connection to %1: %2")
                          .arg(target.where, describeLdapResult(rc, {})));
    }
    socket.release();
    Sockbuf* buffer = nullptr;
    if (ldap_get_option(ld.get(), LDAP_OPT_SOCKBUF, &buffer) != LDAP_OPT_SUCCESS || !buffer) {
        throw Failure(
            QStringLiteral("The LDAP library gave no access to the connection to %1.").arg(target.where));
    }
    target.sniffer->attach(buffer);
    // liblber would otherwise allocate whatever length a hostile answer announces.
    ber_len_t largestAnswer = maxAnswerBytes;
    ber_sockbuf_ctrl(buffer, LBER_SB_OPT_SET_MAX_INCOMING, &largestAnswer);
    setIntOption(ld.get(), LDAP_OPT_PROTOCOL_VERSION, LDAP_VERSION3);
    // Chasing would bind anonymously elsewhere, or carry the credentials to another server.
    setBoolOption(ld.get(), LDAP_OPT_REFERRALS, false);
    // Without async, the TLS handshake retries a silent server in a busy loop that never times out;
    // with it, the network timeout bounds the handshake.
    setBoolOption(ld.get(), LDAP_OPT_CONNECT_ASYNC, true);
    setTimeOption(ld.get(), LDAP_OPT_NETWORK_TIMEOUT, target.limits.connect);
    setTimeOption(ld.get(), LDAP_OPT_TIMEOUT, target.limits.operation);
    return ld;
}

void secureConnection(LdapHandle& handle, const Target& target, bool sendsPassword)
{
    LDAP* ld = handle.get();
    if (!target.transport.implicitTls && !target.transport.startTls) {
        return;
    }
    const TrustSources trust = configureTls(ld, sendsPassword);
    if (target.transport.startTls) {
        int messageId = 0;
        if (ldap_extended_operation(ld, LDAP_EXOP_START_TLS, nullptr, nullptr, nullptr, &messageId)
            != LDAP_SUCCESS) {
            connectionFailed(ld, target, QStringLiteral("StartTLS request"), Clock::time_point::max());
        }
        const QString operation = QStringLiteral("StartTLS request");
        const LdapMessage answer = awaitResult(ld, messageId, target, operation);
        const Outcome outcome = parseOutcome(ld, answer.get(), target, operation);
        if (outcome.code != LDAP_SUCCESS) {
            QString text =
                QStringLiteral("The directory server %1 refused StartTLS, which the bind flags ask for: %2")
                    .arg(target.where, describeLdapResult(outcome.code, outcome.diagnostic));
            if (sendsPassword) {
                text += QStringLiteral(" The password was not sent.");
            }
            throw Failure(text);
        }
    }
    const Clock::time_point started = Clock::now();
    if (ldap_install_tls(ld) != LDAP_SUCCESS) {
        tlsFailed(handle, target, trust, sendsPassword, started);
    }
}

SearchResult search(LDAP* ld, const Target& target, const QString& base, int scope, const QString& filter,
                    std::initializer_list<const char*> attributes, int sizeLimit, const QString& operation)
{
    const QByteArray baseUtf8 = base.toUtf8();
    const QByteArray filterUtf8 = filter.toUtf8();
    std::vector<char*> wanted;
    for (const char* attribute : attributes) {
        wanted.push_back(const_cast<char*>(attribute));
    }
    wanted.push_back(nullptr);
    timeval limit = toTimeval(
        std::max(std::chrono::duration_cast<std::chrono::milliseconds>(target.deadline - Clock::now()),
                 std::chrono::milliseconds(1000)));
    int messageId = 0;
    if (ldap_search_ext(ld, baseUtf8.constData(), scope, filterUtf8.constData(), wanted.data(), 0, nullptr,
                        nullptr, &limit, sizeLimit, &messageId)
        != LDAP_SUCCESS) {
        connectionFailed(ld, target, operation, Clock::time_point::max());
    }
    const Clock::time_point deadline = target.deadline;
    SearchResult result;
    for (int others = 0; others <= sizeLimit + 8;) {
        const LdapMessage answer = awaitMessage(ld, messageId, LDAP_MSG_ONE, target, operation, deadline);
        const int type = ldap_msgtype(answer.get());
        if (type == LDAP_RES_SEARCH_RESULT) {
            result.outcome = parseOutcome(ld, answer.get(), target, operation);
            return result;
        }
        if (type != LDAP_RES_SEARCH_ENTRY) {
            ++others; // continuation references and the like
            continue;
        }
        if (++result.count > sizeLimit) {
            break;
        }
        if (result.count == 1) {
            LDAPMessage* entry = answer.get();
            char* dn = ldap_get_dn(ld, entry);
            const LdapText dnOwner { dn };
            result.firstDn = fromLdap(dn);
            for (const char* attribute : attributes) {
                const LdapValues values { ldap_get_values_len(ld, entry, attribute) };
                QStringList& kept = result.firstValues[QByteArray(attribute)];
                for (berval** value = values.get(); value && *value; ++value) {
                    kept.append(fromBerval(**value));
                }
            }
        }
    }
    ldap_abandon_ext(ld, messageId, nullptr, nullptr);
    result.outcome.code = LDAP_SIZELIMIT_EXCEEDED;
    return result;
}

const RootEntry& rootEntry(LDAP* ld, Target& target)
{
    if (target.root) {
        return *target.root;
    }
    const SearchResult found =
        search(ld, target, QString(), LDAP_SCOPE_BASE, QStringLiteral("(objectClass=*)"),
               { "defaultNamingContext", "namingContexts", "supportedCapabilities", "supportedSASLMechanisms",
                 "dnsHostName", "ldapServiceName", "currentTime" },
               1, QStringLiteral("read of the server's root entry"));
    RootEntry root;
    root.read = found.outcome.code == LDAP_SUCCESS && found.count == 1;
    for (const char* attribute : { "defaultNamingContext", "namingContexts" }) {
        const QStringList values = found.firstValues.value(QByteArray(attribute));
        if (root.namingContext.isEmpty() && !values.isEmpty()) {
            root.namingContext = values.first();
        }
    }
    // LDAP_CAP_ACTIVE_DIRECTORY_OID: the server takes user@domain and DOMAIN\user as bind names.
    root.activeDirectory = found.firstValues.value(QByteArrayLiteral("supportedCapabilities"))
                               .contains(QStringLiteral("1.2.840.113556.1.4.800"));
    root.saslMechanisms = found.firstValues.value(QByteArrayLiteral("supportedSASLMechanisms"));
    const auto first = [&](const char* attribute) {
        return found.firstValues.value(QByteArray(attribute)).value(0);
    };
    root.dnsHostName = first("dnsHostName");
    const QString service = first("ldapServiceName");
    root.realm = service.contains(u'@') ? service.section(u'@', -1) : QString();
    root.currentTime = first("currentTime");
    return target.root.emplace(std::move(root));
}

// An empty DN names the server's default naming context, as read from its root DSE.
QString defaultNamingContext(LDAP* ld, Target& target)
{
    const QString context = rootEntry(ld, target).namingContext;
    if (context.isEmpty()) {
        throw Failure(
            QStringLiteral("The path names no object, and the directory server %1 does not say which "
                           "naming context it holds; add the distinguished name to the path.")
                .arg(target.where));
    }
    return context;
}

} // namespace quorvane
