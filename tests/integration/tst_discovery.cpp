#include "FakeLdapServer.h"
#include "LdapDirectoryProvider.h"
#include "LogonCheck.h"
#include "RunCheck.h"
#include "TestDirectory.h"

#include <QElapsedTimer>
#include <QTest>

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

// Runs inside a network namespace whose DNS (dnsmasq) knows example.com's domain controllers:
// dc1 (priority 0, down) and dc2 (priority 10, the test directory). See dns/netns-srv.sh.
class tst_Discovery : public QObject
{
    Q_OBJECT

    TestDirectory m_directory;
    int m_silentNameServer = -1; // holds 127.0.0.9:53 open and never reads it
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
        m_silentNameServer = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(53);
        inet_pton(AF_INET, "127.0.0.9", &address.sin_addr);
        QVERIFY(::bind(m_silentNameServer, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    }
    void cleanupTestCase() { ::close(m_silentNameServer); }

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
        QTest::newRow("unknown host")
            << QStringLiteral("LDAP://no-such-host.invalid/DC=example,DC=com") << QStringLiteral("0")
            << QStringLiteral("\"no-such-host.invalid\" could not be resolved");
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

    // Silent name servers and silent addresses cost their share of the limits, no more.
    void boundedWaits_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("atLeastMs");
        QTest::addColumn<int>("atMostMs");
        QTest::addColumn<int>("connectLimit");
        QTest::newRow("silent DNS, the server as written")
            << QStringLiteral("LDAP://dc1.silent.example/DC=silent,DC=example")
            << QStringLiteral(
                   "\"dc1.silent.example\" could not be resolved: the DNS lookup of its address did "
                   "not answer within 2 seconds")
            << 1900 << 8000 << 2;
        QTest::newRow("silent DNS, the domain's servers")
            << QStringLiteral("LDAP://DC=silent,DC=example")
            << QStringLiteral("the DNS lookup of _ldap._tcp.dc._msdcs.silent.example did not answer within 2 "
                              "seconds; the DNS lookup of _ldap._tcp.silent.example did not answer within 2 "
                              "seconds; silent.example:389: name not resolved (the DNS lookup of its address "
                              "did not answer within 2 seconds)")
            << 5000 << 14000 << 2;
        // ::1 sorts first and drops the connection request; 127.0.0.1 answers within its half.
        QTest::newRow("dual stack, silent IPv6 first")
            << QStringLiteral("LDAP://dual.example:%1/OU=Users,OU=HQ,DC=example,DC=com")
            << QStringLiteral("User is valid") << 2500 << 5000 << 6;
    }
    void boundedWaits()
    {
        QFETCH(QString, path);
        QFETCH(QString, says);
        FakeLdapServer server(FakeLdapServer::Behaviour::DnOnly);
        // A listener whose one-place queue is full: further connection requests go unanswered.
        const int blackHole = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int filler = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 address {};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(static_cast<uint16_t>(server.port()));
        address.sin6_addr = in6addr_loopback;
        const auto* raw = reinterpret_cast<sockaddr*>(&address);
        QVERIFY(::bind(blackHole, raw, sizeof address) == 0 && ::listen(blackHole, 0) == 0
                && ::connect(filler, raw, sizeof address) == 0);
        QFETCH(int, connectLimit);
        LdapDirectoryProvider provider { LdapDirectoryProvider::Limits { std::chrono::seconds(connectLimit),
                                                                         2s } };
        QElapsedTimer timer;
        timer.start();
        const QString shown = runCheck(provider, path.contains(u"%1") ? path.arg(server.port()) : path,
                                       QString::fromUtf8(FakeLdapServer::dnOnlyUser), QStringLiteral("x"),
                                       QStringLiteral("0x200"));
        const qint64 elapsed = timer.elapsed();
        ::close(filler);
        ::close(blackHole);
        QVERIFY2(shown.contains(says), qPrintable(shown));
        QFETCH(int, atLeastMs);
        QFETCH(int, atMostMs);
        QVERIFY2(elapsed >= atLeastMs && elapsed <= atMostMs,
                 qPrintable(QStringLiteral("%1 ms").arg(elapsed)));
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
