#pragma once

#include "BindPlan.h"
#include "LdapConnection.h"

#include <QString>

namespace quorvane {

// "GSS-SPNEGO" or "GSSAPI" when the server offers one and names its Kerberos realm, else empty.
QString negotiationMechanism(const RootEntry& root);

// The server's name for SASL and Kerberos: its dnsHostName, else the host as written.
QString negotiationHostName(LdapConnection& connection);

// One negotiated bind with credentials acquired in-process: Kerberos from the typed password, NTLM
// only when Kerberos could not be tried at all, so the password counts once. The GSS-API exchange is
// ours, carried in SASL bind requests: a Kerberos logon counts only once the server proved itself
// (mutual authentication), an NTLM one only once an answer came back under its signature. Signs or
// seals as the flags ask and checks that the server granted it. Returns the identity for
// descriptions; throws Failure with the refusal in words.
QString negotiatedBind(LdapConnection& connection, const BindPlan& plan, const QString& password);

} // namespace quorvane
