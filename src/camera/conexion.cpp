#include "camera/conexion.h"

#include <cstdlib>
#include <cstring>

#include "camera/ajustes.h"
#include "camera/arbol.h"
#include "camera/bomba.h"
#include "camera/descubrir.h"
#include "core/bridge_state.h"
#include "events/eventos.h"

namespace {

// Releases a camera that never finished opening and reports why.
void fallarApertura(int estadoLib) {
  enviarError("abrir", estadoLib);
  gp_camera_free(estado.camara);
  estado.camara = nullptr;
}

// Hands the camera its driver and its port, as found in the tables the
// detection just used. A lookup that finds nothing is reported, not used.
int configurarCamara(const char* modelo, const char* puerto) {
  int m = gp_abilities_list_lookup_model(estado.capacidades, modelo);
  if (m < 0) return m;
  CameraAbilities capacidades;
  int r = gp_abilities_list_get_abilities(estado.capacidades, m, &capacidades);
  if (r < 0) return r;
  gp_camera_set_abilities(estado.camara, capacidades);

  int p = gp_port_info_list_lookup_path(estado.puertos, puerto);
  if (p < 0) return p;
  GPPortInfo info;
  r = gp_port_info_list_get_info(estado.puertos, p, &info);
  if (r < 0) return r;
  gp_camera_set_port_info(estado.camara, info);
  return GP_OK;
}

// Steers captures to the memory card: the first "capturetarget" choice whose
// text contains "card" or "Card" becomes the value. Silent on any failure.
void elegirTarjeta() {
  CameraWidget* widget = nullptr;
  if (gp_camera_get_single_config(estado.camara, "capturetarget", &widget, estado.ctx) < 0) {
    return;
  }
  int cuantas = gp_widget_count_choices(widget);
  for (int i = 0; i < cuantas; ++i) {
    const char* opcion = nullptr;
    if (gp_widget_get_choice(widget, i, &opcion) < 0 || opcion == nullptr) continue;
    if (std::strstr(opcion, "card") || std::strstr(opcion, "Card")) {
      gp_widget_set_value(widget, opcion);
      gp_camera_set_single_config(estado.camara, "capturetarget", widget, estado.ctx);
      break;
    }
  }
  gp_widget_free(widget);
}

}  // namespace

void cerrarTrasDisparos(const char* motivo) {
  // A camera that goes away takes its shots in flight with it; any other
  // close first lets them land.
  if (estado.camara) {
    recogerDisparos();
    // It went away while they were collected: that close has been told.
    if (!estado.camara) return;
  }
  cerrada(motivo);
}

void fallarOperacion(const char* etiqueta, int estadoLib) {
  if (esDesconexion(estadoLib)) {
    cerrada("desconectada");
  } else {
    enviarError(etiqueta, estadoLib);
  }
}

void abrir(std::int64_t indice, const char* carpeta) {
  if (estado.camara) cerrarTrasDisparos("otra");
  olvidarRutas();
  copiarTexto(estado.carpeta, sizeof estado.carpeta, carpeta);
  cargarListas();

  CameraList* lista = nullptr;
  gp_list_new(&lista);
  gp_abilities_list_detect(estado.capacidades, estado.puertos, lista, estado.ctx);
  int cuantas = gp_list_count(lista);
  if (indice < 0 || indice >= cuantas) {
    gp_list_free(lista);
    enviarError("abrir", GP_ERROR_MODEL_NOT_FOUND);
    return;
  }
  int i = static_cast<int>(indice);
  const char* nombre = "";
  const char* puerto = "";
  gp_list_get_name(lista, i, &nombre);
  gp_list_get_value(lista, i, &puerto);
  if (nombre == nullptr) nombre = "";
  if (puerto == nullptr) puerto = "";
  char modelo[256];
  copiarTexto(modelo, sizeof modelo, nombre);

  int r = gp_camera_new(&estado.camara);
  if (r < 0) {
    estado.camara = nullptr;
    gp_list_free(lista);
    enviarError("abrir", r);
    return;
  }
  r = configurarCamara(nombre, puerto);
  gp_list_free(lista);
  if (r < 0) {
    fallarApertura(r);
    return;
  }
  r = gp_camera_init(estado.camara, estado.ctx);
  if (r < 0) {
    fallarApertura(r);
    return;
  }
  elegirTarjeta();
  enviarAbierta(modelo);
  enviarAjustes();
}

void cerrar() { cerrarTrasDisparos("orden"); }

void salir() {
  if (estado.camara) cerrarTrasDisparos("orden");
  std::exit(0);
}
