#pragma once

#include <QString>
#include <QStringList>

namespace quorvane {

// What the command line asks for. The password is never among it: it comes from the prompt,
// standard input or a private file.
struct CheckOptions
{
    enum class Output
    {
        Plain,
        Json,
        Monitoring
    };

    QString path;
    QString user;
    QString flags = QStringLiteral("5"); // the window's sample value
    bool passwordFromStdin = false;
    QString passwordFile;
    Output output = Output::Plain;
    int warnDays = 14;
    bool allServers = false;
    bool help = false;
    bool version = false;
    // Why the command line cannot be used; the output mode above is still what it asked for, so the
    // refusal can be written in that form.
    QString usageError;
};

// The arguments after the program's name. Never quotes an argument it does not know: a stray one
// may be a password typed in the wrong place.
CheckOptions parseCheckOptions(const QStringList& arguments);

QString checkUsageText();

} // namespace quorvane
