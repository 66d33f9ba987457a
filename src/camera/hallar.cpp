#include "camera/hallar.h"

#include <cstring>

#include "camera/arbol.h"
#include "camera/elemento.h"
#include "core/bridge_state.h"

namespace {

struct Busqueda {
  std::string_view pedido;
  bool porRuta;
  Hallado* h;
};

void compararElemento(CameraWidget* widget, const char* ruta, void* datos) {
  Busqueda& b = *static_cast<Busqueda*>(datos);
  if (b.h->widget != nullptr) return;
  if (b.porRuta ? b.pedido != ruta : b.pedido != nombreDeRuta(ruta)) return;
  b.h->widget = widget;
  copiarTexto(b.h->ruta, sizeof b.h->ruta, ruta);
}

void nada(CameraWidget*, const char*, void*) {}

// Reads the whole tree only to learn the rutas of its widgets.
void aprenderRutas() {
  CameraWidget* arbol = nullptr;
  if (gp_camera_get_config(estado.camara, &arbol, estado.ctx) < 0) return;
  recorrerArbol(arbol, nada, nullptr);
  gp_widget_free(arbol);
}

int desdeArbol(Busqueda& b) {
  CameraWidget* arbol = nullptr;
  int r = gp_camera_get_config(estado.camara, &arbol, estado.ctx);
  if (r < 0) return r;
  recorrerArbol(arbol, compararElemento, &b);
  if (b.h->widget == nullptr) {
    gp_widget_free(arbol);
    return GP_ERROR_BAD_PARAMETERS;
  }
  b.h->arbol = arbol;
  return GP_OK;
}

}  // namespace

int hallarWidget(std::string_view pedido, Hallado& h) {
  h.widget = nullptr;
  h.arbol = nullptr;
  h.nombre[0] = '\0';
  h.ruta[0] = '\0';
  const bool porRuta = !pedido.empty() && pedido[0] == '/';
  const std::string_view nombre = porRuta ? nombreDeRuta(pedido) : pedido;
  if (nombre.empty() || nombre.size() >= sizeof h.nombre || pedido.size() >= sizeof h.ruta) {
    return GP_ERROR_BAD_PARAMETERS;
  }
  std::memcpy(h.nombre, nombre.data(), nombre.size());
  h.nombre[nombre.size()] = '\0';
  Busqueda b{pedido, porRuta, &h};

  // A ruta is read on its own only when it is known and its name names
  // nothing else: the library looks single widgets up by name.
  if (!porRuta || (rutaRecordada(pedido) && rutasConNombre(nombre) == 1)) {
    CameraWidget* w = nullptr;
    int r = gp_camera_get_single_config(estado.camara, h.nombre, &w, estado.ctx);
    if (r >= 0) {
      if (tipoDeWidget(w) == nullptr) {
        gp_widget_free(w);
        return GP_ERROR_BAD_PARAMETERS;
      }
      h.widget = w;
      if (porRuta) {
        std::memcpy(h.ruta, pedido.data(), pedido.size());
        h.ruta[pedido.size()] = '\0';
        return GP_OK;
      }
      const char* ruta = rutaDeNombre(nombre);
      if (ruta == nullptr) {
        aprenderRutas();
        ruta = rutaDeNombre(nombre);
      }
      if (ruta != nullptr) {
        copiarTexto(h.ruta, sizeof h.ruta, ruta);
      } else {
        // A widget the driver reads alone but its tree does not show.
        h.ruta[0] = '/';
        copiarTexto(h.ruta + 1, sizeof h.ruta - 1, h.nombre);
      }
      return GP_OK;
    }
    if (r != GP_ERROR_NOT_SUPPORTED) return r;
  }
  return desdeArbol(b);
}

void soltar(Hallado& h) {
  if (h.arbol != nullptr) {
    gp_widget_free(h.arbol);
  } else if (h.widget != nullptr) {
    gp_widget_free(h.widget);
  }
  h.widget = nullptr;
  h.arbol = nullptr;
}
