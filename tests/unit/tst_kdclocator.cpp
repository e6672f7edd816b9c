#include "KdcLocator.h"

#include <QTest>

using namespace quorvane;

class tst_KdcLocator : public QObject
{
    Q_OBJECT

private slots:
    // Where a realm's KDCs are and in which order they are tried, as krb5.conf and the DNS say.
    void kdcPlans_data()
    {
        QTest::addColumn<QStringList>("kdcs"); // [realms] EXAMPLE.COM kdc
        QTest::addColumn<QStringList>("dnsSettings"); // realm's dns_lookup_kdc, dns_lookup_kdc, dns_fallback
        QTest::addColumn<QString>("udpLimit");
        QTest::addColumn<int>("requestSize");
        QTest::addColumn<QString>("expected"); // the attempts, or "unusable: <part of why>"
        QTest::addColumn<bool>("asksDns");
        const QStringList none;
        const QStringList dnsUnset { QString(), QString(), QString() };
        const QString both = QStringLiteral("dc1.example.com:88/udp dc2.example.com:750/udp "
                                            "dc1.example.com:88/tcp dc2.example.com:750/tcp");
        const QStringList two { QStringLiteral("dc1.example.com"), QStringLiteral(" dc2.example.com:750 ") };
        const QString fromDns = QStringLiteral("kdc-u.example.com:88/udp kdc-t.example.com:88/tcp");
        const QString directoryServer = QStringLiteral("dc9.example.com:88/udp dc9.example.com:88/tcp");
        QTest::newRow("kdc entries: UDP first, no DNS asked")
            << two << dnsUnset << QString() << 300 << both << false;
        QTest::newRow("larger than the default limit: TCP first")
            << two << dnsUnset << QString() << 1466
            << QStringLiteral("dc1.example.com:88/tcp dc2.example.com:750/tcp "
                              "dc1.example.com:88/udp dc2.example.com:750/udp")
            << false;
        QTest::newRow("udp_preference_limit 1: TCP first")
            << QStringList { QStringLiteral("dc1.example.com") } << dnsUnset << QStringLiteral("1") << 300
            << QStringLiteral("dc1.example.com:88/tcp dc1.example.com:88/udp") << false;
        QTest::newRow("udp/ and tcp/ bind the transport")
            << QStringList { QStringLiteral("udp/dc1.example.com"), QStringLiteral("TCP/[2001:db8::1]:8888") }
            << dnsUnset << QString() << 300 << QStringLiteral("dc1.example.com:88/udp [2001:db8::1]:8888/tcp")
            << false;
        QTest::newRow("bare IPv6 address") << QStringList { QStringLiteral("::1") } << dnsUnset << QString()
                                           << 300 << QStringLiteral("[::1]:88/udp [::1]:88/tcp") << false;
        QTest::newRow("KDC proxy URL")
            << QStringList { QStringLiteral("dc1.example.com"),
                             QStringLiteral("https://dc1.example/KdcProxy") }
            << dnsUnset << QString() << 300 << QStringLiteral("unusable: \"https://dc1.example/KdcProxy\"")
            << false;
        QTest::newRow("port 0") << QStringList { QStringLiteral("dc1.example.com:0") } << dnsUnset
                                << QString() << 300 << QStringLiteral("unusable: its port \"0\" is no number")
                                << false;
        QTest::newRow("port too large")
            << QStringList { QStringLiteral("[::1]:65536") } << dnsUnset << QString() << 300
            << QStringLiteral("unusable: its port \"65536\"") << false;
        QTest::newRow("no host") << QStringList { QStringLiteral(":88") } << dnsUnset << QString() << 300
                                 << QStringLiteral("unusable: it names no host") << false;
        QTest::newRow("a blank in the name")
            << QStringList { QStringLiteral("dc 1") } << dnsUnset << QString() << 300
            << QStringLiteral("unusable: no host name") << false;
        QTest::newRow("unclosed bracket")
            << QStringList { QStringLiteral("[::1:88") } << dnsUnset << QString() << 300
            << QStringLiteral("unusable: is not closed") << false;
        QTest::newRow("a name in brackets")
            << QStringList { QStringLiteral("[dc1]:88") } << dnsUnset << QString() << 300
            << QStringLiteral("unusable: no IPv6 address") << false;
        QTest::newRow("udp_preference_limit that is no number")
            << two << dnsUnset << QStringLiteral("big") << 300
            << QStringLiteral("unusable: udp_preference_limit \"big\"") << false;
        QTest::newRow("no entries: SRV records, UDP ones first")
            << none << dnsUnset << QString() << 300 << fromDns << true;
        QTest::newRow("dns_lookup_kdc = false: the directory server")
            << none << QStringList { QString(), QStringLiteral("false"), QString() } << QString() << 300
            << directoryServer << false;
        QTest::newRow("the realm's dns_lookup_kdc wins")
            << none << QStringList { QStringLiteral("no"), QStringLiteral("true"), QString() } << QString()
            << 300 << directoryServer << false;
        QTest::newRow("dns_fallback when dns_lookup_kdc is unset")
            << none << QStringList { QString(), QString(), QStringLiteral("off") } << QString() << 300
            << directoryServer << false;
        QTest::newRow("dns_lookup_kdc over dns_fallback")
            << none << QStringList { QString(), QStringLiteral("Yes"), QStringLiteral("no") } << QString()
            << 300 << fromDns << true;
    }
    void kdcPlans()
    {
        QFETCH(QStringList, kdcs);
        QFETCH(QStringList, dnsSettings);
        QFETCH(QString, udpLimit);
        QFETCH(int, requestSize);
        QFETCH(QString, expected);
        QFETCH(bool, asksDns);
        const QMap<QString, QString> srv {
            { QStringLiteral("_kerberos._udp.EXAMPLE.COM"), QStringLiteral("kdc-u.example.com.") },
            { QStringLiteral("_kerberos._tcp.EXAMPLE.COM"), QStringLiteral("kdc-t.example.com.") }
        };
        QStringList asked;
        const auto lookup = [&](const QString& name) {
            asked.append(name);
            return srv.contains(name) ? SrvAnswer { { { 0, 0, 88, srv[name] } }, {} }
                                      : SrvAnswer { {}, QStringLiteral("no SRV records for %1").arg(name) };
        };
        const KdcSettings settings { kdcs, dnsSettings[0], dnsSettings[1], dnsSettings[2], udpLimit };
        const KdcList list = planKdcs(
            settings, QStringLiteral("EXAMPLE.COM"), lookup, [](quint32) { return 0u; },
            KdcEntry { QStringLiteral("dc9.example.com") });
        QStringList attempts;
        for (const KdcAttempt& attempt : planAttempts(list, requestSize)) {
            const KdcEntry& kdc = list.kdcs[attempt.kdc];
            attempts.append(
                QStringLiteral("%1/%2").arg(endpointText(kdc.host, kdc.ipv6, kdc.port),
                                            attempt.transport == KdcTransport::Udp ? u"udp" : u"tcp"));
        }
        if (expected.startsWith(u"unusable: ")) {
            QVERIFY2(list.unusable.contains(expected.mid(10)), qPrintable(list.unusable));
            QVERIFY(attempts.isEmpty());
        } else {
            QCOMPARE(attempts.join(u' '), expected);
            QVERIFY(list.unusable.isEmpty());
        }
        QCOMPARE(!asked.isEmpty(), asksDns);
    }

    // Which realm a host is tied to: [domain_realm] nearest first, then TXT where allowed, then the
    // parent domain when that realm is named or has KDCs; default_realm never counts.
    void realmOfHost_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("dnsLookupRealm");
        QTest::addColumn<QString>("expected"); // the realm, or "none: <part of what was looked up>"
        QTest::newRow("the host's own entry before its domain's") << "ldap1.corp.test"
                                                                  << ""
                                                                  << "HOST.TEST";
        QTest::newRow("the nearest parent entry, in any case") << "X.Sub.Corp.Test"
                                                               << ""
                                                               << "SUB.TEST";
        QTest::newRow("a bare domain entry covers only that name") << "corp.test"
                                                                   << ""
                                                                   << "BARE.TEST";
        QTest::newRow("TXT of the host's parent, where allowed") << "ldap.txt.test"
                                                                 << "true"
                                                                 << "FROM.TXT";
        QTest::newRow("TXT not asked unless allowed: the parent domain, a named realm") << "ldap.txt.test"
                                                                                        << ""
                                                                                        << "TXT.TEST";
        QTest::newRow("parent domain with KDCs in the DNS") << "ldap.srv.test"
                                                            << "false"
                                                            << "SRV.TEST";
        QTest::newRow("nothing: what was looked up is said")
            << "ldap.lone.test"
            << "yes"
            << "none: no TXT record _kerberos of it or its parent domains names one; LONE.TEST is no realm";
        QTest::newRow("an address is tied to nothing but its own entry") << "192.0.2.7"
                                                                         << "yes"
                                                                         << "none: ";
    }
    void realmOfHost()
    {
        QFETCH(QString, host);
        QFETCH(QString, dnsLookupRealm);
        QFETCH(QString, expected);
        RealmSettings settings;
        settings.domainRealm = { { QStringLiteral(".corp.test"), QStringLiteral("CORP.TEST") },
                                 { QStringLiteral("ldap1.corp.test"), QStringLiteral("HOST.TEST") },
                                 { QStringLiteral(".sub.corp.test"), QStringLiteral("SUB.TEST") },
                                 { QStringLiteral("corp.test"), QStringLiteral("BARE.TEST") } };
        settings.realms = { QStringLiteral("TXT.TEST") };
        settings.dnsLookupRealm = dnsLookupRealm;
        const auto txt = [](const QString& name) {
            return name == u"_kerberos.txt.test" ? TxtAnswer { { QStringLiteral("FROM.TXT") }, {} }
                                                 : TxtAnswer { {}, QStringLiteral("no TXT records") };
        };
        const auto hasKdcs = [](const QString& realm) { return realm == u"SRV.TEST"; };
        const RealmFinding finding = findRealm(settings, host, txt, hasKdcs);
        if (expected.startsWith(u"none: ")) {
            QVERIFY2(finding.realm.isEmpty() && finding.notFound.contains(expected.mid(6)),
                     qPrintable(finding.notFound));
        } else {
            QCOMPARE(finding.realm, expected);
            QVERIFY(!finding.source.isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(tst_KdcLocator)
#include "tst_kdclocator.moc"
