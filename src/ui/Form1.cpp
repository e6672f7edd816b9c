#include "Form1.h"

#include "ApplicationTitle.h"
#include "DefaultLdapPath.h"
#include "LogonCheck.h"

#include <QLineEdit>
#include <QPushButton>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>

namespace quorvane {

namespace {

// Positions in device-independent pixels; no layout, so neither resizing nor fonts move them.
constexpr QSize clientArea { 312, 213 };
constexpr QRect text1Geometry { 16, 24, 249, 25 };
constexpr QRect text2Geometry { 16, 72, 249, 25 };
constexpr QRect text3Geometry { 16, 120, 249, 25 };
constexpr QRect command1Geometry { 184, 168, 81, 33 };
constexpr QRect text4Geometry { 16, 160, 65, 25 };

QLineEdit* addField(QWidget* window, const QString& name, const QRect& geometry, const QString& text,
                    const QString& accessibleName)
{
    auto* field = new QLineEdit(window);
    field->setObjectName(name);
    field->setGeometry(geometry);
    // QLineEdit truncates at 32767 characters unless told otherwise; the program sets no limit.
    field->setMaxLength(std::numeric_limits<int>::max());
    field->setText(text);
    field->setCursorPosition(0); // show where a long path begins
    field->setAccessibleName(accessibleName);
    return field;
}

// A failure while a failure was being reported has no box left to show it in. The program ends
// here rather than carry on in the event loop with the window in an unknown state.
[[noreturn]] void abandon(const QString& description)
{
    const QByteArray line = applicationTitle().toUtf8() + ": " + description.toUtf8() + '\n';
    std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), stderr);
    std::fflush(stderr);
    std::_Exit(EXIT_FAILURE);
}

} // namespace

Form1::Form1(MessageBox& box, DirectoryProvider& directory, QWidget* parent)
    : QWidget(parent)
    , m_box(box)
    , m_directory(directory)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Test LDAP Connection"));
    resize(clientArea);

    // Created in tab order, which is also the order of the focus chain.
    Text1 = addField(this, QStringLiteral("Text1"), text1Geometry, QStringLiteral("sampleusr"),
                     QStringLiteral("User logon name"));
    Text2 = addField(this, QStringLiteral("Text2"), text2Geometry, QStringLiteral("marigold"),
                     QStringLiteral("Password"));
    Text3 = addField(this, QStringLiteral("Text3"), text3Geometry, defaultLdapPath(),
                     QStringLiteral("LDAP path"));
    Command1 = new QPushButton(QStringLiteral("Test Logon"), this);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setGeometry(command1Geometry);
    // Enter and Escape in a field must not run a check.
    Command1->setAutoDefault(false);
    Command1->setDefault(false);
    Text4 = addField(this, QStringLiteral("Text4"), text4Geometry, QStringLiteral("5"),
                     QStringLiteral("Bind flags"));

    // Password mode already refuses copy, cut and drag. Fusion would mask with a bullet, and some
    // styles show each typed character for a moment.
    Text2->setEchoMode(QLineEdit::Password);
    Text2->setStyleSheet(QStringLiteral("lineedit-password-character: 42; lineedit-password-mask-delay: 0"));

    setTabOrder(Text1, Text2);
    setTabOrder(Text2, Text3);
    setTabOrder(Text3, Command1);
    setTabOrder(Command1, Text4);
    Text1->setFocus();

    connect(Command1, &QPushButton::clicked, this, &Form1::runCheck);
}

QString Form1::path() const
{
    return Text3->text();
}

QString Form1::userName() const
{
    return Text1->text();
}

QString Form1::password() const
{
    return Text2->text();
}

QString Form1::flags() const
{
    return Text4->text();
}

void Form1::runCheck()
{
    // Nothing may unwind through Qt's signal dispatch. What arrives here escaped ValidateUser:
    // it was raised while another failure was being reported.
    try {
        Command1_Click(*this, m_box, m_directory);
    } catch (const std::exception& failure) {
        abandon(QString::fromUtf8(failure.what()));
    } catch (...) {
        abandon(QStringLiteral("an unknown failure occurred while a failure was being reported."));
    }
}

} // namespace quorvane
