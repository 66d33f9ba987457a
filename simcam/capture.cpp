// Shooting and watching: capture, trigger, live-view preview and the event
// queue behind wait_for_event.

#include <gphoto2/gphoto2-file.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim.hpp"

namespace simcam {

namespace {

constexpr const char* kDefaultFolder = "/store_00010001/DCIM/100SIMUL";
constexpr std::uint64_t kDefaultPhotoSize = 4096;

bool photo_exists(const Sim& sim, const std::string& folder, const std::string& name) {
  return std::any_of(sim.photos.begin(), sim.photos.end(),
                     [&](const Photo& p) { return p.folder == folder && p.name == name; });
}

// Copies with truncation: CameraFilePath holds at most 127 name bytes and
// 1023 folder bytes.
void fill_path(CameraFilePath& out, const std::string& folder, const std::string& name) {
  std::memset(&out, 0, sizeof out);
  std::memcpy(out.folder, folder.data(), std::min(folder.size(), sizeof out.folder - 1));
  std::memcpy(out.name, name.data(), std::min(name.size(), sizeof out.name - 1));
}

// The name of a sibling: the stem (the name up to its last '.') and `ext`.
std::string sibling_name(const std::string& name, const std::string& ext) {
  std::size_t dot = name.rfind('.');
  return name.substr(0, dot) + ext;
}

bool shot_exists(const Sim& sim, const std::string& folder, const std::string& name) {
  if (photo_exists(sim, folder, name)) return true;
  for (const auto& ext : sim.sibling_exts)
    if (photo_exists(sim, folder, sibling_name(name, ext))) return true;
  return false;
}

// Hands one queued event to the caller; returns the wait's status.
int deliver(Sim& sim, const QueuedEvent& e, int timeout, CameraEventType* type, void** data) {
  std::string t = std::to_string(timeout);
  *data = nullptr;
  switch (e.kind) {
    case EventKind::Fail:
      *type = GP_EVENT_UNKNOWN;
      sim.log.write("wait", {t, std::to_string(e.status)});
      return e.status;
    case EventKind::FileAdded: {
      auto* p = static_cast<CameraFilePath*>(std::calloc(1, sizeof(CameraFilePath)));
      if (!p) return GP_ERROR_NO_MEMORY;
      fill_path(*p, e.folder, e.name);
      *type = GP_EVENT_FILE_ADDED;
      *data = p;
      sim.log.write("wait", {t, "0", "file_added", e.folder, e.name});
      return GP_OK;
    }
    case EventKind::Unknown:
      if (e.has_text) {
        char* s = static_cast<char*>(std::malloc(e.text.size() + 1));
        if (!s) return GP_ERROR_NO_MEMORY;
        std::memcpy(s, e.text.c_str(), e.text.size() + 1);
        *data = s;
      }
      break;
    default:
      break;
  }
  *type = event_info(e.kind).type;
  sim.log.write("wait", {t, "0", event_info(e.kind).name});
  return GP_OK;
}

}  // namespace

// A complete 8x8 grey baseline JPEG whose COM segment carries `comment`, so
// consecutive built-in frames differ while staying decodable.
std::string builtin_jpeg(std::string_view comment) {
  std::string j = "\xFF\xD8";  // SOI
  comment = comment.substr(0, 60000);
  std::size_t com_len = comment.size() + 2;
  j += "\xFF\xFE";
  j += static_cast<char>(com_len >> 8);
  j += static_cast<char>(com_len & 0xff);
  j += comment;
  // Quantisation table 0: all ones.
  j += std::string("\xFF\xDB\x00\x43\x00", 5) + std::string(64, '\x01');
  // Frame: 8 bit, 8x8 pixels, one component using table 0.
  j += std::string("\xFF\xC0\x00\x0B\x08\x00\x08\x00\x08\x01\x01\x11\x00", 13);
  // Huffman tables with a single 1-bit code for symbol 0: DC "no change"
  // and AC "end of block".
  std::string one_code = std::string("\x01", 1) + std::string(15, '\0') + std::string("\x00", 1);
  j += std::string("\xFF\xC4\x00\x14\x00", 5) + one_code;
  j += std::string("\xFF\xC4\x00\x14\x10", 5) + one_code;
  // Scan: DC code 0 then EOB 0, padded with one bits.
  j += std::string("\xFF\xDA\x00\x08\x01\x01\x00\x00\x3F\x00", 10);
  j += "\x3F";
  j += "\xFF\xD9";  // EOI
  return j;
}

Photo take_next_photo(Sim& sim) {
  if (!sim.next_photos.empty()) {
    Photo p = std::move(sim.next_photos.front());
    sim.next_photos.pop_front();
    p.mtime = std::time(nullptr);
    return p;
  }
  Photo p;
  p.folder = kDefaultFolder;
  p.source.size = kDefaultPhotoSize;
  p.mtime = std::time(nullptr);
  // Like a camera, never reuse the name of a photo (or of one of its
  // siblings) still on the card.
  do {
    char buf[32];
    std::snprintf(buf, sizeof buf, "IMG_%04u.JPG", sim.next_number++);
    p.name = buf;
  } while (shot_exists(sim, p.folder, p.name));
  return p;
}

std::vector<Photo> sibling_photos(const Sim& sim, const Photo& first) {
  std::vector<Photo> out;
  for (const auto& ext : sim.sibling_exts) {
    Photo s;
    s.folder = first.folder;
    s.name = sibling_name(first.name, ext);
    if (s.name == first.name ||
        std::any_of(out.begin(), out.end(), [&](const Photo& o) { return o.name == s.name; }))
      continue;
    s.source.size = source_size(first.source);
    s.mtime = first.mtime;
    out.push_back(std::move(s));
  }
  return out;
}

int cam_capture(Camera* camera, CameraCaptureType type, CameraFilePath* path, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim) return GP_ERROR_BAD_PARAMETERS;
    if (int r = begin_call(*sim, "capture"); r < GP_OK) return r;
    if (type != GP_CAPTURE_IMAGE) return GP_ERROR_NOT_SUPPORTED;
    if (!path) return GP_ERROR_BAD_PARAMETERS;
    if (sim->capture_status < 0) return sim->capture_status;
    Photo p = take_next_photo(*sim);
    fill_path(*path, p.folder, p.name);
    // The path names the first file only; its siblings are announced.
    std::vector<Photo> siblings = sibling_photos(*sim, p);
    add_photo(*sim, std::move(p));
    for (auto& s : siblings) {
      sim->events.push_back(file_added_event(s));
      add_photo(*sim, std::move(s));
    }
    return GP_OK;
  });
}

int cam_trigger(Camera* camera, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim) return GP_ERROR_BAD_PARAMETERS;
    if (int r = begin_call(*sim, "trigger"); r < GP_OK) return r;
    if (sim->trigger_busy > 0) {
      --sim->trigger_busy;
      return GP_ERROR_CAMERA_BUSY;
    }
    switch (sim->trigger_mode) {
      case TriggerMode::Unsupported:
        return GP_ERROR_NOT_SUPPORTED;
      case TriggerMode::Fail:
        return sim->trigger_status;
      case TriggerMode::Ok:
        break;
    }
    Photo p = take_next_photo(*sim);
    std::vector<Photo> shot = sibling_photos(*sim, p);
    shot.insert(shot.begin(), std::move(p));
    // The files are on the camera at once; only their announcement waits,
    // the siblings' right behind the first's.
    std::chrono::steady_clock::time_point due{};
    if (sim->file_delay_ms > 0)
      due = std::chrono::steady_clock::now() + std::chrono::milliseconds(sim->file_delay_ms);
    for (auto& f : shot) {
      QueuedEvent e = file_added_event(f);
      e.due = due;
      sim->events.push_back(std::move(e));
      add_photo(*sim, std::move(f));
    }
    return GP_OK;
  });
}

int cam_preview(Camera* camera, CameraFile* file, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim || !file) return GP_ERROR_BAD_PARAMETERS;
    if (int r = begin_call(*sim, "preview"); r < GP_OK) return r;
    if (sim->preview_unplug < 0) {
      // Cable pulled during this very preview: it fails, and so does
      // everything after it.
      sim->unplug_status = sim->preview_unplug;
      sim->unplugged = true;
      sim->unplug_felt = true;
      sim->preview_unplug = 0;
      return sim->unplug_status;
    }
    if (sim->preview_status < 0) return sim->preview_status;
    if (sim->preview_busy > 0) {
      --sim->preview_busy;
      return GP_ERROR_CAMERA_BUSY;
    }
    // A camera's preview takes its time; a plain sleep, so no CPU is spent.
    if (sim->preview_delay_us > 0)
      std::this_thread::sleep_for(std::chrono::microseconds(sim->preview_delay_us));
    gp_file_set_mime_type(file, GP_MIME_JPEG);
    if (sim->frames.empty()) {
      char label[64];
      std::snprintf(label, sizeof label, "simcam frame %lu", ++sim->builtin_frames);
      std::string jpeg = builtin_jpeg(label);
      return gp_file_append(file, jpeg.data(), jpeg.size());
    }
    Source src = sim->frames[sim->frame_index % sim->frames.size()];
    sim->frame_index = (sim->frame_index + 1) % sim->frames.size();
    std::uint64_t written = 0;
    return stream_source(*sim, src, 0, file, UINT64_MAX, false, written);
  });
}

ControlWatch::~ControlWatch() {
  if (fd >= 0) ::close(fd);
}

void ControlWatch::open(const std::string& dir) {
  fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd >= 0 && inotify_add_watch(fd, dir.c_str(),
                                   IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_MOVED_TO) < 0) {
    ::close(fd);
    fd = -1;
  }
}

void ControlWatch::sleep(int ms) {
  if (fd < 0) {
    // No inotify: poll the control file every 5 ms.
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 5)));
    return;
  }
  // Wake for the control file only: the log beside it changes on every call.
  using clock = std::chrono::steady_clock;
  const auto until = clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return;
    alignas(inotify_event) char buf[4096];
    bool control = false;
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
      for (char* at = buf; at < buf + n;) {
        auto* ev = reinterpret_cast<inotify_event*>(at);
        if (ev->len > 0 && std::strcmp(ev->name, "control") == 0) control = true;
        at += sizeof(inotify_event) + ev->len;
      }
    }
    if (control) return;
  }
}

int cam_wait(Camera* camera, int timeout, CameraEventType* type, void** data, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim || !type || !data) return GP_ERROR_BAD_PARAMETERS;
    *type = GP_EVENT_TIMEOUT;
    *data = nullptr;
    enter_call(*sim);
    std::string t = std::to_string(timeout);
    if (int r = unplug_gate(*sim, true); r < GP_OK) {
      *type = GP_EVENT_UNKNOWN;
      sim->log.write("wait", {t, std::to_string(r)});
      return r;
    }
    if (sim->wait_hang_ms > 0) {
      // A hung driver: neither the timeout nor control lines end this wait.
      auto hang = std::chrono::milliseconds(sim->wait_hang_ms);
      sim->wait_hang_ms = 0;
      std::this_thread::sleep_for(hang);
      sim->log.write("wait", {t, "0", "timeout"});
      return GP_OK;
    }
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(std::max(timeout, 0));
    // An unplug read during the wait strikes the next call: this wait
    // still ends with an event or its timeout.
    for (;;) {
      // The first item in queue order that is due; items a filedelay
      // holds back are passed over until their time.
      auto now = clock::now();
      auto wake = deadline;
      for (auto it = sim->events.begin(); it != sim->events.end(); ++it) {
        if (it->due <= now) {
          QueuedEvent e = std::move(*it);
          sim->events.erase(it);
          return deliver(*sim, e, timeout, type, data);
        }
        wake = std::min(wake, it->due);
      }
      if (now >= deadline) break;
      auto left = std::chrono::ceil<std::chrono::milliseconds>(wake - now);
      sim->watch.sleep(static_cast<int>(std::max<long>(left.count(), 1)));
      enter_call(*sim);  // control lines written during the wait
    }
    *type = GP_EVENT_TIMEOUT;
    sim->log.write("wait", {t, "0", "timeout"});
    return GP_OK;
  });
}

}  // namespace simcam
