#include "FakeLdapServer.h"
#include "LdapDirectoryProvider.h"
#include "RunCheck.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryFile>
#include <QTest>

using namespace quorvane;
using namespace quorvane::test;

namespace {

QString env(const char* name)
{
    return qEnvironmentVariable(name);
}

// The last bind slapd logged: its mechanism or method.
QString lastBind()
{
    QFile log(env("SLAPD_A_LOG"));
    if (!log.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->contains(" BIND dn=")) {
            return QString::fromUtf8(line->mid(line->indexOf("conn=")));
        }
    }
    return {};
}

int failedAttempts(const QString& principal)
{
    QProcess kadmin;
    kadmin.start(QStringLiteral("kadmin.local"),
                 { QStringLiteral("-r"), env("REALM"), QStringLiteral("-q"),
                   QStringLiteral("getprinc ") + principal });
    kadmin.waitForFinished(20000);
    for (const QByteArray& line : kadmin.readAllStandardOutput().split('\n')) {
        if (line.startsWith("Failed password attempts: ")) {
            return line.mid(26).toInt();
        }
    }
    return -1;
}

} // namespace

// Kerberos against OpenLDAP with an MIT KDC: the server names no realm, so the client's Kerberos
// configuration ties it to one, or it gets a simple bind as before.
class tst_MitKerberos : public QObject
{
    Q_OBJECT

    LdapDirectoryProvider m_provider;
    // ldap2.lone.test and 127.0.0.1 tied to the realm, whose KDC knows no ldap/ service for them
    QTemporaryFile m_moreTies;

private slots:
    void initTestCase()
    {
        if (env("REALM").isEmpty()) {
            QFAIL("run this through kerberos/fixture.sh exec, which starts the KDC and the directories");
        }
        QFile joined(env("KRB5_CONF"));
        QVERIFY(joined.open(QIODevice::ReadOnly) && m_moreTies.open());
        m_moreTies.write(joined.readAll().replace(
            "[domain_realm]", "[domain_realm]\n\tldap2.lone.test = ACME.TEST\n\t127.0.0.1 = ACME.TEST"));
        m_moreTies.flush();
        qputenv("KRB5_CONF_MORE_TIES", m_moreTies.fileName().toUtf8());
        QProcess::execute(QStringLiteral("kdestroy"), {}); // the fixture's self-test may have left a ticket
    }

    void checks_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password"); // an environment variable, or the text itself
        QTest::addColumn<QString>("krb5Conf"); // an environment variable naming another krb5.conf
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("bind"); // in slapd's log; empty: not looked at
        QTest::addColumn<int>(
            "failures"); // more counted by the KDC for ana; -1: not looked at (a logon resets it)
        const QString ldap1 = env("LDAP1_HOST"), ana = QStringLiteral("ANA_PASSWORD");
        const QString valid = QStringLiteral("User is valid"), gssapi = QStringLiteral("mech=GSSAPI"), none;
        QTest::newRow("the demo directory, an unrelated default_realm: StartTLS")
            << env("DEMO_HOST") << "ana" << ana << "KRB5_CONF_UNRELATED" << valid << "mech=SIMPLE" << 0;
        QTest::newRow("plain name") << ldap1 << "ana" << ana << none << valid << gssapi << -1;
        QTest::newRow("user@REALM") << ldap1 << "ana@ACME.TEST" << ana << none << valid << gssapi << -1;
        QTest::newRow("lower-case realm") << ldap1 << "ana@acme.test" << ana << none << valid << gssapi << -1;
        QTest::newRow("a UPN of a domain tied to the realm: asked again as user@REALM")
            << ldap1 << "ana@people.acme.test" << ana << none << valid << gssapi << -1;
        QTest::newRow("a UPN of another domain: never another account of that name")
            << ldap1 << "ana@example.com" << ana << none << "No user \"ana@example.com\" exists" << none << 0;
        QTest::newRow("realm from a TXT record")
            << ldap1 << "ana" << ana << "KRB5_CONF_TXT" << valid << gssapi << -1;
        QTest::newRow("realm from the parent domain")
            << ldap1 << "ana" << ana << "KRB5_CONF_PARENT" << valid << gssapi << -1;
        QTest::newRow("wrong password: one failure at the KDC")
            << ldap1 << "ana"
            << "not-the-password" << none << "The password of \"ana@ACME.TEST\" is wrong." << none << 1;
        QTest::newRow("unknown principal")
            << ldap1 << "nobody" << ana << none
            << "No user \"nobody@ACME.TEST\" exists in the Kerberos realm ACME.TEST. "
               "The password was not sent."
            << none << -1;
        QTest::newRow("disabled") << ldap1 << "dis"
                                  << "DIS_PASSWORD" << none << "(\"client's credentials have been revoked\")"
                                  << none << -1;
        QTest::newRow("expired password")
            << ldap1 << "pwx"
            << "PWX_PASSWORD" << none << "The password of \"pwx@ACME.TEST\" has expired" << none << -1;
        QTest::newRow("expired account")
            << ldap1 << "acx"
            << "ACX_PASSWORD" << none << "The account \"acx@ACME.TEST\" has expired" << none << -1;
        QTest::newRow("GSSAPI, but no realm known anywhere")
            << env("LDAP2_HOST") << "ana" << ana << none
            << "It offers GSSAPI, but no Kerberos realm is tied to ldap2.lone.test: no [domain_realm] entry "
               "of "
               "krb5.conf covers ldap2.lone.test; the DNS is not asked for realms (dns_lookup_realm); "
               "LONE.TEST "
               "is no realm krb5.conf names, and no KDC of it was found."
            << none << 0;
        QTest::newRow("a realm whose KDC knows no ldap/<host>: StartTLS, nothing sent")
            << env("LDAP2_HOST") << "ana" << ana << "KRB5_CONF_MORE_TIES"
            << "The password was not sent. It offers GSSAPI, and ldap2.lone.test is tied to the realm "
               "ACME.TEST, "
               "whose KDC knows no service \"ldap/ldap2.lone.test\""
            << none << 0;
        QTest::newRow("empty fields, no ticket: no anonymous bind")
            << ldap1 << QString() << QString() << none << "There is no Kerberos ticket for the current user"
            << none << -1;
    }
    void checks()
    {
        QFETCH(QString, host);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, krb5Conf);
        QFETCH(QString, says);
        QFETCH(QString, bind);
        QFETCH(int, failures);
        const QByteArray secret = qgetenv(password.toUtf8().constData());
        const QString typed = secret.isEmpty() ? password : QString::fromUtf8(secret);
        const QByteArray joined = qgetenv("KRB5_CONFIG");
        if (!krb5Conf.isEmpty()) {
            qputenv("KRB5_CONFIG", qgetenv(krb5Conf.toUtf8().constData()));
        }
        const int failedBefore = failedAttempts(QStringLiteral("ana"));
        const QString bindBefore = lastBind();
        const QString base = host == env("LDAP2_HOST") ? env("LONE_BASE_DN") : env("PEOPLE_DN");
        const QString shown = runCheck(m_provider, QStringLiteral("LDAP://%1/%2").arg(host, base), user,
                                       typed, QStringLiteral("5"));
        qputenv("KRB5_CONFIG", joined);
        QVERIFY2(shown.contains(says), qPrintable(shown));
        QVERIFY(typed.isEmpty() || !shown.contains(typed));
        if (!bind.isEmpty()) {
            const QString seen = lastBind();
            QVERIFY2(seen != bindBefore && seen.contains(bind), qPrintable(seen));
        } else if (user.isEmpty()) {
            QCOMPARE(lastBind(), bindBefore); // no anonymous bind either
        }
        if (failures >= 0) {
            QCOMPARE(failedAttempts(QStringLiteral("ana")), failedBefore + failures);
        }
    }

    // kinit as ana, then empty fields: the bind is her own ticket's, GSSAPI, whatever the realm lookup.
    void currentUsersTicket()
    {
        QProcess kinit;
        kinit.start(QStringLiteral("kinit"), { QStringLiteral("ana@ACME.TEST") });
        kinit.write(qgetenv("ANA_PASSWORD") + '\n');
        kinit.closeWriteChannel();
        QVERIFY(kinit.waitForFinished(20000) && kinit.exitCode() == 0);
        const QString shown =
            runCheck(m_provider, QStringLiteral("LDAP://%1/%2").arg(env("LDAP1_HOST"), env("PEOPLE_DN")),
                     QString(), QString(), QStringLiteral("1"));
        // An impostor calling itself ldap1.acme.test gets a real service ticket from the user's own, and
        // cannot read it either.
        FakeLdapServer impostor(FakeLdapServer::Behaviour::GssapiEarlySuccess, 0, env("LDAP1_HOST").toUtf8());
        const QString impostorSays = runCheck(
            m_provider, QStringLiteral("LDAP://127.0.0.1:%1/%2").arg(impostor.port()).arg(env("PEOPLE_DN")),
            QString(), QString(), QStringLiteral("1"));
        QProcess::execute(QStringLiteral("kdestroy"), {});
        QVERIFY2(impostorSays.contains(u"successful before it had proved its own identity"),
                 qPrintable(impostorSays));
        QCOMPARE(shown, QStringLiteral("User is valid"));
        QVERIFY2(lastBind().contains(u"dn=\"uid=ana,ou=people,dc=acme,dc=test\" mech=GSSAPI"),
                 qPrintable(lastBind()));
    }

    // A server at an address tied to the realm that calls itself ldap1.acme.test gets real tickets for
    // it from the KDC, but cannot read them: its "success" before the mutual authentication proves
    // nothing.
    void impostorWithRealTickets()
    {
        FakeLdapServer impostor(FakeLdapServer::Behaviour::GssapiEarlySuccess, 0, env("LDAP1_HOST").toUtf8());
        const QByteArray joined = qgetenv("KRB5_CONFIG");
        qputenv("KRB5_CONFIG", m_moreTies.fileName().toUtf8());
        const QString shown = runCheck(
            m_provider, QStringLiteral("LDAP://127.0.0.1:%1/%2").arg(impostor.port()).arg(env("PEOPLE_DN")),
            QStringLiteral("ana"), env("ANA_PASSWORD"), QStringLiteral("5"));
        qputenv("KRB5_CONFIG", joined);
        QVERIFY2(shown.contains(u"successful before it had proved its own identity"), qPrintable(shown));
    }
};

QTEST_GUILESS_MAIN(tst_MitKerberos)
#include "tst_mitkerberos.moc"
