#include "camera/descubrir.h"

#include "core/bridge_state.h"
#include "events/eventos.h"
#include "events/json.h"

void cargarListas() {
  if (estado.capacidades) gp_abilities_list_free(estado.capacidades);
  if (estado.puertos) gp_port_info_list_free(estado.puertos);
  estado.capacidades = nullptr;
  estado.puertos = nullptr;
  gp_abilities_list_new(&estado.capacidades);
  gp_abilities_list_load(estado.capacidades, estado.ctx);
  gp_port_info_list_new(&estado.puertos);
  gp_port_info_list_load(estado.puertos);
}

void buscar() {
  cargarListas();
  CameraList* lista = nullptr;
  gp_list_new(&lista);
  gp_abilities_list_detect(estado.capacidades, estado.puertos, lista, estado.ctx);
  int cuantas = gp_list_count(lista);

  escribir("{\"e\":\"camaras\",\"lista\":[");
  for (int i = 0; i < cuantas; ++i) {
    const char* modelo = "";
    const char* puerto = "";
    gp_list_get_name(lista, i, &modelo);
    gp_list_get_value(lista, i, &puerto);
    escribir(i == 0 ? "{\"modelo\":" : ",{\"modelo\":");
    jsonTexto(modelo ? modelo : "");
    escribir(",\"puerto\":");
    jsonTexto(puerto ? puerto : "");
    escribir("}");
  }
  escribir("]");
  terminarEvento();
  gp_list_free(lista);
}
