#include "camera/opciones.h"

#include <cstring>

#include "camera/ajustes.h"
#include "camera/bomba.h"
#include "camera/conexion.h"
#include "core/bridge_state.h"
#include "events/eventos.h"
#include "events/json.h"

namespace {

// The widget a setting is read from: the first of its configuration names
// that the camera has as a text, radio or menu widget. Returns GP_OK with
// the widget (the caller frees it) and its name; a disconnection status if
// the camera went away on the way; GP_ERROR_BAD_PARAMETERS if there is none.
int widgetDeAjuste(const char* nombres, CameraWidget** widget, char (&nombre)[256]) {
  char trabajo[256];
  copiarTexto(trabajo, sizeof trabajo, nombres);
  char* resto = nullptr;
  for (char* n = strtok_r(trabajo, ",", &resto); n != nullptr; n = strtok_r(nullptr, ",", &resto)) {
    CameraWidget* w = nullptr;
    int r = gp_camera_get_single_config(estado.camara, n, &w, estado.ctx);
    if (r < 0) {
      if (esDesconexion(r)) return r;
      continue;
    }
    CameraWidgetType tipo;
    if (gp_widget_get_type(w, &tipo) >= 0 &&
        (tipo == GP_WIDGET_TEXT || tipo == GP_WIDGET_RADIO || tipo == GP_WIDGET_MENU)) {
      *widget = w;
      copiarTexto(nombre, sizeof nombre, n);
      return GP_OK;
    }
    gp_widget_free(w);
  }
  return GP_ERROR_BAD_PARAMETERS;
}

bool tieneOpciones(CameraWidget* widget) {
  CameraWidgetType tipo;
  return gp_widget_get_type(widget, &tipo) >= 0 &&
         (tipo == GP_WIDGET_RADIO || tipo == GP_WIDGET_MENU);
}

// Writes the widget's choices as the elements of a JSON array.
void escribirOpciones(CameraWidget* widget) {
  if (!tieneOpciones(widget)) return;
  bool primera = true;
  int cuantas = gp_widget_count_choices(widget);
  for (int i = 0; i < cuantas; ++i) {
    const char* opcion = nullptr;
    if (gp_widget_get_choice(widget, i, &opcion) < 0 || opcion == nullptr) continue;
    if (!primera) escribir(",");
    jsonTexto(opcion);
    primera = false;
  }
}

bool esOpcion(CameraWidget* widget, const char* valor) {
  int cuantas = gp_widget_count_choices(widget);
  for (int i = 0; i < cuantas; ++i) {
    const char* opcion = nullptr;
    if (gp_widget_get_choice(widget, i, &opcion) >= 0 && opcion != nullptr &&
        std::strcmp(opcion, valor) == 0) {
      return true;
    }
  }
  return false;
}

const Ajuste* ajustePorClave(std::string_view clave) {
  for (const Ajuste& a : kExposicion) {
    if (a.clave == clave) return &a;
  }
  return nullptr;
}

// Reports a failed `ajustar`; a camera that has gone is closed instead.
void fallarAjuste(int estadoLib) {
  if (esDesconexion(estadoLib)) {
    cerrada("desconectada");
  } else {
    enviarError("ajustar", estadoLib);
  }
}

}  // namespace

void enviarOpciones() {
  if (!estado.camara) return;
  escribir("{\"e\":\"opciones\"");
  for (const Ajuste& a : kExposicion) {
    escribir(",\"");
    escribir(a.clave.data());
    escribir("\":[");
    CameraWidget* widget = nullptr;
    char nombre[256];
    if (widgetDeAjuste(a.nombres, &widget, nombre) == GP_OK) {
      escribirOpciones(widget);
      gp_widget_free(widget);
    }
    escribir("]");
  }
  terminarEvento();
}

void ajustar(std::string_view resto) {
  if (!estado.camara) return;
  std::size_t espacio = resto.find(' ');
  const Ajuste* ajuste = ajustePorClave(resto.substr(0, espacio));
  if (ajuste == nullptr || espacio == std::string_view::npos || espacio + 1 == resto.size()) {
    enviarError("ajustar", GP_ERROR_BAD_PARAMETERS);
    return;
  }
  // The value runs to the end of the line, which is zero-terminated.
  char valor[256];
  copiarTexto(valor, sizeof valor, resto.data() + espacio + 1);

  CameraWidget* widget = nullptr;
  char nombre[256];
  int r = widgetDeAjuste(ajuste->nombres, &widget, nombre);
  if (r < 0) {
    fallarAjuste(r);
    return;
  }
  // A value the camera does not offer is refused before the camera is asked.
  if (tieneOpciones(widget) && !esOpcion(widget, valor)) {
    gp_widget_free(widget);
    enviarError("ajustar", GP_ERROR_BAD_PARAMETERS);
    return;
  }
  r = gp_widget_set_value(widget, valor);
  if (r >= 0) r = gp_camera_set_single_config(estado.camara, nombre, widget, estado.ctx);
  gp_widget_free(widget);
  if (r < 0) {
    fallarAjuste(r);
    return;
  }
  enviarAjustes();
}
