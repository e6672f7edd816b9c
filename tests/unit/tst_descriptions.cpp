#include "KerberosDescriptions.h"
#include "LdapDescriptions.h"

#include <QTest>

#include <ldap.h>

#include <krb5/krb5.h>

using namespace quorvane;

namespace {

QString libraryText(int code)
{
    return QString::fromUtf8(ldap_err2string(code));
}

} // namespace

class tst_Descriptions : public QObject
{
    Q_OBJECT

private slots:
    void activeDirectorySubCodes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("passwordWasRight");
        QTest::newRow("525") << QStringLiteral("525") << QStringLiteral("No such user") << false;
        QTest::newRow("52e") << QStringLiteral("52e") << QStringLiteral("user name or password is wrong")
                             << false;
        QTest::newRow("530") << QStringLiteral("530") << QStringLiteral("at this time") << true;
        QTest::newRow("531") << QStringLiteral("531") << QStringLiteral("from this computer") << true;
        QTest::newRow("532") << QStringLiteral("532") << QStringLiteral("password has expired") << true;
        QTest::newRow("533") << QStringLiteral("533") << QStringLiteral("disabled") << true;
        QTest::newRow("701") << QStringLiteral("701") << QStringLiteral("account has expired") << true;
        QTest::newRow("773") << QStringLiteral("773") << QStringLiteral("must change the password") << true;
        QTest::newRow("51f") << QStringLiteral("51f") << QStringLiteral("No logon server") << false;
        QTest::newRow("775") << QStringLiteral("775") << QStringLiteral("password was not checked") << false;
        QTest::newRow("upper case") << QStringLiteral("52E") << QStringLiteral("password is wrong") << false;
    }
    void activeDirectorySubCodes()
    {
        QFETCH(QString, code);
        QFETCH(QString, says);
        QFETCH(bool, passwordWasRight);
        const QString diagnostic =
            QStringLiteral(
                "80090308: LdapErr: DSID-0C09044E, comment: AcceptSecurityContext error, data %1, v4563")
                .arg(code);
        const QString text = describeBindRefusal(QStringLiteral("dc1:389"), QStringLiteral("bob@corp"),
                                                 LDAP_INVALID_CREDENTIALS, diagnostic, {});
        QVERIFY2(text.contains(says), qPrintable(text));
        QCOMPARE(text.contains(u"password itself was right"), passwordWasRight);
        QVERIFY(text.contains(libraryText(LDAP_INVALID_CREDENTIALS)));
        QVERIFY(text.contains(diagnostic)); // the server's own words stay visible
        // From a server nothing verified, account state and a right password are its claim only.
        const QString claimed =
            describeBindRefusal(QStringLiteral("dc1:389"), QStringLiteral("bob@corp"),
                                LDAP_INVALID_CREDENTIALS, diagnostic, {}, noPolicyError, false);
        QCOMPARE(claimed.contains(u"its word only"), passwordWasRight || code == u"775");
        QVERIFY2(!claimed.contains(u"The password itself was right"), qPrintable(claimed));
    }

    void unknownSubCodeFallsBackToPlainRefusal()
    {
        QCOMPARE(activeDirectoryReason(QStringLiteral("data 999,")), QString());
        QCOMPARE(activeDirectoryReason(QStringLiteral("metadata 52e")), QString());
        const QString text = describeBindRefusal(QStringLiteral("h:389"), QStringLiteral("uid=a"),
                                                 LDAP_INVALID_CREDENTIALS, QString(), {});
        QCOMPARE(
            text,
            QStringLiteral(
                "The directory server h:389 refused the bind as \"uid=a\": %1. The user name or password "
                "is wrong.")
                .arg(libraryText(LDAP_INVALID_CREDENTIALS)));
    }

    void transportProtectionDemands_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("diagnostic");
        QTest::addColumn<bool>("advises");
        QTest::newRow("AD 00002028") << int(LDAP_STRONG_AUTH_REQUIRED)
                                     << QStringLiteral(
                                            "00002028: LdapErr: DSID-0C090259, comment: The server requires "
                                            "binds to turn on integrity checking")
                                     << true;
        QTest::newRow("transport encryption")
            << int(LDAP_STRONG_AUTH_REQUIRED) << QStringLiteral("Transport encryption required.") << true;
        QTest::newRow("confidentiality required")
            << int(LDAP_CONFIDENTIALITY_REQUIRED) << QStringLiteral("TLS confidentiality required") << true;
        QTest::newRow("other strong-auth text")
            << int(LDAP_STRONG_AUTH_REQUIRED) << QStringLiteral("use SASL") << false;
    }
    void transportProtectionDemands()
    {
        QFETCH(int, code);
        QFETCH(QString, diagnostic);
        QFETCH(bool, advises);
        const QString text =
            describeBindRefusal(QStringLiteral("h:389"), QStringLiteral("uid=a"), code, diagnostic, {});
        QCOMPARE(text.contains(u"flag 0x2"), advises);
    }

    void objectFailures()
    {
        const QString missing = describeObjectFailure(QStringLiteral("h:389"), QStringLiteral("ou=Nope,dc=x"),
                                                      QStringLiteral("uid=a"), LDAP_NO_SUCH_OBJECT, QString(),
                                                      QStringLiteral("dc=x"), {});
        QVERIFY(missing.contains(u"\"ou=Nope,dc=x\" does not exist on h:389, or \"uid=a\" may not see it"));
        QVERIFY(missing.contains(u"nearest existing entry is \"dc=x\""));
        QVERIFY(missing.contains(libraryText(LDAP_NO_SUCH_OBJECT)));

        const QString referred =
            describeObjectFailure(QStringLiteral("h:389"), QStringLiteral("dc=y"), QString(), LDAP_REFERRAL,
                                  QString(), QString(), { QStringLiteral("ldap://other.example/dc=y") });
        QVERIFY(referred.contains(u"refers to ldap://other.example/dc=y; referrals are not followed"));

        const QString denied =
            describeObjectFailure(QStringLiteral("h:389"), QStringLiteral("dc=y"), QString(),
                                  LDAP_INSUFFICIENT_ACCESS, QString(), QString(), {});
        QVERIFY(denied.contains(u"an anonymous user may not read"));
    }

    // Only answers that are no verdict on the password may lead to NTLM, a second try of it.
    void kerberosFailures_data()
    {
        QTest::addColumn<long>("code");
        QTest::addColumn<QString>("says");
        QTest::addColumn<bool>("ntlmMayFollow");
        QTest::newRow("wrong password")
            << long(KRB5KDC_ERR_PREAUTH_FAILED) << QStringLiteral("is wrong") << false;
        QTest::newRow("no such user")
            << long(KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN) << QStringLiteral("No user") << false;
        QTest::newRow("revoked") << long(KRB5KDC_ERR_CLIENT_REVOKED)
                                 << QStringLiteral("disabled, locked out or expired") << false;
        QTest::newRow("expired password")
            << long(KRB5KDC_ERR_KEY_EXP) << QStringLiteral("must be changed") << false;
        QTest::newRow("clock skew, both times")
            << long(KRB5KRB_AP_ERR_SKEW) << QStringLiteral("(2026-12-07 16:30:00 UTC)") << false;
        QTest::newRow("no KDC found")
            << long(KRB5_REALM_CANT_RESOLVE) << QStringLiteral("found for the realm ACME.TEST: 127.0.0.9:88")
            << true;
        QTest::newRow("no KDC answers")
            << long(KRB5_KDC_UNREACH) << QStringLiteral("127.0.0.9:88: no answer") << true;
        QTest::newRow("server name unknown") << long(KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN)
                                             << QStringLiteral("\"ldap/dc1.acme.test\" is not known") << true;
    }
    void kerberosFailures()
    {
        QFETCH(long, code);
        QFETCH(QString, says);
        KerberosFacts facts { code,
                              QStringLiteral("127.0.0.9:88: no answer in time"),
                              QStringLiteral("ana@ACME.TEST"),
                              QStringLiteral("ACME.TEST"),
                              QStringLiteral("ldap/dc1.acme.test"),
                              QStringLiteral("20261207163000.0Z") };
        const QString text = describeKerberosFailure(facts);
        QVERIFY2(text.contains(says), qPrintable(text));
        facts.initialTicket = true;
        QTEST(kerberosCouldNotBeTried(facts), "ntlmMayFollow");
        // Answered to the request made from the password, an unknown service never lets NTLM follow.
        facts.initialTicket = false;
        QVERIFY(!kerberosCouldNotBeTried(facts) || code != KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN);
    }

    // The server chooses the diagnostic: markup stays text here, and size is bounded.
    void diagnosticIsQuotedAndCapped()
    {
        const QString markup = QStringLiteral("<b>x</b><img src=x>");
        QVERIFY(describeLdapResult(LDAP_OTHER, markup).contains(markup));
        const QString huge(1024 * 1024, u'x');
        const QString text = describeLdapResult(LDAP_OTHER, huge);
        QVERIFY(text.size() < diagnosticQuoteLimit + 200);
        QVERIFY(text.contains(QChar(0x2026)));
        QCOMPARE(describeLdapResult(LDAP_OTHER, QStringLiteral("  ")), libraryText(LDAP_OTHER) + u'.');
    }
};

QTEST_GUILESS_MAIN(tst_Descriptions)
#include "tst_descriptions.moc"
