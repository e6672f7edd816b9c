#include "KerberosExchange.h"

#include "Failure.h"
#include "NetworkConnect.h"
#include "ServerLocator.h"

#include <QRandomGenerator>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <profile.h>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace quorvane {

namespace {

constexpr int kerberosPort = 88;
constexpr qsizetype largestReply = 1024 * 1024;
constexpr int mostRounds = 16; // preauthentication, referrals and the TGS exchange need a few
constexpr std::size_t maxKdcsTried = 8;

struct Kdc
{
    QString host;
    int port = kerberosPort;
};

// "host", "host:port" or "[address]:port", as krb5.conf writes a KDC.
Kdc parseKdc(const QString& text)
{
    Kdc kdc;
    QString rest = text.trimmed();
    if (rest.startsWith(u'[')) {
        const qsizetype close = rest.indexOf(u']');
        kdc.host = rest.mid(1, close - 1);
        rest = rest.mid(close + 1);
        if (rest.startsWith(u':')) {
            kdc.port = rest.mid(1).toInt();
        }
        return kdc;
    }
    if (rest.count(u':') == 1) {
        kdc.host = rest.section(u':', 0, 0);
        kdc.port = rest.section(u':', 1).toInt();
    } else {
        kdc.host = rest;
    }
    return kdc;
}

struct KdcList
{
    std::vector<Kdc> kdcs;
    QString source; // where they came from, for descriptions
    QString notFound; // when there are none: what was looked up and found wanting
};

KdcList locateKdcs(krb5_context context, const QString& realm, const Target& target,
                   Clock::time_point deadline)
{
    KdcList list;
    profile_t profile = nullptr;
    if (krb5_get_profile(context, &profile) == 0) {
        const QByteArray realmUtf8 = realm.toUtf8();
        const char* names[] = { "realms", realmUtf8.constData(), "kdc", nullptr };
        char** values = nullptr;
        if (profile_get_values(profile, names, &values) == 0) {
            for (char** value = values; value && *value; ++value) {
                list.kdcs.push_back(parseKdc(QString::fromUtf8(*value)));
            }
            profile_free_list(values);
        }
        profile_release(profile);
    }
    if (!list.kdcs.empty()) {
        list.source = QStringLiteral("krb5.conf");
        return list;
    }
    SrvAnswer answer = lookupSrv(QStringLiteral("_kerberos._tcp.%1").arg(realm), deadline);
    const auto draw = [](quint32 highest) { return QRandomGenerator::global()->bounded(highest + 1); };
    for (const SrvRecord& record : orderSrvRecords(std::move(answer.records), draw)) {
        QString host = record.target;
        if (host.endsWith(u'.')) {
            host.chop(1);
        }
        list.kdcs.push_back({ host, record.port });
    }
    if (!list.kdcs.empty()) {
        list.source = QStringLiteral("DNS SRV records");
        return list;
    }
    // A domain controller is a KDC of its own realm.
    if (target.root && realm.compare(target.root->realm, Qt::CaseInsensitive) == 0) {
        list.kdcs.push_back({ target.server.host, kerberosPort });
        list.source = QStringLiteral("the directory server, as neither krb5.conf nor DNS names a KDC");
    }
    list.notFound = QStringLiteral("krb5.conf names none, and %1").arg(answer.problem);
    return list;
}

// One request and its reply over TCP (a 4-byte length, then the message), from the first KDC of
// the list that answers by `deadline`. Empty when none did.
QByteArray exchange(const KdcList& list, const QByteArray& request, bool mayCarryPassword,
                    std::chrono::milliseconds timeout, Clock::time_point deadline, QStringList& tried)
{
    QByteArray framed(4, '\0');
    const auto length = static_cast<quint32>(request.size());
    for (int i = 0; i < 4; ++i) {
        framed[i] = static_cast<char>((length >> (8 * (3 - i))) & 0xff);
    }
    framed += request;
    const std::size_t count = std::min<std::size_t>(list.kdcs.size(), maxKdcsTried);
    for (std::size_t index = 0; index < count; ++index) {
        const Kdc& kdc = list.kdcs[index];
        const QString where = endpointText(kdc.host, kdc.host.contains(u':'), kdc.port);
        const auto left = deadline - Clock::now();
        if (left.count() <= 0) {
            tried.append(QStringLiteral("%1: not tried, out of time").arg(where));
            continue;
        }
        // Each KDC left gets an equal share of the time.
        const Clock::time_point until = Clock::now() + left / static_cast<int>(count - index);
        ConnectAttempt attempt = attemptTcp(kdc.host, kdc.port, timeout, until);
        if (attempt.socket.fd() < 0) {
            tried.append(QStringLiteral("%1: %2").arg(where, attempt.reason));
            continue;
        }
        char header[4];
        const bool sent = sendExactly(attempt.socket.fd(), framed.constData(), framed.size(), until);
        if (!sent || !receiveExactly(attempt.socket.fd(), header, 4, until)) {
            tried.append(QStringLiteral("%1: no answer in time").arg(where));
            // A KDC may have checked a request made from the password: another one must not see it.
            if (sent && mayCarryPassword) {
                break;
            }
            continue;
        }
        quint32 size = 0;
        for (const char byte : header) {
            size = (size << 8) | static_cast<unsigned char>(byte);
        }
        if (size == 0 || size > largestReply) {
            tried.append(QStringLiteral("%1: an answer that is not Kerberos").arg(where));
            continue;
        }
        QByteArray reply(static_cast<qsizetype>(size), '\0');
        if (!receiveExactly(attempt.socket.fd(), reply.data(), reply.size(), until)) {
            tried.append(QStringLiteral("%1: no whole answer in time").arg(where));
            continue;
        }
        return reply;
    }
    return {};
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

// What the conversations of one logon share: the KDCs found for each realm, and whether one has
// answered (after that, requests are made from the password or the ticket it gave).
struct Conversation
{
    std::map<QString, KdcList> kdcs;
    bool answered = false;
};

// Runs one step function to its end, carrying its requests. Reaching a KDC that answers at all
// costs at most the connect limit: a silent one must not hold the check longer.
template <typename Step>
krb5_error_code converse(krb5_context context, const Target& target, Step step, KerberosFacts& facts,
                         Conversation& conversation)
{
    QByteArray reply;
    QStringList tried;
    const Clock::time_point firstAnswerBy = Clock::now() + target.limits.connect;
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
        const Clock::time_point deadline =
            conversation.answered ? Clock::now() + target.limits.operation : firstAnswerBy;
        auto known = conversation.kdcs.find(realmName);
        if (known == conversation.kdcs.end()) {
            known =
                conversation.kdcs.emplace(realmName, locateKdcs(context, realmName, target, deadline)).first;
        }
        const KdcList& kdcs = known->second;
        if (kdcs.kdcs.empty()) {
            facts.realm = realmName;
            facts.library = kdcs.notFound;
            return KRB5_REALM_CANT_RESOLVE;
        }
        reply = exchange(kdcs, request, conversation.answered, target.limits.operation, deadline, tried);
        if (reply.isEmpty()) {
            facts.realm = realmName;
            facts.library = QStringLiteral("%1 (from %2)").arg(tried.join(QStringLiteral("; ")), kdcs.source);
            if (conversation.answered) {
                throw Failure(QStringLiteral("The Kerberos KDC of %1 stopped answering during the logon: %2.")
                                  .arg(realmName, facts.library));
            }
            return KRB5_KDC_UNREACH;
        }
        conversation.answered = true;
    }
    throw Failure(
        QStringLiteral("The Kerberos exchange did not end after %1 requests to the KDC.").arg(mostRounds));
}

} // namespace

KerberosFacts acquireTickets(krb5_context context, const QByteArray& cacheName, const TicketRequest& request,
                             const QString& password, const Target& target)
{
    KerberosFacts facts;
    facts.realm = target.root->realm;
    facts.serverTime = target.root->currentTime;
    facts.service = QStringLiteral("ldap/%1").arg(request.serviceHost);
    const auto fail = [&](krb5_error_code code) {
        facts.code = code;
        if (facts.library.isEmpty()) {
            facts.library = errorText(context, code);
        }
        return facts;
    };
    krb5_principal client = nullptr;
    const QByteArray principal = request.principal.toUtf8();
    krb5_error_code code = krb5_parse_name_flags(
        context, principal.constData(), request.enterprise ? KRB5_PRINCIPAL_PARSE_ENTERPRISE : 0, &client);
    if (code != 0) {
        return fail(code);
    }
    const std::unique_ptr<krb5_principal_data, std::function<void(krb5_principal)>> clientOwner {
        client, [context](krb5_principal p) { krb5_free_principal(context, p); }
    };
    krb5_get_init_creds_opt* options = nullptr;
    code = krb5_get_init_creds_opt_alloc(context, &options);
    if (code != 0) {
        return fail(code);
    }
    const std::unique_ptr<krb5_get_init_creds_opt, std::function<void(krb5_get_init_creds_opt*)>>
        optionsOwner { options,
                       [context](krb5_get_init_creds_opt* o) { krb5_get_init_creds_opt_free(context, o); } };
    // Lets the KDC map a UPN to its account.
    krb5_get_init_creds_opt_set_canonicalize(options, 1);
    krb5_init_creds_context initial = nullptr;
    code = krb5_init_creds_init(context, client, nullptr, nullptr, 0, options, &initial);
    if (code != 0) {
        return fail(code);
    }
    const std::unique_ptr<std::remove_pointer_t<krb5_init_creds_context>,
                          std::function<void(krb5_init_creds_context)>>
        initialOwner { initial, [context](krb5_init_creds_context c) { krb5_init_creds_free(context, c); } };
    const QByteArray secret = password.toUtf8();
    code = krb5_init_creds_set_password(context, initial, secret.constData());
    if (code != 0) {
        return fail(code);
    }
    Conversation conversation;
    code = converse(
        context, target,
        [&](krb5_data* in, krb5_data* out, krb5_data* realm, unsigned* flags) {
            return krb5_init_creds_step(context, initial, in, out, realm, flags);
        },
        facts, conversation);
    if (code != 0) {
        return fail(code);
    }
    krb5_ccache cache = nullptr;
    code = krb5_cc_resolve(context, cacheName.constData(), &cache);
    if (code != 0) {
        return fail(code);
    }
    const std::unique_ptr<std::remove_pointer_t<krb5_ccache>, std::function<void(krb5_ccache)>> cacheOwner {
        cache, [context](krb5_ccache c) { krb5_cc_close(context, c); }
    };
    krb5_creds initialTicket {};
    code = krb5_init_creds_get_creds(context, initial, &initialTicket);
    if (code == 0) {
        code = krb5_cc_initialize(context, cache, initialTicket.client);
        if (code == 0) {
            code = krb5_cc_store_cred(context, cache, &initialTicket);
        }
        krb5_free_cred_contents(context, &initialTicket);
    }
    if (code != 0) {
        return fail(code);
    }

    // The service ticket: a name the KDC does not know shows here, before the bind.
    struct Wanted
    {
        krb5_context context;
        krb5_creds creds {};
        ~Wanted() { krb5_free_cred_contents(context, &creds); }
    } wanted { context };
    code = krb5_cc_get_principal(context, cache, &wanted.creds.client);
    if (code == 0) {
        const QByteArray realm = target.root->realm.toUtf8();
        const QByteArray host = request.serviceHost.toUtf8();
        code = krb5_build_principal(context, &wanted.creds.server, static_cast<unsigned>(realm.size()),
                                    realm.constData(), "ldap", host.constData(), nullptr);
    }
    krb5_tkt_creds_context service = nullptr;
    if (code == 0) {
        code = krb5_tkt_creds_init(context, cache, &wanted.creds, 0, &service);
    }
    if (code != 0) {
        return fail(code);
    }
    const std::unique_ptr<std::remove_pointer_t<krb5_tkt_creds_context>,
                          std::function<void(krb5_tkt_creds_context)>>
        serviceOwner { service, [context](krb5_tkt_creds_context c) { krb5_tkt_creds_free(context, c); } };
    code = converse(
        context, target,
        [&](krb5_data* in, krb5_data* out, krb5_data* realm, unsigned* flags) {
            return krb5_tkt_creds_step(context, service, in, out, realm, flags);
        },
        facts, conversation);
    return code == 0 ? facts : fail(code);
}

} // namespace quorvane
