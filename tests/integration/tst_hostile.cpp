#include "Failure.h"
#include "FakeLdapServer.h"
#include "LdapDirectoryProvider.h"
#include "LogonCheck.h"
#include "RunCheck.h"

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTest>

#include <ldap.h>

#include <algorithm>

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;
using Behaviour = FakeLdapServer::Behaviour;

namespace {

const QString sampleDn = QStringLiteral("uid=sampleusr,ou=Users,ou=HQ,dc=example,dc=com");
const QString usersOu = QStringLiteral("OU=Users,OU=HQ,DC=example,DC=com");

QString libraryText(int code)
{
    return QString::fromUtf8(ldap_err2string(code));
}

} // namespace

// Servers that misbehave on purpose, and input no directory should ever see: whatever happens,
// one message with a specific description, within the provider's limits.
class tst_Hostile : public QObject
{
    Q_OBJECT

    LdapDirectoryProvider m_provider { LdapDirectoryProvider::Limits { 2s, 2s } };

    QString run(const QString& path, const QString& user, const QString& password, const QString& flags)
    {
        return runCheck(m_provider, path, user, password, flags);
    }

    static QString pathTo(const FakeLdapServer& server, const QString& scheme = QStringLiteral("LDAP"))
    {
        return QStringLiteral("%1://127.0.0.1:%2/%3").arg(scheme).arg(server.port()).arg(usersOu);
    }

private slots:
    void refusedBeforeContact_data()
    {
        QTest::addColumn<QString>("dn");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("says");
        const QString marigold = QStringLiteral("marigold");
        QTest::newRow("empty flags") << usersOu << marigold << QString() << QStringLiteral("bind flags");
        QTest::newRow("flags out of range")
            << usersOu << marigold << QStringLiteral("2147483648") << QStringLiteral("bind flags");
        QTest::newRow("name without password")
            << usersOu << QString() << QStringLiteral("0") << QStringLiteral("No password");
        QTest::newRow("malformed DN") << QStringLiteral("OU=Users,,DC=x") << marigold << QStringLiteral("0")
                                      << QStringLiteral("not a distinguished name");
    }
    void refusedBeforeContact()
    {
        QFETCH(QString, dn);
        QFETCH(QString, password);
        QFETCH(QString, flags);
        QFETCH(QString, says);
        FakeLdapServer listener(FakeLdapServer::Behaviour::Silent);
        const QString shown = run(QStringLiteral("LDAP://127.0.0.1:%1/%2").arg(listener.port()).arg(dn),
                                  sampleDn, password, flags);
        QVERIFY2(shown.contains(says), qPrintable(shown));
        QTest::qWait(100);
        QCOMPARE(listener.connections(), 0);
    }

    void serverThatNeverAnswers_data()
    {
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("says");
        QTest::newRow("bind")
            << QStringLiteral("LDAP")
            << QStringLiteral(
                   "did not answer the bind request before the check's limit of 2 seconds ran out");
        QTest::newRow("TLS handshake")
            << QStringLiteral("LDAPS")
            << QStringLiteral("did not complete the TLS handshake within 2 seconds");
    }
    void serverThatNeverAnswers()
    {
        QFETCH(QString, scheme);
        QFETCH(QString, says);
        FakeLdapServer silent(FakeLdapServer::Behaviour::Silent);
        QElapsedTimer timer;
        timer.start();
        const QString shown =
            run(QStringLiteral("%1://127.0.0.1:%2/dc=example,dc=com").arg(scheme).arg(silent.port()),
                sampleDn, QStringLiteral("marigold"), QStringLiteral("0"));
        QVERIFY2(shown.contains(says), qPrintable(shown));
        QVERIFY2(timer.elapsed() < 10000, "the provider's limits did not bound the wait");
    }

    void startTlsRefusedSendsNoPassword()
    {
        FakeLdapServer server(FakeLdapServer::Behaviour::RefuseStartTls);
        const QString shown = run(QStringLiteral("LDAP://127.0.0.1:%1/dc=example,dc=com").arg(server.port()),
                                  sampleDn, QStringLiteral("marigold"), QStringLiteral("1"));
        QVERIFY2(shown.contains(u"refused StartTLS"), qPrintable(shown));
        QVERIFY(shown.contains(libraryText(LDAP_PROTOCOL_ERROR)));
        QVERIFY(shown.contains(u"password was not sent"));
        const auto operations = server.operations();
        QVERIFY(!operations.empty());
        QCOMPARE(operations.front(), 0x77); // the StartTLS request
        QVERIFY(std::find(operations.begin(), operations.end(), 0x60) == operations.end()); // and no bind
        QVERIFY(!server.received().contains("marigold"));
    }

    void serverClosingAtOnceIsReported()
    {
        FakeLdapServer server(FakeLdapServer::Behaviour::CloseAtOnce);
        const QString shown = run(QStringLiteral("LDAP://127.0.0.1:%1/dc=example,dc=com").arg(server.port()),
                                  sampleDn, QStringLiteral("marigold"), QStringLiteral("0"));
        QVERIFY2(shown.contains(u"closed the connection"), qPrintable(shown));
    }

    void misbehavingServers_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("says");
        QTest::addColumn<CheckStep>("step");
        const CheckStep tls = CheckStep::Tls, bind = CheckStep::Bind;
        QTest::newRow("closes during the TLS handshake")
            << int(Behaviour::CloseAfterRequest) << QStringLiteral("LDAPS")
            << QStringLiteral("failed: the server closed the connection") << tls;
        QTest::newRow("closes during the bind")
            << int(Behaviour::CloseAfterRequest) << QStringLiteral("LDAP")
            << QStringLiteral("closed the connection during the bind request") << bind;
        QTest::newRow("closes at once") << int(Behaviour::CloseAtOnce) << QStringLiteral("LDAP")
                                        << QStringLiteral("closed the connection") << bind;
        QTest::newRow("answers with HTTP")
            << int(Behaviour::Garbage) << QStringLiteral("LDAP")
            << QStringLiteral("data that is not LDAP, beginning \"HTTP/1.1 400 Bad Request") << bind;
        QTest::newRow("answers TLS with HTTP") << int(Behaviour::Garbage) << QStringLiteral("LDAPS")
                                               << QStringLiteral("the server does not answer in TLS") << tls;
        QTest::newRow("resets during the TLS handshake")
            << int(Behaviour::ResetAfterRequest) << QStringLiteral("LDAPS")
            << QStringLiteral("reset by the server") << tls;
        QTest::newRow("stops inside a TLS record")
            << int(Behaviour::StallAfterOneByte) << QStringLiteral("LDAPS")
            << QStringLiteral("did not complete the TLS handshake within 2 seconds") << tls;
        QTest::newRow("stops inside an LDAP message")
            << int(Behaviour::StallAfterOneByte) << QStringLiteral("LDAP")
            << QStringLiteral("did not answer the bind request before the check's limit of 2 seconds ran out")
            << bind;
        QTest::newRow("announces a 2 GB answer")
            << int(Behaviour::HugeAnswer) << QStringLiteral("LDAP")
            << QStringLiteral("or sent an answer larger than 4 MiB") << bind;
        QTest::newRow("sends entries without end") << int(Behaviour::EndlessEntries) << QStringLiteral("LDAP")
                                                   << QStringLiteral("could not be read") << CheckStep::Read;
    }
    void misbehavingServers()
    {
        QFETCH(int, behaviour);
        QFETCH(QString, scheme);
        QFETCH(QString, says);
        FakeLdapServer server(static_cast<Behaviour>(behaviour));
        QElapsedTimer timer;
        timer.start();
        QFETCH(CheckStep, step);
        QString shown;
        FailureFacts facts;
        try {
            m_provider.open(pathTo(server, scheme), sampleDn, QStringLiteral("marigold"), 0);
        } catch (const Failure& failure) {
            QVERIFY(failure.hasFacts());
            shown = failure.description();
            facts = failure.facts();
        }
        QVERIFY2(shown.contains(says), qPrintable(shown));
        // The facts the words were written from.
        QCOMPARE(facts.step, step);
        QCOMPARE(facts.server, QStringLiteral("127.0.0.1:%1").arg(server.port()));
        if (facts.firstBytes.isEmpty()) { // an answer that is not LDAP may also have waited out the limit
            QCOMPARE(facts.timedOut, shown.contains(u"within") || shown.contains(u"ran out"));
        }
        QCOMPARE(facts.password, step == CheckStep::Tls ? PasswordFate::NotSent : PasswordFate::Sent);
        QCOMPARE(facts.firstBytes.startsWith("HTTP/1.1"), shown.contains(u"not LDAP, beginning"));
        QCOMPARE(facts.mechanism, step == CheckStep::Tls ? QString() : QStringLiteral("simple"));
        QVERIFY(!shown.contains(u"marigold"));
        QVERIFY2(timer.elapsed() < 10000, "the provider's limits did not bound the wait");
        // A limit is named only when it really passed.
        if (shown.contains(u"within") || shown.contains(u"ran out")) {
            QVERIFY(timer.elapsed() >= 1900); // poll() may round a little short
        }
    }

    // The server chooses the diagnostic: it is quoted as text, and only so much of it.
    void serverDiagnostics_data()
    {
        QTest::addColumn<QByteArray>("diagnostic");
        QTest::addColumn<QString>("expected");
        QTest::newRow("markup") << QByteArrayLiteral("<b>x</b><img src=\"http://127.0.0.1/x.png\">")
                                << QStringLiteral("<b>x</b><img src=\"http://127.0.0.1/x.png\">");
        QTest::newRow("1 MB") << QByteArray(1024 * 1024, 'D') << QString(1000, u'D') + QChar(0x2026);
        QTest::newRow("control characters")
            << QByteArrayLiteral("line one\nline two\x07") << QStringLiteral("line one\u240Aline two\u2407");
    }
    void serverDiagnostics()
    {
        QFETCH(QByteArray, diagnostic);
        QFETCH(QString, expected);
        FakeLdapServer server(Behaviour::AnswerBind, LDAP_INVALID_CREDENTIALS, diagnostic);
        const QString shown = run(pathTo(server), sampleDn, QStringLiteral("marigold"), QStringLiteral("0"));
        QVERIFY2(shown.contains(QStringLiteral("\"%1\"").arg(expected)), qPrintable(shown.left(300)));
        QVERIFY(shown.contains(libraryText(LDAP_INVALID_CREDENTIALS)));
        QVERIFY(shown.size() < 1500);
    }

    void activeDirectoryRefusalInPlainWords()
    {
        FakeLdapServer server(
            Behaviour::AnswerBind, LDAP_INVALID_CREDENTIALS,
            "80090308: LdapErr: DSID-0C09044E, comment: AcceptSecurityContext error, data 775, v4563");
        const QString shown = run(pathTo(server), QStringLiteral("bob@corp.example"),
                                  QStringLiteral("marigold"), QStringLiteral("0"));
        QVERIFY2(shown.contains(u"refused the bind as \"bob@corp.example\""), qPrintable(shown));
        // No TLS: nothing shows who answered, so the account's state is the server's claim.
        QVERIFY(shown.contains(u"The server says the account is locked out; the password was not checked."));
        QVERIFY(shown.contains(u"its word only"));
        QVERIFY(!shown.contains(u"was right"));
    }

    // A server that claims to be a domain controller, whose realm's KDC cannot be reached so NTLM
    // follows: it can end the bind early or fake NTLM, but never earn "User is valid", and it
    // cannot stretch the check past its limits.
    void rogueNegotiation_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("says");
        const QString early = QStringLiteral("successful before it had proved its own identity");
        const QString unverified = QStringLiteral("could not be verified");
        QTest::newRow("success without a token") << int(Behaviour::SaslEarlySuccess) << "1" << early;
        QTest::newRow("success without a token, fast bind")
            << int(Behaviour::SaslEarlySuccess) << "0x21" << early;
        QTest::newRow("fake NTLM, fast bind") << int(Behaviour::SaslFakeNtlm) << "0x21" << unverified;
        QTest::newRow("fake NTLM, sealing") << int(Behaviour::SaslFakeNtlm) << "0xA1" << unverified;
        QTest::newRow("a slow answer each round")
            << int(Behaviour::SaslSlowNtlm) << "1"
            << QStringLiteral(
                   "did not answer the negotiated bind request before the check's limit of 2 seconds");
    }
    void rogueNegotiation()
    {
        QFETCH(int, behaviour);
        QFETCH(QString, flags);
        QFETCH(QString, says);
        QTemporaryFile conf;
        QVERIFY(conf.open());
        conf.write("[libdefaults]\n dns_lookup_kdc = false\n dns_lookup_realm = false\n"
                   "[realms]\n CORP.TEST = {\n  kdc = 127.0.0.1:1\n }\n");
        conf.flush();
        const QByteArray before = qgetenv("KRB5_CONFIG");
        qputenv("KRB5_CONFIG", conf.fileName().toUtf8());
        FakeLdapServer server(static_cast<Behaviour>(behaviour), 1200);
        QElapsedTimer timer;
        timer.start();
        const QString shown =
            run(QStringLiteral("LDAP://127.0.0.1:%1/DC=corp,DC=test").arg(server.port()),
                QStringLiteral("victim@corp.test"), QStringLiteral("definitely-wrong"), flags);
        qputenv("KRB5_CONFIG", before);
        QVERIFY2(shown.contains(says), qPrintable(shown));
        QVERIFY(shown.contains(u"NTLM was used because Kerberos could not be"));
        QVERIFY(!shown.contains(u"definitely-wrong"));
        QVERIFY2(timer.elapsed() < 3500, "the check outlived its one deadline");
    }

    // A server that binds DNs only and calls any other name a wrong password: the name is looked up
    // first, and the one bind carries the DN found.
    void dnOnlyServer_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("binds");
        QTest::newRow("plain name") << QStringLiteral("ana") << QStringLiteral("User is valid") << 1;
        QTest::newRow("the path's domain")
            << QStringLiteral("example\\ana") << QStringLiteral("User is valid") << 1;
        QTest::newRow("another domain")
            << QStringLiteral("OTHER\\ana") << QStringLiteral("\"OTHER\" names another domain") << 0;
    }
    void dnOnlyServer()
    {
        QFETCH(QString, user);
        QFETCH(QString, says);
        QFETCH(int, binds);
        FakeLdapServer server(Behaviour::DnOnly);
        const QString shown = run(pathTo(server), user, QStringLiteral("marigold"), QStringLiteral("0"));
        QVERIFY2(shown.contains(says), qPrintable(shown));
        const auto operations = server.operations();
        QCOMPARE(std::count(operations.begin(), operations.end(), 0x60), binds);
        QCOMPARE(server.received().contains(FakeLdapServer::dnOnlyUser), binds == 1);
    }

    // Input no directory should see: refused with a clear description and nothing contacted.
    void brokenInput_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("says");
        const QString lone = QString(QChar(0xd800));
        QTest::newRow("password without a name")
            << QString() << QString() << QStringLiteral("x") << QStringLiteral("no user name");
        QTest::newRow("half a surrogate in the password")
            << QString() << sampleDn << QStringLiteral("mari") + lone
            << QStringLiteral("The password contains a broken");
        QTest::newRow("half a surrogate in the user name")
            << QString() << QStringLiteral("uid=a") + lone << QStringLiteral("x")
            << QStringLiteral("user name contains");
        QTest::newRow("half a surrogate in the path")
            << QStringLiteral("/OU=") + lone << sampleDn << QStringLiteral("x")
            << QStringLiteral("LDAP path contains");
        QTest::newRow("NUL in the user name")
            << QString() << QStringLiteral("uid=a") + QChar(0) + QStringLiteral(",dc=x")
            << QStringLiteral("x") << QStringLiteral("NUL");
        QTest::newRow("NUL in the DN")
            << QStringLiteral("/OU=a") + QChar(0) << sampleDn << QStringLiteral("x") << QStringLiteral("NUL");
        QTest::newRow("1 MB DN that is none")
            << QStringLiteral("/") + QString(1024 * 1024, u'x') << sampleDn << QStringLiteral("x")
            << QStringLiteral("not a distinguished name");
    }
    void brokenInput()
    {
        QFETCH(QString, path);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, says);
        FakeLdapServer listener(Behaviour::Silent);
        const QString base = QStringLiteral("LDAP://127.0.0.1:%1").arg(listener.port());
        const QString shown =
            run(path.isEmpty() ? pathTo(listener) : base + path, user, password, QStringLiteral("0"));
        QVERIFY2(shown.contains(says), qPrintable(shown.left(500)));
        QVERIFY(shown.size() < 2000);
        QTest::qWait(50);
        QCOMPARE(listener.connections(), 0);
    }

    void hugeHostNameIsRefusedQuickly()
    {
        QElapsedTimer timer;
        timer.start();
        const QString shown =
            run(QStringLiteral("LDAP://") + QString(1024 * 1024, u'a') + QStringLiteral(".invalid/dc=x"),
                sampleDn, QStringLiteral("x"), QStringLiteral("0"));
        QVERIFY2(shown.contains(u"could not be resolved"), qPrintable(shown.left(500)));
        QVERIFY(shown.size() < 1000);
        QVERIFY(timer.elapsed() < 10000);
    }
};

QTEST_GUILESS_MAIN(tst_Hostile)
#include "tst_hostile.moc"
