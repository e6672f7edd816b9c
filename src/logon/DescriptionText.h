#pragma once

#include <QString>

namespace quorvane {

// `text` fit for quoting in a description: at most `limit` characters, cut with an ellipsis, and
// control characters shown as their visible symbols.
QString quoteForDescription(const QString& text, qsizetype limit = 80);

} // namespace quorvane
