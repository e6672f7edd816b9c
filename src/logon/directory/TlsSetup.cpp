#include "DescriptionText.h"
#include "Failure.h"
#include "LdapConnection.h"
#include "LdapDescriptions.h"
#include "TlsDiagnosis.h"
#include "TrustSettings.h"

#include <QFileInfo>

namespace quorvane {

namespace {

// Verification is demanded on this handle so no ldaprc or TLS_REQCERT setting can switch it off.
TrustSources configureTls(LDAP* ld, const FailureFacts& facts)
{
    const TrustSources trust = configuredTrust();
    const QString unreadable = !trust.caFile.isEmpty() && !QFileInfo(trust.caFile).isReadable() ? trust.caFile
        : !trust.caDir.isEmpty() && !QFileInfo(trust.caDir).isReadable()                        ? trust.caDir
                                                                                                : QString();
    // Built only when thrown: every TLS check comes through here.
    const auto untrusting = [&] {
        return failureOf(facts,
                         QStringLiteral("The trusted certificate authorities cannot be read from "
                                        "\"%1\" (set by %2), so no TLS connection can be verified.")
                             .arg(quoteForDescription(unreadable.isEmpty() ? trust.caFile : unreadable, 200),
                                  trust.origin));
    };
    if (!unreadable.isEmpty()) {
        throw untrusting();
    }
    if (!trust.caFile.isEmpty()) {
        setTextOption(ld, LDAP_OPT_X_TLS_CACERTFILE, trust.caFile);
    }
    if (!trust.caDir.isEmpty()) {
        setTextOption(ld, LDAP_OPT_X_TLS_CACERTDIR, trust.caDir);
    }
    setIntOption(ld, LDAP_OPT_X_TLS_REQUIRE_CERT, LDAP_OPT_X_TLS_DEMAND);
    // Must come last: the handle's TLS options take effect only in a context made after them.
    const int client = 0;
    if (ldap_set_option(ld, LDAP_OPT_X_TLS_NEWCTX, &client) != LDAP_OPT_SUCCESS) {
        throw untrusting(); // the file is there, but holds no certificate GnuTLS can load
    }
    return trust;
}

} // namespace

void LdapConnection::secure()
{
    if (!m_transport.implicitTls && !m_transport.startTls) {
        return;
    }
    m_step = CheckStep::Tls;
    const TrustSources trust = configureTls(handle(), failureFacts());
    if (m_transport.startTls) {
        const QString operation = QStringLiteral("StartTLS request");
        int messageId = 0;
        if (ldap_extended_operation(handle(), LDAP_EXOP_START_TLS, nullptr, nullptr, nullptr, &messageId)
            != LDAP_SUCCESS) {
            failed(operation);
        }
        const LdapMessage answer = awaitResult(messageId, operation);
        const Outcome outcome = parseOutcome(answer.get(), operation);
        if (outcome.code != LDAP_SUCCESS) {
            FailureFacts facts = failureFacts();
            facts.resultCode = outcome.code;
            facts.serverText = outcome.diagnostic;
            throw failureOf(
                facts,
                QStringLiteral("The directory server %1 refused StartTLS, which the bind flags ask for: %2")
                    .arg(m_where, describeLdapResult(outcome.code, outcome.diagnostic)));
        }
    }
    const Clock::time_point started = Clock::now();
    if (ldap_install_tls(handle()) != LDAP_SUCCESS) {
        tlsFailed(trust, started);
    }
    m_facts.tls = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started);
    recordTlsFacts();
}

void LdapConnection::recordTlsFacts()
{
    char* version = nullptr;
    ldap_get_option(handle(), LDAP_OPT_X_TLS_VERSION, &version);
    const LdapText versionOwner { version };
    m_facts.tlsVersion = fromLdap(version);
    berval der {};
    if (ldap_get_option(handle(), LDAP_OPT_X_TLS_PEERCERT, &der) != LDAP_OPT_SUCCESS || !der.bv_val) {
        return;
    }
    const std::unique_ptr<char, Release<ber_memfree>> derOwner { der.bv_val };
    // Parsing it costs more than the rest of our own work in a check: done only when asked.
    m_peerCertificate = QByteArray(der.bv_val, static_cast<qsizetype>(der.bv_len));
}

CheckFacts LdapConnection::reportedFacts() const
{
    CheckFacts facts = m_facts;
    if (m_peer.length > 0) {
        facts.address = numericAddress(m_peer);
    }
    if (!m_peerCertificate.isEmpty()) {
        const CertificateFacts certificate = certificateFacts(m_peerCertificate);
        facts.certificateSubject = certificate.subject;
        facts.certificateExpires = certificate.expires;
    }
    return facts;
}

void LdapConnection::tlsFailed(const TrustSources& trust, Clock::time_point started)
{
    FailureFacts facts = failureFacts();
    const int code = lastResultCode(handle());
    facts.resultCode = code;
    const QString libraryText = lastDiagnostic(handle());
    // A single-threaded server would still be busy with the failed connection.
    m_ld.reset();
    if (code == LDAP_TIMEOUT && Clock::now() - started >= m_limits.connect) {
        facts.timedOut = true;
        throw failureOf(
            facts,
            QStringLiteral("The directory server %1 did not complete the TLS handshake within %2.")
                .arg(m_where, durationText(m_limits.connect)));
    }
    QString reason = diagnoseTls(m_server.host, m_server.ipv6, m_server.port, m_peer, m_transport.startTls,
                                 trust, m_limits.connect);
    if (reason.isEmpty()) {
        reason = QStringLiteral("The TLS connection to %1 failed: %2")
                     .arg(m_where, describeLdapResult(code, libraryText));
    }
    throw failureOf(facts, reason);
}

} // namespace quorvane
