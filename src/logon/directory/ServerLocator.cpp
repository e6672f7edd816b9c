#include "ServerLocator.h"

#include "DescriptionText.h"
#include "NetworkConnect.h"

#include <algorithm>
#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netdb.h>
#include <netinet/in.h>
#include <resolv.h>

namespace quorvane {

namespace {

constexpr int maxServersTried = 16;

bool isAddressLiteral(const QString& host)
{
    const QByteArray utf8 = host.toUtf8();
    unsigned char address[sizeof(in6_addr)];
    return inet_pton(AF_INET, utf8.constData(), address) == 1
        || inet_pton(AF_INET6, utf8.constData(), address) == 1;
}

QStringList srvNames(const LdapPath& path)
{
    if (path.scheme == LdapScheme::GlobalCatalog) {
        return { QStringLiteral("_gc._tcp.%1").arg(path.dnsDomain) };
    }
    // Domain controllers first: plain LDAP servers of the domain may hold other data.
    return { QStringLiteral("_ldap._tcp.dc._msdcs.%1").arg(path.dnsDomain),
             QStringLiteral("_ldap._tcp.%1").arg(path.dnsDomain) };
}

} // namespace

namespace {

// One DNS query through the system's resolver, by `deadline` (to the second: the resolver counts in
// whole seconds). The answer's length, or -1 with `problem` set.
int queryDns(const QString& name, int type, const char* typeName,
             std::chrono::steady_clock::time_point deadline, unsigned char* message, int size,
             QString& problem)
{
    using namespace std::chrono;
    const steady_clock::time_point started = steady_clock::now();
    // The resolver counts whole seconds: never more than the time left.
    const auto allowed = duration_cast<seconds>(deadline - started + milliseconds(50));
    if (allowed.count() < 1) {
        problem = QStringLiteral("%1 not looked up: out of time").arg(name);
        return -1;
    }
    struct __res_state state
    {
    };
    if (res_ninit(&state) != 0) {
        problem = QStringLiteral("the DNS resolver could not be set up to look up %1").arg(name);
        return -1;
    }
    // resolv.conf's timeout and attempts can add up to minutes: one try per name server, at least a
    // second each, all of them together within the time allowed. A truncated answer is taken as it
    // is: glibc's retry over TCP would wait without any limit.
    state.retry = 1;
    state.nscount = std::clamp(state.nscount, 1, static_cast<int>(allowed.count()));
    state.retrans = static_cast<int>(allowed.count()) / state.nscount;
    state.options |= RES_IGNTC;
    const QByteArray query = name.toUtf8();
    const int length = res_nquery(&state, query.constData(), ns_c_in, type, message, size);
    const int error = state.res_h_errno;
    res_nclose(&state);
    if (length < 0) {
        // TRY_AGAIN is also a name server's refusal: only a limit that really passed is named.
        const bool outOfTime = steady_clock::now() >= started + allowed - milliseconds(200);
        problem = error == HOST_NOT_FOUND || error == NO_DATA
            ? QStringLiteral("no %1 records for %2").arg(QLatin1String(typeName), name)
            : error == TRY_AGAIN && outOfTime
            ? QStringLiteral("the DNS lookup of %1 did not answer within %2").arg(name, durationText(allowed))
            : error == TRY_AGAIN ? QStringLiteral("the DNS lookup of %1 got no answer").arg(name)
                                 : QStringLiteral("the DNS lookup of %1 failed").arg(name);
    }
    return length;
}

} // namespace

TxtAnswer lookupTxt(const QString& name, std::chrono::steady_clock::time_point deadline)
{
    TxtAnswer answer;
    unsigned char message[NS_MAXMSG];
    const int length = queryDns(name, ns_t_txt, "TXT", deadline, message, sizeof message, answer.problem);
    ns_msg parsed {};
    if (length < 0 || ns_initparse(message, length, &parsed) != 0) {
        return answer;
    }
    for (int index = 0; index < ns_msg_count(parsed, ns_s_an); ++index) {
        ns_rr record {};
        if (ns_parserr(&parsed, ns_s_an, index, &record) != 0 || ns_rr_type(record) != ns_t_txt) {
            continue;
        }
        // The first character-string of each record, as MIT reads a realm from it.
        const unsigned char* data = ns_rr_rdata(record);
        const int size = ns_rr_rdlen(record);
        if (size > 0 && data[0] < size) {
            answer.texts.append(QString::fromUtf8(reinterpret_cast<const char*>(data + 1), data[0]));
        }
    }
    if (answer.texts.isEmpty() && answer.problem.isEmpty()) {
        answer.problem = QStringLiteral("no usable TXT records for %1").arg(name);
    }
    return answer;
}

SrvAnswer lookupSrv(const QString& name, std::chrono::steady_clock::time_point deadline)
{
    SrvAnswer answer;
    unsigned char message[NS_MAXMSG];
    const int length = queryDns(name, ns_t_srv, "SRV", deadline, message, sizeof message, answer.problem);
    if (length < 0) {
        return answer;
    }
    ns_msg parsed {};
    if (ns_initparse(message, length, &parsed) != 0) {
        answer.problem = QStringLiteral("the DNS answer for %1 could not be read").arg(name);
        return answer;
    }
    const int count = ns_msg_count(parsed, ns_s_an);
    for (int index = 0; index < count; ++index) {
        ns_rr record {};
        if (ns_parserr(&parsed, ns_s_an, index, &record) != 0 || ns_rr_type(record) != ns_t_srv
            || ns_rr_rdlen(record) < 7) {
            continue;
        }
        const unsigned char* data = ns_rr_rdata(record);
        char target[NS_MAXDNAME] = {};
        if (dn_expand(ns_msg_base(parsed), ns_msg_end(parsed), data + 6, target, sizeof target) < 0) {
            continue;
        }
        SrvRecord srv { static_cast<int>(ns_get16(data)), static_cast<int>(ns_get16(data + 2)),
                        static_cast<int>(ns_get16(data + 4)), QString::fromUtf8(target) };
        // A target of "." says the service is deliberately not offered there.
        if (!srv.target.isEmpty() && srv.target != u"." && srv.port > 0) {
            answer.records.push_back(std::move(srv));
        }
    }
    if (answer.records.empty()) {
        answer.problem = QStringLiteral("no usable SRV records for %1").arg(name);
    }
    return answer;
}

std::vector<SrvRecord> orderSrvRecords(std::vector<SrvRecord> records,
                                       const std::function<quint32(quint32)>& draw)
{
    std::stable_sort(records.begin(), records.end(),
                     [](const SrvRecord& a, const SrvRecord& b) { return a.priority < b.priority; });
    std::vector<SrvRecord> ordered;
    ordered.reserve(records.size());
    auto groupStart = records.begin();
    while (groupStart != records.end()) {
        const auto groupEnd = std::find_if(groupStart, records.end(), [&](const SrvRecord& r) {
            return r.priority != groupStart->priority;
        });
        std::vector<SrvRecord> group(groupStart, groupEnd);
        std::stable_partition(group.begin(), group.end(), [](const SrvRecord& r) { return r.weight == 0; });
        while (!group.empty()) {
            quint32 total = 0;
            for (const SrvRecord& record : group) {
                total += static_cast<quint32>(record.weight);
            }
            // RFC 2782 draws from 0 to the sum, which favours the first record; 1 to the sum keeps
            // the shares proportional and leaves weight-0 records for when nothing else is left.
            const quint32 chosen = total == 0 ? 0 : 1 + draw(total - 1);
            quint32 running = 0;
            auto pick = group.begin();
            for (; pick != group.end(); ++pick) {
                running += static_cast<quint32>(pick->weight);
                if (running >= chosen) {
                    break;
                }
            }
            if (pick == group.end()) {
                pick = std::prev(group.end());
            }
            ordered.push_back(std::move(*pick));
            group.erase(pick);
        }
        groupStart = groupEnd;
    }
    return ordered;
}

ServerPlan locateServers(const LdapPath& path, const TransportPlan& transport,
                         const std::function<SrvAnswer(const QString&)>& lookup,
                         const std::function<quint32(quint32)>& draw)
{
    ServerPlan plan;
    const bool hostIsDomain = !path.dnsDomain.isEmpty()
        && path.host.compare(path.dnsDomain, Qt::CaseInsensitive) == 0 && !isAddressLiteral(path.host);
    const bool locate = path.serverless || (hostIsDomain && !transport.serverBind);
    if (!locate) {
        plan.servers.push_back({ path.host, path.hostIsIpv6, transport.port });
        return plan;
    }
    plan.domain = path.dnsDomain;
    // A port or TLS the path asks for wins over the port a record advertises.
    const bool keepPort = path.port != 0 || transport.implicitTls;
    for (const QString& name : srvNames(path)) {
        SrvAnswer answer = lookup(name);
        if (answer.records.empty()) {
            plan.notes.append(answer.problem.isEmpty() ? QStringLiteral("no SRV records for %1").arg(name)
                                                       : answer.problem);
            continue;
        }
        for (const SrvRecord& record : orderSrvRecords(std::move(answer.records), draw)) {
            if (static_cast<int>(plan.servers.size()) == maxServersTried) {
                break;
            }
            QString host = record.target;
            if (host.endsWith(u'.')) {
                host.chop(1);
            }
            // DNS answers are not authenticated: a record must not send the password, over TLS
            // verified for whatever name it gives, to a host outside the domain.
            const bool inDomain = host.compare(path.dnsDomain, Qt::CaseInsensitive) == 0
                || host.endsWith(u'.' + path.dnsDomain, Qt::CaseInsensitive);
            if (!inDomain || !std::all_of(host.cbegin(), host.cend(), isHostNameCharacter)) {
                plan.notes.append(QStringLiteral("SRV target \"%1\" ignored: it is not in %2")
                                      .arg(quoteForDescription(host, 100), path.dnsDomain));
                continue;
            }
            plan.servers.push_back({ host, false, keepPort ? transport.port : record.port });
        }
        if (!plan.servers.empty()) {
            return plan;
        }
    }
    plan.servers.push_back({ path.dnsDomain, false, transport.port });
    return plan;
}

} // namespace quorvane
