#pragma once

#include "DirectoryLimits.h"
#include "KdcLocator.h"
#include "KerberosDescriptions.h"

#include <QByteArray>
#include <QString>

#include <krb5/krb5.h>
#include <optional>

namespace quorvane {

struct TicketRequest
{
    QString principal; // user@REALM, or user@upn.suffix@REALM for an enterprise name
    bool enterprise = false; // a UPN, which the KDC maps to its account
    QString serviceHost; // the directory server's name, for ldap/<serviceHost>
    // The service ticket straight from the initial request, with no ticket-granting ticket: a KDC that
    // does not know the service says so before the password is used.
    bool serviceInInitialRequest = false;
};

// What the exchange knows of the directory server: its realm and clock, itself as the KDC of last
// resort, and the limits every request to a KDC draws from.
struct KdcReach
{
    QString realm;
    QString serverTime; // GeneralizedTime, for descriptions
    std::optional<KdcEntry> directoryServer; // a KDC of `realm`, when nothing else names one
    Clock::time_point deadline = Clock::time_point::max(); // the check's; max: the operation limit from now
    DirectoryLimits limits;
    // The realm came from the DNS, which anyone on the path can answer: its KDC gets no chance to
    // ask for RC4, whose pre-authentication is a fast hash of the password.
    bool strongKeysOnly = false;
};

// Gets the user's initial ticket from the typed password, then the directory server's service
// ticket, into the credential cache `cacheName`. We carry every request to the KDC ourselves, over
// UDP or TCP as krb5.conf and the DNS say, within the check's one deadline: MIT's own transport
// retries a silent KDC far longer, and after a refused password it may ask another KDC again. Once a
// request made from the password has gone to a KDC, no other KDC is asked, whatever happens.
// Returns the facts; code 0 when both tickets are in the cache, the service ticket stored under
// servicePrincipalName(request.serviceHost, reach.realm).
KerberosFacts acquireTickets(krb5_context context, const QByteArray& cacheName, const TicketRequest& request,
                             const QString& password, const KdcReach& reach);

// The current user's own ticket: copies the initial ticket of the default credential cache (which
// stays as it is) into `cacheName`, then fetches the service ticket for ldap/<serviceHost> through
// the same transport and deadline. Facts.principal is the user's principal.
KerberosFacts acquireServiceTicket(krb5_context context, const QByteArray& cacheName,
                                   const QString& serviceHost, const KdcReach& reach);

// "ldap/<serviceHost>@<realm>", escaped as krb5 writes principal names: the name the service
// ticket is cached under, to be imported as a krb5 principal name (not a host-based service).
QString servicePrincipalName(const QString& serviceHost, const QString& realm);

} // namespace quorvane
