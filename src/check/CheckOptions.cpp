#include "CheckOptions.h"

#include <algorithm>
#include <iterator>
#include <optional>

namespace quorvane {

namespace {

// What a path begins with; anything else is refused without being shown.
constexpr const char* schemes[] = { "LDAP:", "LDAPS:", "GC:" };

constexpr int mostWarnDays = 3650;

bool isPasswordOption(const QString& argument)
{
    // -wSECRET is getopt's way of writing -w SECRET.
    return argument.startsWith(QStringLiteral("-w")) || argument == QStringLiteral("--password")
        || argument.startsWith(QStringLiteral("--password="));
}

} // namespace

CheckOptions parseCheckOptions(const QStringList& arguments)
{
    CheckOptions options;
    // The output mode decides how a refusal is written, so it is known before anything is refused.
    for (const QString& argument : arguments) {
        if (argument == QStringLiteral("--")) {
            break;
        }
        if (argument == QStringLiteral("--json")) {
            options.output = CheckOptions::Output::Json;
        } else if (argument == QStringLiteral("--monitoring")) {
            options.output = CheckOptions::Output::Monitoring;
        }
    }
    const auto refuse = [&](const QString& reason) {
        if (options.usageError.isEmpty()) {
            options.usageError = reason;
        }
    };
    bool json = false;
    bool monitoring = false;
    bool optionsEnded = false;
    for (qsizetype at = 0; at < arguments.size() && options.usageError.isEmpty(); ++at) {
        const QString& argument = arguments.at(at);
        if (optionsEnded || !argument.startsWith(u'-') || argument == QStringLiteral("-")) {
            if (!options.path.isNull()) {
                refuse(QStringLiteral("more than one LDAP path given (argument %1)").arg(at + 1));
            }
            options.path = argument;
            continue;
        }
        if (argument == QStringLiteral("--")) {
            optionsEnded = true;
            continue;
        }
        if (isPasswordOption(argument)) {
            refuse(QStringLiteral("%1: a password on the command line can be read by every user of this "
                                  "machine in the process list, and lands in shell history; type it at "
                                  "the prompt, or use --password-stdin or --password-file")
                       .arg(argument.startsWith(QStringLiteral("-w")) ? QStringLiteral("-w")
                                                                      : QStringLiteral("--password")));
            break;
        }
        const qsizetype equals = argument.indexOf(u'=');
        const QString name =
            argument.startsWith(QStringLiteral("--")) && equals > 0 ? argument.left(equals) : argument;
        const auto value = [&]() -> std::optional<QString> {
            if (name.size() != argument.size()) {
                return argument.mid(equals + 1);
            }
            if (at + 1 < arguments.size()) {
                return arguments.at(++at);
            }
            refuse(QStringLiteral("%1 needs a value").arg(name));
            return std::nullopt;
        };
        const bool takesValue = name == QStringLiteral("--user") || name == QStringLiteral("-u")
            || name == QStringLiteral("--flags") || name == QStringLiteral("--password-file")
            || name == QStringLiteral("--warn-days");
        if (!takesValue && name.size() != argument.size()) {
            refuse(QStringLiteral("%1 takes no value").arg(name));
        } else if (name == QStringLiteral("--user") || name == QStringLiteral("-u")) {
            options.user = value().value_or(QString());
        } else if (name == QStringLiteral("--flags")) {
            options.flags = value().value_or(QString());
        } else if (name == QStringLiteral("--password-file")) {
            options.passwordFile = value().value_or(QString());
            if (options.passwordFile.isEmpty()) {
                refuse(QStringLiteral("--password-file needs a file name"));
            }
        } else if (name == QStringLiteral("--warn-days")) {
            bool ok = false;
            const QString days = value().value_or(QString());
            options.warnDays = days.toInt(&ok);
            if (!ok || options.warnDays < 0 || options.warnDays > mostWarnDays) {
                refuse(QStringLiteral("--warn-days takes a whole number of days from 0 to %1")
                           .arg(mostWarnDays));
            }
        } else if (name == QStringLiteral("--password-stdin")) {
            options.passwordFromStdin = true;
        } else if (name == QStringLiteral("--json")) {
            json = true;
        } else if (name == QStringLiteral("--monitoring")) {
            monitoring = true;
        } else if (name == QStringLiteral("--all-servers")) {
            options.allServers = true;
        } else if (name == QStringLiteral("--help") || name == QStringLiteral("-h")) {
            options.help = true;
        } else if (name == QStringLiteral("--version") || name == QStringLiteral("-V")) {
            options.version = true;
        } else {
            refuse(QStringLiteral("argument %1 is no option of quorvane-check").arg(at + 1));
        }
    }
    if (json && monitoring) {
        refuse(QStringLiteral("--json and --monitoring cannot be combined"));
    }
    if (options.passwordFromStdin && !options.passwordFile.isEmpty()) {
        refuse(QStringLiteral("--password-stdin and --password-file cannot be combined"));
    }
    const bool schemed = std::any_of(std::begin(schemes), std::end(schemes), [&](const char* scheme) {
        return options.path.startsWith(QLatin1String(scheme), Qt::CaseInsensitive);
    });
    if (!options.path.isNull() && !schemed) {
        // Not quoted: a stray argument may be a password typed after --user.
        refuse(QStringLiteral("the LDAP path must begin with LDAP://, LDAPS:// or GC://"));
    }
    if (options.path.isNull() && !options.help && !options.version) {
        refuse(QStringLiteral("no LDAP path given"));
    }
    return options;
}

QString checkUsageText()
{
    return QStringLiteral(
        "Usage: quorvane-check [OPTIONS] PATH\n"
        "Checks whether the directory at the LDAP path PATH accepts a user name and password, as the\n"
        "Quorvane window's Test Logon does, and reports the verdict and what the check learned.\n"
        "\n"
        "  -u, --user NAME        user logon name (a DN, user@domain, DOMAIN\\user or a plain name);\n"
        "                         none: an anonymous bind\n"
        "      --flags N          bind flags, decimal or 0x hexadecimal (default 5)\n"
        "      --password-stdin   read the password from the first line of standard input\n"
        "      --password-file F  read it from the first line of F, which only its owner may read\n"
        "                         (without either, a user's password is asked for at the terminal)\n"
        "      --json             one JSON object instead of lines of text\n"
        "      --monitoring       one monitoring-plugin status line with performance data\n"
        "      --warn-days D      monitoring: WARNING when the certificate or password expires within\n"
        "                         D days (default 14)\n"
        "      --all-servers      check every server of the path's domain, one row each; the password\n"
        "                         goes to one server until one server has accepted it\n"
        "  -h, --help             this text\n"
        "  -V, --version          the version\n"
        "\n"
        "Exit status: 0 the user is valid, 1 warning (--monitoring only), 2 the check failed,\n"
        "3 bad usage or input. See quorvane-check(1).\n");
}

} // namespace quorvane
