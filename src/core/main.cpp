// gpbridge: lets a host application control one tethered camera through
// libgphoto2. Commands arrive one per line on standard input; events leave
// as one JSON object per line on standard output.

#include <cstdio>

#include "camera/conexion.h"
#include "core/bridge_state.h"
#include "core/bucle.h"

int main(int argc, char** argv) {
  copiarTexto(estado.temporal, sizeof estado.temporal, argc > 1 ? argv[1] : "/tmp");
  estado.ctx = gp_context_new();
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  bucle();
  if (estado.camara) cerrada("orden");
  return 0;
}
