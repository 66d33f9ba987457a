#include "camera/ajustes.h"

#include <cstring>
#include <ctime>

#include "core/bridge_state.h"
#include "events/eventos.h"

namespace {

bool deTexto(CameraWidget* widget) {
  CameraWidgetType tipo;
  return gp_widget_get_type(widget, &tipo) >= 0 &&
         (tipo == GP_WIDGET_TEXT || tipo == GP_WIDGET_RADIO || tipo == GP_WIDGET_MENU);
}

bool tieneValor(CameraWidget* widget) {
  const char* valor = nullptr;
  return gp_widget_get_value(widget, &valor) >= 0 && valor != nullptr && valor[0] != '\0';
}

}  // namespace

int widgetDeAjuste(const char* nombres, CameraWidget** widget, char (&nombre)[32]) {
  *widget = nullptr;
  char trabajo[256];
  copiarTexto(trabajo, sizeof trabajo, nombres);
  char* resto = nullptr;
  for (char* n = strtok_r(trabajo, ",", &resto); n != nullptr; n = strtok_r(nullptr, ",", &resto)) {
    CameraWidget* w = nullptr;
    int r = gp_camera_get_single_config(estado.camara, n, &w, estado.ctx);
    // Both mean the camera has no such widget; anything else is a failure
    // the caller must hear about, not a reason to read another widget.
    if (r == GP_ERROR_BAD_PARAMETERS || r == GP_ERROR_NOT_SUPPORTED) continue;
    if (r < 0) {
      if (*widget) gp_widget_free(*widget);
      *widget = nullptr;
      return r;
    }
    if (!deTexto(w)) {
      gp_widget_free(w);
      continue;
    }
    const bool conValor = tieneValor(w);
    if (*widget == nullptr || conValor) {
      if (*widget) gp_widget_free(*widget);
      *widget = w;
      copiarTexto(nombre, sizeof nombre, n);
      if (conValor) return GP_OK;
    } else {
      gp_widget_free(w);
    }
  }
  return *widget ? GP_OK : GP_ERROR_BAD_PARAMETERS;
}

void leerAjuste(const char* nombres, std::span<char, 64> salida) {
  salida[0] = '\0';
  CameraWidget* widget = nullptr;
  char nombre[32];
  if (widgetDeAjuste(nombres, &widget, nombre) < 0) return;
  const char* valor = nullptr;
  // The string belongs to the widget: copy it before the widget goes.
  if (gp_widget_get_value(widget, &valor) >= 0 && valor != nullptr) {
    copiarTexto(salida.data(), salida.size(), valor);
  }
  gp_widget_free(widget);
}

void enviarAjustes() {
  char iso[64], diafragma[64], velocidad[64], bateria[64];
  leerAjuste(kExposicion[0].nombres, iso);
  leerAjuste(kExposicion[1].nombres, diafragma);
  leerAjuste(kExposicion[2].nombres, velocidad);
  leerAjuste("batterylevel", bateria);
  enviarAjustesLinea(iso, diafragma, velocidad, bateria);
  estado.ultimosAjustes = ahoraMonotono();
}
