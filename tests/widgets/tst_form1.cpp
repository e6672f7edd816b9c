#include "DefaultLdapPath.h"
#include "Doubles.h"
#include "FlagsConversion.h"
#include "Form1.h"
#include "LdapDirectoryProvider.h"
#include "TestDirectory.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QStyleFactory>
#include <QTest>

#include <ldap.h>

#include <optional>

using namespace quorvane;
using namespace quorvane::test;
using namespace Qt::StringLiterals;

namespace {

const QStringList fieldNames { QStringLiteral("Text1"), QStringLiteral("Text2"), QStringLiteral("Text3"),
                               QStringLiteral("Text4") };

struct Opened
{
    QString path;
    QString user;
    QString password;
    qint32 flags;
};

// Counts opens; `duringOpen` runs while the open "blocks".
struct CountingDirectory : DirectoryProvider
{
    struct Object : DirectoryObject
    {
        void requireContainer() const override {}
    };

    QList<Opened> opens;
    std::function<void()> duringOpen;
    std::optional<QString> refuseWith;

    std::unique_ptr<DirectoryObject> open(const QString& path, const QString& user, const QString& password,
                                          qint32 flags) override
    {
        opens.append({ path, user, password, flags });
        if (duringOpen) {
            duringOpen();
        }
        if (refuseWith) {
            throw Failure(*refuseWith);
        }
        return std::make_unique<Object>();
    }
};

// The four field texts as a failed comparison may print them: the password only as a fingerprint.
QStringList printable(QStringList texts)
{
    texts[1] = u"(password: %1 characters, hash %2)"_s.arg(texts[1].size()).arg(qHash(texts[1]));
    return texts;
}

// Form1 with doubles, shown and active.
struct Window
{
    RecordingMessageBox box;
    CountingDirectory directory;
    Form1 form { box, directory };

    Window()
    {
        form.show();
        if (!QTest::qWaitForWindowActive(&form)) {
            QTest::qFail("Form1 did not become active", __FILE__, __LINE__);
        }
    }

    QLineEdit* field(const QString& name) const { return form.findChild<QLineEdit*>(name); }
    QPushButton* button() const { return form.findChild<QPushButton*>(QStringLiteral("Command1")); }
    QWidget* control(const QString& name) const { return form.findChild<QWidget*>(name); }

    QStringList texts() const
    {
        QStringList result;
        for (const QString& name : fieldNames) {
            result.append(field(name)->text());
        }
        return printable(result);
    }
};

QString accessibleName(QWidget* widget)
{
    return QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name);
}

void paste(QLineEdit* field, const QString& text)
{
    QGuiApplication::clipboard()->setText(text);
    field->setFocus();
    field->selectAll();
    QTest::keySequence(field, QKeySequence::Paste);
}

} // namespace

class tst_Form1 : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Fusion masks with a bullet unless told otherwise, which makes the mask test meaningful.
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    }

    void controls_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("geometry");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("accessible");
        QTest::newRow("Text1") << u"Text1"_s << QRect(16, 24, 249, 25) << u"sampleusr"_s
                               << u"User logon name"_s;
        QTest::newRow("Text2") << u"Text2"_s << QRect(16, 72, 249, 25) << u"marigold"_s << u"Password"_s;
        QTest::newRow("Text3") << u"Text3"_s << QRect(16, 120, 249, 25) << defaultLdapPath()
                               << u"LDAP path"_s;
        QTest::newRow("Command1") << u"Command1"_s << QRect(184, 168, 81, 33) << u"Test Logon"_s
                                  << u"Test Logon"_s;
        QTest::newRow("Text4") << u"Text4"_s << QRect(16, 160, 65, 25) << u"5"_s << u"Bind flags"_s;
    }

    void controls()
    {
        QFETCH(QString, name);
        QFETCH(QRect, geometry);
        QFETCH(QString, text);
        QFETCH(QString, accessible);
        Window window;
        QWidget* control = window.control(name);
        QVERIFY(control);
        QCOMPARE(control->parentWidget(), &window.form);
        QCOMPARE(control->geometry(), geometry);
        QCOMPARE(control->property("text").toString(), text);
        QCOMPARE(accessibleName(control), accessible);
    }

    void windowHoldsOnlyItsControls()
    {
        Window window;
        QCOMPARE(window.form.windowTitle(), u"Test LDAP Connection"_s);
        QCOMPARE(window.form.size(), QSize(312, 213));
        QVERIFY(!window.form.layout());
        QStringList names;
        for (const QWidget* child : window.form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
            names.append(child->objectName());
        }
        names.sort();
        QCOMPARE(names, QStringList({ u"Command1"_s, u"Text1"_s, u"Text2"_s, u"Text3"_s, u"Text4"_s }));
    }

    void defaultPath_data()
    {
        QTest::addColumn<QString>("domain");
        QTest::addColumn<QString>("site");
        QTest::addColumn<QString>("path");
        QTest::newRow("example.com, HQ")
            << u"example.com"_s << u"HQ"_s << u"LDAP://example.com:636/OU=Users,OU=HQ,DC=example,DC=com"_s;
        QTest::newRow("corp.test, Berlin-2")
            << u"corp.test"_s << u"Berlin-2"_s
            << u"LDAP://corp.test:636/OU=Users,OU=Berlin-2,DC=corp,DC=test"_s;
    }

    void defaultPath()
    {
        QFETCH(QString, domain);
        QFETCH(QString, site);
        QFETCH(QString, path);
        QCOMPARE(defaultLdapPath(domain, site), path);
    }

    void controlsStayPut_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("pointSize");
        QTest::newRow("narrower") << QSize(120, 90) << 0;
        QTest::newRow("larger") << QSize(900, 700) << 0;
        QTest::newRow("large font") << QSize(312, 213) << 28;
        QTest::newRow("small font") << QSize(312, 213) << 5;
    }

    void controlsStayPut()
    {
        QFETCH(QSize, size);
        QFETCH(int, pointSize);
        Window window;
        QList<QRect> before;
        const QList<QWidget*> controls = window.form.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
        for (const QWidget* control : controls) {
            before.append(control->geometry());
        }
        window.form.resize(size);
        if (pointSize > 0) {
            QFont font = window.form.font();
            font.setPointSize(pointSize);
            window.form.setFont(font);
        }
        QTRY_COMPARE(window.form.size(), size);
        for (qsizetype i = 0; i < controls.size(); ++i) {
            QCOMPARE(controls[i]->geometry(), before[i]);
        }
    }

    void startsWithFocusInText1AndNothingDone()
    {
        Window window;
        QCOMPARE(QApplication::focusWidget(), window.field(u"Text1"_s));
        QCoreApplication::processEvents();
        QVERIFY(window.directory.opens.isEmpty());
        QVERIFY(window.box.shown.isEmpty());
    }

    void tabOrder_data()
    {
        QTest::addColumn<Qt::Key>("key");
        QTest::addColumn<QStringList>("visited");
        QTest::newRow("Tab") << Qt::Key_Tab
                             << QStringList { u"Text2"_s, u"Text3"_s, u"Command1"_s, u"Text4"_s, u"Text1"_s };
        QTest::newRow("Shift+Tab") << Qt::Key_Backtab
                                   << QStringList { u"Text4"_s, u"Command1"_s, u"Text3"_s, u"Text2"_s,
                                                    u"Text1"_s };
    }

    void tabOrder()
    {
        QFETCH(Qt::Key, key);
        QFETCH(QStringList, visited);
        Window window;
        const Qt::KeyboardModifiers modifiers = key == Qt::Key_Backtab ? Qt::ShiftModifier : Qt::NoModifier;
        QStringList seen;
        for (qsizetype i = 0; i < visited.size(); ++i) {
            QTest::keyClick(QApplication::focusWidget(), key, modifiers);
            seen.append(QApplication::focusWidget()->objectName());
        }
        QCOMPARE(seen, visited);
    }

    void passwordIsMasked_data()
    {
        QTest::addColumn<QString>("entered");
        QTest::addColumn<bool>("pasted");
        QTest::newRow("initial") << QString() << false;
        QTest::newRow("typed") << u"s3cr et!"_s << false;
        QTest::newRow("pasted") << u"pa55 wörd ∑ 密码"_s << true;
    }

    void passwordIsMasked()
    {
        QFETCH(QString, entered);
        QFETCH(bool, pasted);
        Window window;
        QLineEdit* text2 = window.field(u"Text2"_s);
        if (pasted) {
            paste(text2, entered);
        } else if (!entered.isEmpty()) {
            text2->clear();
            text2->setFocus();
            QTest::keyClicks(text2, entered);
        }
        const QString expected = entered.isEmpty() ? u"marigold"_s : entered;
        QVERIFY(window.form.password() == expected); // QCOMPARE would print the password
        QVERIFY2(text2->displayText() == QString(expected.size(), u'*'),
                 "Text2 does not show exactly one '*' per character");
    }

    void copyOut_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QKeySequence::StandardKey>("keys");
        QTest::addColumn<bool>("copies");
        // The plain field shows that the clipboard works here at all.
        QTest::newRow("Text1 copy") << u"Text1"_s << QKeySequence::Copy << true;
        QTest::newRow("Text2 copy") << u"Text2"_s << QKeySequence::Copy << false;
        QTest::newRow("Text2 cut") << u"Text2"_s << QKeySequence::Cut << false;
    }

    void copyOut()
    {
        QFETCH(QString, name);
        QFETCH(QKeySequence::StandardKey, keys);
        QFETCH(bool, copies);
        Window window;
        QLineEdit* field = window.field(name);
        const QString text = field->text();
        QGuiApplication::clipboard()->setText(u"untouched"_s);
        field->setFocus();
        field->selectAll();
        QTest::keySequence(field, keys);
        const QString clipboard = QGuiApplication::clipboard()->text();
        if (copies) {
            QCOMPARE(clipboard, text);
        } else {
            QVERIFY2(clipboard == u"untouched"_s, "the field's text reached the clipboard");
        }
    }

    void fieldsHoldLongTexts_data()
    {
        QTest::addColumn<QString>("name");
        for (const QString& name : fieldNames) {
            QTest::newRow(name.toUtf8().constData()) << name;
        }
    }

    void fieldsHoldLongTexts()
    {
        QFETCH(QString, name);
        Window window;
        QString longText;
        for (int i = 0; longText.size() < 100000; ++i) {
            longText += QString::number(i) + u' ';
        }
        paste(window.field(name), longText);
        QCOMPARE(window.field(name)->text().size(), longText.size());
    }

    void enterAndEscapeStartNothing_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<Qt::Key>("key");
        for (const QString& name : fieldNames) {
            for (const auto& [key, keyName] :
                 { std::pair { Qt::Key_Return, "Return" }, std::pair { Qt::Key_Enter, "Enter" },
                   std::pair { Qt::Key_Escape, "Escape" } }) {
                QTest::addRow("%s %s", name.toUtf8().constData(), keyName) << name << key;
            }
        }
    }

    void enterAndEscapeStartNothing()
    {
        QFETCH(QString, name);
        QFETCH(Qt::Key, key);
        Window window;
        const QStringList before = window.texts();
        window.field(name)->setFocus();
        QTest::keyClick(window.field(name), key, key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QCoreApplication::processEvents();
        QVERIFY(window.directory.opens.isEmpty());
        QVERIFY(window.box.shown.isEmpty());
        QVERIFY(window.form.isVisible());
        QCOMPARE(window.texts(), before);
    }

    void pressRunsOneCheck_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<int>("opens");
        QTest::addColumn<QStringList>("shown");
        const QString valid = u"User is valid"_s;
        const QStringList typed { u"someone"_s, u"hunter 2"_s, u"LDAP://127.0.0.1:1/DC=x"_s, u"0x205"_s };
        QTest::newRow("click") << u"click"_s << typed << 1 << QStringList { valid };
        QTest::newRow("Space on the button") << u"space"_s << typed << 1 << QStringList { valid };
        QTest::newRow("two clicks, two checks")
            << u"click click"_s << typed << 2 << QStringList { valid, valid };
        QString flagsFailure;
        try {
            parseBindFlags(QString());
        } catch (const Failure& failure) {
            flagsFailure = failure.description();
        }
        QTest::newRow("every field empty")
            << u"click"_s << QStringList { {}, {}, {}, {} } << 0 << QStringList { flagsFailure };
    }

    void pressRunsOneCheck()
    {
        QFETCH(QString, how);
        QFETCH(QStringList, texts);
        QFETCH(int, opens);
        QFETCH(QStringList, shown);
        Window window;
        for (qsizetype i = 0; i < fieldNames.size(); ++i) {
            QLineEdit* field = window.field(fieldNames[i]);
            field->setFocus();
            field->selectAll();
            QTest::keyClick(field, Qt::Key_Delete);
            QTest::keyClicks(field, texts[i]);
        }
        for (const QString& press : how.split(u' ')) {
            if (press == u"click") {
                QTest::mouseClick(window.button(), Qt::LeftButton);
            } else {
                window.button()->setFocus();
                QTest::keyClick(window.button(), Qt::Key_Space);
            }
        }
        QCOMPARE(window.box.shown, shown);
        QCOMPARE(window.directory.opens.size(), opens);
        for (const Opened& opened : window.directory.opens) {
            QCOMPARE(opened.path, texts[2]);
            QCOMPARE(opened.user, texts[0]);
            QVERIFY(opened.password == texts[1]); // QCOMPARE would print the password
            QCOMPARE(opened.flags, 0x205);
        }
        QCOMPARE(window.texts(), printable(texts));
        QCOMPARE(QApplication::focusWidget(), window.button());
    }

    void checkAgainstTestDirectory_data()
    {
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("shown");
        QTest::newRow("valid") << u"marigold"_s << u"User is valid"_s;
        QTest::newRow("wrong password")
            << u"marigolds"_s << QString::fromUtf8(ldap_err2string(LDAP_INVALID_CREDENTIALS));
    }

    void checkAgainstTestDirectory()
    {
        QFETCH(QString, password);
        QFETCH(QString, shown);
        const std::optional<TestDirectory> directory = TestDirectory::load();
        if (!directory) {
            QVERIFY2(!TestDirectory::requiredButMissing(), "the test directory is missing in CI");
            QSKIP("no test directory (slapd) here");
        }
        RecordingMessageBox box;
        LdapDirectoryProvider ldap;
        Form1 form(box, ldap);
        form.show();
        QVERIFY(QTest::qWaitForWindowActive(&form));
        auto* path = form.findChild<QLineEdit*>(u"Text3"_s);
        path->setText(directory->ldapPath(u"OU=Users,OU=HQ,DC=example,DC=com"_s));
        form.findChild<QLineEdit*>(u"Text2"_s)->setText(password);
        const QStringList before { form.userName(), form.path(), form.flags() };
        auto* button = form.findChild<QPushButton*>(u"Command1"_s);
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(box.shown.size(), 1);
        QVERIFY2(box.shown.first().contains(shown), qPrintable(box.shown.first()));
        QCOMPARE(QStringList({ form.userName(), form.path(), form.flags() }), before);
        QVERIFY(form.password() == password);
        QCOMPARE(QApplication::focusWidget(), button);
    }

    // Input that piles up while the open blocks must reach neither the box nor the button.
    void inputDuringOpenIsDropped_data()
    {
        QTest::addColumn<bool>("refused");
        QTest::newRow("opened") << false;
        QTest::newRow("refused") << true;
    }

    void inputDuringOpenIsDropped()
    {
        QFETCH(bool, refused);
        Window window;
        if (refused) {
            window.directory.refuseWith = u"refused"_s;
        }
        QLineEdit* text1 = window.field(u"Text1"_s);
        QPushButton* button = window.button();
        std::optional<Qt::CursorShape> cursorDuringOpen;
        window.directory.duringOpen = [&] {
            if (const QCursor* cursor = QGuiApplication::overrideCursor()) {
                cursorDuringOpen = cursor->shape();
            }
            for (const QEvent::Type type : { QEvent::KeyPress, QEvent::KeyRelease }) {
                QCoreApplication::postEvent(text1, new QKeyEvent(type, Qt::Key_Z, Qt::NoModifier, u"z"_s));
                QCoreApplication::postEvent(button,
                                            new QKeyEvent(type, Qt::Key_Space, Qt::NoModifier, u" "_s));
            }
            const QPointF centre = QRectF(button->rect()).center();
            for (const QEvent::Type type : { QEvent::MouseButtonPress, QEvent::MouseButtonRelease }) {
                QCoreApplication::postEvent(button,
                                            new QMouseEvent(type, centre, button->mapToGlobal(centre),
                                                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
            }
        };
        bool busyWhileShown = true;
        window.box.onShow = [&](const QString&) {
            busyWhileShown = QGuiApplication::overrideCursor() != nullptr;
        };
        QTest::mouseClick(button, Qt::LeftButton);
        QCoreApplication::processEvents();
        QCOMPARE(window.directory.opens.size(), 1);
        QCOMPARE(window.box.shown.size(), 1);
        QCOMPARE(text1->text(), u"sampleusr"_s);
        QCOMPARE(cursorDuringOpen, Qt::WaitCursor);
        QVERIFY(!busyWhileShown);
        QVERIFY(!QGuiApplication::overrideCursor());
        // The window takes input again afterwards.
        QTest::mouseClick(button, Qt::LeftButton);
        QCOMPARE(window.directory.opens.size(), 2);
    }

    void failureWhileReportingEndsProgram()
    {
        QProcess child;
        child.start(QStringLiteral(FAILING_CHECK_PROGRAM), {});
        QVERIFY(child.waitForFinished(30000));
        const QByteArray output = child.readAllStandardOutput() + child.readAllStandardError();
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QVERIFY2(child.exitCode() != 0, output.constData());
        QVERIFY2(output.contains("Tarvine: the message box failed"), output.constData());
        QVERIFY(!output.contains("marigold"));
    }

    // Qt would act on these; the program hands it none of them.
    void argumentsAreIgnored_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("trace");
        QTest::newRow("-platform") << QStringList { u"-platform"_s, u"bogus"_s } << QByteArray("bogus");
        QTest::newRow("--platform") << QStringList { u"--platform"_s, u"bogus"_s } << QByteArray("bogus");
        QTest::newRow("-style") << QStringList { u"-style"_s, u"bogus-style"_s } << QByteArray("bogus-style");
        QTest::newRow("-stylesheet") << QStringList { u"-stylesheet"_s, u"/nonexistent/q.qss"_s }
                                     << QByteArray("q.qss");
    }

    void argumentsAreIgnored()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, trace);
        QProcess program;
        program.start(QStringLiteral(QUORVANE_PROGRAM), arguments);
        QVERIFY(program.waitForStarted());
        const bool ended = program.waitForFinished(2000);
        if (!ended) {
            program.kill();
            program.waitForFinished(5000);
        }
        const QByteArray output = program.readAllStandardOutput() + program.readAllStandardError();
        QVERIFY2(!ended, output.constData());
        QVERIFY2(!output.contains(trace), output.constData());
    }
};

QTEST_MAIN(tst_Form1)
#include "tst_form1.moc"
