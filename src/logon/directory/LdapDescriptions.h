#pragma once

#include <QString>
#include <QStringList>

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

// " The password was not sent." when the check would have sent one, else nothing.
QString passwordNotSent(bool wouldHaveSent = true);

// How the bound user is named in a description.
QString bindIdentity(const QString& bindName);

} // namespace quorvane
