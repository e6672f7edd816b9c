#pragma once

#include "KerberosDescriptions.h"
#include "LdapSession.h"

#include <QByteArray>
#include <QString>

#include <krb5/krb5.h>

namespace quorvane {

struct TicketRequest
{
    QString principal; // user@REALM, or user@upn.suffix@REALM for an enterprise name
    bool enterprise = false; // a UPN, which the KDC maps to its account
    QString serviceHost; // the directory server's name, for ldap/<serviceHost>
};

// Gets the user's initial ticket from the typed password, then the directory server's service
// ticket, into the credential cache `cacheName`. We carry every request to the KDC ourselves, over
// TCP within the open's limits: MIT's own transport retries a silent KDC far longer, and after a
// refused password it may ask another KDC again. The KDCs are the realm's in krb5.conf, else those
// of its DNS SRV records, else the directory server itself, a domain controller and so a KDC.
// Returns the facts; code 0 when both tickets are in the cache.
KerberosFacts acquireTickets(krb5_context context, const QByteArray& cacheName, const TicketRequest& request,
                             const QString& password, const Target& target);

} // namespace quorvane
