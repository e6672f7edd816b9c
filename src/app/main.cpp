#include "ApplicationTitle.h"
#include "ApplicationVersion.h"
#include "Form1.h"
#include "LdapDirectoryProvider.h"
#include "ProcessGuard.h"
#include "QtMessageBox.h"

#include <QApplication>
#include <QIcon>

using namespace quorvane;

int main(int argc, char* argv[])
{
    // Before QApplication starts threads that read the environment.
    LdapDirectoryProvider::prepareProcess();
    guardProcessHoldingPasswords();

    // Qt acts on arguments such as -platform, -style or -qwindowtitle; the program takes none,
    // so Qt sees the program name alone. It keeps a reference to the count: both must outlive it.
    char fallbackName[] = "Quorvane";
    char* qtArguments[] = { argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr };
    int qtArgumentCount = 1;
    QApplication application(qtArgumentCount, qtArguments);
    // The display name follows the application name. Set on its own, Qt would append it to every
    // window title, and the window's caption would no longer be its own.
    QApplication::setApplicationName(applicationTitle());
    QApplication::setApplicationVersion(QString::fromUtf8(build::version));
    QApplication::setOrganizationName(QString::fromUtf8(build::company));
    QApplication::setDesktopFileName(QString::fromUtf8(build::applicationId));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/16x16.png"), QSize(16, 16));
    icon.addFile(QStringLiteral(":/icons/32x32.png"), QSize(32, 32));
    QApplication::setWindowIcon(icon);

    LdapDirectoryProvider directory;
    QtMessageBox box;
    Form1 form(box, directory);
    box.setParent(&form);
    form.show();
    // The last window closing ends the loop; nothing runs after it but destructors.
    return QApplication::exec();
}
