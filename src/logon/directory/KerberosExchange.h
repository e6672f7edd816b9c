#pragma once

#include "KerberosDescriptions.h"
#include "LdapSession.h"
#include "ServerLocator.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <krb5/krb5.h>
#include <optional>
#include <vector>

namespace quorvane {

struct TicketRequest
{
    QString principal; // user@REALM, or user@upn.suffix@REALM for an enterprise name
    bool enterprise = false; // a UPN, which the KDC maps to its account
    QString serviceHost; // the directory server's name, for ldap/<serviceHost>
};

// Gets the user's initial ticket from the typed password, then the directory server's service
// ticket, into the credential cache `cacheName`. We carry every request to the KDC ourselves, over
// UDP or TCP as krb5.conf and the DNS say, within the check's one deadline: MIT's own transport
// retries a silent KDC far longer, and after a refused password it may ask another KDC again. Once a
// request made from the password has gone to a KDC, no other KDC is asked, whatever happens.
// Returns the facts; code 0 when both tickets are in the cache, the service ticket stored under
// servicePrincipalName(request.serviceHost, realm).
KerberosFacts acquireTickets(krb5_context context, const QByteArray& cacheName, const TicketRequest& request,
                             const QString& password, const Target& target);

// The current user's own ticket: copies the initial ticket of the default credential cache (which
// stays as it is) into `cacheName`, then fetches the service ticket for ldap/<serviceHost> through
// the same transport and deadline. Facts.principal is the user's principal.
KerberosFacts acquireServiceTicket(krb5_context context, const QByteArray& cacheName,
                                   const QString& serviceHost, const Target& target);

// "ldap/<serviceHost>@<realm>", escaped as krb5 writes principal names: the name the service
// ticket is cached under, to be imported as a krb5 principal name (not a host-based service).
QString servicePrincipalName(const QString& serviceHost, const QString& realm);

enum class KdcTransport
{
    Any, // UDP or TCP, as the request's size says
    Udp,
    Tcp,
};

struct KdcEntry
{
    QString host;
    bool ipv6 = false;
    int port = 88;
    KdcTransport transport = KdcTransport::Any;
};

// What krb5.conf says of one realm's KDCs, as written; empty where it says nothing.
struct KdcSettings
{
    QStringList kdcs; // [realms] REALM kdc, in order
    QString realmDnsLookupKdc; // [realms] REALM dns_lookup_kdc
    QString dnsLookupKdc; // [libdefaults] dns_lookup_kdc
    QString dnsFallback; // [libdefaults] dns_fallback
    QString udpPreferenceLimit; // [libdefaults] udp_preference_limit
};

struct KdcList
{
    std::vector<KdcEntry> kdcs;
    int udpPreferenceLimit = 1465; // a larger request goes over TCP first
    QString source; // where they came from, for descriptions
    QString notFound; // when there are none: what was looked up and found wanting
    QString unusable; // a setting the check cannot follow, and why: then nothing is sent
    bool directoryServer = false; // the KDC is the directory server, for want of any other
};

// The realm's KDCs as a Kerberos client finds them: krb5.conf's kdc entries ("host", "host:port",
// "[address]:port", each optionally after "udp/" or "tcp/"); without any, and unless dns_lookup_kdc
// (else dns_fallback) says no, the SRV records _kerberos._udp and _kerberos._tcp of the realm; else
// `directoryServer`, a domain controller of the realm and so a KDC.
KdcList planKdcs(const KdcSettings& settings, const QString& realm,
                 const std::function<SrvAnswer(const QString&)>& lookup,
                 const std::function<quint32(quint32)>& draw, const std::optional<KdcEntry>& directoryServer);

struct KdcAttempt
{
    std::size_t kdc = 0; // index into KdcList::kdcs
    KdcTransport transport = KdcTransport::Udp; // Udp or Tcp
};

// The order in which a request of `size` bytes tries the KDCs: every KDC over UDP, then every KDC
// over TCP; TCP first for a request larger than the UDP preference limit. An entry bound to one
// transport is tried over that one only.
std::vector<KdcAttempt> planAttempts(const KdcList& list, qsizetype size);

} // namespace quorvane
