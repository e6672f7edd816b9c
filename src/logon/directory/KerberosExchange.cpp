#include "KerberosExchange.h"

#include "DescriptionText.h"
#include "NetworkConnect.h"

#include <QRandomGenerator>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <sys/socket.h>
#include <type_traits>

namespace quorvane {

namespace {

using namespace std::chrono;

constexpr qsizetype largestReply = 1024 * 1024;
constexpr qsizetype largestDatagram = 65535;
constexpr int mostRounds = 16; // preauthentication, referrals and the TGS exchange need a few
constexpr unsigned char asRepTag = 0x6b; // [APPLICATION 11]
constexpr unsigned char tgsRepTag = 0x6d; // [APPLICATION 13]
constexpr unsigned char krbErrorTag = 0x7e; // [APPLICATION 30]

// One krb5 resource and the context its release function takes, which Release<> cannot carry. The
// call that makes it fills `value` in place.
template <typename Resource, auto release>
struct Krb5Owned
{
    explicit Krb5Owned(krb5_context owner)
        : context(owner)
    {}
    ~Krb5Owned()
    {
        if constexpr (std::is_pointer_v<Resource>) {
            if (!value) {
                return;
            }
        }
        release(context, value);
    }
    Krb5Owned(const Krb5Owned&) = delete;
    Krb5Owned& operator=(const Krb5Owned&) = delete;

    krb5_context context;
    Resource value {};
};
void freeCredContents(krb5_context context, krb5_creds& creds)
{
    krb5_free_cred_contents(context, &creds);
}
using Principal = Krb5Owned<krb5_principal, krb5_free_principal>;
using Cache = Krb5Owned<krb5_ccache, krb5_cc_close>;
using InitialContext = Krb5Owned<krb5_init_creds_context, krb5_init_creds_free>;
using TicketContext = Krb5Owned<krb5_tkt_creds_context, krb5_tkt_creds_free>;
using InitialOptions = Krb5Owned<krb5_get_init_creds_opt*, krb5_get_init_creds_opt_free>;
using Credentials = Krb5Owned<krb5_creds, freeCredContents>; // filled by the library, freed with its contents
using ErrorMessage = Krb5Owned<const char*, krb5_free_error_message>;
using ErrorReply = Krb5Owned<krb5_error*, krb5_free_error>;
using UnparsedName = Krb5Owned<char*, krb5_free_unparsed_name>;

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
    ErrorMessage text { context };
    text.value = krb5_get_error_message(context, code);
    return QString::fromUtf8(text.value);
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
    ErrorReply error { context };
    return krb5_rd_error(context, &data, &error.value) == 0
        && error.value->error == KRB5KRB_ERR_RESPONSE_TOO_BIG - ERROR_TABLE_BASE_krb5;
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
    const KdcReach& reach;

    explicit Conversation(const KdcReach& given)
        : reach(given)
    {
        const Clock::time_point now = Clock::now();
        checkEnds =
            reach.deadline != Clock::time_point::max() ? reach.deadline : now + reach.limits.operation;
        firstAnswerBy = std::min(now + reach.limits.connect, checkEnds);
        connect = reach.limits.connect;
        connectLimit = QStringLiteral("the connect limit of %1").arg(durationText(reach.limits.connect));
        checkLimit = QStringLiteral("the check's limit of %1").arg(durationText(reach.limits.operation));
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
    const auto ask = [&](const KdcAttempt& attempt, std::size_t index, Clock::time_point fairEnd) {
        const KdcEntry& kdc = realm.list.kdcs[attempt.kdc];
        const QString where = kdcText(kdc, attempt.transport);
        const bool favoured = index == 0 && realm.answered && realm.answered->kdc == attempt.kdc
            && realm.answered->transport == attempt.transport;
        const Clock::time_point until = favoured ? phaseEnd : fairEnd;
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
            return true;
        }
        const QString why = !delivery.timedOut ? delivery.problem
            : until == phaseEnd
            ? QStringLiteral("no answer before %1 ran out").arg(limit)
            : QStringLiteral("no answer within %1, its share of %2").arg(roughly(until - started), limit);
        if (fromPassword && delivery.reached) {
            result.brokeOff = where;
            result.why = why;
            return true;
        }
        tried.append(QStringLiteral("%1: %2").arg(where, why));
        return false;
    };
    const auto late = [&](const KdcAttempt& attempt) {
        tried.append(QStringLiteral("%1: not tried, %2 had run out")
                         .arg(kdcText(realm.list.kdcs[attempt.kdc], attempt.transport), limit));
    };
    tryInTurn(attempts, phaseEnd, ask, late);
    return result;
}

// The KDCs of one realm, found once per check.
RealmKdcs& kdcsOf(krb5_context context, const QString& realmName, Conversation& conversation)
{
    auto known = conversation.realms.find(realmName);
    if (known == conversation.realms.end()) {
        const Clock::time_point deadline =
            conversation.answered ? conversation.checkEnds : conversation.firstAnswerBy;
        const bool ownRealm = realmName.compare(conversation.reach.realm, Qt::CaseInsensitive) == 0;
        RealmKdcs kdcs;
        kdcs.list = planKdcs(
            readKdcSettings(context, realmName), realmName,
            [deadline](const QString& name) { return lookupSrv(name, deadline); },
            [](quint32 highest) { return QRandomGenerator::global()->bounded(highest + 1); },
            ownRealm ? conversation.reach.directoryServer : std::nullopt);
        known = conversation.realms.emplace(realmName, std::move(kdcs)).first;
    }
    return known->second;
}

// Runs one step function to its end, carrying its requests. With `fromPassword`, every request
// after the KDC's first answer is taken to be made from the password.
template <typename Step>
krb5_error_code converse(krb5_context context, Step step, bool fromPassword, KerberosFacts& facts,
                         Conversation& conversation)
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
        RealmKdcs& kdcs = kdcsOf(context, realmName, conversation);
        facts.realm = realmName;
        if (!kdcs.list.unusable.isEmpty()) {
            facts.library = kdcs.list.unusable;
            return KRB5_CONFIG_BADFORMAT;
        }
        QStringList tried;
        const bool madeFromPassword = fromPassword && conversation.answered;
        facts.passwordUsed = facts.passwordUsed || (madeFromPassword && !kdcs.list.kdcs.empty());
        const ExchangeResult result = kdcs.list.kdcs.empty()
            ? ExchangeResult {}
            : exchange(context, kdcs, request, madeFromPassword, conversation, tried);
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
                                   KerberosFacts& facts, Conversation& conversation)
{
    Credentials wanted { context };
    krb5_error_code code = krb5_cc_get_principal(context, cache, &wanted.value.client);
    if (code == 0) {
        const QByteArray name = servicePrincipalName(serviceHost, conversation.reach.realm).toUtf8();
        code = krb5_parse_name(context, name.constData(), &wanted.value.server);
    }
    TicketContext service { context };
    if (code == 0) {
        code = krb5_tkt_creds_init(context, cache, &wanted.value, 0, &service.value);
    }
    if (code != 0) {
        return code;
    }
    return converse(
        context,
        [&](krb5_data* in, krb5_data* out, krb5_data* realm, unsigned* flags) {
            return krb5_tkt_creds_step(context, service.value, in, out, realm, flags);
        },
        false, facts, conversation);
}

KerberosFacts startFacts(const KdcReach& reach, const QString& serviceHost)
{
    KerberosFacts facts;
    facts.realm = reach.realm;
    facts.serverTime = reach.serverTime;
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

KerberosFacts acquireTickets(krb5_context context, const QByteArray& cacheName, const TicketRequest& request,
                             const QString& password, const KdcReach& reach)
{
    KerberosFacts facts = startFacts(reach, request.serviceHost);
    const auto fail = [&](krb5_error_code code) {
        facts.code = code;
        if (facts.library.isEmpty()) {
            facts.library = errorText(context, code);
        }
        return facts;
    };
    const QByteArray principal = request.principal.toUtf8();
    Principal client { context };
    krb5_error_code code =
        krb5_parse_name_flags(context, principal.constData(),
                              request.enterprise ? KRB5_PRINCIPAL_PARSE_ENTERPRISE : 0, &client.value);
    if (code != 0) {
        return fail(code);
    }
    InitialOptions options { context };
    code = krb5_get_init_creds_opt_alloc(context, &options.value);
    if (code != 0) {
        return fail(code);
    }
    // Lets the KDC map a UPN to its account.
    krb5_get_init_creds_opt_set_canonicalize(options.value, 1);
    Conversation conversation { reach };
    // A KDC nothing but the directory server itself names could be that server's own: it gets no
    // chance to ask for RC4, whose pre-authentication is a fast hash of the password.
    if (reach.strongKeysOnly || kdcsOf(context, reach.realm, conversation).list.directoryServer) {
        static krb5_enctype strongOnly[] = { ENCTYPE_AES256_CTS_HMAC_SHA384_192,
                                             ENCTYPE_AES128_CTS_HMAC_SHA256_128,
                                             ENCTYPE_AES256_CTS_HMAC_SHA1_96,
                                             ENCTYPE_AES128_CTS_HMAC_SHA1_96 };
        krb5_get_init_creds_opt_set_etype_list(options.value, strongOnly, std::size(strongOnly));
    }
    InitialContext initial { context };
    code = krb5_init_creds_init(context, client.value, nullptr, nullptr, 0, options.value, &initial.value);
    if (code != 0) {
        return fail(code);
    }
    const QByteArray service = servicePrincipalName(request.serviceHost, reach.realm).toUtf8();
    if (request.serviceInInitialRequest) {
        code = krb5_init_creds_set_service(context, initial.value, service.constData());
        if (code != 0) {
            return fail(code);
        }
    }
    const QByteArray secret = password.toUtf8();
    code = krb5_init_creds_set_password(context, initial.value, secret.constData());
    if (code != 0) {
        return fail(code);
    }
    code = converse(
        context,
        [&](krb5_data* in, krb5_data* out, krb5_data* realm, unsigned* flags) {
            return krb5_init_creds_step(context, initial.value, in, out, realm, flags);
        },
        true, facts, conversation);
    if (code != 0) {
        return fail(code);
    }
    Cache cache { context };
    code = krb5_cc_resolve(context, cacheName.constData(), &cache.value);
    if (code != 0) {
        return fail(code);
    }
    Credentials initialTicket { context };
    code = krb5_init_creds_get_creds(context, initial.value, &initialTicket.value);
    if (code == 0) {
        code = krb5_cc_initialize(context, cache.value, initialTicket.value.client);
    }
    if (code == 0) {
        code = krb5_cc_store_cred(context, cache.value, &initialTicket.value);
    }
    facts.initialTicket = code == 0;
    if (code == 0 && !request.serviceInInitialRequest) {
        code = fetchServiceTicket(context, cache.value, request.serviceHost, facts, conversation);
    }
    return code == 0 ? facts : fail(code);
}

KerberosFacts acquireServiceTicket(krb5_context context, const QByteArray& cacheName,
                                   const QString& serviceHost, const KdcReach& reach)
{
    KerberosFacts facts = startFacts(reach, serviceHost);
    const auto fail = [&](krb5_error_code code) {
        facts.code = code;
        if (facts.library.isEmpty()) {
            facts.library = errorText(context, code);
        }
        return facts;
    };
    Cache userCache { context };
    krb5_error_code code = krb5_cc_default(context, &userCache.value);
    if (code != 0) {
        return fail(code);
    }
    Credentials wanted { context };
    code = krb5_cc_get_principal(context, userCache.value, &wanted.value.client);
    if (code != 0) {
        return fail(code);
    }
    UnparsedName name { context };
    if (krb5_unparse_name(context, wanted.value.client, &name.value) == 0) {
        facts.principal = QString::fromUtf8(name.value);
    }
    // The initial ticket of the user's own realm; the user's cache is only read.
    const krb5_data& realm = wanted.value.client->realm;
    const QByteArray realmName(realm.data, static_cast<qsizetype>(realm.length));
    code = krb5_build_principal(context, &wanted.value.server, realm.length, realm.data, KRB5_TGS_NAME,
                                realmName.constData(), nullptr);
    Credentials initialTicket { context };
    if (code == 0) {
        code = krb5_cc_retrieve_cred(context, userCache.value, 0, &wanted.value, &initialTicket.value);
    }
    if (code != 0) {
        return fail(code);
    }
    krb5_timestamp now = 0;
    krb5_timeofday(context, &now);
    if (static_cast<krb5_ui_4>(initialTicket.value.times.endtime) <= static_cast<krb5_ui_4>(now)) {
        return fail(KRB5KRB_AP_ERR_TKT_EXPIRED);
    }
    Cache cache { context };
    code = krb5_cc_resolve(context, cacheName.constData(), &cache.value);
    if (code == 0) {
        code = krb5_cc_initialize(context, cache.value, wanted.value.client);
    }
    if (code == 0) {
        code = krb5_cc_store_cred(context, cache.value, &initialTicket.value);
    }
    if (code == 0) {
        // A server tied to no realm is taken to be in the user's own.
        KdcReach own = reach;
        if (own.realm.isEmpty()) {
            own.realm = facts.realm = QString::fromUtf8(realmName);
        }
        Conversation conversation { own };
        code = fetchServiceTicket(context, cache.value, serviceHost, facts, conversation);
    }
    return code == 0 ? facts : fail(code);
}

} // namespace quorvane
