#include "LdapConnection.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "LdapDescriptions.h"
#include "SaslSecurityLayer.h"
#include "SocketBufferLayers.h"

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

std::chrono::milliseconds left(Clock::time_point deadline, std::chrono::milliseconds atLeast)
{
    return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()), atLeast);
}

void setOption(LDAP* ld, int option, const void* value)
{
    if (ldap_set_option(ld, option, value) != LDAP_OPT_SUCCESS) {
        throw Failure(QStringLiteral("The LDAP library rejected option 0x%1.").arg(option, 0, 16));
    }
}

void setTimeOption(LDAP* ld, int option, std::chrono::milliseconds duration)
{
    const timeval value = toTimeval(duration);
    setOption(ld, option, &value);
}

// Boolean options test the pointer, not what it points to: only LDAP_OPT_OFF switches one off.
void setBoolOption(LDAP* ld, int option, bool value)
{
    setOption(ld, option, value ? LDAP_OPT_ON : LDAP_OPT_OFF);
}

} // namespace

void setIntOption(LDAP* ld, int option, int value)
{
    setOption(ld, option, &value);
}

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

void setTextOption(LDAP* ld, int option, const QString& value)
{
    setOption(ld, option, value.toUtf8().constData());
}

QString filterValue(const QString& value)
{
    const QByteArray utf8 = value.toUtf8();
    berval raw { static_cast<ber_len_t>(utf8.size()), const_cast<char*>(utf8.constData()) };
    berval escaped {};
    if (ldap_bv2escaped_filter_value(&raw, &escaped) != 0) {
        throw Failure(QStringLiteral("The LDAP library could not escape the user name for a search."));
    }
    const EscapedValue owner { escaped.bv_val };
    return fromBerval(escaped);
}

QString fromLdap(const char* text)
{
    return text ? QString::fromUtf8(text) : QString();
}

QString fromBerval(const berval& value)
{
    return QString::fromUtf8(value.bv_val, static_cast<qsizetype>(value.bv_len));
}

LdapConnection::LdapConnection(const LdapPath& path, const TransportPlan& transport,
                               const DirectoryLimits& limits)
    : m_path(path)
    , m_transport(transport)
    , m_limits(limits)
    , m_recorder(std::make_unique<FirstBytesRecorder>())
{}

LdapConnection::LdapConnection(LdapConnection&&) noexcept = default;
LdapConnection& LdapConnection::operator=(LdapConnection&&) noexcept = default;
LdapConnection::~LdapConnection() = default;

LdapConnection LdapConnection::connectFirstReachable(const LdapPath& path, const TransportPlan& transport,
                                                     const DirectoryLimits& limits, const ServerPlan& servers,
                                                     Clock::time_point phaseEnd, PasswordFate password)
{
    LdapConnection connection(path, transport, limits);
    connection.m_password = password;
    QStringList tried = servers.notes;
    const auto connectTo = [&](const Server& server, std::size_t, Clock::time_point) {
        const QString where = endpointText(server.host, server.ipv6, server.port);
        const Clock::time_point now = Clock::now();
        ConnectAttempt attempt =
            attemptTcp(server.host, server.port, limits.connect, std::min(now + limits.connect, phaseEnd));
        const auto micro = [](Clock::duration d) {
            return std::chrono::duration_cast<std::chrono::microseconds>(d);
        };
        connection.m_facts.lookup += micro(attempt.resolving);
        connection.m_facts.connect += micro(Clock::now() - now - attempt.resolving);
        if (attempt.socket.fd() >= 0) {
            connection.m_facts.server = where;
            connection.m_server = server;
            connection.m_peer = attempt.peer;
            connection.m_where = where;
            connection.m_deadline = Clock::now() + limits.operation;
            // A server found through DNS may advertise the TLS ports.
            if (server.port == port::ldaps || server.port == port::globalCatalogTls) {
                connection.m_transport.implicitTls = true;
                connection.m_transport.startTls = false;
            }
            try {
                connection.adopt(std::move(attempt.socket));
            } catch (const Failure& failure) {
                throw failureOf(connection.failureFacts(), failure.description());
            }
            return true;
        }
        if (servers.domain.isEmpty()) {
            throw failureOf(connection.failureFacts(),
                            describeAttempt(server.host, server.ipv6, server.port, attempt));
        }
        tried.append(QStringLiteral("%1: %2").arg(
            where,
            attempt.unresolved ? QStringLiteral("name not resolved (%1)").arg(attempt.reason)
                               : attempt.reason));
        return false;
    };
    const auto late = [&](const Server& server) {
        tried.append(QStringLiteral("%1: not tried, out of time")
                         .arg(endpointText(server.host, server.ipv6, server.port)));
    };
    if (tryInTurn(servers.servers, phaseEnd, connectTo, late)) {
        return connection;
    }
    throw failureOf(connection.failureFacts(),
                    QStringLiteral("No directory server of %1 could be reached: %2.")
                        .arg(servers.domain, tried.join(u"; ")));
}

// Hands our own connected socket to libldap, which then owns and closes it, and checks the
// certificate against the server's host.
void LdapConnection::adopt(Socket socket)
{
    // Only scheme, host and port.
    const QString host = m_server.ipv6
        ? QStringLiteral("[%1]").arg(QString(m_server.host).replace(u'%', QStringLiteral("%25")))
        : m_server.host;
    const QByteArray url =
        QStringLiteral("%1://%2:%3")
            .arg(m_transport.implicitTls ? QStringLiteral("ldaps") : QStringLiteral("ldap"), host,
                 QString::number(m_server.port))
            .toUtf8();
    LDAP* raw = nullptr;
    const int rc = ldap_init_fd(socket.fd(), LDAP_PROTO_TCP, url.constData(), &raw);
    m_ld.reset(raw);
    if (rc != LDAP_SUCCESS || !m_ld) {
        throw Failure(QStringLiteral("The LDAP library could not use the connection to %1: %2")
                          .arg(m_where, describeLdapResult(rc, {})));
    }
    socket.release();
    void* buffer = socketBuffer();
    m_recorder->attach(buffer);
    keepWritesFromRaisingSigpipe(buffer);
    // liblber would otherwise allocate whatever length a hostile answer announces.
    ber_len_t largestAnswer = maxAnswerBytes;
    ber_sockbuf_ctrl(static_cast<Sockbuf*>(buffer), LBER_SB_OPT_SET_MAX_INCOMING, &largestAnswer);
    setIntOption(handle(), LDAP_OPT_PROTOCOL_VERSION, LDAP_VERSION3);
    // Chasing would bind anonymously elsewhere, or carry the credentials to another server.
    setBoolOption(handle(), LDAP_OPT_REFERRALS, false);
    // Without async, the TLS handshake retries a silent server in a busy loop that never times out;
    // with it, the network timeout bounds the handshake.
    setBoolOption(handle(), LDAP_OPT_CONNECT_ASYNC, true);
    setTimeOption(handle(), LDAP_OPT_NETWORK_TIMEOUT, m_limits.connect);
    setTimeOption(handle(), LDAP_OPT_TIMEOUT, m_limits.operation);
}

void* LdapConnection::socketBuffer() const
{
    Sockbuf* buffer = nullptr;
    if (ldap_get_option(handle(), LDAP_OPT_SOCKBUF, &buffer) != LDAP_OPT_SUCCESS || !buffer) {
        throw Failure(
            QStringLiteral("The LDAP library gave no access to the connection to %1.").arg(m_where));
    }
    return buffer;
}

FailureFacts LdapConnection::failureFacts() const
{
    FailureFacts facts;
    facts.step = m_step;
    facts.server = m_where;
    facts.mechanism = m_facts.mechanism;
    facts.password = m_password;
    return facts;
}

// libldap says LDAP_TIMEOUT for any failed wait, also when the peer reset the connection at once;
// only a limit that really passed is reported as one.
void LdapConnection::failed(const QString& operation, bool waitedOut) const
{
    FailureFacts facts = failureFacts();
    facts.firstBytes = m_recorder->notLdapBytes();
    const int code = lastResultCode(handle());
    facts.resultCode = code;
    facts.serverText = lastDiagnostic(handle());
    facts.timedOut = waitedOut || (code == LDAP_TIMEOUT && Clock::now() >= m_deadline);
    const bool layerRejected = m_protection && m_protection->failedCheck();
    throw failureOf(facts,
                    describeLostAnswer(facts, operation, layerRejected, m_limits.operation,
                                       static_cast<qsizetype>(maxAnswerBytes)));
}

// One message of the answer to `messageId` (or all of it), by the check's deadline.
LdapMessage LdapConnection::awaitMessage(int messageId, int all, const QString& operation) const
{
    timeval limit = toTimeval(left(m_deadline, std::chrono::milliseconds(1)));
    LDAPMessage* raw = nullptr;
    const int type = ldap_result(handle(), messageId, all, &limit, &raw);
    LdapMessage result { raw };
    if (type == 0) {
        failed(operation, true);
    }
    if (type < 0 || !result) {
        failed(operation);
    }
    return result;
}

LdapMessage LdapConnection::awaitResult(int messageId, const QString& operation) const
{
    return awaitMessage(messageId, LDAP_MSG_ALL, operation);
}

Outcome LdapConnection::parseOutcome(LDAPMessage* chain, const QString& operation) const
{
    int code = LDAP_SUCCESS;
    char* matched = nullptr;
    char* diagnostic = nullptr;
    char** referrals = nullptr;
    LDAPControl** controls = nullptr;
    const int parsed =
        ldap_parse_result(handle(), chain, &code, &matched, &diagnostic, &referrals, &controls, 0);
    const LdapText matchedOwner { matched };
    const LdapText diagnosticOwner { diagnostic };
    const LdapTexts referralsOwner { referrals };
    const LdapControls controlsOwner { controls };
    if (parsed != LDAP_SUCCESS) {
        failed(operation);
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
        if (ldap_parse_passwordpolicy_control(handle(), policy, &expires, &grace, &error) == LDAP_SUCCESS) {
            outcome.policyError = error != PP_noError ? error : outcome.policyError;
            outcome.expiresIn = expires;
            outcome.graceLeft = grace;
        }
    }
    return outcome;
}

SearchResult LdapConnection::search(const QString& base, int scope, const QString& filter,
                                    std::initializer_list<const char*> attributes, int sizeLimit,
                                    const QString& operation) const
{
    const QByteArray baseUtf8 = base.toUtf8();
    const QByteArray filterUtf8 = filter.toUtf8();
    std::vector<char*> wanted;
    for (const char* attribute : attributes) {
        wanted.push_back(const_cast<char*>(attribute));
    }
    wanted.push_back(nullptr);
    // The server's own time limit, in whole seconds: at least one.
    timeval limit = toTimeval(left(m_deadline, std::chrono::milliseconds(1000)));
    int messageId = 0;
    if (ldap_search_ext(handle(), baseUtf8.constData(), scope, filterUtf8.constData(), wanted.data(), 0,
                        nullptr, nullptr, &limit, sizeLimit, &messageId)
        != LDAP_SUCCESS) {
        failed(operation);
    }
    SearchResult result;
    for (int others = 0; others <= sizeLimit + 8;) {
        const LdapMessage answer = awaitMessage(messageId, LDAP_MSG_ONE, operation);
        const int type = ldap_msgtype(answer.get());
        if (type == LDAP_RES_SEARCH_RESULT) {
            result.outcome = parseOutcome(answer.get(), operation);
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
            char* dn = ldap_get_dn(handle(), entry);
            const LdapText dnOwner { dn };
            result.firstDn = fromLdap(dn);
            for (const char* attribute : attributes) {
                const LdapValues values { ldap_get_values_len(handle(), entry, attribute) };
                QStringList& kept = result.firstValues[QByteArray(attribute)];
                for (berval** value = values.get(); value && *value; ++value) {
                    kept.append(fromBerval(**value));
                }
            }
        }
    }
    ldap_abandon_ext(handle(), messageId, nullptr, nullptr);
    result.outcome.code = LDAP_SIZELIMIT_EXCEEDED;
    return result;
}

const RootEntry& LdapConnection::rootEntry()
{
    if (m_root) {
        return *m_root;
    }
    const SearchResult found =
        search(QString(), LDAP_SCOPE_BASE, QStringLiteral("(objectClass=*)"),
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
    return m_root.emplace(std::move(root));
}

QString LdapConnection::defaultNamingContext()
{
    const QString context = rootEntry().namingContext;
    if (context.isEmpty()) {
        throw Failure(
            QStringLiteral("The path names no object, and the directory server %1 does not say which "
                           "naming context it holds; add the distinguished name to the path.")
                .arg(m_where));
    }
    return context;
}

} // namespace quorvane
