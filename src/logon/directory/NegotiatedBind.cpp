#include "NegotiatedBind.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "KerberosDescriptions.h"
#include "KerberosExchange.h"
#include "LdapDescriptions.h"

#include <QStringList>

#include <atomic>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>
#include <optional>
#include <sasl/sasl.h>
#include <type_traits>
#include <unistd.h>

namespace quorvane {

namespace {

gss_OID_desc krb5Mechanism { 9, const_cast<char*>("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02") };
gss_OID_desc spnegoMechanism { 6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02") };
gss_OID_desc ntlmMechanism { 10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a") };

constexpr ber_len_t sealingStrength = 56;

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

struct KerberosAttempt
{
    GssCredential credential; // SPNEGO, pinned to Kerberos; empty when Kerberos could not be tried
    KerberosFacts facts;
};

// The KDC's answer to the initial request is the password's one attempt; a failure that is no
// answer (no realm, no KDC, the server unknown to it) leaves `credential` empty for NTLM.
KerberosAttempt tryKerberos(const Target& target, const QString& user, const QString& password,
                            const MemoryCache& cache, const QString& mechanism)
{
    KerberosAttempt attempt;
    KerberosFacts& facts = attempt.facts;
    facts.realm = target.root->realm;
    facts.serverTime = target.root->currentTime;
    facts.service = QStringLiteral("ldap/%1").arg(negotiationHostName(target));
    // A UPN is mapped by the KDC (an enterprise name); DOMAIN\user and a plain name are user@REALM.
    const bool upn = user.contains(u'@');
    const QString account = user.contains(u'\\') ? user.section(u'\\', 1) : user;
    const QString domain = user.contains(u'\\') ? user.section(u'\\', 0, 0) : QString();
    if (!domain.isEmpty() && domain.compare(facts.realm.section(u'.', 0, 0), Qt::CaseInsensitive) != 0) {
        // user@REALM would be another account of the same name; NTLM carries the domain as typed.
        facts.code = KRB5_REALM_UNKNOWN;
        facts.library = QStringLiteral("the user name's domain \"%1\" is not this realm's")
                            .arg(quoteForDescription(domain, 100));
        return attempt;
    }
    TicketRequest request;
    request.principal = QStringLiteral("%1@%2").arg(principalPart(account, upn), facts.realm);
    request.enterprise = upn;
    request.serviceHost = negotiationHostName(target);
    const QString shownPrincipal = upn ? user : QStringLiteral("%1@%2").arg(account, facts.realm);
    facts = acquireTickets(cache.context(), cache.name(), request, password, target);
    facts.principal = shownPrincipal;
    if (facts.code != 0) {
        return attempt;
    }
    // SPNEGO cannot use a krb5-only credential (it would take the default cache instead): a SPNEGO
    // credential is made from the private cache, limited to Kerberos. GSSAPI takes the krb5 one.
    gss_key_value_element_desc cacheEntry { "ccache", cache.name().constData() };
    gss_key_value_set_desc store { 1, &cacheEntry };
    OM_uint32 minor = 0;
    OM_uint32 major = 0;
    const bool spnego = mechanism == u"GSS-SPNEGO";
    gss_OID_set_desc mechanisms { 1, spnego ? &spnegoMechanism : &krb5Mechanism };
    gss_cred_id_t raw = GSS_C_NO_CREDENTIAL;
    major = gss_acquire_cred_from(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &mechanisms, GSS_C_INITIATE,
                                  &store, &raw, nullptr, nullptr);
    attempt.credential.reset(raw);
    if (GSS_ERROR(major)) {
        throw Failure(QStringLiteral("The Kerberos ticket could not be used for the bind: %1.")
                          .arg(gssText(major, minor, &krb5Mechanism)));
    }
    if (spnego) {
        pin(attempt.credential.get(), &krb5Mechanism);
    }
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

// The current user's own ticket, from the default credential cache.
GssCredential currentUserCredential(const QString& mechanism)
{
    OM_uint32 minor = 0;
    gss_OID_set_desc krb5Only { 1, &krb5Mechanism };
    gss_cred_id_t raw = GSS_C_NO_CREDENTIAL;
    OM_uint32 major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &krb5Only, GSS_C_INITIATE,
                                       &raw, nullptr, nullptr);
    GssCredential probe { raw };
    if (GSS_ERROR(major)) {
        throw Failure(
            QStringLiteral("There is no Kerberos ticket for the current user (%1): run kinit, or type "
                           "a user name and password.")
                .arg(gssText(major, minor, &krb5Mechanism)));
    }
    if (mechanism != u"GSS-SPNEGO") {
        return probe;
    }
    gss_OID_set_desc spnego { 1, &spnegoMechanism };
    raw = GSS_C_NO_CREDENTIAL;
    major = gss_acquire_cred(&minor, GSS_C_NO_NAME, GSS_C_INDEFINITE, &spnego, GSS_C_INITIATE, &raw, nullptr,
                             nullptr);
    GssCredential credential { raw };
    if (GSS_ERROR(major)) {
        throw Failure(QStringLiteral("The current user's Kerberos ticket cannot be used: %1.")
                          .arg(gssText(major, minor, &spnegoMechanism)));
    }
    pin(credential.get(), &krb5Mechanism);
    return credential;
}

struct Interaction
{
    gss_cred_id_t credential;
    int handedOver = 0;
};

// Cyrus SASL's context exists only once the bind has started, so the credential is handed over
// here; the one prompt (an authorization identity) is answered with nothing.
int interact(LDAP* ld, unsigned, void* defaults, void* prompts)
{
    auto* interaction = static_cast<Interaction*>(defaults);
    if (ldap_set_option(ld, LDAP_OPT_X_SASL_GSS_CREDS, interaction->credential) != LDAP_OPT_SUCCESS) {
        return LDAP_LOCAL_ERROR;
    }
    ++interaction->handedOver;
    for (auto* prompt = static_cast<sasl_interact_t*>(prompts); prompt && prompt->id != SASL_CB_LIST_END;
         ++prompt) {
        prompt->result = "";
        prompt->len = 0;
    }
    return LDAP_SUCCESS;
}

ber_len_t requiredStrength(qint32 flags)
{
    if ((flags & bindflag::useSealing) != 0) {
        return sealingStrength;
    }
    return (flags & bindflag::useSigning) != 0 ? 1 : 0;
}

// The SASL exchange, each answer awaited within the operation limit. Returns the result code.
int saslBind(LDAP* ld, const Target& target, const QString& mechanism, Interaction& interaction)
{
    const QByteArray mechanismUtf8 = mechanism.toUtf8();
    const QString operation = QStringLiteral("negotiated bind request");
    LDAPMessage* previous = nullptr;
    // libldap keeps the mechanism it chose in `chosen` from one round to the next.
    const char* chosen = nullptr;
    int messageId = 0;
    for (int round = 0; round < 16; ++round) {
        const int rc = ldap_sasl_interactive_bind(ld, nullptr, mechanismUtf8.constData(), nullptr, nullptr,
                                                  LDAP_SASL_QUIET, interact, &interaction, previous, &chosen,
                                                  &messageId);
        ldap_msgfree(previous);
        previous = nullptr;
        if (rc != LDAP_SASL_BIND_IN_PROGRESS) {
            return rc;
        }
        previous = awaitResult(ld, messageId, target, operation).release();
    }
    ldap_msgfree(previous);
    return LDAP_LOOP_DETECT;
}

} // namespace

bool mayNegotiate(const BindPlan& plan, const TransportPlan& transport, qint32 flags)
{
    const bool nameIsDn = !plan.anonymous && plan.lookupValue.isEmpty();
    // With TLS asked for (0x2) or in place, servers refuse a SASL security layer on top of it.
    return (flags & bindflag::secureAuthentication) != 0 && (flags & bindflag::noAuthentication) == 0
        && (flags & bindflag::useEncryption) == 0 && !transport.implicitTls && !nameIsDn;
}

QString negotiationMechanism(const RootEntry& root)
{
    // slapd lists GSS mechanisms whenever Cyrus SASL's modules are installed; a server that is part
    // of a Kerberos realm says which one (ldapServiceName), as Active Directory does.
    if (root.realm.isEmpty()) {
        return {};
    }
    for (const QString& mechanism : { QStringLiteral("GSS-SPNEGO"), QStringLiteral("GSSAPI") }) {
        if (root.saslMechanisms.contains(mechanism, Qt::CaseInsensitive)) {
            return mechanism;
        }
    }
    return {};
}

QString negotiationHostName(const Target& target)
{
    return target.root && !target.root->dnsHostName.isEmpty() ? target.root->dnsHostName : target.server.host;
}

QString negotiatedBind(LDAP* ld, Target& target, const BindPlan& plan, const QString& user,
                       const QString& password, qint32 flags)
{
    const QString mechanism = negotiationMechanism(*target.root);
    // Names travel as typed, and SASL asks for ldap/<the host of the connection>, which is the
    // server's own dnsHostName: no reverse lookup may turn it into another name.
    setBoolOption(ld, LDAP_OPT_X_SASL_NOCANON, true);
    const ber_len_t required = requiredStrength(flags);
    setTextOption(ld, LDAP_OPT_X_SASL_SECPROPS,
                  QStringLiteral("noanonymous,noplain,minssf=%1,maxssf=2147483647")
                      .arg(static_cast<qulonglong>(required)));

    if (password.contains(QChar(0))) {
        throw Failure(
            QStringLiteral("The password contains a NUL character, which neither Kerberos nor NTLM can "
                           "carry. The password was not sent."));
    }
    std::optional<MemoryCache> cache;
    GssCredential credential;
    QString identity;
    QString fallbackReason;
    if (plan.anonymous) {
        credential = currentUserCredential(mechanism);
        identity = QStringLiteral("the current user's Kerberos ticket");
    } else {
        cache.emplace();
        KerberosAttempt kerberos = tryKerberos(target, user, password, *cache, mechanism);
        if (kerberos.credential) {
            credential = std::move(kerberos.credential);
            identity = kerberos.facts.principal;
        } else if (!kerberosCouldNotBeTried(kerberos.facts.code)) {
            throw Failure(QStringLiteral("The Kerberos logon for the directory server %1 failed: %2")
                              .arg(target.where, describeKerberosFailure(kerberos.facts)));
        } else {
            fallbackReason = describeKerberosFailure(kerberos.facts);
            if (mechanism != u"GSS-SPNEGO") {
                throw Failure(
                    QStringLiteral("Kerberos could not be used with the directory server %1: %2 The "
                                   "server offers GSSAPI only, which carries Kerberos alone; NTLM needs "
                                   "GSS-SPNEGO.")
                        .arg(target.where, fallbackReason));
            }
            identity = user.contains(u'@') || user.contains(u'\\') || target.path.dnsDomain.isEmpty()
                ? user
                : QStringLiteral("%1@%2").arg(user, target.path.dnsDomain);
            credential = ntlmCredential(identity, password);
        }
    }
    Interaction interaction { credential.get() };
    const int rc = saslBind(ld, target, mechanism, interaction);
    credential.reset();
    cache.reset();
    const QString how = fallbackReason.isEmpty()
        ? QString()
        : QStringLiteral(" NTLM was used because Kerberos could not be: %1").arg(fallbackReason);
    if (rc != LDAP_SUCCESS) {
        const QString diagnostic = lastDiagnostic(ld);
        if (rc == LDAP_SERVER_DOWN || rc == LDAP_TIMEOUT) {
            connectionFailed(ld, target, QStringLiteral("negotiated bind request"), Clock::time_point::max());
        }
        if (rc < 0 && diagnostic.contains(u"Clock skew too great")) {
            // MIT takes the KDC's time for the ticket, so a wrong clock shows only at the bind.
            KerberosFacts skew;
            skew.code = KRB5KRB_AP_ERR_SKEW;
            skew.serverTime = target.root->currentTime;
            throw Failure(QStringLiteral("The Kerberos logon for the directory server %1 failed: %2")
                              .arg(target.where, describeKerberosFailure(skew)));
        }
        if (rc < 0) {
            // Refused on this side, by SASL or GSS-API, before the server said anything.
            const QString said = diagnostic.trimmed().isEmpty()
                ? QString::fromUtf8(ldap_err2string(rc))
                : QStringLiteral("\"%1\"").arg(
                    quoteForDescription(diagnostic.trimmed(), diagnosticQuoteLimit));
            throw Failure(
                QStringLiteral("The negotiated (%1) bind to %2 as %3 failed on this computer, before the "
                               "server answered; the SASL library said: %4.%5")
                    .arg(mechanism, target.where, bindIdentity(identity), said, how));
        }
        if (fallbackReason.isEmpty()) {
            // The KDC has accepted the password or ticket: "wrong password" would be false here.
            throw Failure(
                QStringLiteral("The directory server %1 refused the Kerberos logon of %2, which the KDC "
                               "had accepted: %3")
                    .arg(target.where, bindIdentity(identity), describeLdapResult(rc, diagnostic)));
        }
        throw Failure(describeBindRefusal(target.where, identity, rc, diagnostic, {}) + how);
    }
    if (interaction.handedOver != 1) {
        throw Failure(
            QStringLiteral("The SASL library bound to %1 without the credential acquired for %2, so the "
                           "logon proves nothing about it.")
                .arg(target.where, bindIdentity(identity)));
    }
    ber_len_t strength = 0;
    ldap_get_option(ld, LDAP_OPT_X_SASL_SSF, &strength);
    // The GSS-SPNEGO plugin does not enforce minssf itself.
    if (strength < required) {
        throw Failure(
            QStringLiteral("The directory server %1 accepted the logon of %2, but granted a security "
                           "layer of strength %3 where the bind flags ask for %4 (%5). Nothing more "
                           "was read.")
                .arg(target.where, bindIdentity(identity), QString::number(strength),
                     QString::number(required),
                     required >= sealingStrength ? QStringLiteral("sealing, 0x80")
                                                 : QStringLiteral("signing, 0x40")));
    }
    return identity;
}

} // namespace quorvane
