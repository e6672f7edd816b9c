#include "TrustSettings.h"

#include <QTemporaryDir>
#include <QTest>

using namespace quorvane;

class tst_TrustSettings : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        qunsetenv("LDAPTLS_CACERT");
        qunsetenv("LDAPTLS_CACERTDIR");
        qunsetenv("LDAPCONF");
    }

    void readsTheTrustLinesOfLdapConf()
    {
        TrustSources trust;
        readLdapConf(QStringLiteral("# TLS_CACERT /commented/out.pem\n"
                                    "BASE dc=example,dc=com\n"
                                    "  tls_cacert\t/etc/ssl/corp ca.pem  \n"
                                    "TLS_CACERTDIR /etc/ssl/corp.d\n"
                                    "TLS_CACERT\n"
                                    "TLS_REQCERT never\n"),
                     trust);
        QCOMPARE(trust.caFile, QStringLiteral("/etc/ssl/corp ca.pem"));
        QCOMPARE(trust.caDir, QStringLiteral("/etc/ssl/corp.d"));
    }

    // The environment wins over files, LDAPCONF over the system file, and the system bundle is last.
    void precedence()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString conf = dir.filePath(QStringLiteral("ldap.conf"));
        QFile file(conf);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("TLS_CACERT /from/ldapconf.pem\n");
        file.close();

        qputenv("LDAPCONF", conf.toUtf8());
        TrustSources trust = configuredTrust();
        QCOMPARE(trust.caFile, QStringLiteral("/from/ldapconf.pem"));
        QCOMPARE(trust.origin, conf);

        qputenv("LDAPTLS_CACERTDIR", "/from/env.d");
        trust = configuredTrust();
        QCOMPARE(trust.caFile, QString());
        QCOMPARE(trust.caDir, QStringLiteral("/from/env.d"));
        QCOMPARE(trust.origin, QStringLiteral("LDAPTLS_CACERTDIR"));

        // An ldap.conf that names no trust leaves the system bundle.
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write("# no TLS settings\nURI ldap://127.0.0.1\n");
        file.close();
        qunsetenv("LDAPTLS_CACERTDIR");
        qunsetenv("LDAPCONF");
        trust = configuredTrust(conf);
        QCOMPARE(trust.origin, QStringLiteral("the system's default"));
        QCOMPARE(trust.caFile, QStringLiteral("/etc/ssl/certs/ca-certificates.crt"));
    }
};

QTEST_GUILESS_MAIN(tst_TrustSettings)
#include "tst_trustsettings.moc"
