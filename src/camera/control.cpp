#include "camera/control.h"

#include "camera/arbol.h"
#include "camera/conexion.h"
#include "camera/elemento.h"
#include "core/bridge_state.h"
#include "events/eventos.h"

namespace {

void escribirEnLista(CameraWidget* widget, const char* ruta, void* datos) {
  bool& primero = *static_cast<bool*>(datos);
  escribir(primero ? "{" : ",{");
  primero = false;
  escribirElemento(widget, ruta);
  escribir("}");
}

}  // namespace

void enviarControl(const Hallado& h) {
  escribir("{\"e\":\"control\",");
  escribirElemento(h.widget, h.ruta);
  terminarEvento();
}

void enviarConfiguracion() {
  if (!estado.camara) return;
  CameraWidget* arbol = nullptr;
  int r = gp_camera_get_config(estado.camara, &arbol, estado.ctx);
  if (r < 0) {
    fallarOperacion("configuracion", r);
    return;
  }
  bool primero = true;
  escribir("{\"e\":\"configuracion\",\"lista\":[");
  recorrerArbol(arbol, escribirEnLista, &primero);
  escribir("]");
  terminarEvento();
  gp_widget_free(arbol);
}

void leer(std::string_view nombre) {
  if (!estado.camara) return;
  Hallado h;
  int r = hallarWidget(nombre, h);
  if (r < 0) {
    fallarOperacion("leer", r);
    return;
  }
  enviarControl(h);
  soltar(h);
}
