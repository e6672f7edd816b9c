#include "TrustSettings.h"

#include <QFile>
#include <QStringTokenizer>

#include <algorithm>
#include <cstdlib>

namespace quorvane {

namespace {

// libldap's GnuTLS build trusts nothing unless told.
constexpr const char* systemTrustBundle = "/etc/ssl/certs/ca-certificates.crt";

void readLdapConfFile(const QString& path, TrustSources& trust)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text) && file.size() < 1024 * 1024) {
        const TrustSources before = trust;
        readLdapConf(QString::fromUtf8(file.readAll()), trust);
        if (trust.caFile != before.caFile || trust.caDir != before.caDir) {
            trust.origin = path;
        }
    }
}

} // namespace

void readLdapConf(const QString& text, TrustSources& trust)
{
    // Views, not copies: this runs on every TLS check.
    for (const QStringView line : qTokenize(text, u'\n')) {
        const QStringView trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(u'#')) {
            continue;
        }
        // The keyword ends at the first white space, ASCII only, as libldap reads it.
        const auto gap = std::find_if(trimmed.begin(), trimmed.end(),
                                      [](QChar c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); });
        if (gap == trimmed.end()) {
            continue;
        }
        const QStringView keyword = trimmed.first(gap - trimmed.begin());
        const QStringView value = trimmed.sliced(gap - trimmed.begin()).trimmed();
        if (keyword.compare(u"TLS_CACERT", Qt::CaseInsensitive) == 0) {
            trust.caFile = value.toString();
        } else if (keyword.compare(u"TLS_CACERTDIR", Qt::CaseInsensitive) == 0) {
            trust.caDir = value.toString();
        }
    }
}

TrustSources configuredTrust(const QString& systemLdapConf)
{
    TrustSources trust;
    readLdapConfFile(systemLdapConf, trust);
    const QString otherConf = qEnvironmentVariable("LDAPCONF");
    if (!otherConf.isEmpty()) {
        readLdapConfFile(otherConf, trust);
    }
    const QString file = qEnvironmentVariable("LDAPTLS_CACERT");
    const QString directory = qEnvironmentVariable("LDAPTLS_CACERTDIR");
    if (!file.isEmpty() || !directory.isEmpty()) {
        trust.caFile = file;
        trust.caDir = directory;
        trust.origin =
            file.isEmpty() ? QStringLiteral("LDAPTLS_CACERTDIR") : QStringLiteral("LDAPTLS_CACERT");
    }
    if (trust.caFile.isEmpty() && trust.caDir.isEmpty()) {
        trust.caFile = QString::fromUtf8(systemTrustBundle);
        trust.origin = QStringLiteral("the system's default");
    }
    return trust;
}

} // namespace quorvane
