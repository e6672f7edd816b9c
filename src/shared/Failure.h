#pragma once

#include <QByteArray>
#include <QString>

#include <optional>
#include <stdexcept>

namespace quorvane {

// The step of a check that failed, in the order a check takes them.
enum class CheckStep
{
    Input,
    Connect,
    Tls,
    Bind,
    Read
};

// Whether the password, or anything derived from it, left this machine.
enum class PasswordFate
{
    None,
    NotSent,
    Sent
};

// What a failed step knew. The description is written from these; callers that report on their
// own (scripts, monitoring) read them instead of parsing sentences.
struct FailureFacts
{
    CheckStep step = CheckStep::Input;
    QString server; // host:port reached; empty before one was
    // The LDAP result code: the server's answer, or libldap's own (negative) for an answer lost.
    std::optional<int> resultCode;
    QString serverText; // the server's own diagnostic message
    bool timedOut = false; // a limit of the check ran out
    QByteArray firstBytes; // the start of an answer that was not LDAP
    PasswordFate password = PasswordFate::None;
    QString mechanism; // "simple", "anonymous", "Kerberos", "NTLM"; empty before the bind
};

// The one failure type: what an operation could not do, in words the user will see, and the facts
// those words were written from.
class Failure : public std::runtime_error
{
public:
    explicit Failure(const QString& description)
        : std::runtime_error(description.toStdString())
    {}
    Failure(const FailureFacts& facts, const QString& description)
        : std::runtime_error(description.toStdString())
        , m_facts(facts)
        , m_hasFacts(true)
    {}
    QString description() const { return QString::fromUtf8(what()); }
    const FailureFacts& facts() const { return m_facts; }
    bool hasFacts() const { return m_hasFacts; }

private:
    FailureFacts m_facts;
    bool m_hasFacts = false;
};

} // namespace quorvane
