#include "camera/vista.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/bridge_state.h"
#include "events/eventos.h"
#include "storage/propios.h"

namespace {

// Writes one frame whole under a temporary name of ours and renames it over
// the published file. The temporary name is vista.tmp; where something that
// is not ours holds that name (the directory may be shared), a name of this
// process's own is used instead. A frame that cannot be written whole is
// never published.
bool publicarCuadro(CameraFile* cuadro, const char* publicado) {
  const char* datos = nullptr;
  unsigned long tamano = 0;
  // An empty frame is still a frame the camera gave: it is published empty.
  if (gp_file_get_data_and_size(cuadro, &datos, &tamano) < 0 || (datos == nullptr && tamano)) {
    return false;
  }
  char temporal[4300];
  std::snprintf(temporal, sizeof temporal, "%s/%s", estado.temporal, kVistaTemporal);
  int fd = crearPropio(temporal);
  if (fd < 0 && errno == EEXIST) {
    std::snprintf(temporal, sizeof temporal, "%s/%s.%d", estado.temporal, kVistaTemporal,
                  static_cast<int>(getpid()));
    fd = crearPropio(temporal);
  }
  if (fd < 0) return false;
  if (!escribirYCerrar(fd, {datos, tamano})) {
    unlink(temporal);
    return false;
  }
  return std::rename(temporal, publicado) == 0;
}

}  // namespace

std::int32_t siguienteCuadro(std::int32_t n) {
  return n == std::numeric_limits<std::int32_t>::max() ? 1 : n + 1;
}

void encenderVista() { estado.conVista = estado.camara ? 1 : 0; }

void apagarVista() {
  estado.conVista = 0;
  if (!estado.camara) return;
  CameraWidget* widget = nullptr;
  if (gp_camera_get_single_config(estado.camara, "viewfinder", &widget, estado.ctx) < 0) return;
  // The library reads the value as the widget's own type: an int, a float, a
  // string or a pointer. Eight zero bytes read as zero or empty in every case.
  std::int64_t cero = 0;
  gp_widget_set_value(widget, &cero);
  gp_camera_set_single_config(estado.camara, "viewfinder", widget, estado.ctx);
  gp_widget_free(widget);
}

void capturarVista() {
  CameraFile* cuadro = nullptr;
  if (gp_file_new(&cuadro) < 0) return;
  int r = gp_camera_capture_preview(estado.camara, cuadro, estado.ctx);
  if (r >= 0) {
    char publicado[4300];
    std::snprintf(publicado, sizeof publicado, "%s/%s", estado.temporal, kVistaPublicada);
    // A frame that cannot be saved or published is dropped silently.
    if (publicarCuadro(cuadro, publicado)) {
      estado.nVista = siguienteCuadro(estado.nVista);
      enviarVista(publicado, estado.nVista);
    }
  } else if (r != GP_ERROR_CAMERA_BUSY) {
    estado.conVista = 0;
    enviarError("vista en directo", r);
    enviarVistaFin();
  }
  gp_file_unref(cuadro);
}
