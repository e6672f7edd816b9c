#pragma once

#include "NetworkConnect.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>

namespace quorvane {

// The trust libldap was given, so the diagnosis judges the certificate exactly as the bind would.
struct TrustSources
{
    QString caFile;
    QString caDir;
    QString origin; // where the setting came from
};

// The subject and expiry of a DER certificate; empty when it cannot be read.
struct CertificateFacts
{
    QString subject;
    QDateTime expires;
};
CertificateFacts certificateFacts(const QByteArray& der);

// libldap reports every TLS refusal as "Can't contact LDAP server", so after one we connect again to
// the same address, take the server's certificate without trusting it, and say what is wrong with it:
// untrusted issuer, expired, or issued for another name. Returns an empty text when nothing wrong was
// found.
QString diagnoseTls(const QString& host, bool ipv6, int port, const PeerAddress& peer, bool startTls,
                    const TrustSources& trust, std::chrono::milliseconds timeout);

} // namespace quorvane
