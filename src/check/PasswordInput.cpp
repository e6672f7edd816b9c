#include "PasswordInput.h"

#include "Failure.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace quorvane {

namespace {

// Longer than any password; a file or pipe that never ends a line cannot make us read forever.
constexpr qsizetype longestLine = 4096;
// A pipe that stays open without a line must not hold a script or a monitoring run forever.
constexpr int stdinPatienceMs = 30000;

// Reads byte by byte so nothing after the line is consumed; one byte more than the longest line
// tells a line that is too long.
QByteArray readLineBytes(int fd, int waitMs = -1)
{
    QByteArray line;
    char c = 0;
    while (line.size() <= longestLine) {
        pollfd readable { fd, POLLIN, 0 };
        if (waitMs >= 0 && ::poll(&readable, 1, waitMs) == 0) {
            throw Failure(QStringLiteral("no password line came on standard input within %1 seconds")
                              .arg(waitMs / 1000));
        }
        const ssize_t got = ::read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0 || c == '\n') {
            break;
        }
        line.append(c);
    }
    return line;
}

QString passwordText(QByteArray line)
{
    if (line.size() > longestLine) {
        throw Failure(QStringLiteral("the password line is longer than %1 bytes").arg(longestLine));
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    return QString::fromUtf8(line);
}

// Both types share their names with functions.
using SignalAction = struct sigaction;
using FileStatus = struct stat;

termios savedTerminal {};

void restoreTerminalAndDie(int signalNumber)
{
    // Both calls are async-signal-safe; the default action then ends the program.
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// While the prompt waits: a signal that ends the program puts the terminal's echo back first, and
// one that would stop it is ignored (the shell would get the terminal back without its echo). As
// they were again once the prompt ends, however it ends.
class PromptSignals
{
public:
    PromptSignals()
    {
        for (std::size_t i = 0; i < std::size(handled); ++i) {
            SignalAction action {};
            action.sa_handler = i < endingSignals ? restoreTerminalAndDie : SIG_IGN;
            sigemptyset(&action.sa_mask);
            sigaction(handled[i], &action, &m_previous[i]);
        }
    }
    ~PromptSignals()
    {
        for (std::size_t i = 0; i < std::size(handled); ++i) {
            sigaction(handled[i], &m_previous[i], nullptr);
        }
    }
    PromptSignals(const PromptSignals&) = delete;
    PromptSignals& operator=(const PromptSignals&) = delete;

private:
    static constexpr std::size_t endingSignals = 4;
    static constexpr int handled[] = { SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU };
    SignalAction m_previous[std::size(handled)] {};
};

} // namespace

QString readPasswordFromStdin()
{
    return passwordText(readLineBytes(STDIN_FILENO, stdinPatienceMs));
}

QString readPasswordFile(const QString& fileName)
{
    const QByteArray name = fileName.toLocal8Bit();
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        throw Failure(QStringLiteral("the password file %1 cannot be opened: %2")
                          .arg(fileName, QString::fromLocal8Bit(std::strerror(errno))));
    }
    // Checked on the open file, so the file checked is the file read.
    FileStatus status {};
    const bool stated = ::fstat(fd, &status) == 0;
    QString refusal;
    if (!stated || !S_ISREG(status.st_mode)) {
        refusal = QStringLiteral("the password file %1 is not a regular file").arg(fileName);
    } else if (status.st_uid != ::geteuid() && status.st_uid != 0) {
        refusal = QStringLiteral("the password file %1 belongs to another user").arg(fileName);
    } else if ((status.st_mode & 077) != 0) {
        refusal = QStringLiteral("the password file %1 can be accessed by its group or by others (mode "
                                 "%2); make it private with chmod 600")
                      .arg(fileName)
                      .arg(status.st_mode & 07777, 4, 8, QChar(u'0'));
    }
    if (!refusal.isEmpty()) {
        ::close(fd);
        throw Failure(refusal);
    }
    const QByteArray line = readLineBytes(fd);
    ::close(fd);
    return passwordText(line);
}

QString promptForPassword(const QString& user)
{
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) {
        throw Failure(QStringLiteral("cannot turn off the terminal's echo for the password prompt"));
    }
    const PromptSignals duringPrompt;
    termios silent = savedTerminal;
    silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    silent.c_lflag |= ECHONL;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent) != 0) {
        throw Failure(QStringLiteral("cannot turn off the terminal's echo for the password prompt"));
    }
    // Only once echo is off: a password typed ahead of the prompt would otherwise show.
    std::fprintf(stderr, "Password for %s: ", user.toUtf8().constData());
    std::fflush(stderr);
    const QByteArray line = readLineBytes(STDIN_FILENO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &savedTerminal);
    return passwordText(line);
}

} // namespace quorvane
