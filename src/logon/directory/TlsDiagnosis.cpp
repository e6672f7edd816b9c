#include "TlsDiagnosis.h"

#include "DescriptionText.h"
#include "Failure.h"
#include "LdapDescriptions.h"
#include "LdapPath.h"
#include "NetworkConnect.h"
#include "Release.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <arpa/inet.h>
#include <array>
#include <ctime>
#include <gnutls/gnutls.h>
#include <gnutls/x509.h>
#include <memory>
#include <sys/socket.h>
#include <type_traits>
#include <unistd.h>
#include <vector>

namespace quorvane {

namespace {

void freeTrustList(gnutls_x509_trust_list_t list)
{
    gnutls_x509_trust_list_deinit(list, 1);
}
using Session = std::unique_ptr<std::remove_pointer_t<gnutls_session_t>, Release<gnutls_deinit>>;
using Credentials = std::unique_ptr<std::remove_pointer_t<gnutls_certificate_credentials_t>,
                                    Release<gnutls_certificate_free_credentials>>;
using Certificate =
    std::unique_ptr<std::remove_pointer_t<gnutls_x509_crt_t>, Release<gnutls_x509_crt_deinit>>;
using TrustList = std::unique_ptr<std::remove_pointer_t<gnutls_x509_trust_list_t>, Release<freeTrustList>>;

constexpr int maxNamesListed = 16;

// The StartTLS extended request (message 1, OID 1.3.6.1.4.1.1466.20037), encoded once by hand.
constexpr std::array<unsigned char, 31> startTlsRequest = { 0x30, 0x1d, 0x02, 0x01, 0x01, 0x77, 0x18, 0x80,
                                                            0x16, '1',  '.',  '3',  '.',  '6',  '.',  '1',
                                                            '.',  '4',  '.',  '1',  '.',  '1',  '4',  '6',
                                                            '6',  '.',  '2',  '0',  '0',  '3',  '7' };

// Sends StartTLS and skips the server's answer; false when the exchange did not complete.
bool negotiateStartTls(int fd, std::chrono::steady_clock::time_point deadline)
{
    if (!sendExactly(fd, reinterpret_cast<const char*>(startTlsRequest.data()), startTlsRequest.size(),
                     deadline)) {
        return false;
    }
    std::array<char, 2> head {};
    if (!receiveExactly(fd, head.data(), head.size(), deadline) || head[0] != 0x30) {
        return false;
    }
    const auto lengthByte = static_cast<unsigned char>(head[1]);
    qsizetype length = lengthByte;
    if ((lengthByte & 0x80) != 0) {
        const qsizetype octets = lengthByte & 0x7f;
        std::array<char, 4> lengthBytes {};
        if (octets == 0 || octets > qsizetype(lengthBytes.size())
            || !receiveExactly(fd, lengthBytes.data(), octets, deadline)) {
            return false;
        }
        length = 0;
        for (qsizetype i = 0; i < octets; ++i) {
            length = (length << 8) | static_cast<unsigned char>(lengthBytes[std::size_t(i)]);
        }
    }
    if (length > 64 * 1024) {
        return false;
    }
    std::vector<char> body(static_cast<std::size_t>(length));
    return receiveExactly(fd, body.data(), length, deadline);
}

QString utcText(time_t when)
{
    return QDateTime::fromSecsSinceEpoch(when, QTimeZone::utc())
        .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'"));
}

QString distinguishedName(gnutls_x509_crt_t certificate, bool issuer)
{
    gnutls_datum_t text {};
    const int rc = issuer ? gnutls_x509_crt_get_issuer_dn3(certificate, &text, 0)
                          : gnutls_x509_crt_get_dn3(certificate, &text, 0);
    if (rc < 0) {
        return QStringLiteral("(unreadable)");
    }
    const QString name = QString::fromUtf8(reinterpret_cast<const char*>(text.data), text.size);
    gnutls_free(text.data);
    return name;
}

QStringList certificateNames(gnutls_x509_crt_t certificate)
{
    QStringList names;
    for (unsigned index = 0; index < maxNamesListed; ++index) {
        std::array<char, 512> buffer {};
        std::size_t size = buffer.size();
        unsigned critical = 0;
        const int type =
            gnutls_x509_crt_get_subject_alt_name(certificate, index, buffer.data(), &size, &critical);
        if (type == GNUTLS_E_REQUESTED_DATA_NOT_AVAILABLE) {
            break;
        }
        if (type == GNUTLS_SAN_DNSNAME) {
            names.append(QString::fromUtf8(buffer.data(), static_cast<qsizetype>(size)));
        } else if (type == GNUTLS_SAN_IPADDRESS && (size == 4 || size == 16)) {
            std::array<char, INET6_ADDRSTRLEN> address {};
            inet_ntop(size == 4 ? AF_INET : AF_INET6, buffer.data(), address.data(), address.size());
            names.append(QString::fromUtf8(address.data()));
        }
    }
    if (names.isEmpty()) {
        std::array<char, 256> common {};
        std::size_t size = common.size();
        if (gnutls_x509_crt_get_dn_by_oid(certificate, GNUTLS_OID_X520_COMMON_NAME, 0, 0, common.data(),
                                          &size)
            == 0) {
            names.append(QString::fromUtf8(common.data(), static_cast<qsizetype>(size)));
        }
    }
    return names;
}

bool certificateNamesHost(gnutls_x509_crt_t certificate, const QString& host, bool ipv6)
{
    const QString bare = ipv6 ? host.section(u'%', 0, 0) : host;
    const QByteArray utf8 = bare.toUtf8();
    std::array<unsigned char, 16> address {};
    if (inet_pton(AF_INET, utf8.constData(), address.data()) == 1) {
        return gnutls_x509_crt_check_ip(certificate, address.data(), 4, 0) != 0;
    }
    if (inet_pton(AF_INET6, utf8.constData(), address.data()) == 1) {
        return gnutls_x509_crt_check_ip(certificate, address.data(), 16, 0) != 0;
    }
    return gnutls_x509_crt_check_hostname2(certificate, utf8.constData(), 0) != 0;
}

// GnuTLS's own words, after what they mean at this point of a handshake.
QString handshakeFailure(int code)
{
    QString library = QString::fromUtf8(gnutls_strerror(code));
    if (library.endsWith(u'.')) {
        library.chop(1);
    }
    switch (code) {
    case GNUTLS_E_PREMATURE_TERMINATION:
        return QStringLiteral("the server closed the connection (%1)").arg(library);
    case GNUTLS_E_PULL_ERROR:
    case GNUTLS_E_PUSH_ERROR:
        return QStringLiteral("the connection broke off, reset by the server (%1)").arg(library);
    case GNUTLS_E_UNEXPECTED_PACKET_LENGTH:
    case GNUTLS_E_UNEXPECTED_PACKET:
    case GNUTLS_E_UNSUPPORTED_VERSION_PACKET:
        return QStringLiteral("the server does not answer in TLS; the port may be a plain LDAP port (%1)")
            .arg(library);
    default:
        return library;
    }
}

QString trustText(const TrustSources& trust)
{
    QStringList sources;
    for (const QString& source : { trust.caFile, trust.caDir }) {
        if (!source.isEmpty()) {
            sources.append(source);
        }
    }
    if (sources.isEmpty()) {
        return QStringLiteral("none configured");
    }
    const QString listed = quotedList(sources, 2, 200);
    return trust.origin.isEmpty() ? listed : QStringLiteral("%1, set by %2").arg(listed, trust.origin);
}

QStringList certificateProblems(const std::vector<Certificate>& chain, const QString& host, bool ipv6,
                                const TrustSources& trust)
{
    QStringList problems;
    gnutls_x509_crt_t leaf = chain.front().get();
    gnutls_x509_trust_list_t rawList = nullptr;
    gnutls_x509_trust_list_init(&rawList, 0);
    const TrustList list { rawList };
    if (!trust.caFile.isEmpty()) {
        gnutls_x509_trust_list_add_trust_file(list.get(), trust.caFile.toUtf8().constData(), nullptr,
                                              GNUTLS_X509_FMT_PEM, 0, 0);
    }
    if (!trust.caDir.isEmpty()) {
        gnutls_x509_trust_list_add_trust_dir(list.get(), trust.caDir.toUtf8().constData(), nullptr,
                                             GNUTLS_X509_FMT_PEM, 0, 0);
    }
    std::vector<gnutls_x509_crt_t> raw;
    for (const Certificate& certificate : chain) {
        raw.push_back(certificate.get());
    }
    unsigned status = 0;
    const int verified = gnutls_x509_trust_list_verify_crt(
        list.get(), raw.data(), static_cast<unsigned>(raw.size()), 0, &status, nullptr);
    if (verified < 0) {
        status |= GNUTLS_CERT_INVALID;
    }
    if ((status & (GNUTLS_CERT_SIGNER_NOT_FOUND | GNUTLS_CERT_SIGNER_NOT_CA)) != 0) {
        const QString issuer = distinguishedName(leaf, true);
        problems.append(
            issuer == distinguishedName(leaf, false)
                ? QStringLiteral("it is self-signed (\"%1\") and not among the trusted certificate "
                                 "authorities (%2)")
                      .arg(quoteForDescription(issuer, 300), trustText(trust))
                : QStringLiteral("its issuer \"%1\" is not among the trusted certificate authorities "
                                 "(%2)")
                      .arg(quoteForDescription(issuer, 300), trustText(trust)));
    }
    const time_t now = std::time(nullptr);
    const time_t expires = gnutls_x509_crt_get_expiration_time(leaf);
    const time_t activates = gnutls_x509_crt_get_activation_time(leaf);
    if (expires != -1 && expires < now) {
        problems.append(QStringLiteral("it expired on %1").arg(utcText(expires)));
    } else if (activates != -1 && activates > now) {
        problems.append(QStringLiteral("it is not valid before %1").arg(utcText(activates)));
    }
    if (!certificateNamesHost(leaf, host, ipv6)) {
        const QStringList names = certificateNames(leaf);
        problems.append(names.isEmpty() ? QStringLiteral("it names no host, so it cannot be for %1")
                                              .arg(quoteForDescription(host, 100))
                                        : QStringLiteral("it is issued for %1, not for %2")
                                              .arg(quotedList(names, maxNamesListed, 100),
                                                   quoteForDescription(host, 100)));
    }
    if (problems.isEmpty() && (status & GNUTLS_CERT_INVALID) != 0) {
        gnutls_datum_t printed {};
        if (gnutls_certificate_verification_status_print(status, GNUTLS_CRT_X509, &printed, 0) == 0) {
            problems.append(QString::fromUtf8(reinterpret_cast<const char*>(printed.data), printed.size));
            gnutls_free(printed.data);
        }
    }
    return problems;
}

} // namespace

CertificateFacts certificateFacts(const QByteArray& der)
{
    gnutls_x509_crt_t raw = nullptr;
    if (gnutls_x509_crt_init(&raw) < 0) {
        return {};
    }
    const Certificate certificate { raw };
    const gnutls_datum_t data { reinterpret_cast<unsigned char*>(const_cast<char*>(der.constData())),
                                static_cast<unsigned>(der.size()) };
    if (gnutls_x509_crt_import(certificate.get(), &data, GNUTLS_X509_FMT_DER) < 0) {
        return {};
    }
    return { distinguishedName(certificate.get(), false),
             QDateTime::fromSecsSinceEpoch(gnutls_x509_crt_get_expiration_time(certificate.get()),
                                           QTimeZone::utc()) };
}

QString diagnoseTls(const QString& host, bool ipv6, int port, const PeerAddress& peer, bool startTls,
                    const TrustSources& trust, std::chrono::milliseconds timeout)
{
    const QString where = endpointText(host, ipv6, port);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    Socket socket;
    try {
        socket = connectAgain(peer, where, timeout);
    } catch (const Failure& failure) {
        return failure.description();
    }
    if (startTls && !negotiateStartTls(socket.fd(), deadline)) {
        return QStringLiteral("The directory server %1 did not complete StartTLS.").arg(where);
    }
    gnutls_certificate_credentials_t rawCredentials = nullptr;
    if (gnutls_certificate_allocate_credentials(&rawCredentials) < 0) {
        return {};
    }
    const Credentials credentials { rawCredentials };
    gnutls_session_t rawSession = nullptr;
    if (gnutls_init(&rawSession, GNUTLS_CLIENT) < 0) {
        return {};
    }
    const Session session { rawSession };
    gnutls_set_default_priority(session.get());
    gnutls_credentials_set(session.get(), GNUTLS_CRD_CERTIFICATE, credentials.get());
    const QByteArray serverName = host.toUtf8();
    std::array<unsigned char, 16> literal {};
    if (!ipv6 && inet_pton(AF_INET, serverName.constData(), literal.data()) != 1) {
        gnutls_server_name_set(session.get(), GNUTLS_NAME_DNS, serverName.constData(),
                               static_cast<std::size_t>(serverName.size()));
    }
    gnutls_transport_set_int(session.get(), socket.fd());
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    gnutls_handshake_set_timeout(session.get(), static_cast<unsigned>(std::max<long long>(left.count(), 1)));
    int rc = 0;
    do {
        rc = gnutls_handshake(session.get());
    } while (rc < 0 && gnutls_error_is_fatal(rc) == 0 && std::chrono::steady_clock::now() < deadline);
    if (rc < 0) {
        if (rc == GNUTLS_E_TIMEDOUT || gnutls_error_is_fatal(rc) == 0) {
            return QStringLiteral("The directory server %1 did not complete the TLS handshake within %2.")
                .arg(where, durationText(timeout));
        }
        return QStringLiteral("The TLS handshake with %1 failed: %2.").arg(where, handshakeFailure(rc));
    }
    unsigned count = 0;
    const gnutls_datum_t* peers = gnutls_certificate_get_peers(session.get(), &count);
    std::vector<Certificate> chain;
    for (unsigned i = 0; peers && i < count && i < maxNamesListed; ++i) {
        gnutls_x509_crt_t raw = nullptr;
        if (gnutls_x509_crt_init(&raw) < 0) {
            break;
        }
        Certificate certificate { raw };
        if (gnutls_x509_crt_import(certificate.get(), &peers[i], GNUTLS_X509_FMT_DER) < 0) {
            break;
        }
        chain.push_back(std::move(certificate));
    }
    gnutls_bye(session.get(), GNUTLS_SHUT_WR);
    if (chain.empty()) {
        return QStringLiteral("The directory server %1 sent no TLS certificate.").arg(where);
    }
    const QStringList problems = certificateProblems(chain, host, ipv6, trust);
    if (problems.isEmpty()) {
        return {};
    }
    return QStringLiteral("The TLS certificate of %1 is not accepted: %2.")
        .arg(where, problems.join(QStringLiteral("; ")));
}

} // namespace quorvane
