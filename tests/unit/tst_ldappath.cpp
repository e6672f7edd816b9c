#include "BindPlan.h"
#include "Failure.h"
#include "LdapPath.h"

#include <QTest>

using namespace quorvane;

Q_DECLARE_METATYPE(quorvane::LdapScheme)

class tst_LdapPath : public QObject
{
    Q_OBJECT

private slots:
    void parses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<LdapScheme>("scheme");
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("port");
        QTest::addColumn<QString>("dn");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<bool>("serverless");

        const auto ldap = LdapScheme::Ldap;
        QTest::newRow("sample path") << QStringLiteral(
            "LDAP://example.com:636/OU=Users,OU=HQ,DC=example,DC=com")
                                     << ldap << QStringLiteral("example.com") << 636
                                     << QStringLiteral("OU=Users,OU=HQ,DC=example,DC=com")
                                     << QStringLiteral("example.com") << false;
        QTest::newRow("host only") << QStringLiteral("LDAP://dc1.corp.example") << ldap
                                   << QStringLiteral("dc1.corp.example") << 0 << QString() << QString()
                                   << false;
        QTest::newRow("host and port, trailing slash")
            << QStringLiteral("ldap://10.1.2.3:389/") << ldap << QStringLiteral("10.1.2.3") << 389
            << QString() << QString() << false;
        QTest::newRow("scheme in any case") << QStringLiteral("lDaP://h/dc=a") << ldap << QStringLiteral("h")
                                            << 0 << QStringLiteral("dc=a") << QStringLiteral("a") << false;
        QTest::newRow("ldaps") << QStringLiteral("LDAPS://h/o=x") << LdapScheme::Ldaps << QStringLiteral("h")
                               << 0 << QStringLiteral("o=x") << QString() << false;
        QTest::newRow("global catalog") << QStringLiteral("GC://h") << LdapScheme::GlobalCatalog
                                        << QStringLiteral("h") << 0 << QString() << QString() << false;
        QTest::newRow("ipv6") << QStringLiteral("LDAP://[::1]:3890/dc=example,dc=com") << ldap
                              << QStringLiteral("::1") << 3890 << QStringLiteral("dc=example,dc=com")
                              << QStringLiteral("example.com") << false;
        QTest::newRow("ipv6 with zone")
            << QStringLiteral("LDAP://[fe80::1%eth0]") << ldap << QStringLiteral("fe80::1%eth0") << 0
            << QString() << QString() << false;
        QTest::newRow("serverless") << QStringLiteral("LDAP://OU=Users,DC=corp,DC=example,DC=org") << ldap
                                    << QStringLiteral("corp.example.org") << 0
                                    << QStringLiteral("OU=Users,DC=corp,DC=example,DC=org")
                                    << QStringLiteral("corp.example.org") << true;
        QTest::newRow("spaces in the DN")
            << QStringLiteral("LDAP://h/OU=Sales Team, DC=x") << ldap << QStringLiteral("h") << 0
            << QStringLiteral("OU=Sales Team, DC=x") << QStringLiteral("x") << false;
        QTest::newRow("escaped slash")
            << QStringLiteral("LDAP://h/OU=R\\,D \\+ Ops\\/Lab,DC=x") << ldap << QStringLiteral("h") << 0
            << QStringLiteral("OU=R\\,D \\+ Ops/Lab,DC=x") << QStringLiteral("x") << false;
        QTest::newRow("percent kept")
            << QStringLiteral("LDAP://h/OU=100%20,DC=x") << ldap << QStringLiteral("h") << 0
            << QStringLiteral("OU=100%20,DC=x") << QStringLiteral("x") << false;
        QTest::newRow("highest port") << QStringLiteral("LDAP://h:65535") << ldap << QStringLiteral("h")
                                      << 65535 << QString() << QString() << false;
    }
    void parses()
    {
        QFETCH(QString, text);
        const LdapPath path = parseLdapPath(text);
        QTEST(path.scheme, "scheme");
        QTEST(path.host, "host");
        QTEST(path.port, "port");
        QTEST(path.dn, "dn");
        QTEST(path.dnsDomain, "domain");
        QTEST(path.serverless, "serverless");
    }

    // The host goes in whole, even when it holds what looks like a placeholder.
    void endpointKeepsHostAndPort()
    {
        QCOMPARE(endpointText(QStringLiteral("fe80::1%2"), true, 389), QStringLiteral("[fe80::1%2]:389"));
        QCOMPARE(endpointText(QStringLiteral("h%1"), false, 636), QStringLiteral("h%1:636"));
    }

    void unusableDomainIsNotUsedForBindNames()
    {
        const LdapPath path = parseLdapPath(QStringLiteral("LDAP://h/DC=a\\00b,DC=com"));
        QCOMPARE(path.dnsDomain, QString());
        QCOMPARE(planBind(QStringLiteral("x"), true, 0, path).bindName, QStringLiteral("x@h"));
    }

    void namingContextIsTheTrailingDcRun()
    {
        QCOMPARE(parseLdapPath(QStringLiteral("LDAP://h/OU=Users,OU=HQ,DC=example,DC=com")).namingContext,
                 QStringLiteral("DC=example,DC=com"));
        QCOMPARE(parseLdapPath(QStringLiteral("LDAP://h/DC=a,OU=b,DC=c")).namingContext,
                 QStringLiteral("DC=c"));
        QCOMPARE(parseLdapPath(QStringLiteral("LDAP://h/OU=b,O=c")).namingContext, QString());
    }

    void refuses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("says");
        QTest::newRow("empty") << QString() << QStringLiteral("does not begin with");
        QTest::newRow("no scheme") << QStringLiteral("OU=Users,DC=example,DC=com")
                                   << QStringLiteral("does not begin with");
        QTest::newRow("other scheme") << QStringLiteral("http://h/") << QStringLiteral("does not begin with");
        QTest::newRow("namespace only") << QStringLiteral("LDAP:") << QStringLiteral("\"//\" must follow");
        QTest::newRow("one slash") << QStringLiteral("LDAP:/h") << QStringLiteral("\"//\" must follow");
        QTest::newRow("nothing after //") << QStringLiteral("LDAP://") << QStringLiteral("names neither");
        QTest::newRow("empty port") << QStringLiteral("LDAP://h:/dc=x") << QStringLiteral("port");
        QTest::newRow("port 0") << QStringLiteral("LDAP://h:0") << QStringLiteral("outside 1 to 65535");
        QTest::newRow("port 65536") << QStringLiteral("LDAP://h:65536")
                                    << QStringLiteral("outside 1 to 65535");
        QTest::newRow("port -1") << QStringLiteral("LDAP://h:-1") << QStringLiteral("port");
        QTest::newRow("port letters") << QStringLiteral("LDAP://h:ldap") << QStringLiteral("port");
        QTest::newRow("no host") << QStringLiteral("LDAP://:389/dc=x") << QStringLiteral("names no server");
        QTest::newRow("space in host")
            << QStringLiteral("LDAP://my host/dc=x") << QStringLiteral("contains \" \"");
        QTest::newRow("unclosed ipv6") << QStringLiteral("LDAP://[::1/dc=x") << QStringLiteral("closing");
        QTest::newRow("bad ipv6") << QStringLiteral("LDAP://[zz::1]")
                                  << QStringLiteral("not an IPv6 address");
        QTest::newRow("bad DN") << QStringLiteral("LDAP://h/OU=Users,,DC=x")
                                << QStringLiteral("is not a distinguished name");
        QTest::newRow("DN without type")
            << QStringLiteral("LDAP://h/Users") << QStringLiteral("not a distinguished name");
        QTest::newRow("NUL in DN") << QStringLiteral("LDAP://h/dc=a") + QChar(0) + QStringLiteral(",dc=b")
                                   << QStringLiteral("NUL");
        QTest::newRow("NUL in the port") << QStringLiteral("LDAP://x:") + QChar(0) << QStringLiteral("NUL");
        QTest::newRow("control character in the port")
            << QStringLiteral("LDAP://m:") + QChar(0x16) << QStringLiteral("the port \"\u2416\"");
        QTest::newRow("NUL inside IPv6 brackets")
            << QStringLiteral("LDAP://[::") + QChar(0) + u']' << QStringLiteral("NUL");
        QTest::newRow("serverless DC with a space")
            << QStringLiteral("LDAP://DC=a b,DC=com") << QStringLiteral("do not make a DNS name");
        QTest::newRow("serverless DC with an escaped NUL")
            << QStringLiteral("LDAP://DC=a\\00b,DC=com") << QStringLiteral("do not make a DNS name");
        QTest::newRow("serverless without DC")
            << QStringLiteral("LDAP://OU=Users,O=Org") << QStringLiteral("no DC= components");
    }
    void refuses()
    {
        QFETCH(QString, text);
        QFETCH(QString, says);
        try {
            parseLdapPath(text);
            QFAIL("accepted an invalid path");
        } catch (const Failure& failure) {
            QVERIFY2(failure.description().contains(says), qPrintable(failure.description()));
            QVERIFY2(failure.description().contains(u"LDAP://host[:port]/DN"),
                     qPrintable(failure.description()));
        }
    }

    void transport_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("flags");
        QTest::addColumn<int>("port");
        QTest::addColumn<bool>("implicitTls");
        QTest::addColumn<bool>("startTls");
        QTest::newRow("plain default") << QStringLiteral("LDAP://h") << 0 << 389 << false << false;
        QTest::newRow("sample flags over 636") << QStringLiteral("LDAP://h:636") << 5 << 636 << true << false;
        QTest::newRow("secure auth on 389 starts TLS")
            << QStringLiteral("LDAP://h") << 1 << 389 << false << true;
        QTest::newRow("encryption, no port") << QStringLiteral("LDAP://h") << 2 << 636 << true << false;
        QTest::newRow("encryption, port 389") << QStringLiteral("LDAP://h:389") << 2 << 389 << false << true;
        QTest::newRow("signing") << QStringLiteral("LDAP://h:389") << 0x40 << 389 << false << true;
        QTest::newRow("sealing") << QStringLiteral("LDAP://h:389") << 0x80 << 389 << false << true;
        QTest::newRow("ldaps default") << QStringLiteral("LDAPS://h") << 0 << 636 << true << false;
        QTest::newRow("ldaps odd port") << QStringLiteral("LDAPS://h:10636") << 1 << 10636 << true << false;
        QTest::newRow("gc") << QStringLiteral("GC://h") << 0 << 3268 << false << false;
        QTest::newRow("gc with encryption") << QStringLiteral("GC://h") << 2 << 3269 << true << false;
        QTest::newRow("3269 written") << QStringLiteral("LDAP://h:3269") << 0 << 3269 << true << false;
        QTest::newRow("unrelated flags")
            << QStringLiteral("LDAP://h") << 0x4 + 0x100 + 0x200 + 0x400 << 389 << false << false;
    }
    void transport()
    {
        QFETCH(QString, path);
        QFETCH(int, flags);
        const TransportPlan plan = planTransport(parseLdapPath(path), flags);
        QTEST(plan.port, "port");
        QTEST(plan.implicitTls, "implicitTls");
        QTEST(plan.startTls, "startTls");
    }

    void bindNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("user");
        QTest::addColumn<bool>("hasPassword");
        QTest::addColumn<bool>("anonymous");
        QTest::addColumn<QString>("bindName");
        QTest::addColumn<QString>("lookup");
        QTest::newRow("both empty") << QStringLiteral("LDAP://h/dc=x") << QString() << false << true
                                    << QString() << QString();
        QTest::newRow("a DN as typed") << QStringLiteral("LDAP://h/dc=x") << QStringLiteral("uid=a, dc=x")
                                       << true << false << QStringLiteral("uid=a, dc=x") << QString();
        QTest::newRow("plain name takes the DC domain")
            << QStringLiteral("LDAP://example.com:636/OU=Users,OU=HQ,DC=example,DC=com")
            << QStringLiteral("sampleusr") << true << false << QStringLiteral("sampleusr@example.com")
            << QStringLiteral("sampleusr");
        QTest::newRow("plain name takes the host without DC")
            << QStringLiteral("LDAP://dc1.corp:389/O=Org") << QStringLiteral("bob") << true << false
            << QStringLiteral("bob@dc1.corp") << QStringLiteral("bob");
        QTest::newRow("upn as typed")
            << QStringLiteral("LDAP://h/dc=x") << QStringLiteral("bob@corp.example") << true << false
            << QStringLiteral("bob@corp.example") << QStringLiteral("bob@corp.example");
        QTest::newRow("down-level as typed")
            << QStringLiteral("LDAP://h/dc=x") << QStringLiteral("CORP\\bob") << true << false
            << QStringLiteral("CORP\\bob") << QStringLiteral("bob");
    }
    void bindNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, user);
        QFETCH(bool, hasPassword);
        const BindPlan plan = planBind(user, hasPassword, 5, parseLdapPath(path));
        QTEST(plan.anonymous, "anonymous");
        QTEST(plan.bindName, "bindName");
        QTEST(plan.lookupValue, "lookup");
        QVERIFY(plan.readObject);
    }

    void passwordWithoutNameIsRefused()
    {
        const LdapPath path = parseLdapPath(QStringLiteral("LDAP://h/dc=x"));
        try {
            planBind(QString(), true, 0, path);
            QFAIL("a password without a name may be taken as an anonymous logon and reported as valid");
        } catch (const Failure& failure) {
            QVERIFY(failure.description().contains(u"no user name"));
        }
    }

    void nameWithoutPasswordIsRefused()
    {
        const LdapPath path = parseLdapPath(QStringLiteral("LDAP://h/dc=x"));
        try {
            planBind(QStringLiteral("sampleusr"), false, 0, path);
            QFAIL("a name without a password would bind anonymously and report success");
        } catch (const Failure& failure) {
            QVERIFY(failure.description().contains(u"No password was typed for \"sampleusr\""));
        }
    }

    void noAuthenticationFlag()
    {
        const LdapPath path = parseLdapPath(QStringLiteral("LDAP://h/dc=x"));
        QVERIFY(planBind(QString(), false, 0x10, path).anonymous);
        QVERIFY_THROWS_EXCEPTION(Failure, planBind(QStringLiteral("u"), true, 0x10, path));
        QVERIFY_THROWS_EXCEPTION(Failure, planBind(QString(), true, 0x10, path));
    }

    void fastBindSkipsTheRead()
    {
        const LdapPath path = parseLdapPath(QStringLiteral("LDAP://h/dc=x"));
        QVERIFY(!planBind(QStringLiteral("u"), true, 0x20, path).readObject);
        QVERIFY(planBind(QStringLiteral("u"), true, ~0x20 & ~0x10, path).readObject);
    }

    void nulInUserNameIsRefused()
    {
        const LdapPath path = parseLdapPath(QStringLiteral("LDAP://h/dc=x"));
        const QString user = QStringLiteral("uid=a") + QChar(0) + QStringLiteral(",dc=x");
        QVERIFY_THROWS_EXCEPTION(Failure, planBind(user, true, 0, path));
    }
};

QTEST_GUILESS_MAIN(tst_LdapPath)
#include "tst_ldappath.moc"
