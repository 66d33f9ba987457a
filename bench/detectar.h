// Camera detection exactly as the bridge does it for `buscar`: fresh driver
// and port tables, then the library's detection. Shared by the benchmark
// helpers so they measure the same calls.
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
