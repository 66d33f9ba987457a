#include "camera/vista.h"

#include <cstdint>
#include <cstdio>
#include <limits>

#include "core/bridge_state.h"
#include "events/eventos.h"

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
    char temporal[4300];
    char publicado[4300];
    std::snprintf(temporal, sizeof temporal, "%s/vista.tmp", estado.temporal);
    std::snprintf(publicado, sizeof publicado, "%s/vista.jpg", estado.temporal);
    // A frame that cannot be saved or published is dropped silently.
    if (gp_file_save(cuadro, temporal) >= 0 && std::rename(temporal, publicado) == 0) {
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
