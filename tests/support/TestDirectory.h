#pragma once

// The throwaway directory started by tests/integration/directory/fixture.sh. Its state
// directory is named by QUORVANE_TEST_DIRECTORY; fixture.cmake sets that for each test.

#include <QFile>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

namespace quorvane::test {

using namespace Qt::StringLiterals;

struct TestDirectory
{
    // Exit code that CTest reports as "skipped" (SKIP_RETURN_CODE in fixture.cmake).
    static constexpr int skipExitCode = 77;

    int ldapPort = 0;
    int ldapsPort = 0;
    int expiredPort = 0; // TLS only, serving a certificate that expired in 2021
    bool ipv6 = false;
    QString caCert;
    QString otherCaCert; // a CA that did not issue anything the directory serves
    QString slapdLog;
    QString baseDn;
    QString adminDn;
    QString adminPasswordFile;

    static std::optional<TestDirectory> load()
    {
        const QString root = qEnvironmentVariable("QUORVANE_TEST_DIRECTORY");
        if (root.isEmpty() || QFile::exists(root + u"/unavailable"_s)) {
            return std::nullopt;
        }
        QFile file(root + u"/env"_s);
        if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
            return std::nullopt;
        }

        QHash<QString, QString> env;
        for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts)) {
            const qsizetype eq = line.indexOf(u'=');
            if (eq > 0) {
                env.insert(line.left(eq), line.mid(eq + 1));
            }
        }

        TestDirectory d;
        bool ok = true;
        const auto port = [&](const QString& key) {
            bool parsed = false;
            const int value = env.value(key).toInt(&parsed);
            ok = ok && parsed && value > 0 && value < 65536;
            return value;
        };
        const auto text = [&](const QString& key) {
            const QString value = env.value(key);
            ok = ok && !value.isEmpty();
            return value;
        };
        d.ldapPort = port(u"LDAP_PORT"_s);
        d.ldapsPort = port(u"LDAPS_PORT"_s);
        d.expiredPort = port(u"EXPIRED_PORT"_s);
        d.ipv6 = env.value(u"LDAP_IPV6"_s) == u"1"_s;
        d.caCert = text(u"CA_CERT"_s);
        d.otherCaCert = text(u"OTHER_CA_CERT"_s);
        d.slapdLog = text(u"SLAPD_LOG"_s);
        d.baseDn = text(u"BASE_DN"_s);
        d.adminDn = text(u"ADMIN_DN"_s);
        d.adminPasswordFile = text(u"ADMIN_PASSWORD_FILE"_s);
        if (!ok) {
            return std::nullopt;
        }
        return d;
    }

    // In CI the directory must be there; elsewhere a missing slapd only skips the tests.
    static bool requiredButMissing() { return !load() && !qEnvironmentVariableIsEmpty("CI"); }

    QString adminPassword() const
    {
        QFile file(adminPasswordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QString::fromUtf8(file.readAll()).trimmed();
    }

    // "LDAP://127.0.0.1:PORT/dn"; the DN is passed through as given.
    QString ldapPath(const QString& dn, const QString& host = u"127.0.0.1"_s) const
    {
        return u"LDAP://%1:%2/%3"_s.arg(bracketed(host), QString::number(ldapPort), dn);
    }

    // URIs for talking to the directory directly with libldap.
    QString ldapUri(const QString& host = u"127.0.0.1"_s) const
    {
        return u"ldap://%1:%2/"_s.arg(bracketed(host), QString::number(ldapPort));
    }
    QString ldapsUri(const QString& host = u"127.0.0.1"_s) const
    {
        return u"ldaps://%1:%2/"_s.arg(bracketed(host), QString::number(ldapsPort));
    }

private:
    static QString bracketed(const QString& host)
    {
        return host.contains(u':') && !host.startsWith(u'[') ? u'[' + host + u']' : host;
    }
};

} // namespace quorvane::test
