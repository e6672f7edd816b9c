#pragma once

#include <QString>

namespace quorvane {

// What the Kerberos exchange found, as far as the description needs it.
struct KerberosFacts
{
    long code = 0; // a krb5 error code (krb5_error_code), 0 for none
    QString library; // the library's own text for it
    QString principal; // the client principal asked for
    QString realm;
    QString service; // ldap/<host>, for a refused service name
    QString serverTime; // the server's clock (GeneralizedTime), when it said
};

// Whether Kerberos could not be tried at all: no realm, no KDC found or reachable, or the server's
// name unknown to it. Only then may NTLM be tried: any other answer was the password's attempt.
bool kerberosCouldNotBeTried(long code);

// The refusal in plain words: wrong password, no such user, disabled, expired, clock skew, ...
QString describeKerberosFailure(const KerberosFacts& facts);

} // namespace quorvane
