#include "FlagsConversion.h"

#include "DescriptionText.h"
#include "Failure.h"

#include <cstdint>
#include <limits>

namespace quorvane {

namespace {

constexpr std::int64_t lowest = std::numeric_limits<qint32>::min();
constexpr std::int64_t highest = std::numeric_limits<qint32>::max();

int digitValue(QChar c, int base)
{
    int value = -1;
    if (c >= u'0' && c <= u'9') {
        value = c.unicode() - u'0';
    } else if (c >= u'a' && c <= u'f') {
        value = c.unicode() - u'a' + 10;
    } else if (c >= u'A' && c <= u'F') {
        value = c.unicode() - u'A' + 10;
    }
    return value < base ? value : -1;
}

[[noreturn]] void notANumber(const QString& text)
{
    throw Failure(QStringLiteral("The bind flags \"%1\" are not a number. Enter a whole number, in decimal "
                                 "such as 5 or in hexadecimal such as 0x205.")
                      .arg(quoteForDescription(text)));
}

} // namespace

qint32 parseBindFlags(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty()) {
        throw Failure(
            text.isEmpty()
                ? QStringLiteral("The bind flags field is empty. Enter a whole number such as 5 or 0x205.")
                : QStringLiteral("The bind flags field holds only blanks. Enter a whole number such as 5 "
                                 "or 0x205."));
    }
    qsizetype at = 0;
    bool negative = false;
    if (trimmed.at(0) == u'+' || trimmed.at(0) == u'-') {
        negative = trimmed.at(0) == u'-';
        ++at;
    }
    int base = 10;
    if (trimmed.size() - at > 2 && trimmed.at(at) == u'0'
        && (trimmed.at(at + 1) == u'x' || trimmed.at(at + 1) == u'X')) {
        base = 16;
        at += 2;
    }
    if (at == trimmed.size()) {
        notANumber(text);
    }
    // Accumulate the magnitude with an early stop, so a thousand digits cannot overflow.
    std::int64_t magnitude = 0;
    bool tooLarge = false;
    for (; at < trimmed.size(); ++at) {
        const int digit = digitValue(trimmed.at(at), base);
        if (digit < 0) {
            notANumber(text);
        }
        if (!tooLarge) {
            magnitude = magnitude * base + digit;
            tooLarge = magnitude > highest + 1;
        }
    }
    const std::int64_t value = negative ? -magnitude : magnitude;
    if (tooLarge || value < lowest || value > highest) {
        throw Failure(QStringLiteral("The bind flags \"%1\" are outside the range of a signed 32-bit number "
                                     "(-2147483648 to 2147483647).")
                          .arg(quoteForDescription(text)));
    }
    return static_cast<qint32>(value);
}

} // namespace quorvane
