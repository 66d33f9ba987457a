// Camera detection exactly as the bridge does it for `buscar`: fresh driver
// and port tables, then the library's detection; and opening the first
// camera found as `abrir 0` does. Shared by the benchmark helpers so they
// measure the same calls.
#pragma once

#include <gphoto2/gphoto2.h>

struct Deteccion {
  CameraAbilitiesList* capacidades = nullptr;
  GPPortInfoList* puertos = nullptr;
  CameraList* lista = nullptr;
};

inline Deteccion detectar(GPContext* ctx) {
  Deteccion d;
  gp_abilities_list_new(&d.capacidades);
  gp_abilities_list_load(d.capacidades, ctx);
  gp_port_info_list_new(&d.puertos);
  gp_port_info_list_load(d.puertos);
  gp_list_new(&d.lista);
  gp_abilities_list_detect(d.capacidades, d.puertos, d.lista, ctx);
  return d;
}

// Opens the first detected camera with the same calls as the bridge's
// `abrir 0`; nullptr when there is none or it cannot be opened.
inline Camera* abrirPrimera(GPContext* ctx, const Deteccion& d) {
  if (gp_list_count(d.lista) < 1) return nullptr;
  const char* modelo = nullptr;
  const char* puerto = nullptr;
  gp_list_get_name(d.lista, 0, &modelo);
  gp_list_get_value(d.lista, 0, &puerto);
  Camera* camara = nullptr;
  gp_camera_new(&camara);
  CameraAbilities a;
  gp_abilities_list_get_abilities(d.capacidades,
                                  gp_abilities_list_lookup_model(d.capacidades, modelo), &a);
  gp_camera_set_abilities(camara, a);
  GPPortInfo info;
  gp_port_info_list_get_info(d.puertos, gp_port_info_list_lookup_path(d.puertos, puerto), &info);
  gp_camera_set_port_info(camara, info);
  if (gp_camera_init(camara, ctx) < 0) {
    gp_camera_free(camara);
    return nullptr;
  }
  return camara;
}
