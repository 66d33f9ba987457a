#include "log.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace simcam {

CallLog::~CallLog() { close(); }

void CallLog::open(const std::string& path) {
  close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
}

void CallLog::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

std::string escape_field(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (char c : raw) {
    switch (c) {
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\\':
        out += "\\\\";
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

void CallLog::write(std::string_view op, std::initializer_list<std::string_view> fields) {
  if (fd_ < 0) return;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%lld.%09ld ", static_cast<long long>(now.tv_sec),
                now.tv_nsec);

  std::string line = stamp;
  line += op;
  for (std::string_view f : fields) {
    line += '\t';
    line += escape_field(f);
  }
  line += '\n';

  // One write() per line; only retry the remainder after a short write or
  // an interrupted call, which O_APPEND on a local file should not produce.
  std::string_view rest = line;
  while (!rest.empty()) {
    ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    rest.remove_prefix(static_cast<size_t>(n));
  }
}

}  // namespace simcam
