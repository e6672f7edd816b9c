#include "LdapDirectoryProvider.h"
#include "LogonCheck.h"
#include "RunCheck.h"
#include "TestDirectory.h"

#include <QTest>

#include <cstdlib>

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

// Runs inside a network namespace whose DNS (dnsmasq) knows example.com's domain controllers:
// dc1 (priority 0, down) and dc2 (priority 10, the test directory). See dns/netns-srv.sh.
class tst_Discovery : public QObject
{
    Q_OBJECT

    TestDirectory m_directory;
    LdapDirectoryProvider m_provider { LdapDirectoryProvider::Limits { 2s, 2s } };

    QString run(const QString& path, const QString& user, const QString& password, const QString& flags)
    {
        return runCheck(m_provider, path, user, password, flags);
    }

private slots:
    void initTestCase()
    {
        const auto directory = TestDirectory::load();
        if (!directory) {
            QFAIL("run this through dns/netns-srv.sh, which starts the directory and DNS");
        }
        m_directory = *directory;
    }

    void outcomes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("says");
        const QString port = QString::number(m_directory.ldapPort);
        QTest::newRow("serverless: the live controller after the dead one")
            << QStringLiteral("LDAP://OU=Users,OU=HQ,DC=example,DC=com") << QStringLiteral("0")
            << QStringLiteral("User is valid");
        QTest::newRow("host that is the domain: SRV first")
            << QStringLiteral("LDAP://example.com:%1/OU=Users,OU=HQ,DC=example,DC=com").arg(port)
            << QStringLiteral("0") << QStringLiteral("User is valid");
        QTest::newRow("server bind: the host as written only")
            << QStringLiteral("LDAP://example.com:%1/OU=Users,OU=HQ,DC=example,DC=com").arg(port)
            << QStringLiteral("0x200")
            << QStringLiteral(
                   "Could not connect to the directory server example.com:%1: 127.0.0.4: connection "
                   "refused")
                   .arg(port);
        QTest::newRow("no SRV records: the domain's own address")
            << QStringLiteral("LDAP://nosrv.example:%1/DC=nosrv,DC=example").arg(port) << QStringLiteral("0")
            << QStringLiteral("\"DC=nosrv,DC=example\" does not exist on nosrv.example:%1").arg(port);
        QTest::newRow("only a dead server")
            << QStringLiteral("LDAP://DC=dead,DC=example") << QStringLiteral("0")
            << QStringLiteral(
                   "No directory server of dead.example could be reached: no SRV records for "
                   "_ldap._tcp.dc._msdcs.dead.example; dc1.dead.example:%1: 127.0.0.3: connection refused")
                   .arg(port);
        QTest::newRow("a record outside the domain is not followed")
            << QStringLiteral("LDAP://DC=outside,DC=example") << QStringLiteral("0")
            << QStringLiteral("SRV target \"dc2.example.com\" ignored: it is not in outside.example");
        QTest::newRow("nothing at all")
            << QStringLiteral("LDAP://DC=gone,DC=example") << QStringLiteral("0")
            << QStringLiteral(
                   "No directory server of gone.example could be reached: no SRV records for "
                   "_ldap._tcp.dc._msdcs.gone.example; no SRV records for _ldap._tcp.gone.example; "
                   "gone.example:389: name not resolved");
    }
    void outcomes()
    {
        QFETCH(QString, path);
        QFETCH(QString, flags);
        QFETCH(QString, says);
        const QString shown = run(path, QStringLiteral("uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"),
                                  QStringLiteral("marigold"), flags);
        QVERIFY2(shown.contains(says), qPrintable(shown));
    }

    // After a server has answered, even with a refusal, no other server sees the password: the
    // second controller would answer too, under its own name.
    void refusalIsFinal()
    {
        const QString shown = run(QStringLiteral("LDAP://DC=twolive,DC=example"),
                                  QStringLiteral("uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com"),
                                  QStringLiteral("not-marigold"), QStringLiteral("0"));
        QVERIFY2(shown.contains(
                     QStringLiteral("dc-a.twolive.example:%1 refused the bind").arg(m_directory.ldapPort)),
                 qPrintable(shown));
        QVERIFY(!shown.contains(u"dc-b"));
    }
};

QTEST_GUILESS_MAIN(tst_Discovery)
#include "tst_discovery.moc"
