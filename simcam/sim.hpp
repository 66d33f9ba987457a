// State of one simulated camera session (camera_init to exit) and the
// helpers the driver's entry points share.
#pragma once

#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-result.h>

#include <chrono>
#include <cstdint>
#include <ctime>
#include <deque>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "log.hpp"

namespace simcam {

// Where the bytes of a photo or live-view frame come from: generated on the
// fly (byte i is (i * 131 + h) & 0xff) or read from a file.
struct Source {
  bool from_file = false;
  std::uint64_t size = 0;  // generated sources only
  std::string path;        // file sources only, absolute
};

struct Photo {
  std::string folder;  // normalised: leading '/', no repeated or trailing '/'
  std::string name;
  Source source;
  std::time_t mtime = 0;
};

enum class EventKind {
  Timeout,
  Unknown,
  FileAdded,
  FolderAdded,
  CaptureComplete,
  FileChanged,
  Fail
};

// Each event kind with its name in the scenario language and the log, and
// the type a successful wait reports for it.
struct EventKindInfo {
  EventKind kind;
  std::string_view name;
  CameraEventType type;
};
inline constexpr EventKindInfo kEventKinds[] = {
    {EventKind::Timeout, "timeout", GP_EVENT_TIMEOUT},
    {EventKind::Unknown, "unknown", GP_EVENT_UNKNOWN},
    {EventKind::FileAdded, "file_added", GP_EVENT_FILE_ADDED},
    {EventKind::FolderAdded, "folder_added", GP_EVENT_FOLDER_ADDED},
    {EventKind::CaptureComplete, "capture_complete", GP_EVENT_CAPTURE_COMPLETE},
    {EventKind::FileChanged, "file_changed", GP_EVENT_FILE_CHANGED},
    {EventKind::Fail, "fail", GP_EVENT_UNKNOWN},
};
inline const EventKindInfo& event_info(EventKind k) {
  for (const auto& i : kEventKinds)
    if (i.kind == k) return i;
  return kEventKinds[0];
}

struct QueuedEvent {
  EventKind kind = EventKind::Timeout;
  std::string folder;  // file_added only, as written in the directive
  std::string name;
  bool has_text = false;  // unknown only: carries a string
  std::string text;
  int status = 0;  // fail only
  // Not handed out before this time (filedelay); the default is always due.
  std::chrono::steady_clock::time_point due{};
};

enum class WidgetType { Text, Radio, Menu, Range, Toggle, Date, Button };

struct Widget {
  std::string name;
  WidgetType type = WidgetType::Text;
  std::string value;  // text form; toggle/date as decimal int, range as %g
  std::vector<std::string> choices;
  float min = 0, max = 100, step = 1;  // range only
  std::string section = "other";       // the tree's /main/<section>/<name>
  std::string label;                   // empty: the name
  bool readonly = false;
  // drift: each read first moves the value to the next of these, in turn.
  std::vector<std::string> drift;
  std::size_t drift_next = 0;
};

struct DownloadFault {
  int status = GP_ERROR;
  std::uint64_t bytes = 0;  // written to the destination before failing
};

enum class TriggerMode { Ok, Unsupported, Fail };

// Which file a directive line came from: some directives are scenario-only.
enum class Origin { Scenario, Control };

// An inotify watch on the card's sim/ folder, so a waiting camera sleeps until
// the control file changes instead of polling it.
struct ControlWatch {
  int fd = -1;
  ControlWatch() = default;
  ControlWatch(const ControlWatch&) = delete;
  ControlWatch& operator=(const ControlWatch&) = delete;
  ~ControlWatch();
  void open(const std::string& dir);
  // Sleeps up to `ms` milliseconds, less if a file in the folder changes.
  void sleep(int ms);
};

struct Sim {
  Camera* camera = nullptr;
  std::string mount;   // card mount point
  std::string simdir;  // mount + "/sim"
  std::string control_path;
  CallLog log;
  ControlWatch watch;

  bool live = false;  // camera_init finished; photo changes must reach the library's cache
  bool directory_mode = false;
  int init_status = 0;

  std::vector<Widget> widgets;
  int setfail_status = 0;  // <0: the next configuration set fails with it
  int focus_status = 0;    // <0: every set of autofocusdrive fails with it
  // getfail: every read of this widget ("/": of the whole tree) fails with
  // getfail_status (<0) until `getfail ok`.
  int getfail_status = 0;
  std::string getfail_name;
  std::vector<Photo> photos;
  std::deque<QueuedEvent> events;
  std::deque<Photo> next_photos;
  unsigned next_number = 1;  // NNNN of the next default IMG_NNNN.JPG

  TriggerMode trigger_mode = TriggerMode::Ok;
  int trigger_status = 0;
  long trigger_busy = 0;                  // the next N triggers fail with GP_ERROR_CAMERA_BUSY
  int capture_status = 0;                 // 0: capture works
  long file_delay_ms = 0;                 // a triggered photo's file_added waits this long
  std::vector<std::string> sibling_exts;  // each shot also brings STEM + EXT for each

  std::map<std::string, DownloadFault> download_faults;  // by photo name
  long chunk_delay_us = 0;

  std::vector<Source> frames;
  std::size_t frame_index = 0;
  unsigned long builtin_frames = 0;
  long preview_busy = 0;
  int preview_status = 0;     // 0: previews work
  int preview_unplug = 0;     // <0: the next preview fails with it and unplugs
  long preview_delay_us = 0;  // each preview that returns a frame sleeps this long first

  long wait_hang_ms = 0;  // > 0: the next wait blocks this long, then times out

  int unplug_status = 0;  // 0: never unplugs
  long unplug_remaining = 0;
  bool unplugged = false;
  bool unplug_felt = false;  // a call has failed because of the unplug: plug cannot undo it

  // Photos added while the library is inside a filesystem call; they are
  // announced to its cache at the next safe moment.
  std::vector<std::pair<std::string, std::string>> pending_appends;
  int fs_depth = 0;         // > 0 while inside a filesystem callback
  bool announcing = false;  // inside our own gp_filesystem_append
};

// ---- driver.cpp: reaching the session from the library's callbacks ----
Sim* sim_of(Camera* camera);

// Start of every driver entry point: applies new control lines and, when the
// library holds no filesystem state (camera-level calls), brings its file
// cache up to date.
void enter_call(Sim& sim);
// Returns the unplug status if this call must fail, else GP_OK. Counted calls
// move the "unplug after N calls" countdown.
int unplug_gate(Sim& sim, bool counted);
// The usual start of an entry point: enter_call, one log line, then the
// counted unplug gate. Returns the status the call must fail with, or GP_OK.
int begin_call(Sim& sim, std::string_view op, std::initializer_list<std::string_view> fields = {});

// Runs a callback body, turning C++ exceptions into libgphoto2 errors so none
// cross into C.
template <class F>
int guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return GP_ERROR_NO_MEMORY;
  } catch (...) {
    return GP_ERROR;
  }
}

// ---- script.cpp: the scenario/control line language ----
// Takes the next line (without its LF or a trailing CR) off the front of `text`.
std::string_view next_line(std::string_view& text);
std::vector<std::string> split_fields(std::string_view line);
std::string unescape(std::string_view raw);
void apply_text(Sim& sim, std::string_view text, Origin origin);
// The file_added event that announces `p`.
QueuedEvent file_added_event(const Photo& p);
bool parse_status(std::string_view s, int& status);
bool parse_source(const Sim& sim, std::string_view s, Source& out);
std::string read_whole_file(const std::string& path, bool& ok);
// Reads complete new lines of the control file and applies them.
void poll_control(Sim& sim);

// ---- config.cpp: configuration widgets ----
void install_default_widgets(Sim& sim);
void define_widget(Sim& sim, const std::vector<std::string>& fields);
void remove_widget(Sim& sim, const std::string& name);
// The other widget directives: readonly, label, serial, drift, widgets.
// Returns false when `fields` is none of them.
bool widget_directive(Sim& sim, const std::vector<std::string>& fields);
int cfg_get_single(Camera* camera, const char* name, CameraWidget** widget, GPContext* context);
int cfg_set_single(Camera* camera, const char* name, CameraWidget* widget, GPContext* context);
int cfg_get_tree(Camera* camera, CameraWidget** window, GPContext* context);
int cfg_set_tree(Camera* camera, CameraWidget* window, GPContext* context);

// ---- files.cpp: photos, listings and downloads ----
std::string normalize_folder(std::string_view folder);
void add_photo(Sim& sim, Photo photo);
void announce_pending(Sim& sim);
std::uint64_t source_size(const Source& src);
unsigned name_hash(std::string_view name);
// Streams up to `limit` bytes of a source into `file` in 64 KiB chunks.
// With `download` set, sleeps chunkdelay after each chunk, re-reads the
// control file and fails with the unplug status once unplugged.
int stream_source(Sim& sim, const Source& src, unsigned hash, CameraFile* file, std::uint64_t limit,
                  bool download, std::uint64_t& written);
void install_filesystem(Sim& sim);

// ---- capture.cpp: capture, trigger, preview, events ----
std::string builtin_jpeg(std::string_view comment);
Photo take_next_photo(Sim& sim);
// The files a shot brings besides `first` (siblings): same folder and stem,
// one per sibling extension, generated with the first photo's size.
std::vector<Photo> sibling_photos(const Sim& sim, const Photo& first);
int cam_capture(Camera* camera, CameraCaptureType type, CameraFilePath* path, GPContext* context);
int cam_trigger(Camera* camera, GPContext* context);
int cam_preview(Camera* camera, CameraFile* file, GPContext* context);
int cam_wait(Camera* camera, int timeout, CameraEventType* type, void** data, GPContext* context);

}  // namespace simcam
