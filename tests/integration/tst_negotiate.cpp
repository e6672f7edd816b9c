#include "LdapDirectoryProvider.h"
#include "LogonCheck.h"
#include "RunCheck.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

using namespace quorvane;
using namespace quorvane::test;
using namespace std::chrono_literals;

namespace {

QString env(const char* name)
{
    return qEnvironmentVariable(name);
}

// What the domain controller's log says of the last authentication it saw.
QString lastAuthentication()
{
    QFile log(env("SAMBA_LOG"));
    if (!log.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QList<QByteArray> lines = log.readAll().split('\n');
    for (auto line = lines.crbegin(); line != lines.crend(); ++line) {
        if (line->startsWith("Auth: [")) {
            return QString::fromUtf8(*line);
        }
    }
    return {};
}

int badPasswordCount(const QString& account)
{
    QProcess search;
    search.start(QStringLiteral("ldbsearch"),
                 { QStringLiteral("-H"), env("SAM_LDB"), QStringLiteral("(sAMAccountName=%1)").arg(account),
                   QStringLiteral("badPwdCount") });
    search.waitForFinished(20000);
    for (const QByteArray& line : search.readAllStandardOutput().split('\n')) {
        if (line.startsWith("badPwdCount: ")) {
            return line.mid(13).toInt();
        }
    }
    return -1;
}

} // namespace

// Kerberos and NTLM against a real Active Directory domain controller (Samba), which refuses
// simple binds without TLS. Runs inside the controller's namespace (samba/fixture.sh exec).
class tst_Negotiate : public QObject
{
    Q_OBJECT

    LdapDirectoryProvider m_provider { LdapDirectoryProvider::Limits { 5s, 10s } };

private slots:
    void initTestCase()
    {
        if (env("DC_HOST").isEmpty()) {
            QFAIL("run this through samba/fixture.sh exec, which starts the domain controller");
        }
        qputenv("LDAPTLS_CACERT", qgetenv("CA_CERT")); // the controller's own certificate authority
    }

    void checks_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password"); // an environment variable, or the text itself
        QTest::addColumn<QString>("flags");
        QTest::addColumn<QString>("krb5Conf"); // an environment variable naming another krb5.conf
        QTest::addColumn<QString>("says");
        QTest::addColumn<QString>("authentication"); // in the controller's log; empty: none looked at
        // Bad attempts counted for the account; -1: not counted (a success resets the count).
        QTest::addColumn<int>("badAttempts");
        const QString dc = env("DC_HOST");
        const QString user = env("NORMAL_USER");
        const QString upn = user + u'@' + env("DNS_DOMAIN");
        const QString downLevel = env("DOMAIN") + u'\\' + user;
        const QString kerberos = QStringLiteral("[Kerberos KDC,ENC-TS Pre-authentication]");
        const QString ntlm = QStringLiteral("[LDAP,NTLMSSP]");
        const QString valid = QStringLiteral("User is valid");
        const QString normal = QStringLiteral("NORMAL_PASSWORD");
        const QString none;
        QTest::newRow("UPN") << dc << upn << normal << "5" << none << valid << kerberos << -1;
        QTest::newRow("down-level name")
            << dc << downLevel << normal << "5" << none << valid << kerberos << -1;
        QTest::newRow("plain name") << dc << user << normal << "5" << none << valid << kerberos << -1;
        QTest::newRow("address: the server's name from dnsHostName")
            << env("DC_IP_UNNAMED") << user << normal << "5" << none << valid << kerberos << -1;
        QTest::newRow("sealing asked and granted")
            << dc << upn << normal << "0x81" << none << valid << kerberos << -1;
        QTest::newRow("wrong password: one bad attempt")
            << dc << upn << "not-the-password"
            << "5" << none << QStringLiteral("The password of \"%1\" is wrong.").arg(upn) << none << 1;
        QTest::newRow("unknown user") << dc << "nobody" << normal << "5" << none
                                      << QStringLiteral("No user \"nobody@ACME.TEST\" exists") << none << -1;
        QTest::newRow("disabled") << dc << env("DISABLED_USER") << "DISABLED_PASSWORD"
                                  << "5" << none << QStringLiteral("is disabled, locked out or expired")
                                  << none << -1;
        QTest::newRow("must change the password")
            << dc << env("MUST_CHANGE_USER") << "MUST_CHANGE_PASSWORD"
            << "5" << none << QStringLiteral("has expired, or must be changed") << none << -1;
        QTest::newRow("NTLM when no KDC answers") << dc << downLevel << normal << "5"
                                                  << "KRB5_CONF_DEAD_KDC" << valid << ntlm << -1;
        QTest::newRow("NTLM wrong password: one bad attempt")
            << dc << downLevel << "not-the-password"
            << "5"
            << "KRB5_CONF_DEAD_KDC" << QStringLiteral("data 52e") << none << 1;
        QTest::newRow("another domain's down-level name: NTLM, never user@REALM")
            << dc << QStringLiteral("OTHER\\") + user << normal << "5" << none << QStringLiteral("data 51f")
            << QStringLiteral("[LDAP,NTLMSSP] user [OTHER]") << -1;
        QTest::newRow("a DN: simple bind over StartTLS")
            << dc << QStringLiteral("CN=%1,CN=Users,%2").arg(user, env("BASE_DN")) << normal << "5" << none
            << valid << QStringLiteral("[LDAP,simple bind/TLS]") << -1;
        QTest::newRow("0x2 on port 389: simple bind after StartTLS")
            << dc + QStringLiteral(":389") << upn << normal << "3" << none << valid
            << QStringLiteral("[LDAP,simple bind/TLS]") << -1;
        QTest::newRow("no ticket for the current user") << dc << QString() << QString() << "5" << none
                                                        << QStringLiteral("no Kerberos ticket") << none << -1;
    }
    void checks()
    {
        QFETCH(QString, host);
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, flags);
        QFETCH(QString, krb5Conf);
        QFETCH(QString, says);
        QFETCH(QString, authentication);
        QFETCH(int, badAttempts);
        const QByteArray secret = qgetenv(password.toUtf8().constData());
        const QString typed = secret.isEmpty() ? password : QString::fromUtf8(secret);
        const QByteArray defaultConf = qgetenv("KRB5_CONFIG");
        if (!krb5Conf.isEmpty()) {
            qputenv("KRB5_CONFIG", qgetenv(krb5Conf.toUtf8().constData()));
        }
        const QString account = user.section(u'\\', -1).section(u'@', 0, 0);
        const int badBefore = badAttempts >= 0 ? badPasswordCount(account) : 0;
        const QString shown = runCheck(m_provider, QStringLiteral("LDAP://%1/%2").arg(host, env("BASE_DN")),
                                       user, typed, flags);
        qputenv("KRB5_CONFIG", defaultConf);
        QVERIFY2(shown.contains(says), qPrintable(shown));
        QVERIFY(typed.isEmpty() || !shown.contains(typed));
        if (!authentication.isEmpty()) {
            const QString seen = lastAuthentication();
            QVERIFY2(seen.startsWith(QStringLiteral("Auth: ") + authentication), qPrintable(seen.left(120)));
        }
        if (badAttempts >= 0) {
            QCOMPARE(badPasswordCount(account) - badBefore, badAttempts);
        }
    }

    // The checking computer's clock ten minutes off (faketime): MIT takes the KDC's time from its
    // answer, so the logon still succeeds; a silent KDC costs the connect limit, then NTLM.
    void clockSkewAndSilentKdc()
    {
        const int silentUdp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int silentTcp = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(88);
        inet_pton(AF_INET, "127.0.0.9", &address.sin_addr);
        const auto* raw = reinterpret_cast<sockaddr*>(&address);
        QVERIFY(::bind(silentUdp, raw, sizeof address) == 0 && ::bind(silentTcp, raw, sizeof address) == 0
                && ::listen(silentTcp, 0) == 0 && ::connect(filler, raw, sizeof address) == 0);
        QTemporaryFile conf;
        QVERIFY(conf.open());
        conf.write(
            "[libdefaults]\n dns_lookup_kdc = false\n[realms]\n ACME.TEST = {\n  kdc = 127.0.0.9:88\n }\n");
        conf.flush();
        const QString path = QStringLiteral("LDAP://%1/%2").arg(env("DC_HOST"), env("BASE_DN"));
        for (const auto& [krb5Conf, clock, says] :
             { std::tuple { env("KRB5_CONFIG"), QStringLiteral("+10m"), QStringLiteral("User is valid") },
               std::tuple { conf.fileName(), QStringLiteral("+0"), QStringLiteral("User is valid") } }) {
            QProcess check;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("KRB5_CONFIG"), krb5Conf);
            // faketime preloads itself ahead of a sanitizer build's runtime.
            environment.insert(QStringLiteral("ASAN_OPTIONS"),
                               environment.value(QStringLiteral("ASAN_OPTIONS"))
                                   + QStringLiteral(":verify_asan_link_order=0"));
            check.setProcessEnvironment(environment);
            QElapsedTimer timer;
            timer.start();
            check.start(QStringLiteral("faketime"),
                        { QStringLiteral("-f"), clock, QStringLiteral(QUORVANE_COUNT_CHECK), path,
                          env("DOMAIN") + u'\\' + env("NORMAL_USER"), QStringLiteral("5") });
            check.write(qgetenv("NORMAL_PASSWORD") + '\n');
            check.closeWriteChannel();
            QVERIFY(check.waitForFinished(60000));
            const QString shown = QString::fromUtf8(check.readAllStandardOutput());
            QVERIFY2(shown.contains(says),
                     qPrintable(shown + QString::fromUtf8(check.readAllStandardError())));
            QVERIFY2(timer.elapsed() < 25000, "a silent KDC held the check past its limits");
        }
        QVERIFY(lastAuthentication().startsWith(QStringLiteral("Auth: [LDAP,NTLMSSP]")));
        ::close(filler);
        ::close(silentTcp);
        ::close(silentUdp);
    }

    // A capture of the namespace's loopback during a Kerberos and an NTLM logon holds the realm and
    // the user's name, and not the password in any encoding.
    void passwordNeverOnTheWire()
    {
        QTemporaryDir directory;
        const QString capture = directory.filePath(QStringLiteral("lo.pcap"));
        QProcess dump;
        dump.start(QStringLiteral("tcpdump"),
                   { QStringLiteral("-Z"), QStringLiteral("root"), QStringLiteral("-i"), QStringLiteral("lo"),
                     QStringLiteral("--immediate-mode"), QStringLiteral("-w"), capture });
        QVERIFY(dump.waitForStarted(10000));
        QTest::qWait(1000);
        const QString path = QStringLiteral("LDAP://%1/%2").arg(env("DC_HOST"), env("BASE_DN"));
        const QString password = env("NORMAL_PASSWORD");
        const QString downLevel = env("DOMAIN") + u'\\' + env("NORMAL_USER");
        QCOMPARE(runCheck(m_provider, path, downLevel, password, QStringLiteral("5")),
                 QStringLiteral("User is valid"));
        const QByteArray defaultConf = qgetenv("KRB5_CONFIG");
        qputenv("KRB5_CONFIG", qgetenv("KRB5_CONF_DEAD_KDC"));
        QCOMPARE(runCheck(m_provider, path, downLevel, password, QStringLiteral("5")),
                 QStringLiteral("User is valid"));
        qputenv("KRB5_CONFIG", defaultConf);
        QTest::qWait(500);
        dump.terminate();
        QVERIFY(dump.waitForFinished(10000));
        QFile file(capture);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const QByteArray utf16(reinterpret_cast<const char*>(password.utf16()), password.size() * 2);
        QVERIFY2(bytes.contains("ACME.TEST") && bytes.contains("carla"), "the capture saw no logon");
        QVERIFY(!bytes.contains(password.toUtf8()));
        QVERIFY(!bytes.contains(utf16));
    }

    // kinit as the user, then empty fields: the bind is the current user's own ticket.
    void currentUsersTicket()
    {
        QProcess kinit;
        kinit.start(QStringLiteral("kinit"), { env("NORMAL_USER") + QStringLiteral("@ACME.TEST") });
        kinit.write(qgetenv("NORMAL_PASSWORD") + '\n');
        kinit.closeWriteChannel();
        QVERIFY(kinit.waitForFinished(20000) && kinit.exitCode() == 0);
        const QString shown =
            runCheck(m_provider, QStringLiteral("LDAP://%1/%2").arg(env("DC_HOST"), env("BASE_DN")),
                     QString(), QString(), QStringLiteral("5"));
        QProcess::execute(QStringLiteral("kdestroy"), {});
        QCOMPARE(shown, QStringLiteral("User is valid"));
    }
};

QTEST_GUILESS_MAIN(tst_Negotiate)
#include "tst_negotiate.moc"
