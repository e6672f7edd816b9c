#include "DescriptionText.h"
#include "Failure.h"
#include "FlagsConversion.h"

#include <QTest>

using namespace quorvane;

class tst_FlagsConversion : public QObject
{
    Q_OBJECT

private slots:
    void converts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint32>("expected");
        QTest::newRow("plain") << QStringLiteral("5") << 5;
        QTest::newRow("zero") << QStringLiteral("0") << 0;
        QTest::newRow("blanks around") << QStringLiteral(" \t 5  ") << 5;
        QTest::newRow("plus sign") << QStringLiteral("+7") << 7;
        QTest::newRow("negative") << QStringLiteral("-1") << -1;
        QTest::newRow("leading zeros") << QStringLiteral("000017") << 17;
        QTest::newRow("hex") << QStringLiteral("0x205") << 0x205;
        QTest::newRow("hex upper") << QStringLiteral("0X1F") << 0x1f;
        QTest::newRow("largest") << QStringLiteral("2147483647") << 2147483647;
        QTest::newRow("smallest") << QStringLiteral("-2147483648") << qint32(-2147483647 - 1);
        QTest::newRow("hex largest") << QStringLiteral("0x7fffffff") << 0x7fffffff;
        QTest::newRow("hex smallest") << QStringLiteral("-0x80000000") << qint32(-2147483647 - 1);
    }
    void converts()
    {
        QFETCH(QString, text);
        QFETCH(qint32, expected);
        QCOMPARE(parseBindFlags(text), expected);
    }

    void refuses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("says");
        QTest::newRow("empty") << QString() << QStringLiteral("empty");
        QTest::newRow("blanks only") << QStringLiteral("   ") << QStringLiteral("only blanks");
        QTest::newRow("letters") << QStringLiteral("abc") << QStringLiteral("\"abc\" are not a number");
        QTest::newRow("trailing junk") << QStringLiteral("5a") << QStringLiteral("\"5a\" are not a number");
        QTest::newRow("inner blank") << QStringLiteral("5 5") << QStringLiteral("not a number");
        QTest::newRow("fraction") << QStringLiteral("1.5") << QStringLiteral("not a number");
        QTest::newRow("sign only") << QStringLiteral("-") << QStringLiteral("not a number");
        QTest::newRow("bare 0x") << QStringLiteral("0x") << QStringLiteral("not a number");
        QTest::newRow("two signs") << QStringLiteral("+-5") << QStringLiteral("not a number");
        QTest::newRow("bad hex digit") << QStringLiteral("0x20g") << QStringLiteral("not a number");
        QTest::newRow("non-ASCII digit") << QString(QChar(0x0665)) << QStringLiteral("not a number");
        QTest::newRow("one too large")
            << QStringLiteral("2147483648") << QStringLiteral("\"2147483648\" are outside");
        QTest::newRow("one too small")
            << QStringLiteral("-2147483649") << QStringLiteral("\"-2147483649\" are outside");
        QTest::newRow("hex too large") << QStringLiteral("0x80000000") << QStringLiteral("outside");
        QTest::newRow("beyond 64 bits")
            << QStringLiteral("99999999999999999999999") << QStringLiteral("outside");
    }
    void refuses()
    {
        QFETCH(QString, text);
        QFETCH(QString, says);
        try {
            parseBindFlags(text);
            QFAIL("converted a text that is no 32-bit number");
        } catch (const Failure& failure) {
            QVERIFY2(failure.description().contains(says), qPrintable(failure.description()));
        }
    }

    // A megabyte of digits is refused quickly, and the description quotes only its start.
    void hugeTextIsQuotedShort()
    {
        const QString text(1024 * 1024, u'9');
        try {
            parseBindFlags(text);
            QFAIL("converted a megabyte of digits");
        } catch (const Failure& failure) {
            QVERIFY(failure.description().contains(u"outside"));
            QVERIFY(failure.description().size() < 400);
            QVERIFY(failure.description().contains(QChar(0x2026)));
        }
    }

    void quoteNeverSplitsASurrogatePair()
    {
        const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // one character, two UTF-16 units
        const QString text = QString(79, u'a') + face + face;
        const QString quoted = quoteForDescription(text, 80);
        QCOMPARE(quoted, QString(79, u'a') + QChar(0x2026));
    }

    // A NUL would cut the description short where it crosses into C strings.
    void controlCharactersAreShownAsSymbols()
    {
        try {
            parseBindFlags(QStringLiteral("5") + QChar(0) + QChar(u'\n') + QChar(0x7f));
            QFAIL("converted a text with control characters");
        } catch (const Failure& failure) {
            QVERIFY2(
                failure.description().contains(QStringLiteral("\"5\u2400\u240a\u2421\" are not a number")),
                qPrintable(failure.description()));
        }
    }
};

QTEST_GUILESS_MAIN(tst_FlagsConversion)
#include "tst_flagsconversion.moc"
