#include "ApplicationVersion.h"
#include "CheckOptions.h"
#include "CheckReport.h"
#include "CheckRun.h"
#include "Failure.h"
#include "LdapDirectoryProvider.h"
#include "PasswordInput.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>
#include <sys/resource.h>
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
    // The password sits in this process's memory: no core file may hold it, and no other process of
    // the user may read it by ptrace.
    const rlimit noCore { 0, 0 };
    setrlimit(RLIMIT_CORE, &noCore);
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // libldap writes to sockets that a server may already have closed.
    std::signal(SIGPIPE, SIG_IGN);

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
