#include "FuzzSupport.h"
#include "LdapDescriptions.h"

#include <QString>
#include <QStringList>

#include <ldap.h>

#include <cstdint>
#include <cstring>
#include <string_view>

using namespace quorvane;
using fuzz::require;

namespace {

// Separates the texts inside one input; 0xFF never occurs in UTF-8, so it costs no text variety.
constexpr char fieldSeparator = '\xff';
constexpr qsizetype maxReferrals = 8;

const QString where = QStringLiteral("dc1.example.com:389");

struct Texts
{
    QString diagnostic;
    QString matchedDn;
    QString bindName;
    QString dn;
    QStringList referrals;
};

Texts splitTexts(std::string_view rest)
{
    QList<QString> fields;
    while (fields.size() < 4 + maxReferrals) {
        const std::size_t end = rest.find(fieldSeparator);
        fields.append(QString::fromUtf8(rest.data(), static_cast<qsizetype>(std::min(end, rest.size()))));
        if (end == std::string_view::npos) {
            break;
        }
        rest.remove_prefix(end + 1);
    }
    fields.resize(std::max<qsizetype>(fields.size(), 4));
    return { fields.at(0), fields.at(1), fields.at(2), fields.at(3), fields.mid(4) };
}

bool isWordCharacter(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9') || u == u'_';
}

bool isHexDigit(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
}

// The first Active Directory "data NNN" sub-code: "data " at a word start, then three to eight hex
// digits that end a word. Lower-cased; empty when there is none.
QString referenceSubCode(const QString& diagnostic)
{
    for (qsizetype at = diagnostic.indexOf(u"data "); at >= 0; at = diagnostic.indexOf(u"data ", at + 1)) {
        if (at > 0 && isWordCharacter(diagnostic.at(at - 1))) {
            continue;
        }
        const qsizetype first = at + 5;
        qsizetype end = first;
        while (end < diagnostic.size() && isHexDigit(diagnostic.at(end))) {
            ++end;
        }
        const qsizetype length = end - first;
        if (length >= 3 && length <= 8
            && (end == diagnostic.size() || !isWordCharacter(diagnostic.at(end)))) {
            return diagnostic.mid(first, length).toLower();
        }
    }
    return {};
}

void checkReason(const QString& diagnostic)
{
    const QString reason = activeDirectoryReason(diagnostic);
    const QString subCode = referenceSubCode(diagnostic);
    static const QStringList passwordWrong { QStringLiteral("525"), QStringLiteral("52e") };
    // Lockout and an unknown domain are answered before the password is looked at.
    static const QStringList passwordNotChecked { QStringLiteral("775"), QStringLiteral("51f") };
    static const QStringList passwordRight { QStringLiteral("530"), QStringLiteral("531"),
                                             QStringLiteral("532"), QStringLiteral("533"),
                                             QStringLiteral("701"), QStringLiteral("773") };
    const bool known = passwordWrong.contains(subCode) || passwordRight.contains(subCode)
        || passwordNotChecked.contains(subCode);
    require(reason.isEmpty() != known, "Active Directory reason does not match the sub-code",
            diagnostic + QStringLiteral(" -> [") + subCode + QStringLiteral("] ") + reason);
    // Telling someone their password was right when it was not would be worse than saying nothing.
    require(reason.contains(u"password itself was right") == passwordRight.contains(subCode),
            "Active Directory reason misstates whether the password was right",
            diagnostic + QStringLiteral(" -> [") + subCode + QStringLiteral("] ") + reason);
}

bool referenceDemandsProtection(int code, const QString& diagnostic)
{
    return code == LDAP_CONFIDENTIALITY_REQUIRED
        || (code == LDAP_STRONG_AUTH_REQUIRED
            && (diagnostic.contains(u"00002028")
                || diagnostic.toCaseFolded().contains(u"transport encryption required")));
}

// No description may grow with the length of a text it quotes, only with the number of referrals.
qsizetype sizeBound(const QString& libraryText, const Texts& texts)
{
    return 600 + where.size() + libraryText.size() + diagnosticQuoteLimit + 1 + 2 * (300 + 1) + (200 + 1)
        + texts.referrals.size() * (200 + 1 + 2);
}

void checkCommon(const QString& description, const QString& result, qsizetype bound, const char* what)
{
    require(description.contains(result), what, description);
    require(description.size() <= bound, "description grows with its input", description.left(300));
    require(!fuzz::hasControlCharacter(description), "description carries a raw control character",
            description);
}

// At most five referrals are quoted, the rest counted: a server may send thousands.
void checkReferrals(const QString& text, const QStringList& referrals, const char* invariant)
{
    for (const QString& url : referrals.mid(0, 5)) {
        require(text.contains(fuzz::referenceQuote(url, 200)), invariant, text);
    }
    if (referrals.size() > 5) {
        require(text.contains(QStringLiteral(" and %1 more").arg(referrals.size() - 5)), invariant, text);
    }
}

void checkDescriptions(int code, int policyError, const Texts& texts)
{
    const QString libraryText = QString::fromUtf8(ldap_err2string(code));
    const QString result = describeLdapResult(code, texts.diagnostic);
    require(result.startsWith(libraryText), "result does not begin with libldap's text", result);
    const QString trimmed = texts.diagnostic.trimmed();
    if (trimmed.isEmpty()) {
        require(result.size() <= libraryText.size() + 1, "result invents a diagnostic", result);
    } else {
        require(result.contains(fuzz::referenceQuote(trimmed, diagnosticQuoteLimit)),
                "result does not quote the diagnostic cut and visible", result.left(300));
    }
    require(result.toUtf8().size() < static_cast<qsizetype>(fuzz::descriptionByteLimit),
            "result is not bounded", result.left(300));
    require(!fuzz::hasControlCharacter(result), "result carries a raw control character", result);

    const qsizetype bound = sizeBound(libraryText, texts);
    const bool demands = referenceDemandsProtection(code, texts.diagnostic);
    const QString advice = QStringLiteral("LDAPS:// path.");

    const QString policy = passwordPolicyReason(policyError);
    require(policy.isEmpty() == (policyError == noPolicyError), "a policy error went unexplained",
            QString::number(policyError));
    require(policy.size() < 200 && !fuzz::hasControlCharacter(policy),
            "policy reason is not a short plain text", policy);

    const QString refusal =
        describeBindRefusal(where, texts.bindName, code, texts.diagnostic, texts.referrals, policyError);
    checkCommon(refusal, result, bound, "bind refusal lost the result");
    if (!texts.bindName.isEmpty()) {
        require(refusal.contains(fuzz::referenceQuote(texts.bindName, 200)),
                "bind refusal misquotes the name", refusal);
    }
    if (!policy.isEmpty()) {
        // The policy control is the server's own verdict; it outranks any reading of the diagnostic.
        require(refusal.endsWith(policy), "bind refusal drops the policy reason", refusal);
    } else if (code == LDAP_INVALID_CREDENTIALS) {
        const QString reason = activeDirectoryReason(texts.diagnostic);
        require(reason.isEmpty() || refusal.endsWith(reason), "bind refusal drops the reason", refusal);
    } else {
        require(refusal.endsWith(advice) == demands, "bind refusal misjudges a demand for protection",
                refusal);
    }
    if (code == LDAP_REFERRAL && policy.isEmpty()) {
        checkReferrals(refusal, texts.referrals, "bind refusal drops a referral");
    }

    const QString failure = describeObjectFailure(where, texts.dn, texts.bindName, code, texts.diagnostic,
                                                  texts.matchedDn, texts.referrals);
    checkCommon(failure, result, bound, "object failure lost the result");
    require(failure.contains(u'"' + fuzz::referenceQuote(texts.dn, 300) + u'"'),
            "object failure misquotes the DN", failure);
    if (code == LDAP_NO_SUCH_OBJECT && !texts.matchedDn.isEmpty()) {
        require(failure.contains(fuzz::referenceQuote(texts.matchedDn, 300)),
                "object failure drops the nearest entry", failure);
    }
    if (code == LDAP_REFERRAL) {
        checkReferrals(failure, texts.referrals, "object failure drops a referral");
    }
    require(failure.endsWith(advice) == demands, "object failure misjudges a demand for protection", failure);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The result code, then the password-policy error, then the texts.
    int numbers[2] = { 0, noPolicyError };
    const std::size_t skip = std::min(size, sizeof numbers);
    if (skip > 0) {
        std::memcpy(numbers, data, skip);
    }
    const Texts texts = splitTexts(std::string_view(reinterpret_cast<const char*>(data) + skip, size - skip));
    checkReason(texts.diagnostic);
    checkDescriptions(numbers[0], numbers[1], texts);
    return 0;
}
