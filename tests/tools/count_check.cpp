// Runs one check with the real provider and prints the message it would show; the password comes
// from standard input so it never appears in a process listing.
#include "FieldSource.h"
#include "LdapDirectoryProvider.h"
#include "LogonCheck.h"
#include "MessageBox.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

using namespace quorvane;

namespace {

struct PrintingBox : MessageBox
{
    void show(const QString& text) override { std::printf("  shown: %s\n", text.toUtf8().constData()); }
};

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: count_check PATH USER FLAGS (password on stdin)\n");
        return 2;
    }
    LdapDirectoryProvider::prepareProcess();
    QCoreApplication application(argc, argv);
    TextFields fields;
    fields.pathText = QString::fromUtf8(argv[1]);
    fields.user = QString::fromUtf8(argv[2]);
    fields.flagsText = QString::fromUtf8(argv[3]);
    fields.secret = QTextStream(stdin).readLine();
    PrintingBox box;
    LdapDirectoryProvider directory;
    Command1_Click(fields, box, directory);
    return 0;
}
