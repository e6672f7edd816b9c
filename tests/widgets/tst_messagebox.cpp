#include "QtMessageBox.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace quorvane;

namespace {

struct Seen
{
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::Icon icon = QMessageBox::Information;
    int buttons = 0;
    bool labelShowsMarkup = true;
    bool selectable = false;
};

// Looks at the box while it is up, then dismisses it the way a user would.
Seen showAndLook(const QString& text)
{
    Seen seen;
    QTimer::singleShot(0, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box) {
            return;
        }
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.format = box->textFormat();
        seen.icon = box->icon();
        seen.buttons = static_cast<int>(box->buttons().size());
        for (const QLabel* label : box->findChildren<QLabel*>()) {
            if (label->text() == text) {
                seen.labelShowsMarkup = label->textFormat() != Qt::PlainText;
                seen.selectable = label->textInteractionFlags().testFlag(Qt::TextSelectableByMouse);
            }
        }
        QTest::keyClick(box, Qt::Key_Return);
    });
    QtMessageBox box;
    box.show(text);
    return seen;
}

} // namespace

class tst_MessageBox : public QObject
{
    Q_OBJECT

private slots:
    // Descriptions quote what a remote server chose to send: markup must stay text.
    void showsTheTextLiterally_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("bold") << QStringLiteral("<b>x</b>");
        QTest::newRow("image") << QStringLiteral(
            "Refused: <img src=\"http://127.0.0.1/x.png\"> <a href=\"x\">y</a>");
        QTest::newRow("empty") << QString();
    }
    void showsTheTextLiterally()
    {
        QFETCH(QString, text);
        const Seen seen = showAndLook(text);
        QCOMPARE(seen.title, QStringLiteral("Tarvine"));
        QCOMPARE(seen.text, text);
        QCOMPARE(seen.format, Qt::PlainText);
        QCOMPARE(seen.icon, QMessageBox::NoIcon);
        QCOMPARE(seen.buttons, 1);
        if (!text.isEmpty()) {
            QVERIFY(!seen.labelShowsMarkup);
            QVERIFY(seen.selectable);
        }
    }
};

QTEST_MAIN(tst_MessageBox)
#include "tst_messagebox.moc"
