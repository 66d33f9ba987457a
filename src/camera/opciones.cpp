#include "camera/opciones.h"

#include <cstring>

#include "camera/ajustes.h"
#include "camera/conexion.h"
#include "camera/fijar.h"
#include "core/bridge_state.h"
#include "events/eventos.h"
#include "events/json.h"

namespace {

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

const Ajuste* ajustePorClave(std::string_view clave) {
  for (const Ajuste& a : kExposicion) {
    if (a.clave == clave) return &a;
  }
  return nullptr;
}

// `ajustar` of one of the three exposure keys, answered with `ajustes`.
void ajustarClave(const Ajuste& ajuste, const char* valor) {
  CameraWidget* widget = nullptr;
  char nombre[32];
  int r = widgetDeAjuste(ajuste.nombres, &widget, nombre);
  if (r < 0) {
    fallarOperacion("ajustar", r);
    return;
  }
  // A value the camera does not offer (or an empty one, even listed) is
  // refused before the camera is asked.
  if (valor[0] == '\0' || (tieneOpciones(widget) && !valorAdmitido(widget, valor))) {
    gp_widget_free(widget);
    enviarError("ajustar", GP_ERROR_BAD_PARAMETERS);
    return;
  }
  r = gp_widget_set_value(widget, valor);
  if (r >= 0) r = gp_camera_set_single_config(estado.camara, nombre, widget, estado.ctx);
  gp_widget_free(widget);
  if (r < 0) {
    fallarOperacion("ajustar", r);
    return;
  }
  enviarAjustes();
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
    char nombre[32];
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
  const std::size_t espacio = resto.find(' ');
  const std::string_view nombre = resto.substr(0, espacio);
  if (nombre.empty() || espacio == std::string_view::npos) {
    enviarError("ajustar", GP_ERROR_BAD_PARAMETERS);
    return;
  }
  // The value runs to the end of the line, which is zero-terminated: it is
  // taken whole, never cut.
  const char* valor = resto.data() + espacio + 1;
  if (const Ajuste* ajuste = ajustePorClave(nombre)) {
    ajustarClave(*ajuste, valor);
  } else {
    ajustarControl(nombre, valor);
  }
}
