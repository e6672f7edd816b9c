#pragma once

#include <QString>

namespace quorvane {

// The first line of standard input, without its line end.
QString readPasswordFromStdin();

// The first line of a file that only its owner (this user, or root) can read, as ssh demands of
// its keys. Throws Failure naming the file, never quoting it.
QString readPasswordFile(const QString& fileName);

// Asks at the terminal on standard input, with echo off until the line is read, even when a signal
// ends the program in between.
QString promptForPassword(const QString& user);

} // namespace quorvane
