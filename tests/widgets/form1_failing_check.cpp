#include "Doubles.h"
#include "Form1.h"

#include <QApplication>
#include <QPushButton>
#include <QTimer>

using namespace quorvane;
using namespace quorvane::test;

namespace {

struct RefusingDirectory : DirectoryProvider
{
    std::unique_ptr<DirectoryObject> open(const QString&, const QString&, const QString&, qint32) override
    {
        throw Failure(QStringLiteral("refused"));
    }
};

} // namespace

// Presses Test Logon with a directory that refuses and a message box that fails, so that a failure
// leaves ValidateUser while it reports the refusal. Exits 0 when the program outlives that.
int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    RecordingMessageBox box;
    box.throwOnCall = 0;
    RefusingDirectory directory;
    Form1 form(box, directory);
    form.show();
    QTimer::singleShot(0, &form,
                       [&form] { form.findChild<QPushButton*>(QStringLiteral("Command1"))->click(); });
    QTimer::singleShot(3000, &application, [] { QCoreApplication::exit(0); });
    return QApplication::exec();
}
