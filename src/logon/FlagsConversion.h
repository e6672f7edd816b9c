#pragma once

#include <QString>

namespace quorvane {

// The bind-flags text as a signed 32-bit value: decimal, or 0x-prefixed hexadecimal, with an
// optional sign and surrounding blanks. Throws Failure saying what is wrong with the text.
qint32 parseBindFlags(const QString& text);

// `text` fit for quoting in a description: at most `limit` characters, cut with an ellipsis, and
// control characters shown as their visible symbols.
QString quoteForDescription(const QString& text, qsizetype limit = 80);

} // namespace quorvane
