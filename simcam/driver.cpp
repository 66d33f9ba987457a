// Entry points libgphoto2 looks up in a camera driver, and the session
// lifecycle: reading the scenario at init, freeing everything at exit.

#include <gphoto2/gphoto2-library.h>
#include <gphoto2/gphoto2-port-log.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "sim.hpp"

#define SIMCAM_EXPORT __attribute__((visibility("default")))

// The driver's per-camera data, owned through camera->pl.
struct _CameraPrivateLibrary {
  simcam::Sim sim;
};

namespace simcam {

namespace {

constexpr const char* kModel = "Mass Storage Camera";

bool scenario_drops_defaults(std::string_view text) {
  while (!text.empty()) {
    std::string_view line = next_line(text);
    if (!line.empty() && line[0] != '#' && split_fields(line)[0] == "nodefaults") return true;
  }
  return false;
}

int cam_exit(Camera* camera, GPContext*) {
  return guarded([&] {
    if (camera->pl) {
      // Control lines are left unread here: whatever arrives now is
      // applied to the next session, e.g. after a reconnect.
      camera->pl->sim.log.write("exit");
      delete camera->pl;
      camera->pl = nullptr;
    }
    return GP_OK;
  });
}

// Runs before every camera operation, before the library looks anything up
// in its file cache: the safe moment to apply control lines and bring the
// cache up to date, so a photo added a moment ago can be downloaded at once.
int cam_pre(Camera* camera, GPContext*) {
  return guarded([&] {
    if (Sim* sim = sim_of(camera)) enter_call(*sim);
    return GP_OK;
  });
}

int cam_summary(Camera* camera, CameraText* text, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim || !text) return GP_ERROR_BAD_PARAMETERS;
    if (int r = begin_call(*sim, "summary"); r < GP_OK) return r;
    std::snprintf(text->text, sizeof text->text,
                  "Simulated camera (simcam)\nCard: %s\nPhotos: %zu\n", sim->mount.c_str(),
                  sim->photos.size());
    return GP_OK;
  });
}

int cam_about(Camera*, CameraText* text, GPContext*) {
  if (!text) return GP_ERROR_BAD_PARAMETERS;
  std::snprintf(text->text, sizeof text->text,
                "simcam: a scriptable simulated camera for testing.\n");
  return GP_OK;
}

int init_session(Camera* camera) {
  GPPortInfo info;
  char* port_path = nullptr;
  if (int r = gp_port_get_info(camera->port, &info); r < GP_OK) return r;
  if (int r = gp_port_info_get_path(info, &port_path); r < GP_OK) return r;
  std::string mount = port_path ? port_path : "";
  if (mount.rfind("disk:", 0) == 0) mount.erase(0, 5);
  if (mount.empty()) return GP_ERROR_BAD_PARAMETERS;

  auto pl = std::make_unique<_CameraPrivateLibrary>();
  Sim& sim = pl->sim;
  sim.camera = camera;
  sim.mount = mount;
  sim.simdir = mount + "/sim";
  sim.control_path = sim.simdir + "/control";
  if (::mkdir(sim.simdir.c_str(), 0755) != 0 && errno != EEXIST)
    gp_log(GP_LOG_ERROR, "simcam", "cannot create %s: %s", sim.simdir.c_str(),
           std::strerror(errno));
  sim.log.open(sim.simdir + "/log");
  sim.watch.open(sim.simdir);

  bool have_scenario = false;
  std::string scenario = read_whole_file(sim.simdir + "/scenario", have_scenario);
  if (!have_scenario || !scenario_drops_defaults(scenario)) install_default_widgets(sim);
  apply_text(sim, scenario, Origin::Scenario);
  sim.log.write("init");
  // The card's marker of a camera that is away (gpbridge-sim unplug): the
  // device cannot be found, whatever the scenario says.
  struct stat away {};
  if (::stat((sim.simdir + "/unplugged").c_str(), &away) == 0) return GP_ERROR_IO_USB_FIND;
  if (sim.init_status < 0) {
    return sim.init_status;
  }

  camera->pl = pl.release();
  CameraFunctions* f = camera->functions;
  f->exit = cam_exit;
  f->pre_func = cam_pre;
  f->get_config = cfg_get_tree;
  f->set_config = cfg_set_tree;
  f->get_single_config = cfg_get_single;
  f->set_single_config = cfg_set_single;
  f->summary = cam_summary;
  f->about = cam_about;
  if (!sim.directory_mode) {
    // Directory mode leaves these unset, like a plain card reader: the
    // library then answers GP_ERROR_NOT_SUPPORTED itself.
    f->capture = cam_capture;
    f->trigger_capture = cam_trigger;
    f->capture_preview = cam_preview;
    f->wait_for_event = cam_wait;
  }
  install_filesystem(sim);
  sim.live = true;
  // Fill the library's file cache now, so later downloads and deletions
  // find their photos without a listing, which an unplugged camera fails.
  for (const auto& p : sim.photos) sim.pending_appends.emplace_back(p.folder, p.name);
  announce_pending(sim);
  return GP_OK;
}

}  // namespace

Sim* sim_of(Camera* camera) { return (camera && camera->pl) ? &camera->pl->sim : nullptr; }

void enter_call(Sim& sim) {
  // While we are inside our own cache update, the library calls back into
  // the listing functions; those must not apply control lines, which could
  // change the photo set under the update.
  if (!sim.announcing) poll_control(sim);
  if (sim.fs_depth == 0) announce_pending(sim);
}

int begin_call(Sim& sim, std::string_view op, std::initializer_list<std::string_view> fields) {
  enter_call(sim);
  sim.log.write(op, fields);
  return unplug_gate(sim, true);
}

int unplug_gate(Sim& sim, bool counted) {
  if (sim.unplug_status == 0) return GP_OK;
  if (!sim.unplugged && !counted) return GP_OK;
  if (!sim.unplugged && sim.unplug_remaining > 0) {
    --sim.unplug_remaining;
    return GP_OK;
  }
  sim.unplugged = true;
  sim.unplug_felt = true;
  return sim.unplug_status;
}

}  // namespace simcam

extern "C" {

SIMCAM_EXPORT int camera_id(CameraText* id) {
  std::snprintf(id->text, sizeof id->text, "simcam");
  return GP_OK;
}

SIMCAM_EXPORT int camera_abilities(CameraAbilitiesList* list) {
  CameraAbilities a;
  std::memset(&a, 0, sizeof a);
  std::snprintf(a.model, sizeof a.model, "%s", simcam::kModel);
  a.status = GP_DRIVER_STATUS_PRODUCTION;
  a.port = GP_PORT_DISK;
  a.operations =
      static_cast<CameraOperation>(GP_OPERATION_CAPTURE_IMAGE | GP_OPERATION_TRIGGER_CAPTURE |
                                   GP_OPERATION_CAPTURE_PREVIEW | GP_OPERATION_CONFIG);
  a.file_operations =
      static_cast<CameraFileOperation>(GP_FILE_OPERATION_DELETE | GP_FILE_OPERATION_PREVIEW);
  a.folder_operations = GP_FOLDER_OPERATION_NONE;
  a.device_type = GP_DEVICE_STILL_CAMERA;
  return gp_abilities_list_append(list, a);
}

SIMCAM_EXPORT int camera_init(Camera* camera, GPContext*) {
  return simcam::guarded([&] { return simcam::init_session(camera); });
}

}  // extern "C"
