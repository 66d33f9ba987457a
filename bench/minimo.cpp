// The least a program can do to detect cameras with libgphoto2: the same
// library calls the bridge makes for `buscar`, then one line on standard
// output. bench/arranque.py times it against the bridge.
#include <cstdio>

#include "detectar.h"

int main() {
  GPContext* ctx = gp_context_new();
  auto [capacidades, puertos, lista] = detectar(ctx);
  int cuantas = gp_list_count(lista);
  std::printf("%d", cuantas);
  for (int i = 0; i < cuantas; ++i) {
    const char* modelo = "";
    const char* puerto = "";
    gp_list_get_name(lista, i, &modelo);
    gp_list_get_value(lista, i, &puerto);
    std::printf(" %s=%s", modelo ? modelo : "", puerto ? puerto : "");
  }
  std::printf("\n");
  std::fflush(stdout);
  gp_list_free(lista);
  gp_port_info_list_free(puertos);
  gp_abilities_list_free(capacidades);
  gp_context_unref(ctx);
  return 0;
}
