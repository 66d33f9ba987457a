#include "camera/arbol.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "camera/elemento.h"

namespace {

// Rutas live back to back, zero-terminated, in one fixed arena. A tree that
// does not fit is remembered only in part: a ruta missing here costs a
// whole-tree read when it is asked for, never a wrong answer.
constexpr std::size_t kArena = 256 * 1024;
constexpr std::size_t kRutas = 8192;
char arena[kArena];
// Where each ruta starts in the arena, its length, and where its name
// starts in it, so a lookup by name compares names only.
struct Recordada {
  std::uint32_t inicio;
  std::uint16_t largo;
  std::uint16_t nombre;
};
Recordada rutas[kRutas];
std::size_t usados = 0;
std::size_t cuantas = 0;

void recordar(const char* ruta, std::size_t largo) {
  if (cuantas == kRutas || largo > UINT16_MAX || usados + largo + 1 > kArena) return;
  std::memcpy(arena + usados, ruta, largo + 1);
  const std::size_t nombre = std::string_view(ruta, largo).rfind('/') + 1;
  rutas[cuantas++] = {static_cast<std::uint32_t>(usados), static_cast<std::uint16_t>(largo),
                      static_cast<std::uint16_t>(nombre)};
  usados += largo + 1;
}

std::string_view recordada(std::size_t i) { return {arena + rutas[i].inicio, rutas[i].largo}; }

std::string_view nombreRecordado(std::size_t i) {
  return {arena + rutas[i].inicio + rutas[i].nombre,
          static_cast<std::size_t>(rutas[i].largo - rutas[i].nombre)};
}

struct Recorrido {
  Visita visitar;
  void* datos;
  char ruta[4096];
};

void bajar(Recorrido& r, CameraWidget* widget, std::size_t largo) {
  const char* nombre = nullptr;
  if (gp_widget_get_name(widget, &nombre) < 0 || nombre == nullptr) nombre = "";
  const std::size_t n = std::strlen(nombre);
  if (largo + 1 + n >= sizeof r.ruta) return;
  r.ruta[largo] = '/';
  std::memcpy(r.ruta + largo + 1, nombre, n + 1);
  largo += 1 + n;

  CameraWidgetType tipo;
  if (gp_widget_get_type(widget, &tipo) < 0) return;
  if (tipo == GP_WIDGET_WINDOW || tipo == GP_WIDGET_SECTION) {
    const int hijos = gp_widget_count_children(widget);
    for (int i = 0; i < hijos; ++i) {
      CameraWidget* hijo = nullptr;
      if (gp_widget_get_child(widget, i, &hijo) >= 0 && hijo != nullptr) bajar(r, hijo, largo);
    }
    return;
  }
  if (tipoDeElemento(tipo) == nullptr) return;
  recordar(r.ruta, largo);
  r.visitar(widget, r.ruta, r.datos);
}

}  // namespace

void recorrerArbol(CameraWidget* raiz, Visita visitar, void* datos) {
  olvidarRutas();
  static Recorrido r;
  r.visitar = visitar;
  r.datos = datos;
  r.ruta[0] = '\0';
  bajar(r, raiz, 0);
}

void olvidarRutas() {
  usados = 0;
  cuantas = 0;
}

std::string_view nombreDeRuta(std::string_view ruta) {
  const std::size_t barra = ruta.rfind('/');
  return barra == std::string_view::npos ? ruta : ruta.substr(barra + 1);
}

const char* rutaDeNombre(std::string_view nombre) {
  for (std::size_t i = 0; i < cuantas; ++i) {
    if (nombreRecordado(i) == nombre) return arena + rutas[i].inicio;
  }
  return nullptr;
}

int rutasConNombre(std::string_view nombre) {
  int n = 0;
  for (std::size_t i = 0; i < cuantas; ++i) n += nombreRecordado(i) == nombre;
  return n;
}

bool rutaRecordada(std::string_view ruta) {
  for (std::size_t i = 0; i < cuantas; ++i) {
    if (recordada(i) == ruta) return true;
  }
  return false;
}
