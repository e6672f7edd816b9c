#pragma once

#include <QDateTime>
#include <QString>

#include <chrono>
#include <memory>
#include <optional>

namespace quorvane {

// What a successful check learned. The window shows none of it ("User is valid" is all it says).
struct CheckFacts
{
    QString server; // host:port as reached
    QString address; // the address connected to
    QString mechanism; // "simple", "anonymous", "Kerberos" or "NTLM"
    QString saslMechanism; // "GSS-SPNEGO" or "GSSAPI", for a negotiated bind
    QString whyNtlm; // why Kerberos could not be used, when NTLM was
    QString whyNotKerberos; // why a server offering Kerberos got a simple bind instead
    int securityStrength = 0; // of a negotiated layer: 0 none, 1 signing, 56 sealing
    QString tlsVersion; // empty without TLS
    QString certificateSubject;
    QDateTime certificateExpires;
    // What the directory said of the password's expiry; empty where it said nothing.
    std::optional<QDateTime> passwordExpires; // Active Directory, or a password policy's warning
    bool passwordNeverExpires = false; // Active Directory's answer for an account exempt from expiry
    std::optional<int> graceLogins; // left after expiry, from a password policy
    // Each step's time; a step not taken stays zero.
    std::chrono::microseconds lookup {}, connect {}, tls {}, bind {}, read {};
};

// An opened directory object; destroying it unbinds and closes its connection.
class DirectoryObject
{
public:
    virtual ~DirectoryObject() = default;
    virtual void requireContainer() const = 0; // throws Failure when the object is no container
    virtual CheckFacts facts() const { return {}; }
};

class DirectoryProvider
{
public:
    virtual ~DirectoryProvider() = default;
    // Opens the object at the path with the credentials, or throws Failure with the reason.
    virtual std::unique_ptr<DirectoryObject> open(const QString& path, const QString& user,
                                                  const QString& password, qint32 flags) = 0;
};

} // namespace quorvane
