#include "camera/captura.h"

#include "camera/disparos.h"
#include "core/bridge_state.h"
#include "events/eventos.h"
#include "storage/bajar.h"

void disparar() {
  if (!estado.camara) return;
  int r = gp_camera_trigger_capture(estado.camara, estado.ctx);
  const bool fallback = r == GP_ERROR_NOT_SUPPORTED;
  if (fallback) {
    CameraFilePath ruta{};
    r = gp_camera_capture(estado.camara, GP_CAPTURE_IMAGE, &ruta, estado.ctx);
    if (r >= 0) {
      ruta.folder[sizeof ruta.folder - 1] = '\0';
      ruta.name[sizeof ruta.name - 1] = '\0';
      bajarFoto(ruta.folder, ruta.name);
    }
  }
  // A successful trigger says nothing now: the photo comes as a camera event.
  if (r < 0) {
    enviarError("disparar", r);
  } else if (!fallback) {
    anotarDisparo();
  }
}
