#pragma once

#include "ServerLocator.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <vector>

struct _krb5_context; // krb5_context, without krb5.h in the headers

namespace quorvane {

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

KdcSettings readKdcSettings(_krb5_context* context, const QString& realm);

// What krb5.conf says of tying hosts to realms, as written.
struct RealmSettings
{
    std::vector<std::pair<QString, QString>> domainRealm; // [domain_realm] name = REALM
    QStringList realms; // the realms [realms] names
    QString dnsLookupRealm; // [libdefaults] dns_lookup_realm
    QString dnsFallback; // [libdefaults] dns_fallback
};

RealmSettings readRealmSettings(_krb5_context* context);

struct RealmFinding
{
    QString realm; // empty when the host is tied to none
    QString source; // how it was found, for descriptions
    QString notFound; // what was looked up, when nothing was found
    bool fromDns = false; // a TXT record, or the parent domain whose KDCs the DNS names
};

// The realm a Kerberos client ties `host` to, as MIT's own do: [domain_realm] (the host itself, then
// each parent domain written with a leading dot, nearest first); where dns_lookup_realm (else
// dns_fallback) allows it, the TXT record _kerberos.<host>, then of each parent domain; else the
// parent domain upper-cased, when krb5.conf names that realm or `hasKdcs` finds KDCs of it.
// default_realm alone ties no host to anything: every Kerberos package writes one.
RealmFinding findRealm(const RealmSettings& settings, const QString& host,
                       const std::function<TxtAnswer(const QString&)>& lookupTxt,
                       const std::function<bool(const QString&)>& hasKdcs);

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
