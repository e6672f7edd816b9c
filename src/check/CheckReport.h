#pragma once

#include "CheckOptions.h"
#include "CheckRun.h"

#include <QDateTime>
#include <QString>

namespace quorvane {

namespace exitStatus {
constexpr int valid = 0;
constexpr int warning = 1; // --monitoring only
constexpr int failed = 2;
constexpr int badInput = 3;
} // namespace exitStatus

// What to print where, and the exit status.
struct Report
{
    QString out;
    QString err;
    int status = exitStatus::badInput;
};

// Written in the output form the options ask for; `now` decides what expires soon.
Report reportCheck(const CheckOutcome& outcome, const CheckOptions& options, const QDateTime& now);
Report reportAllServers(const AllServersOutcome& all, const CheckOptions& options, const QDateTime& now);
// A command line or password input that cannot be used.
Report reportUsageError(const QString& reason, const CheckOptions& options);

} // namespace quorvane
