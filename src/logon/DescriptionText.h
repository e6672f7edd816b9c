#pragma once

#include <QString>

#include <chrono>

namespace quorvane {

// `text` fit for quoting in a description: at most `limit` characters, cut with an ellipsis, and
// control characters shown as their visible symbols.
QString quoteForDescription(const QString& text, qsizetype limit = 80);

// "10 seconds", "1.5 seconds", "1 second".
QString durationText(std::chrono::milliseconds duration);

} // namespace quorvane
