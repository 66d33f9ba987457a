// The photos on the simulated card: the filesystem callbacks the library
// calls for listings, downloads and deletion, and keeping the library's
// listing cache in step with photos added at run time.

#include <fcntl.h>
#include <gphoto2/gphoto2-file.h>
#include <gphoto2/gphoto2-filesys.h>
#include <gphoto2/gphoto2-port-log.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "sim.hpp"

namespace simcam {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

// Marks the time spent inside a filesystem callback: the library holds
// pointers into its cache then, so the cache must not be changed.
class FsScope {
 public:
  explicit FsScope(Sim& sim) : sim_(sim) { ++sim_.fs_depth; }
  ~FsScope() { --sim_.fs_depth; }
  FsScope(const FsScope&) = delete;
  FsScope& operator=(const FsScope&) = delete;

 private:
  Sim& sim_;
};

Sim* sim_from(void* data) { return sim_of(static_cast<Camera*>(data)); }

Photo* find_photo(Sim& sim, const std::string& folder, const std::string& name) {
  for (auto& p : sim.photos)
    if (p.folder == folder && p.name == name) return &p;
  return nullptr;
}

bool has_suffix_ci(const std::string& s, const char* suffix) {
  std::size_t n = std::strlen(suffix);
  if (s.size() < n) return false;
  for (std::size_t i = 0; i < n; ++i) {
    char c = s[s.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[i]) return false;
  }
  return true;
}

const char* mime_for(const std::string& name) {
  if (has_suffix_ci(name, ".jpg") || has_suffix_ci(name, ".jpeg")) return GP_MIME_JPEG;
  for (const char* raw : {".cr2", ".cr3", ".nef", ".arw", ".raf", ".orf", ".rw2", ".dng"})
    if (has_suffix_ci(name, raw)) return GP_MIME_RAW;
  return GP_MIME_UNKNOWN;
}

const char* type_name(CameraFileType t) {
  switch (t) {
    case GP_FILE_TYPE_PREVIEW:
      return "preview";
    case GP_FILE_TYPE_NORMAL:
      return "normal";
    case GP_FILE_TYPE_RAW:
      return "raw";
    case GP_FILE_TYPE_AUDIO:
      return "audio";
    case GP_FILE_TYPE_EXIF:
      return "exif";
    case GP_FILE_TYPE_METADATA:
      return "metadata";
  }
  return "other";
}

// Tells the library's cache about one photo. Only called where the library
// holds no pointers into that cache.
void announce(Sim& sim, const std::string& folder, const std::string& name) {
  sim.announcing = true;
  int r = gp_filesystem_append(sim.camera->fs, folder.c_str(), name.c_str(), nullptr);
  sim.announcing = false;
  if (r < GP_OK) {
    // Drop the cache instead, so the library lists the folders again.
    gp_log(GP_LOG_ERROR, "simcam", "could not add %s/%s to the file cache (%d); resetting it",
           folder.c_str(), name.c_str(), r);
    gp_filesystem_reset(sim.camera->fs);
  }
}

// Start of a listing callback. Refreshes we start ourselves (announcing) must
// succeed even when unplugged, or the cache would lose photos the bridge may
// still ask for; listings never count towards "unplug after N calls".
int begin_listing(Sim& sim, std::string_view op, const char* folder) {
  enter_call(sim);
  sim.log.write(op, {folder});
  return sim.announcing ? GP_OK : unplug_gate(sim, false);
}

int list_files(CameraFilesystem*, const char* folder, CameraList* list, void* data, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_from(data);
    if (!sim || !folder || !list) return GP_ERROR_BAD_PARAMETERS;
    FsScope scope(*sim);
    if (int r = begin_listing(*sim, "list_files", folder); r < GP_OK) return r;
    std::string f = normalize_folder(folder);
    for (const auto& p : sim->photos)
      if (p.folder == f)
        if (int r = gp_list_append(list, p.name.c_str(), nullptr); r < GP_OK) return r;
    return GP_OK;
  });
}

int list_folders(CameraFilesystem*, const char* folder, CameraList* list, void* data, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_from(data);
    if (!sim || !folder || !list) return GP_ERROR_BAD_PARAMETERS;
    FsScope scope(*sim);
    if (int r = begin_listing(*sim, "list_folders", folder); r < GP_OK) return r;
    std::string prefix = normalize_folder(folder);
    if (prefix != "/") prefix += '/';
    std::vector<std::string> children;
    for (const auto& p : sim->photos) {
      if (p.folder.size() <= prefix.size() || p.folder.compare(0, prefix.size(), prefix) != 0)
        continue;
      std::string child =
          p.folder.substr(prefix.size(), p.folder.find('/', prefix.size()) - prefix.size());
      if (std::find(children.begin(), children.end(), child) == children.end())
        children.push_back(child);
    }
    for (const auto& c : children)
      if (int r = gp_list_append(list, c.c_str(), nullptr); r < GP_OK) return r;
    return GP_OK;
  });
}

int get_info(CameraFilesystem*, const char* folder, const char* name, CameraFileInfo* info,
             void* data, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_from(data);
    if (!sim || !folder || !name || !info) return GP_ERROR_BAD_PARAMETERS;
    FsScope scope(*sim);
    enter_call(*sim);
    int r = unplug_gate(*sim, false);
    const Photo* p = r < GP_OK ? nullptr : find_photo(*sim, normalize_folder(folder), name);
    if (r == GP_OK && !p) r = GP_ERROR_FILE_NOT_FOUND;
    sim->log.write("get_info", {folder, name, std::to_string(r)});
    if (r < GP_OK) return r;
    std::memset(info, 0, sizeof *info);
    info->file.fields = static_cast<CameraFileInfoFields>(
        GP_FILE_INFO_TYPE | GP_FILE_INFO_SIZE | GP_FILE_INFO_MTIME | GP_FILE_INFO_PERMISSIONS |
        GP_FILE_INFO_STATUS);
    std::strncpy(info->file.type, mime_for(p->name), sizeof info->file.type - 1);
    info->file.size = source_size(p->source);
    info->file.mtime = p->mtime;
    info->file.permissions =
        static_cast<CameraFilePermissions>(GP_FILE_PERM_READ | GP_FILE_PERM_DELETE);
    info->file.status = GP_FILE_STATUS_NOT_DOWNLOADED;
    return GP_OK;
  });
}

int download_photo(Sim& sim, const char* folder, const char* name, CameraFile* file) {
  std::uint64_t written = 0;
  int r = unplug_gate(sim, true);
  const Photo* found = r < GP_OK ? nullptr : find_photo(sim, normalize_folder(folder), name);
  if (r == GP_OK && !found) r = GP_ERROR_FILE_NOT_FOUND;
  if (r == GP_OK) {
    // Copies: control lines read between chunks may change the tables.
    Photo p = *found;
    auto fault_it = sim.download_faults.find(p.name);
    bool faulty = fault_it != sim.download_faults.end();
    DownloadFault fault = faulty ? fault_it->second : DownloadFault{};
    gp_file_set_mime_type(file, mime_for(p.name));
    gp_file_set_mtime(file, p.mtime);
    r = stream_source(sim, p.source, name_hash(p.name), file, faulty ? fault.bytes : UINT64_MAX,
                      true, written);
    if (r == GP_OK && faulty) r = fault.status;
  }
  sim.log.write("get_file", {folder, name, std::to_string(r), std::to_string(written)});
  return r;
}

// Thumbnails and other secondary file types: a small JPEG for previews,
// nothing else. Logged apart from get_file so downloads can be counted.
int download_aux(Sim& sim, const char* folder, const char* name, CameraFileType type,
                 CameraFile* file) {
  std::uint64_t written = 0;
  int r = unplug_gate(sim, true);
  if (r == GP_OK && !find_photo(sim, normalize_folder(folder), name)) r = GP_ERROR_FILE_NOT_FOUND;
  if (r == GP_OK && type != GP_FILE_TYPE_PREVIEW) r = GP_ERROR_NOT_SUPPORTED;
  if (r == GP_OK) {
    std::string jpeg = builtin_jpeg(std::string("simcam thumbnail ") + name);
    gp_file_set_mime_type(file, GP_MIME_JPEG);
    r = gp_file_append(file, jpeg.data(), jpeg.size());
    if (r == GP_OK) written = jpeg.size();
  }
  sim.log.write("get_aux",
                {folder, name, type_name(type), std::to_string(r), std::to_string(written)});
  return r;
}

int get_file(CameraFilesystem*, const char* folder, const char* name, CameraFileType type,
             CameraFile* file, void* data, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_from(data);
    if (!sim || !folder || !name || !file) return GP_ERROR_BAD_PARAMETERS;
    FsScope scope(*sim);
    enter_call(*sim);
    if (type == GP_FILE_TYPE_NORMAL) return download_photo(*sim, folder, name, file);
    return download_aux(*sim, folder, name, type, file);
  });
}

int delete_file(CameraFilesystem*, const char* folder, const char* name, void* data, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_from(data);
    if (!sim || !folder || !name) return GP_ERROR_BAD_PARAMETERS;
    FsScope scope(*sim);
    enter_call(*sim);
    int r = unplug_gate(*sim, true);
    if (r == GP_OK) {
      std::string f = normalize_folder(folder);
      auto it = std::find_if(sim->photos.begin(), sim->photos.end(),
                             [&](const Photo& p) { return p.folder == f && p.name == name; });
      if (it == sim->photos.end())
        r = GP_ERROR_FILE_NOT_FOUND;
      else
        sim->photos.erase(it);
    }
    sim->log.write("delete", {folder, name, std::to_string(r)});
    return r;
  });
}

}  // namespace

std::string normalize_folder(std::string_view folder) {
  std::string out = "/";
  for (char c : folder) {
    if (c == '/' && out.back() == '/') continue;
    out += c;
  }
  if (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

unsigned name_hash(std::string_view name) {
  unsigned h = 0;
  for (unsigned char c : name) h += c;
  return h & 0xff;
}

std::uint64_t source_size(const Source& src) {
  if (!src.from_file) return src.size;
  struct stat st {};
  if (stat(src.path.c_str(), &st) != 0) return 0;
  return static_cast<std::uint64_t>(st.st_size);
}

void add_photo(Sim& sim, Photo photo) {
  std::string folder = photo.folder, name = photo.name;
  if (Photo* old = find_photo(sim, folder, name))
    *old = std::move(photo);
  else
    sim.photos.push_back(std::move(photo));
  if (!sim.live) return;  // before init ends the library has cached nothing yet
  if (sim.fs_depth == 0 && !sim.announcing)
    announce(sim, folder, name);
  else
    sim.pending_appends.emplace_back(std::move(folder), std::move(name));
}

void announce_pending(Sim& sim) {
  if (sim.pending_appends.empty() || sim.fs_depth > 0 || sim.announcing) return;
  auto pending = std::move(sim.pending_appends);
  sim.pending_appends.clear();
  for (const auto& [folder, name] : pending)
    if (find_photo(sim, folder, name)) announce(sim, folder, name);
}

int stream_source(Sim& sim, const Source& src, unsigned hash, CameraFile* file, std::uint64_t limit,
                  bool download, std::uint64_t& written) {
  written = 0;
  int fd = -1;
  if (src.from_file) {
    fd = ::open(src.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      gp_log(GP_LOG_ERROR, "simcam", "cannot open photo source %s: %s", src.path.c_str(),
             std::strerror(errno));
      return GP_ERROR_IO_READ;
    }
  }
  std::vector<char> buf(kChunk);
  int result = GP_OK;
  for (;;) {
    std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, limit - written));
    std::size_t got = 0;
    if (want > 0 && fd >= 0) {
      ssize_t n;
      do n = ::read(fd, buf.data(), want);
      while (n < 0 && errno == EINTR);
      if (n < 0) {
        result = GP_ERROR_IO_READ;
        break;
      }
      got = static_cast<std::size_t>(n);
    } else if (want > 0) {
      got = static_cast<std::size_t>(std::min<std::uint64_t>(want, src.size - written));
      for (std::size_t i = 0; i < got; ++i)
        buf[i] = static_cast<char>(((written + i) * 131 + hash) & 0xff);
    }
    if (got == 0) break;
    if (download && written > 0) {
      // More data to send: a chance for an unplug to strike mid-download.
      if (!sim.announcing) poll_control(sim);
      if (sim.unplugged) {
        sim.unplug_felt = true;
        result = sim.unplug_status;
        break;
      }
    }
    result = gp_file_append(file, buf.data(), got);
    if (result < GP_OK) break;
    written += got;
    if (download && sim.chunk_delay_us > 0)
      std::this_thread::sleep_for(std::chrono::microseconds(sim.chunk_delay_us));
  }
  if (fd >= 0) ::close(fd);
  return result;
}

void install_filesystem(Sim& sim) {
  CameraFilesystemFuncs funcs;
  std::memset(&funcs, 0, sizeof funcs);
  funcs.file_list_func = list_files;
  funcs.folder_list_func = list_folders;
  funcs.get_info_func = get_info;
  funcs.get_file_func = get_file;
  funcs.del_file_func = delete_file;
  gp_filesystem_set_funcs(sim.camera->fs, &funcs, sim.camera);
}

}  // namespace simcam
