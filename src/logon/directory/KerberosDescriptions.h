#pragma once

#include <QString>

namespace quorvane {

// Our own code, no krb5 one: a KDC had answered (or taken a request made from the password), and
// then no usable answer came. Kerberos was tried, so this is the verdict, not a reason for NTLM.
constexpr long kdcGaveNoUsableAnswer = -1;

// What the Kerberos exchange found, as far as the description needs it.
struct KerberosFacts
{
    long code = 0; // a krb5 error code (krb5_error_code) or kdcGaveNoUsableAnswer, 0 for none
    QString library; // the library's own text for it, or what the KDCs did
    QString principal; // the client principal asked for
    QString realm;
    QString service; // ldap/<host>, for a refused service name
    QString serverTime; // the server's clock (GeneralizedTime), when it said
    QString passwordSentTo {}; // the KDC that got a request made from the password and gave no usable answer
    bool passwordUsed = false; // a request made from the password went to a KDC
    bool initialTicket = false; // the KDC granted it: the password or the user's ticket was good
};

// Whether Kerberos could not be tried at all: no realm, no KDC found or reachable, or the server's
// name unknown to it. Only then may NTLM be tried: any other answer was the password's attempt.
// An unknown service name counts only once the initial ticket was granted: answered to the request
// made from the password, it would make NTLM a second attempt.
bool kerberosCouldNotBeTried(const KerberosFacts& facts);

// The refusal in plain words: wrong password, no such user, disabled, expired, clock skew, ...
QString describeKerberosFailure(const KerberosFacts& facts);

} // namespace quorvane
