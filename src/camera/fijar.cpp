#include "camera/fijar.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "camera/conexion.h"
#include "camera/control.h"
#include "camera/hallar.h"
#include "core/bridge_state.h"
#include "events/eventos.h"

namespace {

bool esOpcion(CameraWidget* widget, const char* valor) {
  if (valor[0] == '\0') return false;
  const int cuantas = gp_widget_count_choices(widget);
  for (int i = 0; i < cuantas; ++i) {
    const char* opcion = nullptr;
    if (gp_widget_get_choice(widget, i, &opcion) >= 0 && opcion != nullptr &&
        std::strcmp(opcion, valor) == 0) {
      return true;
    }
  }
  return false;
}

// A number written whole: no leading blank, nothing after it.
bool leerNumero(const char* valor, double& n) {
  if (valor[0] == '\0' || valor[0] == ' ' || (valor[0] >= '\t' && valor[0] <= '\r')) return false;
  char* fin = nullptr;
  errno = 0;
  n = std::strtod(valor, &fin);
  return errno == 0 && *fin == '\0';
}

bool leerEntero(const char* valor, int& n) {
  const char* p = valor[0] == '-' ? valor + 1 : valor;
  if (*p < '0' || *p > '9') return false;
  char* fin = nullptr;
  errno = 0;
  const long v = std::strtol(valor, &fin, 10);
  if (errno != 0 || *fin != '\0' || v < INT_MIN || v > INT_MAX) return false;
  n = static_cast<int>(v);
  return true;
}

bool enRango(CameraWidget* widget, const char* valor) {
  double n = 0;
  if (!leerNumero(valor, n)) return false;
  float minimo = 0, maximo = 0, paso = 0;
  if (gp_widget_get_range(widget, &minimo, &maximo, &paso) < 0) return false;
  // A NaN compares false both ways, so it is refused too.
  return n >= minimo && n <= maximo;
}

// Puts a value valorAdmitido let through into the widget, in its own type.
int ponerValor(CameraWidget* widget, const char* valor) {
  CameraWidgetType tipo;
  int r = gp_widget_get_type(widget, &tipo);
  if (r < 0) return r;
  switch (tipo) {
    case GP_WIDGET_RANGE: {
      float v = static_cast<float>(std::strtod(valor, nullptr));
      return gp_widget_set_value(widget, &v);
    }
    case GP_WIDGET_TOGGLE:
    case GP_WIDGET_DATE: {
      int v = 0;
      leerEntero(valor, v);
      return gp_widget_set_value(widget, &v);
    }
    default:
      return gp_widget_set_value(widget, valor);
  }
}

}  // namespace

bool valorAdmitido(CameraWidget* widget, const char* valor) {
  int soloLectura = 0;
  CameraWidgetType tipo;
  if (gp_widget_get_readonly(widget, &soloLectura) < 0 || soloLectura) return false;
  if (gp_widget_get_type(widget, &tipo) < 0) return false;
  int entero = 0;
  switch (tipo) {
    case GP_WIDGET_TEXT:
      return true;
    case GP_WIDGET_RADIO:
    case GP_WIDGET_MENU:
      return esOpcion(widget, valor);
    case GP_WIDGET_TOGGLE:
      return std::strcmp(valor, "0") == 0 || std::strcmp(valor, "1") == 0;
    case GP_WIDGET_RANGE:
      return enRango(widget, valor);
    case GP_WIDGET_DATE:
      return leerEntero(valor, entero);
    default:
      return false;
  }
}

void ajustarControl(std::string_view nombre, const char* valor) {
  Hallado h;
  int r = hallarWidget(nombre, h);
  if (r < 0) {
    fallarOperacion("ajustar", r);
    return;
  }
  if (!valorAdmitido(h.widget, valor)) {
    soltar(h);
    enviarError("ajustar", GP_ERROR_BAD_PARAMETERS);
    return;
  }
  r = ponerValor(h.widget, valor);
  if (r >= 0) {
    // A widget that came with its whole tree goes back the same way, so the
    // one at that very ruta is the one set.
    r = h.arbol ? gp_camera_set_config(estado.camara, h.arbol, estado.ctx)
                : gp_camera_set_single_config(estado.camara, h.nombre, h.widget, estado.ctx);
  }
  soltar(h);
  if (r >= 0) r = hallarWidget(nombre, h);
  if (r < 0) {
    fallarOperacion("ajustar", r);
    return;
  }
  enviarControl(h);
  soltar(h);
}
