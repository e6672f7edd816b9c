#include "DescriptionText.h"
#include "Failure.h"
#include "FlagsConversion.h"
#include "FuzzSupport.h"

#include <QRegularExpression>
#include <QString>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

using namespace quorvane;
using fuzz::require;

namespace {

enum class Verdict
{
    Value,
    Empty,
    OnlyBlanks,
    NotANumber,
    OutOfRange,
};

struct Expected
{
    Verdict verdict = Verdict::Value;
    qint32 value = 0;
};

// What the flags text means, worked out without the product's digit loop: a regular expression
// for the shape, std::from_chars on at most ten significant digits for the value.
Expected referenceFlags(const QString& text)
{
    if (text.isEmpty()) {
        return { Verdict::Empty };
    }
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && text.at(begin).isSpace()) {
        ++begin;
    }
    while (end > begin && text.at(end - 1).isSpace()) {
        --end;
    }
    if (begin == end) {
        return { Verdict::OnlyBlanks };
    }
    std::string ascii;
    for (qsizetype i = begin; i < end; ++i) {
        const char16_t unit = text.at(i).unicode();
        if (unit > 0x7f) {
            return { Verdict::NotANumber }; // no digit, sign or blank outside ASCII counts inside
        }
        ascii.push_back(static_cast<char>(unit));
    }
    static const QRegularExpression shape(QStringLiteral("\\A([+-]?)(?:0[xX]([0-9A-Fa-f]+)|([0-9]+))\\z"));
    const QRegularExpressionMatch match =
        shape.match(QString::fromLatin1(ascii.data(), static_cast<qsizetype>(ascii.size())));
    if (!match.hasMatch()) {
        return { Verdict::NotANumber };
    }
    const bool hex = match.capturedLength(2) > 0;
    const std::string digits = (hex ? match.captured(2) : match.captured(3)).toStdString();
    const std::string_view significant =
        std::string_view(digits).substr(std::min(digits.find_first_not_of('0'), digits.size()));
    if (significant.size() > 10) {
        return { Verdict::OutOfRange };
    }
    std::int64_t magnitude = 0;
    const auto [parsedEnd, error] = std::from_chars(
        significant.data(), significant.data() + significant.size(), magnitude, hex ? 16 : 10);
    if (!significant.empty()
        && (error != std::errc() || parsedEnd != significant.data() + significant.size())) {
        return { Verdict::OutOfRange };
    }
    const std::int64_t value = match.captured(1) == u"-" ? -magnitude : magnitude;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max()) {
        return { Verdict::OutOfRange };
    }
    return { Verdict::Value, static_cast<qint32>(value) };
}

const char16_t* verdictWords(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Empty:
        return u"field is empty";
    case Verdict::OnlyBlanks:
        return u"holds only blanks";
    case Verdict::NotANumber:
        return u"are not a number";
    case Verdict::OutOfRange:
        return u"are outside the range";
    case Verdict::Value:
        break;
    }
    return u"";
}

void checkFlags(const QString& text)
{
    const Expected expected = referenceFlags(text);
    qint32 value = 0;
    try {
        value = parseBindFlags(text);
    } catch (const Failure& failure) {
        const std::string_view bytes(failure.what());
        const QString description = failure.description();
        require(expected.verdict != Verdict::Value, "refused a text the reference reads as a number",
                text + QStringLiteral(" -> ") + description);
        require(description.contains(QString::fromUtf16(verdictWords(expected.verdict))),
                "refusal names a different fault than the reference",
                text + QStringLiteral(" -> ") + description);
        require(bytes.size() < fuzz::descriptionByteLimit, "flags description is not bounded",
                description.left(200));
        require(!fuzz::hasControlByte(bytes), "flags description carries a raw control character",
                description);
        if (expected.verdict == Verdict::NotANumber || expected.verdict == Verdict::OutOfRange) {
            const QString quoted = fuzz::afterUtf8(u'"' + fuzz::referenceQuote(text, 80) + u'"');
            require(description.contains(quoted),
                    "flags description quotes the text as typed, cut and visible",
                    text + QStringLiteral(" -> ") + description);
        }
        return;
    }
    require(expected.verdict == Verdict::Value, "accepted a text the reference refuses",
            text + QStringLiteral(" -> ") + QString::number(value));
    require(value == expected.value, "value differs from the reference",
            text + QStringLiteral(" -> ") + QString::number(value) + QStringLiteral(" expected ")
                + QString::number(expected.value));
}

void checkQuote(const QString& text, qsizetype limit)
{
    const QString quoted = quoteForDescription(text, limit);
    require(quoted == fuzz::referenceQuote(text, limit), "quoteForDescription differs from the reference",
            quoted + QStringLiteral(" | limit ") + QString::number(limit));
    require(!fuzz::hasControlCharacter(quoted), "quoted text carries a raw control character", quoted);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const char*>(data);
    const auto length = static_cast<qsizetype>(size);
    const QString utf8 = QString::fromUtf8(bytes, length);
    checkFlags(utf8);
    // The same bytes as UTF-16 reach lone surrogates and code units UTF-8 decoding never yields.
    QString utf16(length / 2, Qt::Uninitialized);
    std::memcpy(utf16.data(), bytes, static_cast<std::size_t>(length / 2) * 2);
    checkFlags(utf16);
    if (size > 0) {
        const qsizetype limit = data[0];
        checkQuote(utf8, limit);
        checkQuote(utf16, limit);
    }
    return 0;
}
