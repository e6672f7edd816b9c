#include "CheckReport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

namespace quorvane {

namespace {

using Lines = std::vector<std::pair<QString, QString>>;

const QString unknown = QStringLiteral("unknown");

QString resultName(CheckOutcome::Result result)
{
    switch (result) {
    case CheckOutcome::Result::Valid:
        return QStringLiteral("valid");
    case CheckOutcome::Result::Failed:
        return QStringLiteral("failed");
    case CheckOutcome::Result::NotTried:
        return QStringLiteral("not tried");
    case CheckOutcome::Result::BadInput:
        break;
    }
    return QStringLiteral("input");
}

QString stepName(CheckStep step)
{
    switch (step) {
    case CheckStep::Connect:
        return QStringLiteral("connect");
    case CheckStep::Tls:
        return QStringLiteral("tls");
    case CheckStep::Bind:
        return QStringLiteral("bind");
    case CheckStep::Read:
        return QStringLiteral("read");
    case CheckStep::Input:
        break;
    }
    return QStringLiteral("input");
}

QString passwordFateName(PasswordFate fate)
{
    switch (fate) {
    case PasswordFate::Sent:
        return QStringLiteral("sent");
    case PasswordFate::NotSent:
        return QStringLiteral("not sent");
    case PasswordFate::None:
        break;
    }
    return QStringLiteral("none");
}

QString seconds(std::chrono::microseconds time)
{
    return QString::number(static_cast<double>(time.count()) / 1e6, 'f', 6);
}

QString milliseconds(std::chrono::microseconds time)
{
    return QStringLiteral("%1 ms").arg(static_cast<double>(time.count()) / 1e3, 0, 'f', 3);
}

QString isoTime(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODate);
}

QString dateWithDaysLeft(const QDateTime& time, const QDateTime& now)
{
    const qint64 days = now.secsTo(time) / 86400;
    return QStringLiteral("%1 (%2)").arg(time.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'")),
                                         days >= 0 ? QStringLiteral("in %1 days").arg(days)
                                                   : QStringLiteral("%1 days ago").arg(-days));
}

QString orNone(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("none") : text;
}

QString serverOf(const CheckOutcome& outcome)
{
    if (outcome.facts) {
        return outcome.facts->server;
    }
    if (outcome.failure && !outcome.failure->server.isEmpty()) {
        return outcome.failure->server;
    }
    return outcome.server;
}

QString mechanismOf(const CheckOutcome& outcome)
{
    if (outcome.facts) {
        return outcome.facts->mechanism;
    }
    return outcome.failure ? outcome.failure->mechanism : QString();
}

QString layerText(int strength)
{
    if (strength == 0) {
        return QStringLiteral("none");
    }
    return strength == 1 ? QStringLiteral("signing") : QStringLiteral("sealing, strength %1").arg(strength);
}

// One fact per line: what is known, "unknown" for what is not. A failed check knows its failure's
// facts only.
Lines factLines(const CheckOutcome& outcome, const QDateTime& now)
{
    const std::optional<CheckFacts>& facts = outcome.facts;
    const auto known = [&](const QString& text) { return !facts ? unknown : orNone(text); };
    Lines lines;
    lines.emplace_back(QStringLiteral("server"), serverOf(outcome).isEmpty() ? unknown : serverOf(outcome));
    lines.emplace_back(QStringLiteral("address"),
                       facts && !facts->address.isEmpty() ? facts->address : unknown);
    lines.emplace_back(QStringLiteral("mechanism"),
                       mechanismOf(outcome).isEmpty() ? unknown : mechanismOf(outcome));
    if (facts && !facts->saslMechanism.isEmpty()) {
        lines.emplace_back(QStringLiteral("SASL mechanism"), facts->saslMechanism);
    }
    if (facts && !facts->whyNtlm.isEmpty()) {
        lines.emplace_back(QStringLiteral("why NTLM"), facts->whyNtlm);
    }
    if (facts && !facts->whyNotKerberos.isEmpty()) {
        lines.emplace_back(QStringLiteral("why not Kerberos"), facts->whyNotKerberos);
    }
    lines.emplace_back(QStringLiteral("security layer"),
                       facts ? layerText(facts->securityStrength) : unknown);
    lines.emplace_back(QStringLiteral("TLS"), known(facts ? facts->tlsVersion : QString()));
    lines.emplace_back(QStringLiteral("certificate subject"),
                       known(facts ? facts->certificateSubject : QString()));
    lines.emplace_back(QStringLiteral("certificate expires"),
                       facts && facts->certificateExpires.isValid()
                           ? dateWithDaysLeft(facts->certificateExpires, now)
                           : known(QString()));
    QString passwordExpires = unknown;
    if (facts && facts->passwordNeverExpires) {
        passwordExpires = QStringLiteral("never");
    } else if (facts && facts->passwordExpires) {
        passwordExpires = dateWithDaysLeft(*facts->passwordExpires, now);
    }
    lines.emplace_back(QStringLiteral("password expires"), passwordExpires);
    lines.emplace_back(QStringLiteral("grace logins left"),
                       facts && facts->graceLogins ? QString::number(*facts->graceLogins) : unknown);
    const std::pair<const char*, std::chrono::microseconds CheckFacts::*> steps[] = {
        { "name lookup", &CheckFacts::lookup }, { "connect", &CheckFacts::connect },
        { "TLS handshake", &CheckFacts::tls },  { "bind", &CheckFacts::bind },
        { "read", &CheckFacts::read },
    };
    for (const auto& [name, step] : steps) {
        lines.emplace_back(QString::fromUtf8(name), facts ? milliseconds((*facts).*step) : unknown);
    }
    lines.emplace_back(QStringLiteral("total"), milliseconds(outcome.total));
    if (const std::optional<FailureFacts>& failure = outcome.failure) {
        lines.emplace_back(QStringLiteral("failed step"), stepName(failure->step));
        lines.emplace_back(QStringLiteral("result code"),
                           failure->resultCode ? QString::number(*failure->resultCode)
                                               : QStringLiteral("none"));
        lines.emplace_back(QStringLiteral("server message"), orNone(failure->serverText));
        lines.emplace_back(QStringLiteral("timed out"),
                           failure->timedOut ? QStringLiteral("yes") : QStringLiteral("no"));
        lines.emplace_back(QStringLiteral("password"), passwordFateName(failure->password));
    }
    return lines;
}

QString linesText(const Lines& lines)
{
    qsizetype width = 0;
    for (const auto& line : lines) {
        width = std::max(width, line.first.size());
    }
    QString text;
    for (const auto& [label, value] : lines) {
        text += (label + u':').leftJustified(width + 2) + value + u'\n';
    }
    return text;
}

QJsonValue textOrNull(const QString& text)
{
    return text.isEmpty() ? QJsonValue() : QJsonValue(text);
}

QJsonObject outcomeJson(const CheckOutcome& outcome)
{
    QJsonObject object;
    object[QStringLiteral("result")] = resultName(outcome.result);
    object[QStringLiteral("verdict")] = outcome.verdict;
    object[QStringLiteral("server")] = textOrNull(serverOf(outcome));
    object[QStringLiteral("mechanism")] = textOrNull(mechanismOf(outcome));
    const std::optional<CheckFacts>& facts = outcome.facts;
    const CheckFacts none;
    const CheckFacts& f = facts ? *facts : none;
    object[QStringLiteral("address")] = textOrNull(f.address);
    object[QStringLiteral("saslMechanism")] = textOrNull(f.saslMechanism);
    object[QStringLiteral("whyNtlm")] = textOrNull(f.whyNtlm);
    object[QStringLiteral("whyNotKerberos")] = textOrNull(f.whyNotKerberos);
    object[QStringLiteral("securityStrength")] = facts ? QJsonValue(f.securityStrength) : QJsonValue();
    object[QStringLiteral("tlsVersion")] = facts ? QJsonValue(orNone(f.tlsVersion)) : QJsonValue();
    object[QStringLiteral("certificateSubject")] = textOrNull(f.certificateSubject);
    object[QStringLiteral("certificateExpires")] =
        f.certificateExpires.isValid() ? QJsonValue(isoTime(f.certificateExpires)) : QJsonValue();
    object[QStringLiteral("passwordExpires")] =
        f.passwordExpires ? QJsonValue(isoTime(*f.passwordExpires)) : QJsonValue();
    object[QStringLiteral("passwordNeverExpires")] =
        facts ? QJsonValue(f.passwordNeverExpires) : QJsonValue();
    object[QStringLiteral("graceLogins")] = f.graceLogins ? QJsonValue(*f.graceLogins) : QJsonValue();
    const auto time = [&](std::chrono::microseconds step) {
        return facts ? QJsonValue(static_cast<double>(step.count()) / 1e6) : QJsonValue();
    };
    object[QStringLiteral("seconds")] = QJsonObject {
        { QStringLiteral("lookup"), time(f.lookup) },
        { QStringLiteral("connect"), time(f.connect) },
        { QStringLiteral("tls"), time(f.tls) },
        { QStringLiteral("bind"), time(f.bind) },
        { QStringLiteral("read"), time(f.read) },
        { QStringLiteral("total"), static_cast<double>(outcome.total.count()) / 1e6 },
    };
    QJsonValue failure;
    if (outcome.failure) {
        const FailureFacts& ff = *outcome.failure;
        failure = QJsonObject {
            { QStringLiteral("step"), stepName(ff.step) },
            { QStringLiteral("server"), textOrNull(ff.server) },
            { QStringLiteral("resultCode"), ff.resultCode ? QJsonValue(*ff.resultCode) : QJsonValue() },
            { QStringLiteral("serverText"), textOrNull(ff.serverText) },
            { QStringLiteral("timedOut"), ff.timedOut },
            { QStringLiteral("password"), passwordFateName(ff.password) },
            { QStringLiteral("firstBytes"), textOrNull(QString::fromLatin1(ff.firstBytes.toHex())) },
        };
    }
    object[QStringLiteral("failure")] = failure;
    return object;
}

QString jsonText(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Indented));
}

// Why a valid logon is still a warning to a monitoring system.
QStringList expiryWarnings(const CheckOutcome& outcome, const QDateTime& now, int warnDays)
{
    QStringList warnings;
    if (!outcome.facts) {
        return warnings;
    }
    const CheckFacts& facts = *outcome.facts;
    const QDateTime soon = now.addDays(warnDays);
    if (facts.certificateExpires.isValid() && facts.certificateExpires <= soon) {
        warnings.append(QStringLiteral("the server's certificate expires %1")
                            .arg(dateWithDaysLeft(facts.certificateExpires, now)));
    }
    if (facts.graceLogins) {
        warnings.append(
            QStringLiteral("the password has expired, %1 grace logins left").arg(*facts.graceLogins));
    } else if (facts.passwordExpires && *facts.passwordExpires <= soon) {
        warnings.append(
            QStringLiteral("the password expires %1").arg(dateWithDaysLeft(*facts.passwordExpires, now)));
    }
    return warnings;
}

QString performanceData(const CheckOutcome& outcome, const QDateTime& now)
{
    QStringList data;
    if (const std::optional<CheckFacts>& facts = outcome.facts) {
        data << QStringLiteral("lookup=%1s").arg(seconds(facts->lookup))
             << QStringLiteral("connect=%1s").arg(seconds(facts->connect))
             << QStringLiteral("tls=%1s").arg(seconds(facts->tls))
             << QStringLiteral("bind=%1s").arg(seconds(facts->bind))
             << QStringLiteral("read=%1s").arg(seconds(facts->read));
        if (facts->certificateExpires.isValid()) {
            data << QStringLiteral("certificate_days=%1").arg(now.secsTo(facts->certificateExpires) / 86400);
        }
        if (facts->passwordExpires) {
            data << QStringLiteral("password_days=%1").arg(now.secsTo(*facts->passwordExpires) / 86400);
        }
    }
    data << QStringLiteral("total=%1s").arg(seconds(outcome.total));
    return data.join(u' ');
}

// A status line is one line, and '|' starts its performance data.
QString statusText(QString text)
{
    return text.replace(u'\n', u' ').replace(u'|', u'/');
}

Report monitoringReport(const QString& state, int status, const QString& text, const QString& data)
{
    Report report;
    report.out = QStringLiteral("LOGON %1 - %2").arg(state, statusText(text));
    if (!data.isEmpty()) {
        report.out += QStringLiteral(" | ") + data;
    }
    report.out += u'\n';
    report.status = status;
    return report;
}

int plainStatus(CheckOutcome::Result result)
{
    switch (result) {
    case CheckOutcome::Result::Valid:
        return exitStatus::valid;
    case CheckOutcome::Result::BadInput:
        return exitStatus::badInput;
    case CheckOutcome::Result::Failed:
    case CheckOutcome::Result::NotTried:
        break;
    }
    return exitStatus::failed;
}

Report monitoringCheck(const CheckOutcome& outcome, int warnDays, const QDateTime& now)
{
    const QString data = performanceData(outcome, now);
    switch (outcome.result) {
    case CheckOutcome::Result::Valid:
        if (const QStringList warnings = expiryWarnings(outcome, now, warnDays); !warnings.isEmpty()) {
            return monitoringReport(
                QStringLiteral("WARNING"), exitStatus::warning,
                outcome.verdict + QStringLiteral("; ") + warnings.join(QStringLiteral("; ")), data);
        }
        return monitoringReport(QStringLiteral("OK"), exitStatus::valid, outcome.verdict, data);
    case CheckOutcome::Result::BadInput:
        return monitoringReport(QStringLiteral("UNKNOWN"), exitStatus::badInput, outcome.verdict, {});
    case CheckOutcome::Result::Failed:
    case CheckOutcome::Result::NotTried:
        break;
    }
    return monitoringReport(QStringLiteral("CRITICAL"), exitStatus::failed, outcome.verdict, data);
}

QString tableText(const std::vector<QStringList>& rows)
{
    std::vector<qsizetype> widths(rows.front().size(), 0);
    for (const QStringList& row : rows) {
        for (qsizetype column = 0; column < row.size(); ++column) {
            widths[column] = std::max(widths[column], row[column].size());
        }
    }
    QString text;
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype column = 0; column < row.size(); ++column) {
            line += column + 1 < row.size() ? row[column].leftJustified(widths[column] + 2) : row[column];
        }
        text += line + u'\n';
    }
    return text;
}

QString reachedText(const CheckOutcome& outcome)
{
    switch (outcome.result) {
    case CheckOutcome::Result::Valid:
        return QStringLiteral("yes");
    case CheckOutcome::Result::NotTried:
        return QStringLiteral("not tried");
    case CheckOutcome::Result::Failed:
    case CheckOutcome::Result::BadInput:
        break;
    }
    return outcome.failure && outcome.failure->step != CheckStep::Connect ? QStringLiteral("yes")
                                                                          : QStringLiteral("no");
}

QStringList serverRow(const CheckOutcome& outcome)
{
    const std::optional<CheckFacts>& facts = outcome.facts;
    const bool tried = outcome.result != CheckOutcome::Result::NotTried;
    return {
        outcome.server,
        reachedText(outcome),
        tried ? milliseconds(outcome.total) : QStringLiteral("-"),
        facts ? orNone(facts->tlsVersion) : unknown,
        facts && facts->certificateExpires.isValid()
            ? facts->certificateExpires.toUTC().toString(QStringLiteral("yyyy-MM-dd"))
            : (facts ? QStringLiteral("none") : unknown),
        mechanismOf(outcome).isEmpty() ? unknown : mechanismOf(outcome),
        outcome.verdict,
    };
}

} // namespace

Report reportCheck(const CheckOutcome& outcome, const CheckOptions& options, const QDateTime& now)
{
    switch (options.output) {
    case CheckOptions::Output::Monitoring:
        return monitoringCheck(outcome, options.warnDays, now);
    case CheckOptions::Output::Json:
        return { jsonText(outcomeJson(outcome)), {}, plainStatus(outcome.result) };
    case CheckOptions::Output::Plain:
        break;
    }
    Report report;
    report.status = plainStatus(outcome.result);
    report.out = outcome.verdict + u'\n';
    // Input refused before any server: there are no facts to tell.
    if (outcome.result != CheckOutcome::Result::BadInput) {
        report.out += linesText(factLines(outcome, now));
    }
    return report;
}

Report reportAllServers(const AllServersOutcome& all, const CheckOptions& options, const QDateTime& now)
{
    if (all.discovery.result != CheckOutcome::Result::Valid) {
        return reportCheck(all.discovery, options, now);
    }
    qsizetype valid = 0;
    for (const CheckOutcome& outcome : all.servers) {
        valid += outcome.result == CheckOutcome::Result::Valid ? 1 : 0;
    }
    const auto count = static_cast<qsizetype>(all.servers.size());
    const QString summary = QStringLiteral("User is valid on %1 of %2 %3")
                                .arg(valid)
                                .arg(count)
                                .arg(count == 1 ? QStringLiteral("server") : QStringLiteral("servers"));
    const int status = valid == count ? exitStatus::valid : exitStatus::failed;
    switch (options.output) {
    case CheckOptions::Output::Monitoring: {
        QStringList problems;
        QStringList data { QStringLiteral("servers=%1").arg(count), QStringLiteral("valid=%1").arg(valid) };
        for (const CheckOutcome& outcome : all.servers) {
            if (outcome.result != CheckOutcome::Result::Valid) {
                problems.append(QStringLiteral("%1: %2").arg(outcome.server, outcome.verdict));
            } else {
                problems.append(expiryWarnings(outcome, now, options.warnDays));
            }
            if (outcome.result != CheckOutcome::Result::NotTried) {
                data.append(QStringLiteral("'%1'=%2s").arg(outcome.server, seconds(outcome.total)));
            }
        }
        const QString text =
            problems.isEmpty() ? summary : summary + QStringLiteral("; ") + problems.join(u"; ");
        if (valid == 0) {
            return monitoringReport(QStringLiteral("CRITICAL"), exitStatus::failed, text, data.join(u' '));
        }
        return problems.isEmpty()
            ? monitoringReport(QStringLiteral("OK"), exitStatus::valid, text, data.join(u' '))
            : monitoringReport(QStringLiteral("WARNING"), exitStatus::warning, text, data.join(u' '));
    }
    case CheckOptions::Output::Json: {
        QJsonArray servers;
        for (const CheckOutcome& outcome : all.servers) {
            QJsonObject row = outcomeJson(outcome);
            row[QStringLiteral("server")] = outcome.server;
            servers.append(row);
        }
        const QJsonObject object { { QStringLiteral("result"),
                                     status == exitStatus::valid ? QStringLiteral("valid")
                                                                 : QStringLiteral("failed") },
                                   { QStringLiteral("verdict"), summary },
                                   { QStringLiteral("servers"), servers } };
        return { jsonText(object), {}, status };
    }
    case CheckOptions::Output::Plain:
        break;
    }
    std::vector<QStringList> rows {
        { QStringLiteral("SERVER"), QStringLiteral("REACHED"), QStringLiteral("TIME"), QStringLiteral("TLS"),
          QStringLiteral("CERTIFICATE EXPIRES"), QStringLiteral("MECHANISM"), QStringLiteral("VERDICT") }
    };
    for (const CheckOutcome& outcome : all.servers) {
        rows.push_back(serverRow(outcome));
    }
    return { summary + u'\n' + tableText(rows), {}, status };
}

Report reportUsageError(const QString& reason, const CheckOptions& options)
{
    switch (options.output) {
    case CheckOptions::Output::Monitoring:
        return monitoringReport(QStringLiteral("UNKNOWN"), exitStatus::badInput, reason, {});
    case CheckOptions::Output::Json: {
        const QJsonObject object { { QStringLiteral("result"), QStringLiteral("input") },
                                   { QStringLiteral("verdict"), reason } };
        return { jsonText(object), {}, exitStatus::badInput };
    }
    case CheckOptions::Output::Plain:
        break;
    }
    return {
        {},
        QStringLiteral("quorvane-check: %1\nTry 'quorvane-check --help' for more information.\n").arg(reason),
        exitStatus::badInput
    };
}

} // namespace quorvane
