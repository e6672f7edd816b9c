#pragma once

#include "BindPlan.h"
#include "DirectoryLimits.h"
#include "LdapDescriptions.h"
#include "LdapPath.h"
#include "NetworkConnect.h"
#include "Release.h"
#include "ServerLocator.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <ldap.h>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <optional>

// One LDAP connection of one open: our socket handed to libldap, TLS, every wait bounded, answers
// parsed. The binds and the object read are built on these.
namespace quorvane {

class AnswerSniffer;
class SaslSecurityLayer;

// A handle must be unbound even when no bind ever happened.
inline void unbind(LDAP* ld)
{
    ldap_unbind_ext_s(ld, nullptr, nullptr);
}
inline void freeTexts(char** texts)
{
    ldap_memvfree(reinterpret_cast<void**>(texts));
}
inline void freeEscaped(char* text)
{
    ber_memfree(text);
}
using LdapHandle = std::unique_ptr<LDAP, Release<unbind>>;
using LdapMessage = std::unique_ptr<LDAPMessage, Release<ldap_msgfree>>;
using LdapText = std::unique_ptr<char, Release<ldap_memfree>>;
using LdapTexts = std::unique_ptr<char*, Release<freeTexts>>;
using LdapValues = std::unique_ptr<berval*, Release<ldap_value_free_len>>;
using EscapedValue = std::unique_ptr<char, Release<freeEscaped>>;
using LdapControl = std::unique_ptr<LDAPControl, Release<ldap_control_free>>;
using LdapControls = std::unique_ptr<LDAPControl*, Release<ldap_controls_free>>;

using Clock = std::chrono::steady_clock;

struct Outcome
{
    int code = LDAP_SUCCESS;
    QString diagnostic;
    QString matchedDn;
    QStringList referrals;
    int policyError = noPolicyError; // from a password-policy response control
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

// What one open knows about where it is and how long it may wait.
struct Target
{
    LdapPath path;
    TransportPlan transport;
    QString where;
    DirectoryLimits limits;
    // Once a server took the connection: everything after (TLS, root entry, Kerberos, bind, read)
    // draws from this one operation limit.
    Clock::time_point deadline = Clock::time_point::max();
    Server server; // the one connected to
    PeerAddress peer; // its address, for a second look at its certificate
    AnswerSniffer* sniffer = nullptr;
    const SaslSecurityLayer* protection = nullptr; // after a negotiated bind that signs or seals
    std::optional<RootEntry> root; // read once, when first needed
};

struct SearchResult
{
    Outcome outcome;
    int count = 0; // entries seen, at most the size limit plus one
    QString firstDn;
    QHash<QByteArray, QStringList> firstValues; // of the attributes asked for
};

QString fromLdap(const char* text);
int lastResultCode(LDAP* ld);
void setBoolOption(LDAP* ld, int option, bool value);
void setTextOption(LDAP* ld, int option, const QString& value);
QString lastDiagnostic(LDAP* ld);
QString fromBerval(const berval& value);

// Says why an operation's request or answer got lost: a limit that passed, a closed connection,
// an answer that is not LDAP.
[[noreturn]] void connectionFailed(LDAP* ld, const Target& target, const QString& operation,
                                   Clock::time_point deadline);
// The whole answer to `messageId`, within the operation limit.
LdapMessage awaitResult(LDAP* ld, int messageId, const Target& target, const QString& operation);
Outcome parseOutcome(LDAP* ld, LDAPMessage* chain, const Target& target, const QString& operation);

// Connects to the first server of the plan that takes a TCP connection, by `phaseEnd`. Only a
// connection failure moves on: once a server has answered, no other one sees the password.
Socket connectFirstReachable(Target& target, const ServerPlan& plan, Clock::time_point phaseEnd);
// Hands our own connected socket to libldap, which then owns and closes it. libldap checks the
// certificate against the server's host.
LdapHandle adoptConnection(const Target& target, Socket socket);
// TLS from the first byte or StartTLS, as the transport plan says; the certificate always verified.
void secureConnection(LdapHandle& handle, const Target& target, bool sendsPassword);

// Reads the answer one message at a time, keeping only the first entry, and gives up on a server
// that sends more entries than asked for: an endless stream must not fill the memory.
SearchResult search(LDAP* ld, const Target& target, const QString& base, int scope, const QString& filter,
                    std::initializer_list<const char*> attributes, int sizeLimit, const QString& operation);
// The server's root entry, read once per open when first needed.
const RootEntry& rootEntry(LDAP* ld, Target& target);
// An empty DN names the server's default naming context, as read from its root entry.
QString defaultNamingContext(LDAP* ld, Target& target);

} // namespace quorvane
