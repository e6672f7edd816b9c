#pragma once

#include <QString>

namespace quorvane {

// The bind-flags text as a signed 32-bit value: decimal, or 0x-prefixed hexadecimal, with an
// optional sign and surrounding blanks. Throws Failure saying what is wrong with the text.
qint32 parseBindFlags(const QString& text);

} // namespace quorvane
