#pragma once

#include "BindPlan.h"
#include "LdapConnection.h"

#include <QString>

#include <optional>

namespace quorvane {

// "GSS-SPNEGO" or "GSSAPI" when the server offers one, else empty.
QString negotiationMechanism(const RootEntry& root);

// The server's name for SASL and Kerberos: its dnsHostName, else the host as written.
QString negotiationHostName(LdapConnection& connection);

// One negotiated bind with credentials acquired in-process: Kerberos from the typed password, NTLM
// only when Kerberos could not be tried at all, so the password counts once. The GSS-API exchange is
// ours, carried in SASL bind requests: a Kerberos logon counts only once the server proved itself
// (mutual authentication), an NTLM one only once an answer came back under its signature. Signs or
// seals as the flags ask and checks that the server granted it. Returns the identity for
// descriptions; throws Failure with the refusal in words. A server that names no realm negotiates
// when the client's Kerberos configuration ties its host to one and that realm's KDC knows its
// service; otherwise nothing is sent and the result is empty, with the reason in the facts, for a
// simple bind instead.
std::optional<QString> negotiatedBind(LdapConnection& connection, const BindPlan& plan,
                                      const QString& password);

} // namespace quorvane
