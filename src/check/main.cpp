#include "ApplicationVersion.h"
#include "CheckOptions.h"
#include "CheckReport.h"
#include "CheckRun.h"
#include "Failure.h"
#include "LdapDirectoryProvider.h"
#include "PasswordInput.h"
#include "ProcessGuard.h"

#include <QCoreApplication>

#include <cstdio>
#include <unistd.h>

using namespace quorvane;

namespace {

void write(std::FILE* stream, const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
}

int finish(const Report& report)
{
    write(stdout, report.out);
    write(stderr, report.err);
    return report.status;
}

} // namespace

int main(int argc, char* argv[])
{
    // Before QCoreApplication starts threads that read the environment.
    LdapDirectoryProvider::prepareProcess();
    guardProcessHoldingPasswords();

    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quorvane-check"));
    QCoreApplication::setApplicationVersion(QString::fromUtf8(build::version));

    const CheckOptions options = parseCheckOptions(QCoreApplication::arguments().mid(1));
    // A refusal first: a password typed after -w must be told about, even beside --help.
    if (!options.usageError.isEmpty()) {
        return finish(reportUsageError(options.usageError, options));
    }
    if (options.help) {
        write(stdout, checkUsageText());
        return exitStatus::valid;
    }
    if (options.version) {
        write(stdout, QStringLiteral("quorvane-check %1\n").arg(QString::fromUtf8(build::version)));
        return exitStatus::valid;
    }

    QString password;
    try {
        if (options.passwordFromStdin) {
            password = readPasswordFromStdin();
        } else if (!options.passwordFile.isEmpty()) {
            password = readPasswordFile(options.passwordFile);
        } else if (!options.user.isEmpty()) {
            if (isatty(STDIN_FILENO) == 0) {
                throw Failure(QStringLiteral("no password: standard input is not a terminal to ask at; use "
                                             "--password-stdin or --password-file"));
            }
            password = promptForPassword(options.user);
        }
    } catch (const Failure& failure) {
        return finish(reportUsageError(failure.description(), options));
    }

    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (options.allServers) {
        return finish(reportAllServers(checkAllServers(options.path, options.user, password, options.flags),
                                       options, now));
    }
    LdapDirectoryProvider directory;
    directory.readPasswordExpiry(true);
    return finish(
        reportCheck(checkOnce(directory, options.path, options.user, password, options.flags), options, now));
}
