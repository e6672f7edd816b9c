#pragma once

#include "BindPlan.h"
#include "LdapPath.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <vector>

namespace quorvane {

struct SrvRecord
{
    int priority = 0;
    int weight = 0;
    int port = 0;
    QString target;
};

struct SrvAnswer
{
    std::vector<SrvRecord> records;
    QString problem; // why there are none, e.g. "no SRV records for _ldap._tcp.example.com"
};

// Asks the system's DNS resolver for the SRV records of `name`, giving up by `deadline` (to the
// second: the resolver counts in whole seconds).
SrvAnswer lookupSrv(const QString& name, std::chrono::steady_clock::time_point deadline);

struct TxtAnswer
{
    QStringList texts;
    QString problem; // why there are none
};

// The TXT records of `name`, as lookupSrv looks up SRV records.
TxtAnswer lookupTxt(const QString& name, std::chrono::steady_clock::time_point deadline);

// RFC 2782 order: lower priority first; within a priority, repeated draws in proportion to weight.
// `draw(n)` returns a uniformly chosen whole number from 0 to n.
std::vector<SrvRecord> orderSrvRecords(std::vector<SrvRecord> records,
                                       const std::function<quint32(quint32)>& draw);

struct Server
{
    QString host;
    bool ipv6 = false;
    int port = 0;
};

struct ServerPlan
{
    std::vector<Server> servers; // to try in this order, moving on only when a connection fails
    QStringList notes; // what the lookup found wanting, for the description when all fail
    QString domain; // the domain whose servers were looked up; empty for a host as written
};

// Which servers to try for a path: its host as written, or, for a serverless path or a host that
// is the DN's own domain, the domain's LDAP servers from DNS SRV records (unless flag 0x200 asks
// for the named server only), falling back to the domain name's own addresses.
ServerPlan locateServers(const LdapPath& path, const TransportPlan& transport,
                         const std::function<SrvAnswer(const QString&)>& lookup,
                         const std::function<quint32(quint32)>& draw);

} // namespace quorvane
