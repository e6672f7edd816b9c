#include "Doubles.h"
#include "LogonCheck.h"

#include <QTest>

#include <optional>

using namespace quorvane;
using namespace quorvane::test;

namespace {

struct Call
{
    QString path;
    QString user;
    bool passwordMatched;
    qint32 flags;
};

// Counts opens and the objects alive, so tests can see when the bind is released.
struct CountingProvider : DirectoryProvider
{
    struct Object : DirectoryObject
    {
        CountingProvider& owner;
        bool container;
        Object(CountingProvider& provider, bool isContainer)
            : owner(provider)
            , container(isContainer)
        {
            ++owner.alive;
        }
        ~Object() override { --owner.alive; }
        void requireContainer() const override
        {
            if (!container) {
                throw Failure(QStringLiteral("not a container"));
            }
        }
    };

    QList<Call> calls;
    int alive = 0;
    bool container = true;
    std::optional<QString> refuseWith; // when set, open throws this description
    QString expectedPassword;

    std::unique_ptr<DirectoryObject> open(const QString& path, const QString& user, const QString& password,
                                          qint32 flags) override
    {
        calls.append({ path, user, password == expectedPassword, flags });
        if (refuseWith) {
            throw Failure(*refuseWith);
        }
        return std::make_unique<Object>(*this, container);
    }
};

PlainFieldSource sampleFields()
{
    PlainFieldSource fields;
    fields.pathText = QStringLiteral("LDAP://example.com:636/OU=Users,OU=HQ,DC=example,DC=com");
    fields.user = QStringLiteral("sampleusr");
    fields.secret = QStringLiteral("marigold");
    fields.flagsText = QStringLiteral("5");
    return fields;
}

} // namespace

class tst_ValidateUser : public QObject
{
    Q_OBJECT

private slots:
    void successPassesFieldsUnchangedAndHoldsTheBindWhileShown()
    {
        PlainFieldSource fields = sampleFields();
        fields.user = QStringLiteral("  Sample Usr ");
        RecordingMessageBox box;
        CountingProvider directory;
        directory.expectedPassword = fields.secret;
        int aliveWhileShown = -1;
        box.onShow = [&](const QString&) { aliveWhileShown = directory.alive; };

        ValidateUser(fields, box, directory);

        QCOMPARE(box.shown, QStringList { QStringLiteral("User is valid") });
        QCOMPARE(directory.calls.size(), 1);
        QCOMPARE(directory.calls[0].path, fields.pathText);
        QCOMPARE(directory.calls[0].user, fields.user); // no trimming
        QVERIFY(directory.calls[0].passwordMatched);
        QCOMPARE(directory.calls[0].flags, 5);
        QCOMPARE(aliveWhileShown, 1);
        QCOMPARE(directory.alive, 0);
    }

    void badFlagsReachNoDirectory_data()
    {
        QTest::addColumn<QString>("flags");
        QTest::newRow("empty") << QString();
        QTest::newRow("too large") << QStringLiteral("2147483648");
        QTest::newRow("too small") << QStringLiteral("-2147483649");
        QTest::newRow("words") << QStringLiteral("five");
    }
    void badFlagsReachNoDirectory()
    {
        QFETCH(QString, flags);
        PlainFieldSource fields = sampleFields();
        fields.flagsText = flags;
        RecordingMessageBox box;
        CountingProvider directory;
        ValidateUser(fields, box, directory);
        QCOMPARE(directory.calls.size(), 0);
        QCOMPARE(box.shown.size(), 1);
        QVERIFY(box.shown[0].contains(u"bind flags"));
    }

    void failuresShowTheirDescriptionUnchanged_data()
    {
        QTest::addColumn<std::optional<QString>>("refusal");
        QTest::addColumn<bool>("container");
        QTest::addColumn<QString>("failingField");
        QTest::addColumn<QString>("expected");
        QTest::newRow("open refused") << std::optional(QStringLiteral("Invalid credentials <b>x</b>")) << true
                                      << QString() << QStringLiteral("Invalid credentials <b>x</b>");
        QTest::newRow("empty description") << std::optional(QString()) << true << QString() << QString();
        QTest::newRow("not a container")
            << std::optional<QString>() << false << QString() << QStringLiteral("not a container");
        QTest::newRow("field unreadable") << std::optional<QString>() << true << QStringLiteral("password")
                                          << QStringLiteral("field password unreadable");
    }
    void failuresShowTheirDescriptionUnchanged()
    {
        QFETCH(std::optional<QString>, refusal);
        QFETCH(bool, container);
        QFETCH(QString, failingField);
        QFETCH(QString, expected);
        PlainFieldSource fields = sampleFields();
        fields.failing = failingField;
        RecordingMessageBox box;
        CountingProvider directory;
        directory.refuseWith = refusal;
        directory.container = container;
        int aliveWhileShown = -1;
        box.onShow = [&](const QString&) { aliveWhileShown = directory.alive; };
        ValidateUser(fields, box, directory);
        QCOMPARE(box.shown, QStringList { expected });
        QCOMPARE(aliveWhileShown, 0); // nothing that failed the test is still held
        QCOMPARE(directory.alive, 0);
    }

    void failingSuccessBoxShowsItsOwnDescription()
    {
        PlainFieldSource fields = sampleFields();
        RecordingMessageBox box;
        box.throwOnCall = 0;
        box.throwText = QStringLiteral("display lost");
        CountingProvider directory;
        ValidateUser(fields, box, directory);
        QCOMPARE(box.shown,
                 (QStringList { QStringLiteral("User is valid"), QStringLiteral("display lost") }));
        QCOMPARE(directory.alive, 0);
    }

    void failureWhileReportingEscapesAfterReleasing()
    {
        PlainFieldSource fields = sampleFields();
        RecordingMessageBox box;
        box.throwOnCall = 0; // the handler's box, reporting "not a container"
        CountingProvider directory;
        directory.container = false;
        QVERIFY_THROWS_EXCEPTION(Failure, Command1_Click(fields, box, directory));
        QCOMPARE(box.shown, QStringList { QStringLiteral("not a container") });
        QCOMPARE(directory.alive, 0);
    }

    void twoPressesMakeTwoIndependentRuns()
    {
        PlainFieldSource fields = sampleFields();
        RecordingMessageBox box;
        CountingProvider directory;
        Command1_Click(fields, box, directory);
        fields.flagsText = QStringLiteral("0x205");
        Command1_Click(fields, box, directory);
        QCOMPARE(directory.calls.size(), 2);
        QCOMPARE(directory.calls[1].flags, 0x205);
        QCOMPARE(box.shown,
                 (QStringList { QStringLiteral("User is valid"), QStringLiteral("User is valid") }));
        QCOMPARE(directory.alive, 0);
    }
};

QTEST_GUILESS_MAIN(tst_ValidateUser)
#include "tst_validateuser.moc"
