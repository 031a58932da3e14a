#pragma once
// The activity log: one time-stamped line per server event, appended to the month's file
// "logs/serverlog-YYYY-MM.log" of the application's folder and to the log window's text.
// Thread-safe: the file line is written under a mutex and the window text is posted to the
// main thread under the same mutex, so that file and window agree line for line.

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace gfs {

void logujakciu(std::string_view message);

// The same, at a given time (for a month's change without waiting for one).
void logujakciuAt(std::string_view message, std::time_t when);

// Receives each piece of window text on the main thread, in log order.
void setLogWindowSink(std::function<void(const std::string&)> sink);

// Hands the sink what still waits for the main thread's event loop, at once; main thread only.
// The quit line is logged as the event loop ends, and would otherwise never reach the window.
void deliverLogWindowText();

}  // namespace gfs

// "serverlog-2026-03.log" for March 2026.
std::string logFileName(int year, int month);

// "2026-03-05 07:08:09: message".
std::string logLine(const std::tm& localTime, std::string_view message);

inline constexpr std::string_view kLogFileError = "LOG FILE ERROR - CANNOT WRITE LOG FILE !!!";
