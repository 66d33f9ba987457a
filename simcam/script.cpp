// The line language shared by <card>/sim/scenario and <card>/sim/control:
// one directive per line, TAB-separated fields with \t \n \r \\ \xHH escapes.

#include <fcntl.h>
#include <gphoto2/gphoto2-port-log.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <mutex>

#include "sim.hpp"

namespace simcam {

namespace {

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool parse_u64(std::string_view s, std::uint64_t& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

bool parse_long(std::string_view s, long& out) {
  if (s.empty()) return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

// A non-negative number of seconds, with an optional fraction ("2", "0.25"),
// as whole milliseconds.
bool parse_seconds_ms(std::string_view s, long& ms) {
  double v = 0;
  if (s.empty() || s[0] == '-' || s[0] == '+') return false;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
  if (ec != std::errc() || end != s.data() + s.size() || !(v >= 0) || v > 86400 * 365) return false;
  ms = static_cast<long>(v * 1000 + 0.5);
  return true;
}

void complain(std::string_view what, const std::vector<std::string>& f) {
  std::string line;
  for (const auto& x : f) {
    if (!line.empty()) line += " | ";
    line += x;
  }
  gp_log(GP_LOG_ERROR, "simcam", "ignoring directive (%.*s): %s", static_cast<int>(what.size()),
         what.data(), line.c_str());
}

bool photo_fields(const Sim& sim, const std::vector<std::string>& f, Photo& p) {
  if (f.size() < 4 || f[1].empty() || f[1][0] != '/') {
    complain("needs FOLDER starting with / , NAME, SOURCE", f);
    return false;
  }
  if (!parse_source(sim, f[3], p.source)) {
    complain("bad SOURCE", f);
    return false;
  }
  p.folder = normalize_folder(f[1]);
  p.name = f[2];
  p.mtime = std::time(nullptr);
  return true;
}

void apply_event(Sim& sim, const std::vector<std::string>& f) {
  if (f.size() < 2) {
    complain("event needs a TYPE", f);
    return;
  }
  QueuedEvent e;
  const EventKindInfo* info = nullptr;
  for (const auto& i : kEventKinds)
    if (f[1] == i.name) info = &i;
  if (!info) {
    complain("unknown event type", f);
    return;
  }
  e.kind = info->kind;
  if (e.kind == EventKind::Unknown && f.size() >= 3) {
    e.has_text = true;
    e.text = f[2];
  } else if (e.kind == EventKind::FileAdded) {
    if (f.size() < 4) {
      complain("file_added needs FOLDER and NAME", f);
      return;
    }
    e.folder = f[2];
    e.name = f[3];
  } else if (e.kind == EventKind::Fail && (f.size() < 3 || !parse_status(f[2], e.status))) {
    complain("event fail needs a negative STATUS", f);
    return;
  }
  sim.events.push_back(std::move(e));
}

void apply_fields(Sim& sim, const std::vector<std::string>& f, Origin origin) {
  const std::string& d = f[0];
  if (d == "widget") {
    define_widget(sim, f);
  } else if (d == "nowidget") {
    if (f.size() >= 2) remove_widget(sim, f[1]);
  } else if (d == "setfail") {
    if (f.size() < 2 || !parse_status(f[1], sim.setfail_status))
      complain("setfail needs a STATUS", f);
  } else if (widget_directive(sim, f)) {
    // handled there
  } else if (d == "getfail") {
    if (f.size() >= 2 && f[1] == "ok")
      sim.getfail_status = 0;
    else if (f.size() < 3 || !parse_status(f[1], sim.getfail_status))
      complain("getfail needs STATUS and NAME, or ok", f);
    else
      sim.getfail_name = f[2];
  } else if (d == "focusfail") {
    if (f.size() >= 2 && f[1] == "ok")
      sim.focus_status = 0;
    else if (f.size() < 2 || !parse_status(f[1], sim.focus_status))
      complain("focusfail needs a STATUS or ok", f);
  } else if (d == "trigger") {
    long n = 0;
    if (f.size() < 2) return complain("trigger needs a mode", f);
    if (f[1] == "busy") {
      if (f.size() < 3 || !parse_long(f[2], n) || n < 0) return complain("trigger busy needs N", f);
      sim.trigger_busy = n;
    } else if (f[1] == "ok") {
      sim.trigger_mode = TriggerMode::Ok;
      sim.trigger_busy = 0;
    } else if (f[1] == "unsupported") {
      sim.trigger_mode = TriggerMode::Unsupported;
    } else if (parse_status(f[1], sim.trigger_status)) {
      sim.trigger_mode = TriggerMode::Fail;
    } else {
      complain("bad trigger mode", f);
    }
  } else if (d == "capture") {
    int st = 0;
    if (f.size() >= 2 && f[1] == "ok")
      sim.capture_status = 0;
    else if (f.size() >= 2 && parse_status(f[1], st))
      sim.capture_status = st;
    else
      complain("bad capture mode", f);
  } else if (d == "filedelay") {
    long ms = 0;
    if (f.size() < 2 || !parse_long(f[1], ms) || ms < 0)
      return complain("filedelay needs MILLISECONDS", f);
    sim.file_delay_ms = ms;
  } else if (d == "siblings") {
    sim.sibling_exts.clear();
    for (std::size_t i = 1; i < f.size(); ++i)
      if (!f[i].empty()) sim.sibling_exts.push_back(f[i]);
  } else if (d == "next") {
    Photo p;
    if (photo_fields(sim, f, p)) sim.next_photos.push_back(std::move(p));
  } else if (d == "photo" || d == "shoot") {
    Photo p;
    if (!photo_fields(sim, f, p)) return;
    QueuedEvent e = file_added_event(p);
    add_photo(sim, std::move(p));
    if (d == "shoot") sim.events.push_back(std::move(e));
  } else if (d == "event") {
    apply_event(sim, f);
  } else if (d == "downloadfail") {
    DownloadFault fault;
    if (f.size() < 3 || !parse_status(f[2], fault.status) ||
        (f.size() >= 4 && !parse_u64(f[3], fault.bytes)))
      return complain("downloadfail needs NAME STATUS [BYTES]", f);
    sim.download_faults[f[1]] = fault;
  } else if (d == "downloadok") {
    if (f.size() >= 2) sim.download_faults.erase(f[1]);
  } else if (d == "chunkdelay") {
    long us = 0;
    if (f.size() < 2 || !parse_long(f[1], us) || us < 0)
      return complain("chunkdelay needs MICROSECONDS", f);
    sim.chunk_delay_us = us;
  } else if (d == "previewdelay") {
    long us = 0;
    if (f.size() < 2 || !parse_long(f[1], us) || us < 0)
      return complain("previewdelay needs MICROSECONDS", f);
    sim.preview_delay_us = us;
  } else if (d == "waithang") {
    if (f.size() < 2 || !parse_seconds_ms(f[1], sim.wait_hang_ms))
      return complain("waithang needs SECONDS", f);
  } else if (d == "frame") {
    Source s;
    if (f.size() < 2 || !parse_source(sim, f[1], s)) return complain("frame needs a SOURCE", f);
    sim.frames.push_back(std::move(s));
  } else if (d == "preview") {
    long n = 0;
    int st = 0;
    if (f.size() >= 3 && f[1] == "busy" && parse_long(f[2], n) && n >= 0) {
      sim.preview_busy = n;
    } else if (f.size() >= 3 && f[1] == "fail" && parse_status(f[2], st)) {
      sim.preview_status = st;
    } else if (f.size() >= 3 && f[1] == "unplug" && parse_status(f[2], st)) {
      sim.preview_unplug = st;
    } else if (f.size() >= 2 && f[1] == "ok") {
      sim.preview_status = 0;
      sim.preview_busy = 0;
    } else {
      complain("bad preview directive", f);
    }
  } else if (d == "unplug") {
    int st = 0;
    long after = 0;
    if (f.size() < 2 || !parse_status(f[1], st) ||
        (f.size() >= 3 && (!parse_long(f[2], after) || after < 0)))
      return complain("unplug needs STATUS [AFTER]", f);
    sim.unplug_status = st;
    sim.unplug_remaining = after;
    if (after == 0) sim.unplugged = true;
  } else if (d == "plug") {
    // The cable is back. A session that has already failed a call because
    // of the unplug keeps failing, like a device handle that is gone.
    if (!sim.unplug_felt) {
      sim.unplug_status = 0;
      sim.unplug_remaining = 0;
      sim.unplugged = false;
    }
  } else if (d == "mode") {
    if (origin != Origin::Scenario) return complain("mode is read from the scenario only", f);
    if (f.size() >= 2 && f[1] == "directory")
      sim.directory_mode = true;
    else
      complain("unknown mode", f);
  } else if (d == "initfail") {
    if (origin != Origin::Scenario) return complain("initfail is read from the scenario only", f);
    if (f.size() < 2 || !parse_status(f[1], sim.init_status))
      complain("initfail needs a STATUS", f);
  }
  // "nodefaults" is handled when the scenario is loaded; anything else is
  // an unknown directive and ignored.
}

// Read positions in control files. They outlive a camera session (the
// module is linked with -z nodelete) so that a reconnect, which runs
// exit and init again, does not replay lines that were already applied.
std::mutex g_offsets_mutex;
std::map<std::string, off_t> g_offsets;

}  // namespace

std::string unescape(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (std::size_t i = 0; i < raw.size(); ++i) {
    char c = raw[i];
    if (c != '\\' || i + 1 == raw.size()) {
      out += c;
      continue;
    }
    char n = raw[i + 1];
    switch (n) {
      case 't':
        out += '\t';
        ++i;
        break;
      case 'n':
        out += '\n';
        ++i;
        break;
      case 'r':
        out += '\r';
        ++i;
        break;
      case '\\':
        out += '\\';
        ++i;
        break;
      case 'x':
        if (i + 3 < raw.size() && hex_digit(raw[i + 2]) >= 0 && hex_digit(raw[i + 3]) >= 0) {
          out += static_cast<char>(hex_digit(raw[i + 2]) * 16 + hex_digit(raw[i + 3]));
          i += 3;
        } else {
          out += c;  // not a valid escape: keep the backslash as written
        }
        break;
      default:
        out += c;
        break;
    }
  }
  return out;
}

std::vector<std::string> split_fields(std::string_view line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    if (tab == std::string_view::npos) {
      fields.push_back(unescape(line.substr(start)));
      return fields;
    }
    fields.push_back(unescape(line.substr(start, tab - start)));
    start = tab + 1;
  }
}

bool parse_status(std::string_view s, int& status) {
  long v = 0;
  if (!parse_long(s, v) || v >= 0 || v < -100000) return false;
  status = static_cast<int>(v);
  return true;
}

bool parse_source(const Sim& sim, std::string_view s, Source& out) {
  out = Source{};
  if (!s.empty() && s[0] == '@') {
    std::string_view p = s.substr(1);
    if (p.empty()) return false;
    out.from_file = true;
    out.path = (p[0] == '/') ? std::string(p) : sim.simdir + "/" + std::string(p);
    return true;
  }
  return parse_u64(s, out.size);
}

std::string_view next_line(std::string_view& text) {
  std::size_t nl = text.find('\n');
  std::string_view line = text.substr(0, nl);
  text = (nl == std::string_view::npos) ? std::string_view{} : text.substr(nl + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

void apply_text(Sim& sim, std::string_view text, Origin origin) {
  while (!text.empty()) {
    std::string_view line = next_line(text);
    if (line.empty() || line[0] == '#') continue;
    apply_fields(sim, split_fields(line), origin);
  }
}

std::string read_whole_file(const std::string& path, bool& ok) {
  ok = false;
  std::string data;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return data;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = (n == 0);
      break;
    }
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

void poll_control(Sim& sim) {
  // Nothing new since the last read: one stat, no open. This runs before
  // every driver call, so it must stay cheap.
  struct stat quick {};
  if (::stat(sim.control_path.c_str(), &quick) != 0) return;
  {
    std::lock_guard<std::mutex> lock(g_offsets_mutex);
    if (quick.st_size == g_offsets[sim.control_path]) return;
  }
  int fd = ::open(sim.control_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::string chunk;
  {
    std::lock_guard<std::mutex> lock(g_offsets_mutex);
    off_t& offset = g_offsets[sim.control_path];
    struct stat st {};
    if (fstat(fd, &st) == 0) {
      if (st.st_size < offset) offset = 0;  // the file was truncated or replaced by a shorter one
      if (st.st_size > offset) {
        chunk.resize(static_cast<std::size_t>(st.st_size - offset));
        std::size_t got = 0;
        while (got < chunk.size()) {
          ssize_t n =
              ::pread(fd, chunk.data() + got, chunk.size() - got, offset + static_cast<off_t>(got));
          if (n < 0 && errno == EINTR) continue;
          if (n <= 0) break;
          got += static_cast<std::size_t>(n);
        }
        chunk.resize(got);
        // Only complete lines count; a line still being written is
        // picked up by a later read.
        std::size_t last_nl = chunk.rfind('\n');
        if (last_nl == std::string::npos) {
          chunk.clear();
        } else {
          chunk.resize(last_nl + 1);
          offset += static_cast<off_t>(chunk.size());
        }
      }
    }
  }
  ::close(fd);
  if (!chunk.empty()) apply_text(sim, chunk, Origin::Control);
}

QueuedEvent file_added_event(const Photo& p) {
  QueuedEvent e;
  e.kind = EventKind::FileAdded;
  e.folder = p.folder;
  e.name = p.name;
  return e;
}

}  // namespace simcam
