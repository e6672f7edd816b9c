#pragma once

#include "BindPlan.h"
#include "DirectoryLimits.h"
#include "DirectoryProvider.h"
#include "Failure.h"
#include "LdapHandles.h"
#include "LdapPath.h"
#include "NetworkConnect.h"
#include "ServerLocator.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <memory>
#include <optional>

namespace quorvane {

class FirstBytesRecorder;
class SaslSecurityLayer;
struct TrustSources;

struct Outcome
{
    int code = LDAP_SUCCESS;
    QString diagnostic;
    QString matchedDn;
    QStringList referrals;
    int policyError = -1; // from a password-policy response control; -1 for none
    int expiresIn = -1; // its warning: seconds until the password expires; -1 for none
    int graceLeft = -1; // its warning: logons left after expiry; -1 for none
};

// What the server says of itself in its root entry, which any client may read before binding.
struct RootEntry
{
    bool read = false;
    QString namingContext; // the default one, else the first it holds
    bool activeDirectory = false;
    QStringList saslMechanisms;
    QString dnsHostName; // the name Kerberos knows the server by
    QString realm; // the Kerberos realm, from ldapServiceName ("domain:host$@REALM")
    QString currentTime; // the server's clock, GeneralizedTime
};

struct SearchResult
{
    Outcome outcome;
    int count = 0; // entries seen, at most the size limit plus one
    QString firstDn;
    QHash<QByteArray, QStringList> firstValues; // of the attributes asked for
};

QString fromLdap(const char* text);
QString fromBerval(const berval& value);
void setIntOption(LDAP* ld, int option, int value);
void setTextOption(LDAP* ld, int option, const QString& value);
int lastResultCode(LDAP* ld);
QString lastDiagnostic(LDAP* ld);
// `value` escaped for an assertion of a search filter (RFC 4515).
QString filterValue(const QString& value);

// One LDAP connection of one check. It owns the libldap handle over our own socket, what it recorded
// of the server's first answer, the server and address it reached, the limits and the check's one
// deadline, the root entry once read, and the security layer a negotiated bind put on it. The binds
// and the object read are operations on it; every wait it makes is bounded by that deadline.
class LdapConnection
{
public:
    // Connects to the first server of the plan that takes a TCP connection, by `phaseEnd`, and hands
    // the socket to libldap. Only a connection failure moves on: once a server has answered, no other
    // one sees the password. From then on everything draws from one operation limit.
    static LdapConnection connectFirstReachable(const LdapPath& path, const TransportPlan& transport,
                                                const DirectoryLimits& limits, const ServerPlan& servers,
                                                Clock::time_point phaseEnd, PasswordFate password);

    LdapConnection(LdapConnection&&) noexcept;
    LdapConnection& operator=(LdapConnection&&) noexcept;
    ~LdapConnection();

    LDAP* handle() const { return m_ld.get(); }
    const QString& where() const { return m_where; }
    const Server& server() const { return m_server; }
    const LdapPath& path() const { return m_path; }
    const TransportPlan& transport() const { return m_transport; }
    const DirectoryLimits& limits() const { return m_limits; }
    Clock::time_point deadline() const { return m_deadline; }
    // What the check learned so far: server, TLS version, and each step's time.
    CheckFacts& facts() { return m_facts; }
    // The step the check is in, and whether the password has left this machine.
    void enter(CheckStep step) { m_step = step; }
    void passwordSent() { m_password = PasswordFate::Sent; }
    // What a failure now would know: step, server, mechanism, the password's fate.
    FailureFacts failureFacts() const;
    // The facts as handed over. The address and the certificate are formatted and read only now:
    // few checks are asked for them.
    CheckFacts reportedFacts() const;

    // TLS from the first byte or StartTLS, as the transport plan says; the certificate always verified.
    void secure();
    // libldap's socket buffer (a Sockbuf*), for a security layer to be pushed onto it.
    void* socketBuffer() const;
    // After a negotiated bind: the layer every message now passes, asked when an answer goes wrong.
    void protectedBy(const SaslSecurityLayer* layer) { m_protection = layer; }

    // Says why an operation's request or answer got lost: a limit that passed, a closed connection,
    // an answer that is not LDAP or failed the security layer's check.
    [[noreturn]] void failed(const QString& operation, bool waitedOut = false) const;
    // The whole answer to `messageId`, by the check's deadline.
    LdapMessage awaitResult(int messageId, const QString& operation) const;
    Outcome parseOutcome(LDAPMessage* chain, const QString& operation) const;
    // Reads the answer one message at a time, keeping only the first entry, and gives up on a server
    // that sends more entries than asked for: an endless stream must not fill the memory.
    SearchResult search(const QString& base, int scope, const QString& filter,
                        std::initializer_list<const char*> attributes, int sizeLimit,
                        const QString& operation) const;
    // The server's root entry, read once when first needed.
    const RootEntry& rootEntry();
    // An empty DN names the server's default naming context, as read from its root entry.
    QString defaultNamingContext();

private:
    LdapConnection(const LdapPath& path, const TransportPlan& transport, const DirectoryLimits& limits);
    void adopt(Socket socket);
    LdapMessage awaitMessage(int messageId, int all, const QString& operation) const;
    [[noreturn]] void tlsFailed(const TrustSources& trust, Clock::time_point started);
    void recordTlsFacts();

    LdapPath m_path;
    TransportPlan m_transport;
    DirectoryLimits m_limits;
    Clock::time_point m_deadline = Clock::time_point::max();
    Server m_server;
    PeerAddress m_peer; // for a second look at the certificate
    QString m_where;
    // A layer of m_ld's socket buffer: declared before the handle, so it outlives it.
    std::unique_ptr<FirstBytesRecorder> m_recorder;
    LdapHandle m_ld;
    std::optional<RootEntry> m_root;
    const SaslSecurityLayer* m_protection = nullptr; // owned by the socket buffer
    CheckFacts m_facts;
    CheckStep m_step = CheckStep::Connect;
    PasswordFate m_password = PasswordFate::None;
    QByteArray m_peerCertificate; // DER, for the facts
};

// How long `step` takes, added to `into`.
template <typename Step>
auto timed(std::chrono::microseconds& into, Step step)
{
    const Clock::time_point started = Clock::now();
    struct Add
    {
        std::chrono::microseconds& into;
        Clock::time_point started;
        ~Add() { into += std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started); }
    } add { into, started };
    return step();
}

} // namespace quorvane
