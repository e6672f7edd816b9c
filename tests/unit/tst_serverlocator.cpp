#include "ServerLocator.h"

#include <QRandomGenerator>
#include <QTest>

using namespace quorvane;

namespace {

// Answers from a table, and remembers what was asked.
struct FakeDns
{
    QMap<QString, std::vector<SrvRecord>> records;
    QStringList asked;

    std::function<SrvAnswer(const QString&)> lookup()
    {
        return [this](const QString& name) {
            asked.append(name);
            SrvAnswer answer;
            answer.records = records.value(name);
            if (answer.records.empty()) {
                answer.problem = QStringLiteral("no SRV records for %1").arg(name);
            }
            return answer;
        };
    }
};

quint32 firstDraw(quint32)
{
    return 0;
}

QStringList hosts(const ServerPlan& plan)
{
    QStringList out;
    for (const Server& server : plan.servers) {
        out.append(QStringLiteral("%1:%2").arg(server.host).arg(server.port));
    }
    return out;
}

ServerPlan locate(FakeDns& dns, const QString& text, qint32 flags = 0)
{
    const LdapPath path = parseLdapPath(text);
    return locateServers(path, planTransport(path, flags), dns.lookup(), firstDraw);
}

const std::vector<SrvRecord> twoControllers = { { 0, 100, 389, QStringLiteral("dc1.example.com.") },
                                                { 10, 100, 389, QStringLiteral("dc2.example.com.") } };

} // namespace

class tst_ServerLocator : public QObject
{
    Q_OBJECT

private slots:
    void lowerPriorityAlwaysFirst()
    {
        const std::vector<SrvRecord> records = { { 20, 0, 1, QStringLiteral("c") },
                                                 { 0, 5, 1, QStringLiteral("a") },
                                                 { 10, 50, 1, QStringLiteral("b") } };
        QRandomGenerator random(7);
        for (int round = 0; round < 50; ++round) {
            const auto ordered = orderSrvRecords(records, [&](quint32 n) { return random.bounded(n + 1); });
            QCOMPARE(ordered.size(), 3u);
            QCOMPARE(ordered[0].target, QStringLiteral("a"));
            QCOMPARE(ordered[1].target, QStringLiteral("b"));
            QCOMPARE(ordered[2].target, QStringLiteral("c"));
        }
    }

    void drawsFollowTheRunningSumOfWeights()
    {
        const std::vector<SrvRecord> group = { { 0, 10, 1, QStringLiteral("light") },
                                               { 0, 0, 1, QStringLiteral("zero") },
                                               { 0, 90, 1, QStringLiteral("heavy") } };
        QList<quint32> draws = { 49, 0 };
        QList<quint32> highest;
        const auto ordered = orderSrvRecords(group, [&](quint32 n) {
            highest.append(n);
            return draws.takeFirst();
        });
        // Running sums zero 0, light 10, heavy 100: 50 lands on heavy, then 1 on light; the
        // weight-0 record is left for last without a draw.
        QCOMPARE(highest, (QList<quint32> { 99, 9 }));
        QCOMPARE(ordered[0].target, QStringLiteral("heavy"));
        QCOMPARE(ordered[1].target, QStringLiteral("light"));
        QCOMPARE(ordered[2].target, QStringLiteral("zero"));
    }

    void weightsShareFirstPlaceInProportion()
    {
        const std::vector<SrvRecord> group = { { 0, 1, 1, QStringLiteral("one") },
                                               { 0, 3, 1, QStringLiteral("three") } };
        QRandomGenerator random(42);
        int threeFirst = 0;
        constexpr int rounds = 4000;
        for (int round = 0; round < rounds; ++round) {
            const auto ordered = orderSrvRecords(group, [&](quint32 n) { return random.bounded(n + 1); });
            threeFirst += ordered[0].target == u"three";
        }
        // Expected 3/4; the margin is many standard deviations wide for a fixed seed.
        QVERIFY2(threeFirst > rounds * 0.70 && threeFirst < rounds * 0.80,
                 qPrintable(QString::number(threeFirst)));
    }

    void hostAsWrittenAsksNoDns()
    {
        FakeDns dns;
        const ServerPlan plan =
            locate(dns, QStringLiteral("LDAP://dc9.example.com/OU=Users,DC=example,DC=com"));
        QCOMPARE(hosts(plan), QStringList { QStringLiteral("dc9.example.com:389") });
        QVERIFY(dns.asked.isEmpty());
        QVERIFY(plan.domain.isEmpty());
    }

    void serverlessAsksDomainControllersFirst()
    {
        FakeDns dns;
        dns.records[QStringLiteral("_ldap._tcp.dc._msdcs.example.com")] = twoControllers;
        const ServerPlan plan = locate(dns, QStringLiteral("LDAP://OU=Users,DC=example,DC=com"));
        QCOMPARE(dns.asked, QStringList { QStringLiteral("_ldap._tcp.dc._msdcs.example.com") });
        QCOMPARE(
            hosts(plan),
            (QStringList { QStringLiteral("dc1.example.com:389"), QStringLiteral("dc2.example.com:389") }));
        QCOMPARE(plan.domain, QStringLiteral("example.com"));
    }

    void fallsBackToPlainSrvThenToAddresses()
    {
        FakeDns dns;
        dns.records[QStringLiteral("_ldap._tcp.example.com")] = { { 0, 0, 3890,
                                                                    QStringLiteral("ldap.example.com") } };
        ServerPlan plan = locate(dns, QStringLiteral("LDAP://DC=example,DC=com"));
        QCOMPARE(hosts(plan), QStringList { QStringLiteral("ldap.example.com:3890") });
        QCOMPARE(plan.notes,
                 QStringList { QStringLiteral("no SRV records for _ldap._tcp.dc._msdcs.example.com") });

        FakeDns empty;
        plan = locate(empty, QStringLiteral("LDAP://DC=example,DC=com"));
        QCOMPARE(hosts(plan), QStringList { QStringLiteral("example.com:389") });
        QCOMPARE(plan.notes.size(), 2);
    }

    void hostThatIsTheDomain_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("flags");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<bool>("looksUp");
        QTest::newRow("sample path keeps its port")
            << QStringLiteral("LDAP://example.com:636/OU=Users,DC=example,DC=com") << 5
            << QStringList { QStringLiteral("dc1.example.com:636"), QStringLiteral("dc2.example.com:636") }
            << true;
        QTest::newRow("no port: the record's")
            << QStringLiteral("LDAP://Example.COM/DC=example,DC=com") << 0
            << QStringList { QStringLiteral("dc1.example.com:389"), QStringLiteral("dc2.example.com:389") }
            << true;
        QTest::newRow("encryption without a port: 636")
            << QStringLiteral("LDAP://example.com/DC=example,DC=com") << 2
            << QStringList { QStringLiteral("dc1.example.com:636"), QStringLiteral("dc2.example.com:636") }
            << true;
        QTest::newRow("server bind: as written")
            << QStringLiteral("LDAP://example.com:636/DC=example,DC=com") << 0x200
            << QStringList { QStringLiteral("example.com:636") } << false;
        QTest::newRow("another host") << QStringLiteral("LDAP://dc1.example.com/DC=example,DC=com") << 0
                                      << QStringList { QStringLiteral("dc1.example.com:389") } << false;
    }
    void hostThatIsTheDomain()
    {
        QFETCH(QString, path);
        QFETCH(int, flags);
        QFETCH(QStringList, expected);
        QFETCH(bool, looksUp);
        FakeDns dns;
        dns.records[QStringLiteral("_ldap._tcp.dc._msdcs.example.com")] = twoControllers;
        const ServerPlan plan = locate(dns, path, flags);
        QCOMPARE(hosts(plan), expected);
        QCOMPARE(!dns.asked.isEmpty(), looksUp);
    }

    // Unauthenticated DNS must not steer the password to a host of another domain.
    void targetsOutsideTheDomainAreIgnored()
    {
        FakeDns dns;
        dns.records[QStringLiteral("_ldap._tcp.dc._msdcs.example.com")] = {
            { 0, 0, 389, QStringLiteral("ldap.attacker.net.") },
            { 0, 0, 389, QStringLiteral("example.com.evil") },
            { 0, 0, 389, QStringLiteral("dc1.example.com/x") },
            { 5, 0, 389, QStringLiteral("DC3.Example.COM.") }
        };
        const ServerPlan plan = locate(dns, QStringLiteral("LDAP://DC=example,DC=com"));
        QCOMPARE(hosts(plan), QStringList { QStringLiteral("DC3.Example.COM:389") });
        QCOMPARE(plan.notes.size(), 3);
        QVERIFY(plan.notes.first().contains(u"\"ldap.attacker.net\" ignored: it is not in example.com"));
    }

    void globalCatalogAsksItsOwnRecords()
    {
        FakeDns dns;
        dns.records[QStringLiteral("_gc._tcp.example.com")] = { { 0, 0, 3268,
                                                                  QStringLiteral("gc.example.com") } };
        const ServerPlan plan = locate(dns, QStringLiteral("GC://DC=example,DC=com"));
        QCOMPARE(dns.asked, QStringList { QStringLiteral("_gc._tcp.example.com") });
        QCOMPARE(hosts(plan), QStringList { QStringLiteral("gc.example.com:3268") });
    }
};

QTEST_GUILESS_MAIN(tst_ServerLocator)
#include "tst_serverlocator.moc"
