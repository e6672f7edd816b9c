#include "DescriptionText.h"

#include <algorithm>

namespace quorvane {

QString quoteForDescription(const QString& text, qsizetype limit)
{
    qsizetype cut = std::min(text.size(), limit);
    if (cut < text.size() && cut > 0 && text.at(cut - 1).isHighSurrogate()) {
        --cut; // never split a surrogate pair
    }
    QString quoted = text.left(cut);
    // Control characters would end or garble the description: C0 and DEL show as their symbols;
    // C1 controls, line separators and format characters (bidi overrides) as a replacement mark.
    for (QChar& c : quoted) {
        const QChar::Category category = c.category();
        if (c.unicode() < 0x20) {
            c = QChar(0x2400 + c.unicode());
        } else if (c.unicode() == 0x7f) {
            c = QChar(0x2421);
        } else if (category == QChar::Other_Control || category == QChar::Other_Format
                   || category == QChar::Separator_Line || category == QChar::Separator_Paragraph) {
            c = QChar(QChar::ReplacementCharacter);
        }
    }
    if (cut < text.size()) {
        quoted.append(QChar(0x2026));
    }
    return quoted;
}

QString durationText(std::chrono::milliseconds duration)
{
    const auto count = duration.count();
    if (count % 1000 == 0) {
        return count == 1000 ? QStringLiteral("1 second") : QStringLiteral("%1 seconds").arg(count / 1000);
    }
    return QStringLiteral("%1 seconds").arg(static_cast<double>(count) / 1000.0);
}

} // namespace quorvane
