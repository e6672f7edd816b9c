#include "KerberosExchange.h"

#include "DescriptionText.h"
#include "NetworkConnect.h"

#include <QRandomGenerator>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <profile.h>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>

namespace quorvane {

namespace {

using namespace std::chrono;

constexpr int kerberosPort = 88;
constexpr int defaultUdpPreferenceLimit = 1465;
constexpr int hardUdpLimit = 32700; // as MIT caps the setting
constexpr qsizetype largestReply = 1024 * 1024;
constexpr qsizetype largestDatagram = 65535;
constexpr int mostRounds = 16; // preauthentication, referrals and the TGS exchange need a few
constexpr std::size_t mostAttempts = 16;
constexpr unsigned char asRepTag = 0x6b; // [APPLICATION 11]
constexpr unsigned char tgsRepTag = 0x6d; // [APPLICATION 13]
constexpr unsigned char krbErrorTag = 0x7e; // [APPLICATION 30]

template <auto release>
struct Krb5Release
{
    krb5_context context;
    template <typename Resource>
    void operator()(Resource* resource) const
    {
        release(context, resource);
    }
};
using Principal = std::unique_ptr<std::remove_pointer_t<krb5_principal>, Krb5Release<krb5_free_principal>>;
using Cache = std::unique_ptr<std::remove_pointer_t<krb5_ccache>, Krb5Release<krb5_cc_close>>;
using InitialContext =
    std::unique_ptr<std::remove_pointer_t<krb5_init_creds_context>, Krb5Release<krb5_init_creds_free>>;
using TicketContext =
    std::unique_ptr<std::remove_pointer_t<krb5_tkt_creds_context>, Krb5Release<krb5_tkt_creds_free>>;
using InitialOptions = std::unique_ptr<krb5_get_init_creds_opt, Krb5Release<krb5_get_init_creds_opt_free>>;

// Credentials filled in by the library, released with their contents.
struct Credentials
{
    explicit Credentials(krb5_context owner)
        : context(owner)
    {}
    ~Credentials() { krb5_free_cred_contents(context, &creds); }
    Credentials(const Credentials&) = delete;
    Credentials& operator=(const Credentials&) = delete;

    krb5_context context;
    krb5_creds creds {};
};

// As MIT reads a boolean: anything but these is false.
bool isYes(const QString& value)
{
    for (const char* yes : { "y", "yes", "true", "t", "1", "on" }) {
        if (value.trimmed().compare(QLatin1String(yes), Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

bool isIpv6Literal(const QString& text)
{
    // A zone ("%eth0") is for getaddrinfo, not inet_pton.
    const QString address = text.section(u'%', 0, 0);
    const QString zone = text.section(u'%', 1);
    unsigned char bytes[16];
    return inet_pton(AF_INET6, address.toUtf8().constData(), bytes) == 1
        && std::all_of(zone.cbegin(), zone.cend(), isHostNameCharacter)
        && (!text.contains(u'%') || !zone.isEmpty());
}

// One kdc entry of krb5.conf; empty with `problem` set when it is no form a KDC can be named in.
std::optional<KdcEntry> parseKdcEntry(const QString& text, QString& problem)
{
    KdcEntry entry;
    QString rest = text.trimmed();
    if (rest.contains(u"://")) {
        problem = rest.startsWith(u"https://", Qt::CaseInsensitive)
            ? QStringLiteral(
                "it is a KDC proxy (HTTPS), which this check does not use; name the KDC itself, as "
                "host or host:port")
            : QStringLiteral("it is a URL, where a host or host:port was expected");
        return {};
    }
    if (rest.startsWith(u"udp/", Qt::CaseInsensitive)) {
        entry.transport = KdcTransport::Udp;
        rest = rest.mid(4);
    } else if (rest.startsWith(u"tcp/", Qt::CaseInsensitive)) {
        entry.transport = KdcTransport::Tcp;
        rest = rest.mid(4);
    }
    std::optional<QString> port;
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        if (close < 0) {
            problem = QStringLiteral("its \"[\" is not closed");
            return {};
        }
        entry.host = rest.mid(1, close - 1);
        entry.ipv6 = true;
        const QString after = rest.mid(close + 1);
        if (after.startsWith(u':')) {
            port = after.mid(1);
        } else if (!after.isEmpty()) {
            problem = QStringLiteral("after \"]\" only \":port\" may follow");
            return {};
        }
    } else if (rest.count(u':') == 1) {
        entry.host = rest.section(u':', 0, 0);
        port = rest.section(u':', 1);
    } else {
        entry.host = rest;
        entry.ipv6 = rest.contains(u':');
    }
    if (entry.host.isEmpty()) {
        problem = QStringLiteral("it names no host");
        return {};
    }
    if (entry.ipv6 ? !isIpv6Literal(entry.host)
                   : !std::all_of(entry.host.cbegin(), entry.host.cend(), isHostNameCharacter)) {
        problem = entry.ipv6 ? QStringLiteral("it is no IPv6 address")
                             : QStringLiteral("it is no host name or address");
        return {};
    }
    if (port) {
        const bool digits = !port->isEmpty() && port->size() <= 5
            && std::all_of(port->cbegin(), port->cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        entry.port = digits ? port->toInt() : 0;
        if (entry.port < 1 || entry.port > 65535) {
            problem = QStringLiteral("its port \"%1\" is no number from 1 to 65535")
                          .arg(quoteForDescription(*port, 20));
            return {};
        }
    }
    return entry;
}

QString transportName(KdcTransport transport)
{
    return transport == KdcTransport::Udp ? QStringLiteral("UDP") : QStringLiteral("TCP");
}

QString kdcText(const KdcEntry& kdc, KdcTransport transport)
{
    return QStringLiteral("%1 (%2)").arg(endpointText(kdc.host, kdc.ipv6, kdc.port),
                                         transportName(transport));
}

// To a tenth of a second, so a share of a limit reads as "2.5 seconds".
QString roughly(Clock::duration duration)
{
    const auto tenths = std::max<long long>(1, (duration_cast<milliseconds>(duration).count() + 50) / 100);
    return durationText(milliseconds(tenths * 100));
}

QString errnoText(int error)
{
    return error == ECONNREFUSED ? QStringLiteral("nothing listens on that port")
                                 : QString::fromUtf8(std::strerror(error));
}

QString errorText(krb5_context context, krb5_error_code code)
{
    const char* text = krb5_get_error_message(context, code);
    const QString result = QString::fromUtf8(text);
    krb5_free_error_message(context, text);
    return result;
}

QString fromData(const krb5_data& data)
{
    return QString::fromUtf8(data.data, static_cast<qsizetype>(data.length));
}

krb5_data toData(QByteArray& bytes)
{
    krb5_data data {};
    data.data = bytes.data();
    data.length = static_cast<unsigned>(bytes.size());
    return data;
}

// An AS-REP, a TGS-REP or a KRB-ERROR, by its ASN.1 application tag.
bool looksLikeKerberos(const QByteArray& reply)
{
    const auto tag = static_cast<unsigned char>(reply.front());
    return tag == asRepTag || tag == tgsRepTag || tag == krbErrorTag;
}

bool tooBigForUdp(krb5_context context, QByteArray& reply)
{
    if (static_cast<unsigned char>(reply.front()) != krbErrorTag) {
        return false;
    }
    const krb5_data data = toData(reply);
    krb5_error* error = nullptr;
    if (krb5_rd_error(context, &data, &error) != 0) {
        return false;
    }
    const bool tooBig = error->error == KRB5KRB_ERR_RESPONSE_TOO_BIG - ERROR_TABLE_BASE_krb5;
    krb5_free_error(context, error);
    return tooBig;
}

QString profileString(profile_t profile, const char* section, const QByteArray& subsection, const char* name)
{
    char* value = nullptr;
    const long code = subsection.isEmpty()
        ? profile_get_string(profile, section, name, nullptr, nullptr, &value)
        : profile_get_string(profile, section, subsection.constData(), name, nullptr, &value);
    QString text;
    if (code == 0 && value) {
        text = QString::fromUtf8(value);
    }
    profile_release_string(value);
    return text;
}

KdcSettings readKdcSettings(krb5_context context, const QString& realm)
{
    KdcSettings settings;
    profile_t profile = nullptr;
    if (krb5_get_profile(context, &profile) != 0) {
        return settings;
    }
    const QByteArray realmUtf8 = realm.toUtf8();
    const char* names[] = { "realms", realmUtf8.constData(), "kdc", nullptr };
    char** values = nullptr;
    if (profile_get_values(profile, names, &values) == 0) {
        for (char** value = values; value && *value; ++value) {
            settings.kdcs.append(QString::fromUtf8(*value));
        }
        profile_free_list(values);
    }
    settings.realmDnsLookupKdc = profileString(profile, "realms", realmUtf8, "dns_lookup_kdc");
    settings.dnsLookupKdc = profileString(profile, "libdefaults", {}, "dns_lookup_kdc");
    settings.dnsFallback = profileString(profile, "libdefaults", {}, "dns_fallback");
    settings.udpPreferenceLimit = profileString(profile, "libdefaults", {}, "udp_preference_limit");
    profile_release(profile);
    return settings;
}

// What the KDCs of one realm have shown so far in a conversation.
struct RealmKdcs
{
    KdcList list;
    std::optional<KdcAttempt> answered; // the last KDC and transport that answered
    PeerAddress answeredAt; // its address, when that was over UDP
};

// What the conversations of one check share: the KDCs found for each realm, whether one has
// answered, and the deadlines every request draws from.
struct Conversation
{
    std::map<QString, RealmKdcs> realms;
    bool answered = false;
    Clock::time_point firstAnswerBy; // the connect limit, for reaching a KDC that answers at all
    Clock::time_point checkEnds; // the check's one deadline
    Clock::duration connect;
    QString connectLimit; // "the connect limit of 10 seconds", for descriptions
    QString checkLimit;

    explicit Conversation(const Target& target)
    {
        const Clock::time_point now = Clock::now();
        checkEnds =
            target.deadline != Clock::time_point::max() ? target.deadline : now + target.limits.operation;
        firstAnswerBy = std::min(now + target.limits.connect, checkEnds);
        connect = target.limits.connect;
        connectLimit = QStringLiteral("the connect limit of %1").arg(durationText(target.limits.connect));
        checkLimit = QStringLiteral("the check's limit of %1").arg(durationText(target.limits.operation));
    }
};

struct Delivery
{
    QByteArray reply; // empty when there is no usable one
    bool reached = false; // the request (or part of it) may have reached the KDC
    bool timedOut = false;
    QString problem; // why there is no reply, when it is not the time
    PeerAddress peer; // the address that answered over UDP
};

Delivery overTcp(const KdcEntry& kdc, const QByteArray& request, Clock::time_point reachBy,
                 Clock::time_point until)
{
    Delivery delivery;
    const Clock::time_point started = Clock::now();
    ConnectAttempt attempt =
        attemptTcp(kdc.host, kdc.port, duration_cast<milliseconds>(until - started), reachBy);
    if (attempt.socket.fd() < 0) {
        delivery.problem = Clock::now() >= reachBy
            ? QStringLiteral("it took no connection within %1").arg(roughly(reachBy - started))
            : attempt.reason;
        return delivery;
    }
    delivery.reached = true;
    QByteArray framed(4, '\0');
    const auto length = static_cast<quint32>(request.size());
    for (int i = 0; i < 4; ++i) {
        framed[i] = static_cast<char>((length >> (8 * (3 - i))) & 0xff);
    }
    framed += request;
    const int fd = attempt.socket.fd();
    char header[4];
    if (!sendExactly(fd, framed.constData(), framed.size(), until) || !receiveExactly(fd, header, 4, until)) {
        delivery.timedOut = Clock::now() >= until;
        delivery.problem = QStringLiteral("it closed the connection without an answer");
        return delivery;
    }
    quint32 size = 0;
    for (const char byte : header) {
        size = (size << 8) | static_cast<unsigned char>(byte);
    }
    if (size == 0 || size > largestReply) {
        delivery.problem = size == 0 ? QStringLiteral("it answered with an empty message")
                                     : QStringLiteral("it announced an answer of %1 bytes, more than 1 MiB")
                                           .arg(QString::number(size));
        return delivery;
    }
    QByteArray reply(static_cast<qsizetype>(size), '\0');
    if (!receiveExactly(fd, reply.data(), reply.size(), until)) {
        delivery.timedOut = Clock::now() >= until;
        delivery.problem = QStringLiteral("it broke off its answer");
        return delivery;
    }
    delivery.reply = reply;
    return delivery;
}

// One datagram to each address in turn, each waited for an equal share of the time, until one
// answers. With `firstOnly`, one address alone gets the request.
Delivery overUdp(const std::vector<PeerAddress>& peers, const QByteArray& request, bool firstOnly,
                 Clock::time_point until)
{
    Delivery delivery;
    const std::size_t count = firstOnly ? std::min<std::size_t>(peers.size(), 1) : peers.size();
    for (std::size_t index = 0; index < count; ++index) {
        const PeerAddress& peer = peers[index];
        const auto left = until - Clock::now();
        if (left.count() <= 0) {
            delivery.timedOut = true;
            break;
        }
        const Clock::time_point by = Clock::now() + left / static_cast<int>(count - index);
        const Socket socket { ::socket(peer.family, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) };
        if (socket.fd() < 0
            || ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&peer.address), peer.length) != 0
            || ::send(socket.fd(), request.constData(), static_cast<size_t>(request.size()), 0)
                != request.size()) {
            delivery.problem = errnoText(errno);
            continue;
        }
        delivery.reached = true;
        QByteArray reply(largestDatagram, '\0');
        for (;;) {
            if (!waitForSocket(socket.fd(), false, by)) {
                delivery.timedOut = true;
                break;
            }
            const ssize_t got =
                ::recv(socket.fd(), reply.data(), static_cast<size_t>(reply.size()), MSG_TRUNC);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            delivery.timedOut = false;
            if (got < 0) {
                delivery.problem = errnoText(errno);
            } else if (got == 0) {
                delivery.problem = QStringLiteral("it answered with an empty message");
            } else if (got > largestDatagram) {
                delivery.problem = QStringLiteral("its answer was larger than a datagram can be");
            } else {
                reply.truncate(got);
                delivery.reply = reply;
                delivery.peer = peer;
                return delivery;
            }
            break;
        }
    }
    return delivery;
}

struct ExchangeResult
{
    QByteArray reply; // empty when no KDC gave a usable answer
    QString brokeOff; // the KDC that got a request made from the password and gave no usable answer
    QString why; // what it did instead
};

// One request, to the realm's KDCs in turn until one answers. A KDC that answered before is asked
// first, and waited for until `phaseEnd`; the others share the time left. Once a request made from
// the password may have reached a KDC, no other is asked.
ExchangeResult exchange(krb5_context context, RealmKdcs& realm, const QByteArray& request, bool fromPassword,
                        const Conversation& conversation, QStringList& tried)
{
    const Clock::time_point phaseEnd =
        conversation.answered ? conversation.checkEnds : conversation.firstAnswerBy;
    const QString limit = conversation.answered || conversation.firstAnswerBy == conversation.checkEnds
        ? conversation.checkLimit
        : conversation.connectLimit;
    std::vector<KdcAttempt> attempts = planAttempts(realm.list, request.size());
    if (realm.answered) {
        // A request made from the password goes exactly where the last answer came from.
        const auto favoured = std::find_if(attempts.begin(), attempts.end(), [&](const KdcAttempt& attempt) {
            return attempt.kdc == realm.answered->kdc
                && (!fromPassword || attempt.transport == realm.answered->transport);
        });
        if (favoured != attempts.end()) {
            std::rotate(attempts.begin(), favoured, favoured + 1);
        }
    }
    ExchangeResult result;
    for (std::size_t index = 0; index < attempts.size(); ++index) {
        const KdcAttempt& attempt = attempts[index];
        const KdcEntry& kdc = realm.list.kdcs[attempt.kdc];
        const QString where = kdcText(kdc, attempt.transport);
        const auto left = phaseEnd - Clock::now();
        if (left.count() <= 0) {
            tried.append(QStringLiteral("%1: not tried, %2 had run out").arg(where, limit));
            continue;
        }
        const bool favoured = index == 0 && realm.answered && realm.answered->kdc == attempt.kdc
            && realm.answered->transport == attempt.transport;
        const Clock::time_point until =
            favoured ? phaseEnd : Clock::now() + left / static_cast<int>(attempts.size() - index);
        // Reaching a KDC never costs more than the connect limit, even one that answered before.
        const auto reachBy = [&] { return std::min(until, Clock::now() + conversation.connect); };
        const Clock::time_point started = Clock::now();
        Delivery delivery;
        if (attempt.transport == KdcTransport::Tcp) {
            delivery = overTcp(kdc, request, reachBy(), until);
        } else {
            std::vector<PeerAddress> peers;
            if (favoured && realm.answered->transport == KdcTransport::Udp) {
                peers.push_back(realm.answeredAt);
            } else {
                peers = resolveAddresses(kdc.host, kdc.port, reachBy(), delivery.problem);
                delivery.timedOut = peers.empty() && Clock::now() >= until;
            }
            if (!peers.empty()) {
                delivery = overUdp(peers, request, fromPassword, until);
            }
            // A KDC whose answer does not fit a datagram says so; the same request goes to it over TCP.
            if (!delivery.reply.isEmpty() && tooBigForUdp(context, delivery.reply)) {
                const PeerAddress answeredAt = delivery.peer;
                delivery = overTcp(kdc, request, reachBy(), until);
                delivery.peer = answeredAt;
            }
        }
        if (!delivery.reply.isEmpty() && !looksLikeKerberos(delivery.reply)) {
            delivery.reply.clear();
            delivery.problem = QStringLiteral("it answered with something that is not Kerberos");
        }
        if (!delivery.reply.isEmpty()) {
            realm.answered = attempt;
            realm.answeredAt = delivery.peer;
            result.reply = delivery.reply;
            return result;
        }
        const QString why = !delivery.timedOut ? delivery.problem
            : until == phaseEnd
            ? QStringLiteral("no answer before %1 ran out").arg(limit)
            : QStringLiteral("no answer within %1, its share of %2").arg(roughly(until - started), limit);
        if (fromPassword && delivery.reached) {
            result.brokeOff = where;
            result.why = why;
            return result;
        }
        tried.append(QStringLiteral("%1: %2").arg(where, why));
    }
    return result;
}

// The KDCs of one realm, found once per check.
RealmKdcs& kdcsOf(krb5_context context, const Target& target, const QString& realmName,
                  Conversation& conversation)
{
    auto known = conversation.realms.find(realmName);
    if (known == conversation.realms.end()) {
        const Clock::time_point deadline =
            conversation.answered ? conversation.checkEnds : conversation.firstAnswerBy;
        std::optional<KdcEntry> directoryServer;
        if (target.root && realmName.compare(target.root->realm, Qt::CaseInsensitive) == 0) {
            directoryServer =
                KdcEntry { target.server.host, target.server.ipv6, kerberosPort, KdcTransport::Any };
        }
        RealmKdcs kdcs;
        kdcs.list = planKdcs(
            readKdcSettings(context, realmName), realmName,
            [deadline](const QString& name) { return lookupSrv(name, deadline); },
            [](quint32 highest) { return QRandomGenerator::global()->bounded(highest + 1); },
            directoryServer);
        known = conversation.realms.emplace(realmName, std::move(kdcs)).first;
    }
    return known->second;
}

// Runs one step function to its end, carrying its requests. With `fromPassword`, every request
// after the KDC's first answer is taken to be made from the password.
template <typename Step>
krb5_error_code converse(krb5_context context, const Target& target, Step step, bool fromPassword,
                         KerberosFacts& facts, Conversation& conversation)
{
    QByteArray reply;
    for (int round = 0; round < mostRounds; ++round) {
        krb5_data in = toData(reply);
        krb5_data out {};
        krb5_data realm {};
        unsigned flags = 0;
        const krb5_error_code code = step(&in, &out, &realm, &flags);
        const QByteArray request(out.data, static_cast<qsizetype>(out.length));
        const QString realmName = fromData(realm);
        krb5_free_data_contents(context, &out);
        krb5_free_data_contents(context, &realm);
        static_assert(KRB5_INIT_CREDS_STEP_FLAG_CONTINUE == KRB5_TKT_CREDS_STEP_FLAG_CONTINUE);
        if (code != 0 || (flags & KRB5_INIT_CREDS_STEP_FLAG_CONTINUE) == 0) {
            return code;
        }
        RealmKdcs& kdcs = kdcsOf(context, target, realmName, conversation);
        facts.realm = realmName;
        if (!kdcs.list.unusable.isEmpty()) {
            facts.library = kdcs.list.unusable;
            return KRB5_CONFIG_BADFORMAT;
        }
        QStringList tried;
        const ExchangeResult result = kdcs.list.kdcs.empty()
            ? ExchangeResult {}
            : exchange(context, kdcs, request, fromPassword && conversation.answered, conversation, tried);
        if (result.reply.isEmpty()) {
            facts.library = !result.brokeOff.isEmpty() ? result.why
                : kdcs.list.kdcs.empty()
                ? kdcs.list.notFound
                : QStringLiteral("%1 (from %2)").arg(tried.join(QStringLiteral("; ")), kdcs.list.source);
            facts.passwordSentTo = result.brokeOff;
            // After an answer Kerberos has been tried: what follows is its verdict, never NTLM's turn.
            if (!result.brokeOff.isEmpty() || conversation.answered) {
                return kdcGaveNoUsableAnswer;
            }
            return kdcs.list.kdcs.empty() ? KRB5_REALM_CANT_RESOLVE : KRB5_KDC_UNREACH;
        }
        conversation.answered = true;
        reply = result.reply;
    }
    facts.library = QStringLiteral("the exchange did not end after %1 requests").arg(mostRounds);
    return kdcGaveNoUsableAnswer;
}

// The service ticket for ldap/<serviceHost> from the initial ticket in `cache`, which the library
// stores there under the name asked for, whatever name the KDC gave it. A name the KDC does not
// know shows here, before the bind.
krb5_error_code fetchServiceTicket(krb5_context context, krb5_ccache cache, const QString& serviceHost,
                                   const Target& target, KerberosFacts& facts, Conversation& conversation)
{
    Credentials wanted { context };
    krb5_error_code code = krb5_cc_get_principal(context, cache, &wanted.creds.client);
    if (code == 0) {
        const QByteArray name = servicePrincipalName(serviceHost, target.root->realm).toUtf8();
        code = krb5_parse_name(context, name.constData(), &wanted.creds.server);
    }
    krb5_tkt_creds_context raw = nullptr;
    if (code == 0) {
        code = krb5_tkt_creds_init(context, cache, &wanted.creds, 0, &raw);
    }
    const TicketContext service { raw, { context } };
    if (code != 0) {
        return code;
    }
    return converse(
        context, target,
        [&](krb5_data* in, krb5_data* out, krb5_data* realm, unsigned* flags) {
            return krb5_tkt_creds_step(context, service.get(), in, out, realm, flags);
        },
        false, facts, conversation);
}

KerberosFacts startFacts(const Target& target, const QString& serviceHost)
{
    KerberosFacts facts;
    facts.realm = target.root->realm;
    facts.serverTime = target.root->currentTime;
    facts.service = QStringLiteral("ldap/%1").arg(serviceHost);
    return facts;
}

} // namespace

QString servicePrincipalName(const QString& serviceHost, const QString& realm)
{
    const auto escaped = [](const QString& text, bool inRealm) {
        QString out;
        for (const QChar c : text) {
            switch (c.unicode()) {
            case u'\n':
                out += QStringLiteral("\\n");
                break;
            case u'\t':
                out += QStringLiteral("\\t");
                break;
            case u'\b':
                out += QStringLiteral("\\b");
                break;
            case 0:
                out += QStringLiteral("\\0");
                break;
            case u'/':
                out += inRealm ? QStringLiteral("/") : QStringLiteral("\\/");
                break;
            case u'@':
            case u'\\':
                out += u'\\';
                out += c;
                break;
            default:
                out += c;
            }
        }
        return out;
    };
    return QStringLiteral("ldap/%1@%2").arg(escaped(serviceHost, false), escaped(realm, true));
}

KdcList planKdcs(const KdcSettings& settings, const QString& realm,
                 const std::function<SrvAnswer(const QString&)>& lookup,
                 const std::function<quint32(quint32)>& draw, const std::optional<KdcEntry>& directoryServer)
{
    KdcList list;
    if (!settings.udpPreferenceLimit.isEmpty()) {
        bool number = false;
        const int limit = settings.udpPreferenceLimit.trimmed().toInt(&number);
        if (!number) {
            list.unusable = QStringLiteral("krb5.conf's udp_preference_limit \"%1\" is no number")
                                .arg(quoteForDescription(settings.udpPreferenceLimit, 40));
            return list;
        }
        list.udpPreferenceLimit = limit < 0 ? defaultUdpPreferenceLimit : std::min(limit, hardUdpLimit);
    }
    for (const QString& text : settings.kdcs) {
        QString problem;
        const std::optional<KdcEntry> entry = parseKdcEntry(text, problem);
        if (!entry) {
            list.kdcs.clear();
            list.unusable = QStringLiteral("krb5.conf names \"%1\" as a KDC of %2, but %3")
                                .arg(quoteForDescription(text.trimmed(), 100), realm, problem);
            return list;
        }
        list.kdcs.push_back(*entry);
    }
    if (!list.kdcs.empty()) {
        list.source = QStringLiteral("krb5.conf");
        return list;
    }
    QStringList notes { QStringLiteral("krb5.conf names none") };
    QString dnsSetting = settings.realmDnsLookupKdc;
    for (const QString& fallback : { settings.dnsLookupKdc, settings.dnsFallback }) {
        if (dnsSetting.isEmpty()) {
            dnsSetting = fallback;
        }
    }
    if (!dnsSetting.isEmpty() && !isYes(dnsSetting)) {
        notes.append(QStringLiteral("its dns_lookup_kdc says not to ask the DNS"));
    } else {
        for (const auto& [protocol, transport] :
             { std::pair { u"_udp", KdcTransport::Udp }, std::pair { u"_tcp", KdcTransport::Tcp } }) {
            SrvAnswer answer = lookup(QStringLiteral("_kerberos.%1.%2").arg(protocol, realm));
            if (answer.records.empty()) {
                notes.append(answer.problem);
            }
            for (const SrvRecord& record : orderSrvRecords(std::move(answer.records), draw)) {
                QString host = record.target;
                if (host.endsWith(u'.')) {
                    host.chop(1);
                }
                if (std::all_of(host.cbegin(), host.cend(), isHostNameCharacter)) {
                    list.kdcs.push_back({ host, false, record.port, transport });
                }
            }
        }
        if (!list.kdcs.empty()) {
            list.source = QStringLiteral("DNS SRV records");
            return list;
        }
    }
    list.notFound = notes.join(QStringLiteral(", "));
    if (directoryServer) {
        list.kdcs.push_back(*directoryServer);
        list.source = QStringLiteral("the directory server, as %1").arg(list.notFound);
        list.directoryServer = true;
    }
    return list;
}

std::vector<KdcAttempt> planAttempts(const KdcList& list, qsizetype size)
{
    const KdcTransport first = size > list.udpPreferenceLimit ? KdcTransport::Tcp : KdcTransport::Udp;
    const KdcTransport second = first == KdcTransport::Udp ? KdcTransport::Tcp : KdcTransport::Udp;
    std::vector<KdcAttempt> attempts;
    for (const KdcTransport pass : { first, second }) {
        for (std::size_t index = 0; index < list.kdcs.size() && attempts.size() < mostAttempts; ++index) {
            const KdcTransport transport = list.kdcs[index].transport;
            if (transport == KdcTransport::Any || transport == pass) {
                attempts.push_back({ index, pass });
            }
        }
    }
    return attempts;
}

KerberosFacts acquireTickets(krb5_context context, const QByteArray& cacheName, const TicketRequest& request,
                             const QString& password, const Target& target)
{
    KerberosFacts facts = startFacts(target, request.serviceHost);
    const auto fail = [&](krb5_error_code code) {
        facts.code = code;
        if (facts.library.isEmpty()) {
            facts.library = errorText(context, code);
        }
        return facts;
    };
    krb5_principal rawClient = nullptr;
    const QByteArray principal = request.principal.toUtf8();
    krb5_error_code code = krb5_parse_name_flags(
        context, principal.constData(), request.enterprise ? KRB5_PRINCIPAL_PARSE_ENTERPRISE : 0, &rawClient);
    const Principal client { rawClient, { context } };
    if (code != 0) {
        return fail(code);
    }
    krb5_get_init_creds_opt* rawOptions = nullptr;
    code = krb5_get_init_creds_opt_alloc(context, &rawOptions);
    const InitialOptions options { rawOptions, { context } };
    if (code != 0) {
        return fail(code);
    }
    // Lets the KDC map a UPN to its account.
    krb5_get_init_creds_opt_set_canonicalize(options.get(), 1);
    Conversation conversation { target };
    // A KDC nothing but the directory server itself names could be that server's own: it gets no
    // chance to ask for RC4, whose pre-authentication is a fast hash of the password.
    if (kdcsOf(context, target, target.root ? target.root->realm : QString(), conversation)
            .list.directoryServer) {
        static krb5_enctype strongOnly[] = { ENCTYPE_AES256_CTS_HMAC_SHA384_192,
                                             ENCTYPE_AES128_CTS_HMAC_SHA256_128,
                                             ENCTYPE_AES256_CTS_HMAC_SHA1_96,
                                             ENCTYPE_AES128_CTS_HMAC_SHA1_96 };
        krb5_get_init_creds_opt_set_etype_list(options.get(), strongOnly, std::size(strongOnly));
    }
    krb5_init_creds_context rawInitial = nullptr;
    code = krb5_init_creds_init(context, client.get(), nullptr, nullptr, 0, options.get(), &rawInitial);
    const InitialContext initial { rawInitial, { context } };
    if (code != 0) {
        return fail(code);
    }
    const QByteArray secret = password.toUtf8();
    code = krb5_init_creds_set_password(context, initial.get(), secret.constData());
    if (code != 0) {
        return fail(code);
    }
    code = converse(
        context, target,
        [&](krb5_data* in, krb5_data* out, krb5_data* realm, unsigned* flags) {
            return krb5_init_creds_step(context, initial.get(), in, out, realm, flags);
        },
        true, facts, conversation);
    if (code != 0) {
        return fail(code);
    }
    krb5_ccache rawCache = nullptr;
    code = krb5_cc_resolve(context, cacheName.constData(), &rawCache);
    const Cache cache { rawCache, { context } };
    if (code != 0) {
        return fail(code);
    }
    Credentials initialTicket { context };
    code = krb5_init_creds_get_creds(context, initial.get(), &initialTicket.creds);
    if (code == 0) {
        code = krb5_cc_initialize(context, cache.get(), initialTicket.creds.client);
    }
    if (code == 0) {
        code = krb5_cc_store_cred(context, cache.get(), &initialTicket.creds);
    }
    facts.initialTicket = code == 0;
    if (code == 0) {
        code = fetchServiceTicket(context, cache.get(), request.serviceHost, target, facts, conversation);
    }
    return code == 0 ? facts : fail(code);
}

KerberosFacts acquireServiceTicket(krb5_context context, const QByteArray& cacheName,
                                   const QString& serviceHost, const Target& target)
{
    KerberosFacts facts = startFacts(target, serviceHost);
    const auto fail = [&](krb5_error_code code) {
        facts.code = code;
        if (facts.library.isEmpty()) {
            facts.library = errorText(context, code);
        }
        return facts;
    };
    krb5_ccache rawDefault = nullptr;
    krb5_error_code code = krb5_cc_default(context, &rawDefault);
    const Cache userCache { rawDefault, { context } };
    if (code != 0) {
        return fail(code);
    }
    Credentials wanted { context };
    code = krb5_cc_get_principal(context, userCache.get(), &wanted.creds.client);
    if (code != 0) {
        return fail(code);
    }
    char* name = nullptr;
    if (krb5_unparse_name(context, wanted.creds.client, &name) == 0) {
        facts.principal = QString::fromUtf8(name);
        krb5_free_unparsed_name(context, name);
    }
    // The initial ticket of the user's own realm; the user's cache is only read.
    const krb5_data& realm = wanted.creds.client->realm;
    const QByteArray realmName(realm.data, static_cast<qsizetype>(realm.length));
    code = krb5_build_principal(context, &wanted.creds.server, realm.length, realm.data, KRB5_TGS_NAME,
                                realmName.constData(), nullptr);
    Credentials initialTicket { context };
    if (code == 0) {
        code = krb5_cc_retrieve_cred(context, userCache.get(), 0, &wanted.creds, &initialTicket.creds);
    }
    if (code != 0) {
        return fail(code);
    }
    krb5_timestamp now = 0;
    krb5_timeofday(context, &now);
    if (static_cast<krb5_ui_4>(initialTicket.creds.times.endtime) <= static_cast<krb5_ui_4>(now)) {
        return fail(KRB5KRB_AP_ERR_TKT_EXPIRED);
    }
    krb5_ccache rawCache = nullptr;
    code = krb5_cc_resolve(context, cacheName.constData(), &rawCache);
    const Cache cache { rawCache, { context } };
    if (code == 0) {
        code = krb5_cc_initialize(context, cache.get(), wanted.creds.client);
    }
    if (code == 0) {
        code = krb5_cc_store_cred(context, cache.get(), &initialTicket.creds);
    }
    if (code == 0) {
        Conversation conversation { target };
        code = fetchServiceTicket(context, cache.get(), serviceHost, target, facts, conversation);
    }
    return code == 0 ? facts : fail(code);
}

} // namespace quorvane
