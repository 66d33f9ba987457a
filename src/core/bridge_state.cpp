#include "core/bridge_state.h"

#include <cstring>

BridgeState estado;

void copiarTexto(char* dst, std::size_t capacidad, const char* src) {
  if (capacidad == 0) return;
  std::size_t n = std::strlen(src);
  if (n >= capacidad) n = capacidad - 1;
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

std::time_t ahoraMonotono() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec;
}
