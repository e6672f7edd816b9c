#include "KdcLocator.h"

#include "DescriptionText.h"
#include "Release.h"

#include <algorithm>
#include <krb5/krb5.h>
#include <memory>
#include <profile.h>
#include <type_traits>

namespace quorvane {

namespace {

constexpr int defaultUdpPreferenceLimit = 1465;
constexpr int hardUdpLimit = 32700; // as MIT caps the setting
constexpr std::size_t mostAttempts = 16;

using Profile = std::unique_ptr<std::remove_pointer_t<profile_t>, Release<profile_release>>;
using ProfileValues = std::unique_ptr<char*, Release<profile_free_list>>;
using ProfileText = std::unique_ptr<char, Release<profile_release_string>>;

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
    const HostPort split = splitHostPort(rest, true);
    entry.host = split.host;
    entry.ipv6 = split.ipv6;
    problem = split.unclosed                       ? QStringLiteral("its \"[\" is not closed")
        : split.strayText                          ? QStringLiteral("after \"]\" only \":port\" may follow")
        : entry.host.isEmpty()                     ? QStringLiteral("it names no host")
        : entry.ipv6 && !isIpv6Literal(entry.host) ? QStringLiteral("it is no IPv6 address")
        : !entry.ipv6 && !std::all_of(entry.host.cbegin(), entry.host.cend(), isHostNameCharacter)
        ? QStringLiteral("it is no host name or address")
        : QString();
    if (problem.isEmpty() && split.port) {
        entry.port = portDigits(*split.port);
        if (entry.port < 1 || entry.port > 65535) {
            problem = QStringLiteral("its port \"%1\" is no number from 1 to 65535")
                          .arg(quoteForDescription(*split.port, 20));
        }
    }
    return problem.isEmpty() ? std::optional { entry } : std::nullopt;
}

QString profileString(profile_t profile, const char* section, const QByteArray& subsection, const char* name)
{
    char* raw = nullptr;
    const long code = subsection.isEmpty()
        ? profile_get_string(profile, section, name, nullptr, nullptr, &raw)
        : profile_get_string(profile, section, subsection.constData(), name, nullptr, &raw);
    const ProfileText value { raw };
    return code == 0 && value ? QString::fromUtf8(value.get()) : QString();
}

// krb5.conf as the library read it; empty when it could not.
Profile profileOf(krb5_context context)
{
    profile_t raw = nullptr;
    return Profile { krb5_get_profile(context, &raw) == 0 ? raw : nullptr };
}

} // namespace

KdcSettings readKdcSettings(krb5_context context, const QString& realm)
{
    KdcSettings settings;
    const Profile profile = profileOf(context);
    if (!profile) {
        return settings;
    }
    const QByteArray realmUtf8 = realm.toUtf8();
    const char* names[] = { "realms", realmUtf8.constData(), "kdc", nullptr };
    char** rawValues = nullptr;
    if (profile_get_values(profile.get(), names, &rawValues) == 0) {
        const ProfileValues values { rawValues };
        for (char** value = values.get(); value && *value; ++value) {
            settings.kdcs.append(QString::fromUtf8(*value));
        }
    }
    settings.realmDnsLookupKdc = profileString(profile.get(), "realms", realmUtf8, "dns_lookup_kdc");
    settings.dnsLookupKdc = profileString(profile.get(), "libdefaults", {}, "dns_lookup_kdc");
    settings.dnsFallback = profileString(profile.get(), "libdefaults", {}, "dns_fallback");
    settings.udpPreferenceLimit = profileString(profile.get(), "libdefaults", {}, "udp_preference_limit");
    return settings;
}

RealmSettings readRealmSettings(krb5_context context)
{
    RealmSettings settings;
    const Profile profile = profileOf(context);
    if (!profile) {
        return settings;
    }
    const auto listOf = [&](const char* section, bool relations) {
        const char* path[] = { section, nullptr };
        char** raw = nullptr;
        const long found = relations ? profile_get_relation_names(profile.get(), path, &raw)
                                     : profile_get_subsection_names(profile.get(), path, &raw);
        const ProfileValues values { found == 0 ? raw : nullptr };
        QStringList list;
        for (char** value = values.get(); value && *value; ++value) {
            list.append(QString::fromUtf8(*value));
        }
        return list;
    };
    for (const QString& name : listOf("domain_realm", true)) {
        settings.domainRealm.emplace_back(
            name, profileString(profile.get(), "domain_realm", name.toUtf8(), nullptr));
    }
    settings.realms = listOf("realms", false);
    settings.dnsLookupRealm = profileString(profile.get(), "libdefaults", {}, "dns_lookup_realm");
    settings.dnsFallback = profileString(profile.get(), "libdefaults", {}, "dns_fallback");
    return settings;
}

RealmFinding findRealm(const RealmSettings& settings, const QString& host,
                       const std::function<TxtAnswer(const QString&)>& lookupTxt,
                       const std::function<bool(const QString&)>& hasKdcs)
{
    RealmFinding finding;
    QString name = host.toLower();
    if (name.endsWith(u'.')) {
        name.chop(1);
    }
    // The host itself, then ".parent.domain" for each parent.
    QStringList keys { name };
    for (qsizetype dot = name.indexOf(u'.'); dot >= 0; dot = name.indexOf(u'.', dot + 1)) {
        keys.append(name.mid(dot));
    }
    for (const QString& key : keys) {
        for (const auto& [entry, realm] : settings.domainRealm) {
            if (entry.compare(key, Qt::CaseInsensitive) == 0 && !realm.isEmpty()) {
                finding.realm = realm;
                finding.source = QStringLiteral("krb5.conf's [domain_realm] entry \"%1\"").arg(entry);
                return finding;
            }
        }
    }
    QStringList notes { QStringLiteral("no [domain_realm] entry of krb5.conf covers %1").arg(name) };
    const bool address = name.contains(u':')
        || std::all_of(name.cbegin(), name.cend(), [](QChar c) { return c.isDigit() || c == u'.'; });
    const QString parent = name.section(u'.', 1);
    if (address || parent.isEmpty()) {
        finding.notFound = notes.join(QStringLiteral("; "));
        return finding;
    }
    const QString dnsSetting =
        settings.dnsLookupRealm.isEmpty() ? settings.dnsFallback : settings.dnsLookupRealm;
    if (isYes(dnsSetting)) {
        for (qsizetype dot = -1;; dot = name.indexOf(u'.', dot + 1)) {
            const QString txt = QStringLiteral("_kerberos.%1").arg(name.mid(dot + 1));
            const TxtAnswer answer = lookupTxt(txt);
            // A realm name that could not be one (or would change the principal's form) is no answer.
            const QString realm = answer.texts.value(0);
            if (!realm.isEmpty() && realm.size() <= 255
                && std::all_of(realm.cbegin(), realm.cend(), [](QChar c) {
                       return c.unicode() > 0x20 && c.unicode() < 0x7f && c != u'@' && c != u'/'
                           && c != u'\\';
                   })) {
                finding.realm = realm;
                finding.source = QStringLiteral("the DNS TXT record %1").arg(txt);
                finding.fromDns = true;
                return finding;
            }
            if (name.indexOf(u'.', dot + 1) < 0) {
                break;
            }
        }
        notes.append(QStringLiteral("no TXT record _kerberos of it or its parent domains names one"));
    } else {
        notes.append(QStringLiteral("the DNS is not asked for realms (dns_lookup_realm)"));
    }
    const QString upper = parent.toUpper();
    if (settings.realms.contains(upper)) {
        finding.realm = upper;
        finding.source = QStringLiteral("its parent domain, a realm krb5.conf names");
        return finding;
    }
    if (hasKdcs(upper)) {
        finding.realm = upper;
        finding.fromDns = true;
        finding.source = QStringLiteral("its parent domain, whose KDCs were found");
        return finding;
    }
    notes.append(QStringLiteral("%1 is no realm krb5.conf names, and no KDC of it was found").arg(upper));
    finding.notFound = notes.join(QStringLiteral("; "));
    return finding;
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

} // namespace quorvane
