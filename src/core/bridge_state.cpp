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

std::int64_t ahoraMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return std::int64_t{t.tv_sec} * 1000 + t.tv_nsec / 1000000;
}
