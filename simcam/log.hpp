// Call log of the simulated camera: one line per driver call, appended to
// <card>/sim/log so that tests outside the bridge can see what it asked for.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace simcam {

class CallLog {
 public:
  CallLog() = default;
  CallLog(const CallLog&) = delete;
  CallLog& operator=(const CallLog&) = delete;
  ~CallLog();

  // Opens (creating if needed) the log file in append mode. A log that
  // cannot be opened is not an error: the camera then works unlogged.
  void open(const std::string& path);
  void close();

  // Writes "<monotonic seconds> <op>[\t<field>]...\n" with a single write()
  // so that lines from concurrent writers never interleave.
  void write(std::string_view op, std::initializer_list<std::string_view> fields = {});

 private:
  int fd_ = -1;
};

// Escapes the bytes that would break the line format: tab, newline, CR and
// backslash become \t \n \r \\ .
std::string escape_field(std::string_view raw);

}  // namespace simcam
