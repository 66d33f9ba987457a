#include "camera/ajustes.h"

#include <cstring>
#include <ctime>

#include "core/bridge_state.h"
#include "events/eventos.h"

void leerAjuste(const char* nombres, std::span<char, 64> salida) {
  salida[0] = '\0';
  char trabajo[256];
  copiarTexto(trabajo, sizeof trabajo, nombres);
  char* resto = nullptr;
  for (char* nombre = strtok_r(trabajo, ",", &resto); nombre != nullptr;
       nombre = strtok_r(nullptr, ",", &resto)) {
    CameraWidget* widget = nullptr;
    if (gp_camera_get_single_config(estado.camara, nombre, &widget, estado.ctx) < 0) continue;
    CameraWidgetType tipo;
    if (gp_widget_get_type(widget, &tipo) >= 0 &&
        (tipo == GP_WIDGET_TEXT || tipo == GP_WIDGET_RADIO || tipo == GP_WIDGET_MENU)) {
      const char* valor = nullptr;
      // The string belongs to the widget: copy it before the widget goes.
      if (gp_widget_get_value(widget, &valor) >= 0 && valor != nullptr) {
        copiarTexto(salida.data(), salida.size(), valor);
      }
    }
    gp_widget_free(widget);
    if (salida[0] != '\0') return;
  }
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
