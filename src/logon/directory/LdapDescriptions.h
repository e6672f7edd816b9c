#pragma once

#include "Failure.h"

#include <QString>
#include <QStringList>

#include <chrono>

namespace quorvane {

// A password-policy response control's error, or none.
constexpr int noPolicyError = -1;

// Longest stretch of a server's diagnostic text quoted in a description.
constexpr qsizetype diagnosticQuoteLimit = 1000;

// Server-chosen items for a description: each quoted short, at most `shown` of them, then a count.
QString quotedList(const QStringList& items, qsizetype shown, qsizetype eachLimit);

// libldap's text for a result code, then the server's diagnostic when it sent one.
QString describeLdapResult(int code, const QString& diagnostic);

// Plain words for the "data NNN" sub-code of an Active Directory bind refusal; empty when none is known.
// A server whose identity was not verified (no TLS, no Kerberos) can say anything: what it says of
// the account or of a right password is then worded as its claim.
QString activeDirectoryReason(const QString& diagnostic, bool serverVerified = true);

// Plain words for a password-policy response error; empty for none.
QString passwordPolicyReason(int policyError, bool serverVerified = true);

// "The server says <claim> ..., so that is its word only."
QString unverifiedClaim(const QString& claim);

// Why the server refused the bind as bindName (empty: anonymous), in words an administrator can act on.
QString describeBindRefusal(const QString& where, const QString& bindName, int code,
                            const QString& diagnostic, const QStringList& referrals,
                            int policyError = noPolicyError, bool serverVerified = true);

// Why the object could not be read after a successful bind.
QString describeObjectFailure(const QString& where, const QString& dn, const QString& bindName, int code,
                              const QString& diagnostic, const QString& matchedDn,
                              const QStringList& referrals);

// The failure the box shows for these facts: the sentence, then, when a server was reached but the
// password had not yet left, that it was not sent.
Failure failureOf(const FailureFacts& facts, const QString& sentence);

struct ConnectAttempt;

// Why a server of the path could not be reached.
QString describeAttempt(const QString& host, bool ipv6, int port, const ConnectAttempt& attempt);

// Why the answer to `operation` got lost: an answer that is not LDAP (facts.firstBytes), one the
// negotiated security layer rejected, a limit that ran out, a closed connection, or libldap's code.
QString describeLostAnswer(const FailureFacts& facts, const QString& operation, bool layerRejected,
                           std::chrono::milliseconds limit, qsizetype largestAnswer);

// How the bound user is named in a description.
QString bindIdentity(const QString& bindName);

} // namespace quorvane
