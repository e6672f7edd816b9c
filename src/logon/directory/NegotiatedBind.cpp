#include "NegotiatedBind.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "KdcLocator.h"
#include "KerberosDescriptions.h"
#include "KerberosExchange.h"
#include "LdapDescriptions.h"
#include "SaslSecurityLayer.h"

#include <QStringList>

#include <atomic>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>
#include <type_traits>
#include <unistd.h>

namespace quorvane {

namespace {

gss_OID_desc krb5Mechanism { 9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02") };
gss_OID_desc spnegoMechanism { 6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02") };
gss_OID_desc ntlmMechanism { 10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a") };

void releaseName(gss_name_struct* name)
{
    OM_uint32 minor = 0;
    gss_release_name(&minor, &name);
}
void releaseCredential(gss_cred_id_struct* credential)
{
    OM_uint32 minor = 0;
    gss_release_cred(&minor, &credential);
}
using GssName = std::unique_ptr<gss_name_struct, Release<releaseName>>;
using GssCredential = std::unique_ptr<gss_cred_id_struct, Release<releaseCredential>>;
using Krb5Context = std::unique_ptr<std::remove_pointer_t<krb5_context>, Release<krb5_free_context>>;

// A private MEMORY cache for one check's tickets; KRB5CCNAME and the user's own tickets stay untouched.
class MemoryCache
{
public:
    MemoryCache()
    {
        static std::atomic<int> counter { 0 };
        m_name = QStringLiteral("MEMORY:quorvane-%1-%2").arg(getpid()).arg(++counter).toUtf8();
        krb5_context raw = nullptr;
        if (krb5_init_context(&raw) != 0) {
            throw Failure(QStringLiteral("The Kerberos library could not start: its configuration "
                                         "(krb5.conf) could not be read."));
        }
        m_context.reset(raw);
    }
    ~MemoryCache()
    {
        krb5_ccache cache = nullptr;
        if (krb5_cc_resolve(m_context.get(), m_name.constData(), &cache) == 0) {
            krb5_cc_destroy(m_context.get(), cache);
        }
    }
    MemoryCache(const MemoryCache&) = delete;
    MemoryCache& operator=(const MemoryCache&) = delete;

    krb5_context context() const { return m_context.get(); }
    const QByteArray& name() const { return m_name; }

private:
    Krb5Context m_context;
    QByteArray m_name;
};

QString gssText(OM_uint32 major, OM_uint32 minor, gss_OID mechanism)
{
    QStringList parts;
    const auto collect = [&](OM_uint32 status, int type, gss_OID mech) {
        OM_uint32 context = 0;
        do {
            OM_uint32 ignored = 0;
            gss_buffer_desc text = GSS_C_EMPTY_BUFFER;
            if (GSS_ERROR(gss_display_status(&ignored, status, type, mech, &context, &text))) {
                break;
            }
            parts.append(
                QString::fromUtf8(static_cast<const char*>(text.value), static_cast<qsizetype>(text.length)));
            gss_release_buffer(&ignored, &text);
        } while (context != 0);
    };
    if (minor != 0) {
        collect(minor, GSS_C_MECH_CODE, mechanism);
    } else {
        collect(major, GSS_C_GSS_CODE, GSS_C_NO_OID);
    }
    return parts.join(QStringLiteral("; "));
}

void pin(gss_cred_id_t credential, gss_OID mechanism)
{
    OM_uint32 minor = 0;
    gss_OID_set_desc only { 1, mechanism };
    const OM_uint32 major = gss_set_neg_mechs(&minor, credential, &only);
    if (GSS_ERROR(major)) {
        throw Failure(
            QStringLiteral("The GSS-API library could not limit the negotiation to one mechanism: %1.")
                .arg(gssText(major, minor, GSS_C_NO_OID)));
    }
}

// Escapes what separates components and realms in a Kerberos principal name.
QString principalPart(const QString& text, bool keepAt)
{
    QString escaped;
    for (const QChar c : text) {
        if (c == u'\\' || c == u'/' || (c == u'@' && !keepAt)) {
            escaped += u'\\';
        }
        escaped += c;
    }
    return escaped;
}

// A credential from the private cache: SPNEGO cannot use a krb5-only one (it would take the
// default cache instead), so a SPNEGO credential is made from the cache, limited to Kerberos.
GssCredential cacheCredential(const MemoryCache& cache, bool spnego)
{
    gss_key_value_element_desc cacheEntry { "ccache", cache.name().constData() };
    gss_key_value_set_desc store { 1, &cacheEntry };
    OM_uint32 minor = 0;
    gss_OID_set_desc mechanisms { 1, spnego ? &spnegoMechanism : &krb5Mechanism };
    gss_cred_id_t raw = GSS_C_NO_CREDENTIAL;
    const OM_uint32 major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms,
                                                  GSS_C_INITIATE, &store, &raw, nullptr, nullptr);
    GssCredential credential { raw };
    if (GSS_ERROR(major)) {
        throw Failure(QStringLiteral("The Kerberos ticket could not be used for the bind: %1.")
                          .arg(gssText(major, minor, &krb5Mechanism)));
    }
    if (spnego) {
        pin(credential.get(), &krb5Mechanism);
    }
    return credential;
}

// The realm the client's Kerberos configuration ties `host` to, looked up within the check's limits.
RealmFinding realmOfHost(krb5_context context, const QString& host, const LdapConnection& connection)
{
    const auto by = [&] {
        return std::min(Clock::now() + connection.limits().connect, connection.deadline());
    };
    const auto hasKdcs = [&](const QString& realm) {
        const auto lookup = [&](const QString& name) { return lookupSrv(name, by()); };
        return !planKdcs(
                    readKdcSettings(context, realm), realm, lookup, [](quint32) { return 0U; }, std::nullopt)
                    .kdcs.empty();
    };
    return findRealm(
        readRealmSettings(context), host, [&](const QString& name) { return lookupTxt(name, by()); },
        hasKdcs);
}

// The realm the bind uses: the one the server names (Active Directory), else the one the client's
// Kerberos configuration ties the server's host to.
struct Realm
{
    QString name;
    bool namedByServer = false;
    bool fromDns = false; // a TXT record or the parent domain's KDCs said it, not krb5.conf
};

// What the Kerberos exchange needs of the connection: the realm, the server as KDC of last resort
// (only one that names its realm is a domain controller, and so a KDC), and the check's deadline.
KdcReach reachOf(LdapConnection& connection, const Realm& realm)
{
    const RootEntry& root = connection.rootEntry();
    std::optional<KdcEntry> directoryServer;
    if (realm.namedByServer) {
        directoryServer = KdcEntry { connection.server().host, connection.server().ipv6 };
    }
    return KdcReach { realm.name, root.currentTime, directoryServer, connection.deadline(),
                      connection.limits() };
}

struct KerberosAttempt
{
    GssCredential credential; // SPNEGO, pinned to Kerberos; empty when Kerberos could not be tried
    KerberosFacts facts;
};

// The KDC's answer to the initial request is the password's one attempt; a failure that is no
// answer (no realm, no KDC, the server unknown to it) leaves `credential` empty for NTLM.
KerberosAttempt tryKerberos(LdapConnection& connection, const BindPlan& plan, const QString& password,
                            const MemoryCache& cache, const QString& mechanism, const Realm& realm,
                            const QString& host)
{
    KerberosAttempt attempt;
    KerberosFacts& facts = attempt.facts;
    facts.realm = realm.name;
    facts.serverTime = connection.rootEntry().currentTime;
    facts.service = QStringLiteral("ldap/%1").arg(host);
    const QString& account = plan.lookupValue;
    const QString& domain = plan.downLevelDomain;
    if (!domain.isEmpty() && domain.compare(facts.realm.section(u'.', 0, 0), Qt::CaseInsensitive) != 0) {
        // user@REALM would be another account of the same name; NTLM carries the domain as typed.
        facts.code = KRB5_REALM_UNKNOWN;
        facts.library = QStringLiteral("the user name's domain \"%1\" is not this realm's")
                            .arg(quoteForDescription(domain, 100));
        return attempt;
    }
    // A UPN is an enterprise name, for the KDC to map to its account; outside Active Directory,
    // user@REALM names that principal itself. DOMAIN\user and a plain name are user@REALM.
    const QString user = account.contains(u'@') ? account.section(u'@', 0, -2) : account;
    const bool upn = domain.isEmpty() && account.contains(u'@')
        && (realm.namedByServer || account.section(u'@', -1).compare(realm.name, Qt::CaseInsensitive) != 0);
    TicketRequest request;
    request.principal = QStringLiteral("%1@%2").arg(
        upn ? principalPart(account, true) : principalPart(user, false), realm.name);
    request.enterprise = upn;
    request.serviceHost = host;
    // A directory that is no domain controller asks the KDC for its service ticket at once: a KDC
    // that does not know ldap/<host> says so before any request made from the password.
    request.serviceInInitialRequest = !realm.namedByServer;
    const auto ask = [&] {
        facts = acquireTickets(cache.context(), cache.name(), request, password, reachOf(connection, realm));
        if (facts.passwordUsed) {
            connection.passwordSent();
        }
    };
    ask();
    facts.principal = upn ? account : QStringLiteral("%1@%2").arg(user, realm.name);
    // MIT's KDC does not map enterprise names: a UPN whose suffix is tied to this realm is asked once
    // more as user@REALM, the same account, and never after the password was used, so it still
    // counts once. Another suffix may be another person's account of that name.
    if (upn && !realm.namedByServer && facts.code == KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN && !facts.passwordUsed
        && realmOfHost(cache.context(), account.section(u'@', -1), connection).realm == realm.name) {
        request.principal = QStringLiteral("%1@%2").arg(principalPart(user, false), realm.name);
        request.enterprise = false;
        ask();
        facts.principal = QStringLiteral("%1@%2").arg(user, realm.name);
    }
    if (facts.code != 0) {
        return attempt;
    }
    attempt.credential = cacheCredential(cache, mechanism == u"GSS-SPNEGO");
    return attempt;
}

// NTLM through gss-ntlmssp: the password goes to it alone, never to krb5, which would ask the
// KDC once more.
GssCredential ntlmCredential(const QString& name, const QString& password)
{
    const QByteArray nameUtf8 = name.toUtf8();
    gss_buffer_desc nameText { static_cast<size_t>(nameUtf8.size()), const_cast<char*>(nameUtf8.data()) };
    OM_uint32 minor = 0;
    gss_name_t rawName = GSS_C_NO_NAME;
    OM_uint32 major = gss_import_name(&minor, &nameText, GSS_C_NT_USER_NAME, &rawName);
    const GssName gssName { rawName };
    if (GSS_ERROR(major)) {
        throw Failure(QStringLiteral("The user name \"%1\" cannot be used with NTLM: %2.")
                          .arg(quoteForDescription(name, 200), gssText(major, minor, &ntlmMechanism)));
    }
    const QByteArray secret = password.toUtf8();
    gss_key_value_element_desc passwordEntry { "ntlmssp_password", secret.constData() };
    gss_key_value_set_desc store { 1, &passwordEntry };
    gss_OID_set_desc spnego { 1, &spnegoMechanism };
    gss_cred_id_t raw = GSS_C_NO_CREDENTIAL;
    major = gss_acquire_cred_from(&minor, gssName.get(), GSS_C_INDEFINITE, &spnego, GSS_C_INITIATE, &store,
                                  &raw, nullptr, nullptr);
    GssCredential credential { raw };
    if (GSS_ERROR(major)) {
        throw Failure(QStringLiteral("NTLM could not be prepared for \"%1\": %2. Is gss-ntlmssp installed?")
                          .arg(quoteForDescription(name, 200), gssText(major, minor, &ntlmMechanism)));
    }
    pin(credential.get(), &ntlmMechanism);
    return credential;
}

// The default cache holds nothing to start from.
bool currentUserTicketMissing(long code)
{
    return code == KRB5_FCC_NOFILE || code == KRB5_CC_NOTFOUND || code == KRB5_CC_END
        || code == KRB5_CC_BADNAME || code == KRB5KRB_AP_ERR_TKT_EXPIRED;
}

void releaseContext(gss_ctx_id_struct* context)
{
    OM_uint32 minor = 0;
    gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
}
using GssContext = std::unique_ptr<gss_ctx_id_struct, Release<releaseContext>>;

QByteArray fromBuffer(gss_buffer_desc& buffer)
{
    QByteArray bytes(static_cast<const char*>(buffer.value), static_cast<qsizetype>(buffer.length));
    OM_uint32 minor = 0;
    gss_release_buffer(&minor, &buffer);
    return bytes;
}

// The name the service ticket was fetched for, as a Kerberos principal: GSS-API must neither
// canonicalise it through DNS nor fetch another ticket. NTLM takes the host-based form.
GssName serviceName(const QString& text, bool kerberos)
{
    const QByteArray utf8 = text.toUtf8();
    gss_buffer_desc buffer { static_cast<size_t>(utf8.size()), const_cast<char*>(utf8.data()) };
    OM_uint32 minor = 0;
    gss_name_t raw = GSS_C_NO_NAME;
    const OM_uint32 major = gss_import_name(
        &minor, &buffer, kerberos ? GSS_KRB5_NT_PRINCIPAL_NAME : GSS_C_NT_HOSTBASED_SERVICE, &raw);
    GssName name { raw };
    if (GSS_ERROR(major)) {
        throw Failure(QStringLiteral("The directory server's name \"%1\" cannot be used for the bind: %2.")
                          .arg(quoteForDescription(text, 200), gssText(major, minor, GSS_C_NO_OID)));
    }
    return name;
}

// What a finished exchange left: the context, what it grants, and the server's last word.
struct Exchange
{
    GssContext context;
    OM_uint32 granted = 0;
    bool kerberos = false; // the mechanism that ran, whatever was offered
    Protection protection = Protection::None;
    Outcome outcome; // the server's result of the last round
    bool complete = false;
};

constexpr int mostRounds = 8; // SPNEGO with NTLM takes three, GSSAPI's layer negotiation one more

// RFC 4752: the server offers protection layers in a signed token, the client picks one.
QByteArray chooseLayer(Exchange& exchange, const QByteArray& offer, const LdapConnection& connection)
{
    gss_buffer_desc input { static_cast<size_t>(offer.size()), const_cast<char*>(offer.data()) };
    gss_buffer_desc output = GSS_C_EMPTY_BUFFER;
    OM_uint32 minor = 0;
    const OM_uint32 major = gss_unwrap(&minor, exchange.context.get(), &input, &output, nullptr, nullptr);
    const QByteArray offered = fromBuffer(output);
    if (major != GSS_S_COMPLETE || offered.size() != 4) {
        throw Failure(QStringLiteral("The directory server %1 sent a security-layer offer that could not be "
                                     "read or failed its integrity check. The bind was abandoned.")
                          .arg(connection.where()));
    }
    const auto layers = static_cast<unsigned char>(offered[0]);
    unsigned char chosen = 0;
    if ((layers & 4) != 0 && (exchange.granted & GSS_C_CONF_FLAG) != 0) {
        chosen = 4;
        exchange.protection = Protection::Confidentiality;
    } else if ((layers & 2) != 0 && (exchange.granted & GSS_C_INTEG_FLAG) != 0) {
        chosen = 2;
        exchange.protection = Protection::Integrity;
    } else if ((layers & 1) != 0) {
        chosen = 1;
    } else {
        throw Failure(
            QStringLiteral("The directory server %1 offered no security layer this computer can use.")
                .arg(connection.where()));
    }
    // The largest buffer we take: 0 without a layer, else 64 KiB.
    QByteArray answer(4, '\0');
    answer[0] = static_cast<char>(chosen);
    answer[1] = chosen == 1 ? '\0' : '\x01';
    gss_buffer_desc plain { 4, answer.data() };
    gss_buffer_desc wrapped = GSS_C_EMPTY_BUFFER;
    if (GSS_ERROR(
            gss_wrap(&minor, exchange.context.get(), 0, GSS_C_QOP_DEFAULT, &plain, nullptr, &wrapped))) {
        fromBuffer(wrapped);
        throw Failure(QStringLiteral("The GSS-API library could not answer the security-layer offer."));
    }
    return fromBuffer(wrapped);
}

// One bind request carrying `token`; the server's answer and its token.
QByteArray bindRound(const LdapConnection& connection, const QByteArray& mechanism, const QByteArray& token,
                     Outcome& outcome)
{
    const QString operation = QStringLiteral("negotiated bind request");
    berval credentials { static_cast<ber_len_t>(token.size()), const_cast<char*>(token.data()) };
    int messageId = 0;
    LDAP* ld = connection.handle();
    if (ldap_sasl_bind(ld, "", mechanism.constData(), &credentials, nullptr, nullptr, &messageId)
        != LDAP_SUCCESS) {
        connection.failed(operation);
    }
    const LdapMessage answer = connection.awaitResult(messageId, operation);
    outcome = connection.parseOutcome(answer.get(), operation);
    berval* serverToken = nullptr;
    ldap_parse_sasl_bind_result(ld, answer.get(), &serverToken, 0);
    const QByteArray received = serverToken
        ? QByteArray(serverToken->bv_val, static_cast<qsizetype>(serverToken->bv_len))
        : QByteArray();
    ber_bvfree(serverToken);
    return received;
}

// The GSS exchange carried in SASL bind requests, until the context is established and the server
// says so. Only the context, not the server's word, proves the server: a "success" before the
// context is complete is a failure, as is one more "in progress" after the last token.
Exchange exchangeTokens(const LdapConnection& connection, const QString& mechanism, gss_cred_id_t credential,
                        gss_name_t service, const QString& identity, const QString& how)
{
    const bool spnego = mechanism == u"GSS-SPNEGO";
    const QByteArray mechanismUtf8 = mechanism.toUtf8();
    Exchange exchange;
    const auto step = [&](const QByteArray* input) {
        gss_buffer_desc in { input ? static_cast<size_t>(input->size()) : 0,
                             input ? const_cast<char*>(input->data()) : nullptr };
        gss_buffer_desc out = GSS_C_EMPTY_BUFFER;
        gss_OID used = GSS_C_NO_OID;
        OM_uint32 minor = 0;
        gss_ctx_id_t raw = exchange.context.release();
        const OM_uint32 major = gss_init_sec_context(
            &minor, credential, &raw, service, spnego ? &spnegoMechanism : &krb5Mechanism,
            GSS_C_MUTUAL_FLAG | GSS_C_REPLAY_FLAG | GSS_C_SEQUENCE_FLAG | GSS_C_INTEG_FLAG | GSS_C_CONF_FLAG,
            0, GSS_C_NO_CHANNEL_BINDINGS, input ? &in : GSS_C_NO_BUFFER, &used, &out, &exchange.granted,
            nullptr);
        exchange.context.reset(raw);
        const QByteArray token = fromBuffer(out);
        if (GSS_ERROR(major)) {
            const QString said = gssText(major, minor, used != GSS_C_NO_OID ? used : &krb5Mechanism);
            throw Failure(
                input ? QStringLiteral("The directory server %1 answered the negotiated (%2) bind of %3 "
                                       "with a token this computer rejects: %4.%5")
                            .arg(connection.where(), mechanism, bindIdentity(identity), said, how)
                      : QStringLiteral("The negotiated (%1) bind to %2 as %3 could not start on this "
                                       "computer: %4.%5")
                            .arg(mechanism, connection.where(), bindIdentity(identity), said, how));
        }
        exchange.complete = major == GSS_S_COMPLETE;
        if (used != GSS_C_NO_OID) {
            exchange.kerberos = gss_oid_equal(used, &krb5Mechanism) != 0;
        }
        return token;
    };
    QByteArray next = step(nullptr);
    bool layerChosen = spnego; // GSS-SPNEGO takes its layer from the context's flags
    for (int round = 0; round < mostRounds; ++round) {
        QByteArray received;
        try {
            received = bindRound(connection, mechanismUtf8, next, exchange.outcome);
        } catch (const Failure& failure) {
            throw Failure(failure.facts(), failure.description() + how);
        }
        next.clear();
        const int code = exchange.outcome.code;
        if (code != LDAP_SUCCESS && code != LDAP_SASL_BIND_IN_PROGRESS) {
            return exchange; // refused: the caller says why
        }
        if (!exchange.complete && !received.isEmpty()) {
            next = step(&received);
        } else if (code == LDAP_SASL_BIND_IN_PROGRESS && exchange.complete && !layerChosen) {
            next = chooseLayer(exchange, received, connection);
            layerChosen = true;
            continue;
        } else if (code == LDAP_SASL_BIND_IN_PROGRESS) {
            throw Failure(
                QStringLiteral("The directory server %1 asked to go on with the negotiated (%2) bind "
                               "of %3 but sent %4. The bind was abandoned.%5")
                    .arg(connection.where(), mechanism, bindIdentity(identity),
                         exchange.complete ? QStringLiteral("nothing more was due")
                                           : QStringLiteral("nothing to go on with"),
                         how));
        }
        if (code == LDAP_SUCCESS) {
            // A token left over once the context is complete (a MIC of our own) is not needed.
            if (!exchange.complete) {
                throw Failure(
                    QStringLiteral(
                        "The directory server %1 declared the negotiated (%2) bind of %3 successful "
                        "before it had proved its own identity, so nothing shows that a directory "
                        "checked the password: the server may not be the one it claims to be.%4")
                        .arg(connection.where(), mechanism, bindIdentity(identity), how));
            }
            if (spnego) {
                exchange.protection = (exchange.granted & GSS_C_CONF_FLAG) != 0 ? Protection::Confidentiality
                    : (exchange.granted & GSS_C_INTEG_FLAG) != 0                ? Protection::Integrity
                                                                                : Protection::None;
            }
            return exchange;
        }
    }
    throw Failure(
        QStringLiteral("The directory server %1 did not finish the negotiated (%2) bind of %3 within "
                       "%4 rounds. The bind was abandoned.%5")
            .arg(connection.where(), mechanism, bindIdentity(identity), QString::number(mostRounds), how));
}

ber_len_t strengthOf(Protection protection)
{
    switch (protection) {
    case Protection::Confidentiality:
        return sealingStrength;
    case Protection::Integrity:
        return 1;
    case Protection::None:
        break;
    }
    return 0;
}

// An NTLM logon proves the password only through its session key, which a server gets from a
// domain controller after that checked the response: an answer that passes the signed layer.
void verifyThroughLayer(const LdapConnection& connection, const SaslSecurityLayer& layer,
                        const QString& identity, const QString& how)
{
    const QString unverified = QStringLiteral(
        "The directory server %1 accepted the NTLM logon of %2, but the server could not be "
        "verified. %3 NTLM does not prove a server's identity by itself, so nothing shows that "
        "a domain controller checked the password.%4");
    try {
        connection.search(QString(), LDAP_SCOPE_BASE, QStringLiteral("(objectClass=*)"), { "1.1" }, 1,
                          QStringLiteral("read of the root entry over the signed connection"));
    } catch (const Failure& failure) {
        throw Failure(failure.facts(),
                      unverified.arg(connection.where(), bindIdentity(identity), failure.description(), how));
    }
    if (layer.answersVerified() == 0) {
        throw Failure(unverified.arg(connection.where(), bindIdentity(identity),
                                     QStringLiteral("no answer came back under the logon's signature."),
                                     how));
    }
}

// The value of the first RDN of a DN, as the directory wrote it; empty when it is no DN.
QString firstRdnValue(const QString& dn)
{
    LDAPDN parsed = nullptr;
    const QByteArray utf8 = dn.toUtf8();
    if (ldap_str2dn(utf8.constData(), &parsed, LDAP_DN_FORMAT_LDAPV3) != LDAP_SUCCESS || !parsed) {
        return {};
    }
    QString value;
    if (parsed[0] && parsed[0][0]) {
        value = fromBerval(parsed[0][0]->la_value);
    }
    ldap_dnfree(parsed);
    return value;
}

// Outside Active Directory a server maps the Kerberos name to an identity of its own (slapd's
// authz-regexp): "User is valid" needs it to be that user's. Asked after the bind, under the
// security layer, whatever the root entry said in the clear; a server without the operation says
// so, and then there is nothing to compare.
void requireMappedIdentity(LdapConnection& connection, const QString& principal)
{
    const QString operation = QStringLiteral("\"Who am I?\" request");
    int messageId = 0;
    if (ldap_whoami(connection.handle(), nullptr, nullptr, &messageId) != LDAP_SUCCESS) {
        connection.failed(operation);
    }
    const LdapMessage answer = connection.awaitResult(messageId, operation);
    const Outcome outcome = connection.parseOutcome(answer.get(), operation);
    if (outcome.code == LDAP_PROTOCOL_ERROR || outcome.code == LDAP_UNWILLING_TO_PERFORM) {
        return; // no such operation here
    }
    berval* raw = nullptr;
    const int code = outcome.code == LDAP_SUCCESS ? ldap_parse_whoami(connection.handle(), answer.get(), &raw)
                                                  : outcome.code;
    const std::unique_ptr<berval, Release<ber_bvfree>> authzid { raw };
    const QString mapped = authzid ? fromBerval(*authzid) : QString();
    const QString user = principal.section(u'@', 0, 0);
    const auto same = [&](const QString& name) {
        return !user.isEmpty() && name.compare(user, Qt::CaseInsensitive) == 0;
    };
    bool matches = mapped.startsWith(u"u:") && same(mapped.mid(2).section(u'@', 0, 0));
    if (code == LDAP_SUCCESS && mapped.startsWith(u"dn:")) {
        const QString dn = mapped.mid(3);
        matches = same(firstRdnValue(dn));
        if (!matches && !dn.endsWith(u",cn=auth", Qt::CaseInsensitive)) {
            // A mapping by search names the entry by another attribute: its uid or principal says whose.
            const SearchResult entry = connection.search(
                dn, LDAP_SCOPE_BASE, QStringLiteral("(objectClass=*)"), { "uid", "krbPrincipalName" }, 1,
                QStringLiteral("read of the entry the logon maps to"));
            const auto& values = entry.firstValues;
            matches = std::any_of(values.value("uid").cbegin(), values.value("uid").cend(), same)
                || values.value("krbPrincipalName").contains(principal, Qt::CaseInsensitive);
        }
    }
    if (code == LDAP_SUCCESS && matches) {
        return;
    }
    throw Failure(QStringLiteral(
                      "The directory server %1 accepted the Kerberos logon of %2, but %3, not to an identity "
                      "named \"%4\": its mapping of Kerberos names to entries (for slapd, authz-regexp) does "
                      "not lead to this user.")
                      .arg(connection.where(), bindIdentity(principal),
                           code != LDAP_SUCCESS ? QStringLiteral("would not say whom it took it for")
                               : mapped.isEmpty()
                               ? QStringLiteral("takes it for no one (anonymous)")
                               : QStringLiteral("takes it for \"%1\"").arg(quoteForDescription(mapped, 300)),
                           quoteForDescription(user, 100)));
}

} // namespace

QString negotiationMechanism(const RootEntry& root)
{
    // A server that names its realm (Active Directory) gets SPNEGO, which can carry NTLM too; any
    // other gets GSSAPI, the standard one, where it offers both.
    const QString spnego = QStringLiteral("GSS-SPNEGO"), gssapi = QStringLiteral("GSSAPI");
    for (const QString& mechanism :
         root.realm.isEmpty() ? QStringList { gssapi, spnego } : QStringList { spnego, gssapi }) {
        if (root.saslMechanisms.contains(mechanism, Qt::CaseInsensitive)) {
            return mechanism;
        }
    }
    return {};
}

QString negotiationHostName(LdapConnection& connection)
{
    const QString& named = connection.rootEntry().dnsHostName;
    return !named.isEmpty() ? named : connection.server().host;
}

std::optional<QString> negotiatedBind(LdapConnection& connection, const BindPlan& plan,
                                      const QString& password)
{
    const RootEntry& root = connection.rootEntry();
    const QString mechanism = negotiationMechanism(root);
    const QString host = negotiationHostName(connection);
    if (mechanism.isEmpty()) {
        if (plan.anonymous) {
            throw Failure(
                QStringLiteral("The directory server %1 offers no Kerberos logon (neither GSSAPI nor "
                               "GSS-SPNEGO), so the current user's ticket cannot be used with it. No "
                               "anonymous bind was made.")
                    .arg(connection.where()));
        }
        return std::nullopt;
    }
    const bool spnego = mechanism == u"GSS-SPNEGO";
    const auto required = static_cast<ber_len_t>(plan.requiredStrength);
    if (password.contains(QChar(0))) {
        throw Failure(
            QStringLiteral("The password contains a NUL character, which neither Kerberos nor NTLM can "
                           "carry."));
    }
    MemoryCache cache;
    Realm realm { root.realm, !root.realm.isEmpty() };
    if (!realm.namedByServer) {
        // The name the server gives itself comes in the clear: the realm, and with it the KDC that
        // gets the password's pre-authentication, follows the host the check connected to.
        const RealmFinding finding = realmOfHost(cache.context(), connection.server().host, connection);
        realm.name = finding.realm;
        realm.fromDns = finding.fromDns;
        if (realm.name.isEmpty() && !plan.anonymous) {
            connection.facts().whyNotKerberos =
                QStringLiteral("It offers %1, but no Kerberos realm is tied to %2: %3.")
                    .arg(mechanism, quoteForDescription(connection.server().host, 100),
                         quoteForDescription(finding.notFound, 600));
            return std::nullopt;
        }
    }
    GssCredential credential;
    QString identity;
    QString principal; // the Kerberos name that logged on
    QString fallbackReason;
    if (plan.anonymous) {
        const KerberosFacts facts =
            acquireServiceTicket(cache.context(), cache.name(), host, reachOf(connection, realm));
        if (facts.code != 0) {
            throw Failure(currentUserTicketMissing(facts.code)
                              ? QStringLiteral("There is no Kerberos ticket for the current user (%1): run "
                                               "kinit, or type a user name and password. No anonymous bind "
                                               "was made.")
                                    .arg(facts.library)
                              : QStringLiteral("The current user's Kerberos ticket could not be used for the "
                                               "directory server %1: %2")
                                    .arg(connection.where(), describeKerberosFailure(facts)));
        }
        realm.name = facts.realm;
        identity = QStringLiteral("the current user's Kerberos ticket");
        principal = facts.principal;
        connection.facts().mechanism = QStringLiteral("Kerberos");
        credential = cacheCredential(cache, spnego);
    } else {
        connection.facts().mechanism = QStringLiteral("Kerberos");
        KerberosAttempt kerberos = tryKerberos(connection, plan, password, cache, mechanism, realm, host);
        // Outside Active Directory, StartTLS and a simple bind take the place of Kerberos that could
        // not be tried, as long as nothing made from the password went to a KDC.
        const bool unknownService = kerberos.facts.code == KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN;
        if (!realm.namedByServer && !kerberos.facts.passwordUsed
            && (unknownService || kerberosCouldNotBeTried(kerberos.facts))) {
            connection.facts().mechanism.clear();
            connection.facts().whyNotKerberos = unknownService
                ? QStringLiteral("It offers %1, and %2 is tied to the realm %3, whose KDC knows no service "
                                 "\"%4\": the server does not take Kerberos logons.")
                      .arg(mechanism, quoteForDescription(host, 100), realm.name,
                           quoteForDescription(kerberos.facts.service, 200))
                : QStringLiteral("It offers %1, but Kerberos could not be tried: %2")
                      .arg(mechanism, describeKerberosFailure(kerberos.facts));
            return std::nullopt;
        }
        if (kerberos.credential) {
            credential = std::move(kerberos.credential);
            identity = principal = kerberos.facts.principal;
        } else if (!kerberosCouldNotBeTried(kerberos.facts) || !realm.namedByServer) {
            // Only a domain controller has NTLM to offer in Kerberos's place.
            throw Failure(QStringLiteral("The Kerberos logon for the directory server %1 failed: %2")
                              .arg(connection.where(), describeKerberosFailure(kerberos.facts)));
        } else {
            fallbackReason = describeKerberosFailure(kerberos.facts);
            if (!spnego) {
                throw Failure(
                    QStringLiteral("Kerberos could not be used with the directory server %1: %2 The "
                                   "server offers GSSAPI only, which carries Kerberos alone; NTLM needs "
                                   "GSS-SPNEGO.")
                        .arg(connection.where(), fallbackReason));
            }
            const QString& user = plan.typedName;
            const QString& domain = connection.path().dnsDomain;
            identity = user.contains(u'@') || user.contains(u'\\') || domain.isEmpty()
                ? user
                : QStringLiteral("%1@%2").arg(user, domain);
            credential = ntlmCredential(identity, password);
            connection.facts().mechanism = QStringLiteral("NTLM");
            connection.passwordSent(); // the NTLM response, made from it, goes with the bind
        }
    }
    const bool ntlm = !fallbackReason.isEmpty();
    const QString how = ntlm
        ? QStringLiteral(" NTLM was used because Kerberos could not be: %1").arg(fallbackReason)
        : QString();
    const GssName service = ntlm ? serviceName(QStringLiteral("ldap@%1").arg(host), false)
                                 : serviceName(servicePrincipalName(host, realm.name), true);
    Exchange exchange = exchangeTokens(connection, mechanism, credential.get(), service.get(), identity, how);
    credential.reset();
    const Outcome& outcome = exchange.outcome;
    if (outcome.code != LDAP_SUCCESS) {
        if (ntlm) {
            // Nothing proves who answered: what it says of the account is its word only.
            throw Failure(describeBindRefusal(connection.where(), identity, outcome.code, outcome.diagnostic,
                                              {}, noPolicyError, false)
                          + how);
        }
        // The KDC has accepted the password or ticket: "wrong password" would be false here.
        throw Failure(
            QStringLiteral("The directory server %1 refused the Kerberos logon of %2, which the KDC "
                           "had accepted: %3")
                .arg(connection.where(), bindIdentity(identity),
                     describeLdapResult(outcome.code, outcome.diagnostic)));
    }
    if (!ntlm && (!exchange.kerberos || (exchange.granted & GSS_C_MUTUAL_FLAG) == 0)) {
        throw Failure(
            QStringLiteral("The directory server %1 accepted the logon of %2 without proving its own "
                           "identity to Kerberos (no mutual authentication), so nothing shows that "
                           "a directory checked the password.")
                .arg(connection.where(), bindIdentity(identity)));
    }
    if (ntlm && exchange.protection == Protection::None) {
        throw Failure(
            QStringLiteral("The directory server %1 accepted the NTLM logon of %2 but refused NTLM "
                           "signing, so the server could not be verified: NTLM does not prove a "
                           "server's identity by itself, and nothing shows that a domain controller "
                           "checked the password.%3")
                .arg(connection.where(), bindIdentity(identity), how));
    }
    const ber_len_t strength = strengthOf(exchange.protection);
    if (strength < required) {
        throw Failure(
            QStringLiteral("The directory server %1 accepted the logon of %2, but granted a security "
                           "layer of strength %3 where the bind flags ask for %4 (%5). Nothing more "
                           "was read.")
                .arg(connection.where(), bindIdentity(identity), QString::number(strength),
                     QString::number(required),
                     required >= sealingStrength ? QStringLiteral("sealing, 0x80")
                                                 : QStringLiteral("signing, 0x40")));
    }
    const SaslSecurityLayer* layer = nullptr;
    if (exchange.protection != Protection::None) {
        layer = SaslSecurityLayer::install(connection.socketBuffer(), exchange.context.release(),
                                           exchange.protection);
        if (!layer) {
            throw Failure(QStringLiteral("The LDAP library would not carry the negotiated security layer."));
        }
        connection.protectedBy(layer);
    }
    if (ntlm) {
        verifyThroughLayer(connection, *layer, identity, how);
    } else if (!realm.namedByServer) {
        requireMappedIdentity(connection, principal);
    }
    CheckFacts& facts = connection.facts();
    facts.mechanism = ntlm ? QStringLiteral("NTLM") : QStringLiteral("Kerberos");
    facts.saslMechanism = mechanism;
    facts.whyNtlm = fallbackReason;
    facts.securityStrength = static_cast<int>(strength);
    return identity;
}

} // namespace quorvane
