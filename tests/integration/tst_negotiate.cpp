#include "FakeLdapServer.h"
#include "LdapDirectoryProvider.h"
#include "LogonCheck.h"
#include "RunCheck.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QtEndian>

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
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

// A KDC in front of the domain controller's: relays each request to it over TCP and its answer
// back, after `delay`; from the second request on (the one made from the password) it may instead
// close, answer with an empty message or break off the answer. Stops by itself after 30 seconds.
class RelayKdc
{
public:
    enum Behaviour
    {
        Relay,
        CloseAfterRelaying,
        EmptyAfterRelaying,
        ShortAfterRelaying,
    };

    RelayKdc(Behaviour behaviour, std::chrono::milliseconds delay)
        : m_behaviour(behaviour)
        , m_delay(delay)
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), length) == 0
            && ::listen(m_listener, 4) == 0
            && ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_port = ntohs(address.sin_port);
        }
        m_thread = std::thread([this] { run(); });
    }
    ~RelayKdc()
    {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }
    RelayKdc(const RelayKdc&) = delete;
    RelayKdc& operator=(const RelayKdc&) = delete;

    int port() const { return m_port; }
    int requests() const { return m_requests; }

private:
    static bool receiveAll(int fd, char* into, qsizetype count)
    {
        return ::recv(fd, into, static_cast<size_t>(count), MSG_WAITALL) == count;
    }
    static QByteArray receiveFramed(int fd)
    {
        char header[4];
        if (!receiveAll(fd, header, 4)) {
            return {};
        }
        const quint32 size = qFromBigEndian<quint32>(header);
        QByteArray message(header, 4);
        message.resize(4 + static_cast<qsizetype>(std::min<quint32>(size, 1 << 20)));
        return receiveAll(fd, message.data() + 4, message.size() - 4) ? message : QByteArray();
    }
    static void patient(int fd, int seconds)
    {
        const timeval patience { seconds, 0 };
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
    }

    QByteArray askDomainController(const QByteArray& request)
    {
        const int dc = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        // Longer than the check's limit: on a loaded machine the check's deadline, not the relay's
        // patience with the controller, must decide.
        patient(dc, 20);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_port = htons(88);
        inet_pton(AF_INET, qgetenv("DC_IP").constData(), &address.sin_addr);
        QByteArray reply;
        if (::connect(dc, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0
            && ::send(dc, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL)
                == request.size()) {
            reply = receiveFramed(dc);
        }
        ::close(dc);
        return reply;
    }

    void serve(int client)
    {
        patient(client, 10);
        const QByteArray request = receiveFramed(client);
        if (request.isEmpty()) {
            return;
        }
        const QByteArray reply = askDomainController(request);
        for (auto waited = std::chrono::milliseconds(0); waited < m_delay && !m_stop; waited += 50ms) {
            std::this_thread::sleep_for(50ms);
        }
        const bool misbehave = ++m_requests >= 2 && m_behaviour != Relay;
        QByteArray answer = reply;
        if (misbehave && m_behaviour == EmptyAfterRelaying) {
            answer = QByteArray(4, '\0');
        } else if (misbehave && m_behaviour == ShortAfterRelaying) {
            answer.truncate(14);
        } else if (misbehave) {
            answer.clear();
        }
        ::send(client, answer.constData(), static_cast<size_t>(answer.size()), MSG_NOSIGNAL);
    }

    void run()
    {
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (!m_stop && std::chrono::steady_clock::now() < end) {
            pollfd watched { m_listener, POLLIN, 0 };
            if (::poll(&watched, 1, 100) != 1) {
                continue;
            }
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                serve(client);
                ::close(client);
            }
        }
    }

    Behaviour m_behaviour;
    std::chrono::milliseconds m_delay;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<int> m_requests { 0 };
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

} // namespace

// Kerberos and NTLM against a real Active Directory domain controller (Samba), which refuses
// simple binds without TLS. Runs inside the controller's namespace (samba/fixture.sh exec).
class tst_Negotiate : public QObject
{
    Q_OBJECT

    LdapDirectoryProvider m_provider { LdapDirectoryProvider::Limits { 5s, 10s } };
    QTemporaryDir m_confs;

    // A krb5.conf naming the realm's KDCs, in a file an environment variable names.
    void writeConf(const char* variable, const QStringList& kdcs, const QString& libdefaults = {})
    {
        QString text = QStringLiteral("[libdefaults]\n dns_lookup_kdc = false\n%1[realms]\n ACME.TEST = {\n")
                           .arg(libdefaults);
        for (const QString& kdc : kdcs) {
            text += QStringLiteral("  kdc = %1\n").arg(kdc);
        }
        QFile file(m_confs.filePath(QString::fromUtf8(variable)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write((text + QStringLiteral(" }\n")).toUtf8());
        qputenv(variable, file.fileName().toUtf8());
    }

private slots:
    void initTestCase()
    {
        if (env("DC_HOST").isEmpty()) {
            QFAIL("run this through samba/fixture.sh exec, which starts the domain controller");
        }
        qputenv("LDAPTLS_CACERT", qgetenv("CA_CERT")); // the controller's own certificate authority
        writeConf("KRB5_CONF_UDP_ONLY", { QStringLiteral("udp/%1:88").arg(env("DC_HOST")) });
        writeConf("KRB5_CONF_KDC_PROXY", { QStringLiteral("https://%1/KdcProxy").arg(env("DC_HOST")) });
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
        QTest::newRow("a KDC over UDP only") << dc << upn << normal << "5"
                                             << "KRB5_CONF_UDP_ONLY" << valid << kerberos << -1;
        QTest::newRow("a KDC proxy: said, and no NTLM")
            << dc << downLevel << normal << "5"
            << "KRB5_CONF_KDC_PROXY" << QStringLiteral("as a KDC of ACME.TEST, but it is a KDC proxy (HTTPS)")
            << none << -1;
        // MIT's own transport would find no KDC here: the bind must use the ticket already fetched.
        QTest::newRow("no KDC named anywhere: the directory server is asked")
            << dc << upn << normal << "5"
            << "KRB5_CONF_NO_KDC" << valid << kerberos << -1;
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

    // The facts of a negotiated check say which mechanism ran, why NTLM, and the layer's strength.
    void negotiatedFacts()
    {
        const QString path = QStringLiteral("LDAP://%1/%2").arg(env("DC_HOST"), env("BASE_DN"));
        const QString user = env("DOMAIN") + u'\\' + env("NORMAL_USER");
        const QByteArray defaultConf = qgetenv("KRB5_CONFIG");
        QStringList seen;
        LdapDirectoryProvider provider;
        provider.readPasswordExpiry(true);
        for (const QByteArray& conf : { defaultConf, qgetenv("KRB5_CONF_DEAD_KDC") }) {
            qputenv("KRB5_CONFIG", conf);
            const CheckFacts facts = provider.open(path, user, env("NORMAL_PASSWORD"), 5)->facts();
            // The domain's default maximum password age is 42 days, counted from the account's creation.
            const qint64 days =
                QDateTime::currentDateTimeUtc().daysTo(facts.passwordExpires.value_or(QDateTime()));
            seen << QStringLiteral("%1 %2 %3 %4 %5")
                        .arg(facts.mechanism, facts.saslMechanism)
                        .arg(facts.securityStrength)
                        .arg(facts.whyNtlm.isEmpty() ? QStringLiteral("no-reason") : QStringLiteral("reason"))
                        .arg(days >= 41 && days <= 42 ? QStringLiteral("expires") : QString::number(days));
        }
        qputenv("KRB5_CONFIG", defaultConf);
        QCOMPARE(seen,
                 QStringList({ QStringLiteral("Kerberos GSS-SPNEGO 56 no-reason expires"),
                               QStringLiteral("NTLM GSS-SPNEGO 56 reason expires") }));
    }

    // A server that claims to be the controller gets real tickets for it from the KDC, but cannot
    // read them: its "success" before the mutual authentication proves nothing.
    void impostorWithRealTickets()
    {
        FakeLdapServer impostor(FakeLdapServer::Behaviour::SaslEarlySuccess, 0, env("DC_HOST").toUtf8());
        const QString shown = runCheck(
            m_provider, QStringLiteral("LDAP://127.0.0.1:%1/%2").arg(impostor.port()).arg(env("BASE_DN")),
            env("NORMAL_USER") + u'@' + env("DNS_DOMAIN"), env("NORMAL_PASSWORD"), QStringLiteral("5"));
        QVERIFY2(shown.contains(u"successful before it had proved its own identity"), qPrintable(shown));
        QVERIFY(lastAuthentication().startsWith(QStringLiteral("Auth: [Kerberos KDC")));
    }

    // kinit as the user, then empty fields: the bind is the current user's own ticket, its service
    // ticket fetched by the check (with no KDC named, MIT's own transport would find none).
    void currentUsersTicket()
    {
        QProcess kinit;
        kinit.start(QStringLiteral("kinit"), { env("NORMAL_USER") + QStringLiteral("@ACME.TEST") });
        kinit.write(qgetenv("NORMAL_PASSWORD") + '\n');
        kinit.closeWriteChannel();
        QVERIFY(kinit.waitForFinished(20000) && kinit.exitCode() == 0);
        const QByteArray defaultConf = qgetenv("KRB5_CONFIG");
        QStringList shown;
        for (const QByteArray& conf : { defaultConf, qgetenv("KRB5_CONF_NO_KDC") }) {
            qputenv("KRB5_CONFIG", conf);
            shown << runCheck(m_provider, QStringLiteral("LDAP://%1/%2").arg(env("DC_HOST"), env("BASE_DN")),
                              QString(), QString(), QStringLiteral("5"));
        }
        qputenv("KRB5_CONFIG", defaultConf);
        QProcess::execute(QStringLiteral("kdestroy"), {});
        QCOMPARE(shown, QStringList(2, QStringLiteral("User is valid")));
    }

    // A KDC in front of the controller's, named first in krb5.conf with the controller second. Once
    // it has taken the request made from the password, nothing it does may send that request to the
    // controller again; and however slowly it answers, the check keeps its one limit.
    void kdcInFront_data()
    {
        QTest::addColumn<int>("behaviour");
        QTest::addColumn<int>("delay"); // ms before each answer
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("says");
        QTest::addColumn<int>("badAttempts"); // -1: not counted
        QTest::addColumn<bool>("alone"); // the relay the only KDC, over TCP; else the controller follows it
        const QString notAgain = QStringLiteral("). The password was not offered to another KDC.");
        const QString wrong = QStringLiteral("not-the-password");
        QTest::newRow("closes") << int(RelayKdc::CloseAfterRelaying) << 0 << wrong
                                << QStringLiteral("it closed the connection without an answer") + notAgain
                                << 1 << false;
        QTest::newRow("empty answer")
            << int(RelayKdc::EmptyAfterRelaying) << 0 << wrong
            << QStringLiteral("it answered with an empty message") + notAgain << 1 << false;
        QTest::newRow("broken-off answer")
            << int(RelayKdc::ShortAfterRelaying) << 0 << wrong
            << QStringLiteral("it broke off its answer") + notAgain << 1 << false;
        // Three requests of 3.5 s each do not fit in the 10-second operation limit.
        QTest::newRow("slow") << int(RelayKdc::Relay) << 3500 << env("NORMAL_PASSWORD")
                              << QStringLiteral("no answer before the check's limit of 10 seconds ran out")
                              << -1 << true;
    }
    void kdcInFront()
    {
        QFETCH(int, behaviour);
        QFETCH(int, delay);
        QFETCH(QString, password);
        QFETCH(QString, says);
        QFETCH(int, badAttempts);
        QFETCH(bool, alone);
        RelayKdc relay(static_cast<RelayKdc::Behaviour>(behaviour), std::chrono::milliseconds(delay));
        QVERIFY(relay.port() > 0);
        // TCP first, so the relay is the first KDC asked.
        writeConf("KRB5_CONF_RELAY",
                  alone ? QStringList { QStringLiteral("tcp/127.0.0.1:%1").arg(relay.port()) }
                        : QStringList { QStringLiteral("127.0.0.1:%1").arg(relay.port()), env("DC_HOST") },
                  QStringLiteral(" udp_preference_limit = 1\n"));
        const QByteArray defaultConf = qgetenv("KRB5_CONFIG");
        qputenv("KRB5_CONFIG", qgetenv("KRB5_CONF_RELAY"));
        const QString user = env("NORMAL_USER");
        const int badBefore = badPasswordCount(user);
        QElapsedTimer timer;
        timer.start();
        const QString shown =
            runCheck(m_provider, QStringLiteral("LDAP://%1/%2").arg(env("DC_HOST"), env("BASE_DN")),
                     user + u'@' + env("DNS_DOMAIN"), password, QStringLiteral("5"));
        const qint64 elapsed = timer.elapsed();
        qputenv("KRB5_CONFIG", defaultConf);
        QVERIFY2(shown.contains(says), qPrintable(shown));
        QVERIFY(!shown.contains(password));
        QVERIFY2(elapsed < 11500, qPrintable(QString::number(elapsed)));
        if (badAttempts >= 0) {
            QCOMPARE(relay.requests(), 2);
            QCOMPARE(badPasswordCount(user) - badBefore, badAttempts);
            QVERIFY(lastAuthentication().startsWith(
                QStringLiteral("Auth: [Kerberos KDC,ENC-TS Pre-authentication]")));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Negotiate)
#include "tst_negotiate.moc"
