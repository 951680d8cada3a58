#pragma once

#include <QString>

// The application's trace for failures that are not shown in the window: one line
// "Sonvale: <message>" on standard error, which a desktop session's journal
// collects. Callable from any thread; each line is written with a single write(2),
// so lines from different threads never interleave.
namespace SystemLog {

inline constexpr char kPrefix[] = "Sonvale: ";

// message: without the prefix and without a line end.
void write(const QString& message);

}  // namespace SystemLog
