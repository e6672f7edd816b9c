#pragma once

#include <QString>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace quorvane::fuzz {

// Descriptions end up in a message box; anything near this size means some text went in uncut.
constexpr std::size_t descriptionByteLimit = 4096;

// Escapes everything outside printable ASCII, so a report shows exactly what the text held.
inline QByteArray shown(const QString& text)
{
    QByteArray out;
    for (const QChar c : text) {
        const char16_t unit = c.unicode();
        if (unit >= 0x20 && unit < 0x7f && unit != u'\\') {
            out.append(static_cast<char>(unit));
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(unit));
            out.append(escaped);
        }
    }
    return out;
}

// Aborts with the broken invariant, so libFuzzer stores the input as a crash artifact.
inline void require(bool holds, const char* invariant, const QString& detail = {})
{
    if (holds) {
        return;
    }
    std::fprintf(stderr, "==fuzz== invariant broken: %s\n", invariant);
    if (!detail.isEmpty()) {
        std::fprintf(stderr, "==fuzz== detail: %s\n", shown(detail).constData());
    }
    std::abort();
}

inline bool isControl(char16_t unit)
{
    return unit < 0x20 || unit == 0x7f;
}

inline bool hasControlCharacter(const QString& text)
{
    for (const QChar c : text) {
        if (isControl(c.unicode())) {
            return true;
        }
    }
    return false;
}

// UTF-8 never encodes anything but ASCII in bytes below 0x80, so a byte scan finds every control.
inline bool hasControlByte(std::string_view utf8)
{
    for (const char byte : utf8) {
        if (isControl(static_cast<unsigned char>(byte))) {
            return true;
        }
    }
    return false;
}

// Characters that would hide or reorder text in a message: C1 controls, the bidi embeddings,
// overrides, isolates and marks, line and paragraph separators, and other format characters.
inline bool isHiddenOrReordering(char16_t unit)
{
    return (unit >= 0x80 && unit <= 0x9f) || (unit >= 0x202a && unit <= 0x202e)
        || (unit >= 0x2066 && unit <= 0x2069) || unit == 0x200e || unit == 0x200f || unit == 0x061c
        || unit == 0x2028 || unit == 0x2029
        || (!QChar::isSurrogate(unit) && QChar::category(unit) == QChar::Other_Format);
}

// How a description must quote user or server text: the first `limit` UTF-16 units, one fewer when
// the cut would leave a high surrogate without its partner, an ellipsis when anything was dropped,
// C0 controls and DEL replaced by their Control Pictures symbols, and what would hide or reorder
// text replaced by U+FFFD.
inline QString referenceQuote(const QString& text, qsizetype limit)
{
    const bool dropped = text.size() > limit;
    qsizetype keep = dropped ? limit : text.size();
    if (dropped && keep > 0 && QChar::isHighSurrogate(text.at(keep - 1).unicode())) {
        --keep;
    }
    QString out;
    out.reserve(keep + 1);
    for (qsizetype i = 0; i < keep; ++i) {
        const char16_t unit = text.at(i).unicode();
        if (unit == 0x7f) {
            out.append(QChar(0x2421));
        } else if (unit < 0x20) {
            out.append(QChar(static_cast<char16_t>(0x2400 + unit)));
        } else if (isHiddenOrReordering(unit)) {
            out.append(QChar(QChar::ReplacementCharacter));
        } else {
            out.append(QChar(unit));
        }
    }
    if (dropped) {
        out.append(QChar(0x2026));
    }
    return out;
}

// A Failure description has been through UTF-8 once; compare against what survives that trip. Keep
// a quote mark in front: QString::fromUtf8 drops a byte order mark at the very start.
inline QString afterUtf8(const QString& text)
{
    return QString::fromUtf8(text.toUtf8());
}

} // namespace quorvane::fuzz
