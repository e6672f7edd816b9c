#pragma once

#include "BindPlan.h"
#include "LdapSession.h"

#include <QString>

namespace quorvane {

// Flag 0x1 on a connection without TLS, for a name that can name a Kerberos principal (or for no
// name at all: the current user's own ticket), asks for a negotiated bind when the server offers one.
bool mayNegotiate(const BindPlan& plan, const TransportPlan& transport, qint32 flags);

// "GSS-SPNEGO" or "GSSAPI" when the server offers one and names its Kerberos realm, else empty.
QString negotiationMechanism(const RootEntry& root);

// The server's name for SASL and Kerberos: its dnsHostName, else the host as written.
QString negotiationHostName(const Target& target);

// One negotiated bind with credentials acquired in-process: Kerberos from the typed password, NTLM
// only when Kerberos could not be tried at all, so the password counts once. The GSS-API exchange is
// ours, carried in SASL bind requests: a Kerberos logon counts only once the server proved itself
// (mutual authentication), an NTLM one only once an answer came back under its signature. Signs or
// seals as the flags ask and checks that the server granted it. Returns the identity for
// descriptions; throws Failure with the refusal in words.
QString negotiatedBind(LDAP* ld, Target& target, const BindPlan& plan, const QString& user,
                       const QString& password, qint32 flags);

} // namespace quorvane
