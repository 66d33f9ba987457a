#include "core/bucle.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "camera/bomba.h"
#include "camera/vista.h"
#include "core/bridge_state.h"
#include "core/comandos.h"
#include "core/lector.h"

namespace {

// How long this turn may wait on standard input: 200 ms with no camera;
// with a camera, only what a failed camera wait left of its own timeout
// (normally nothing, since the camera wait paces the loop).
timeval esperaDeEntrada() {
  long ms = estado.camara ? estado.esperaPendienteMs : 200;
  estado.esperaPendienteMs = 0;
  return timeval{ms / 1000, (ms % 1000) * 1000};
}

// Reads what standard input holds and handles every complete line.
// Returns false at end of input or on a read failure.
bool leerEntrada() {
  static char linea[sizeof(Entrada::linea)];
  std::span<char> libre = espacioLibre(estado.entrada);
  ssize_t n = read(0, libre.data(), libre.size());
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  anadirLeidos(estado.entrada, static_cast<std::size_t>(n));
  while (auto orden = sacarLinea(estado.entrada, linea)) despachar(*orden);
  return true;
}

}  // namespace

void bucle() {
  for (;;) {
    timeval espera = esperaDeEntrada();
    const timeval pedida = espera;
    fd_set lectura;
    FD_ZERO(&lectura);
    FD_SET(0, &lectura);
    int listos = select(1, &lectura, nullptr, nullptr, &espera);
    if (listos > 0) {
      if (!leerEntrada()) return;
    } else if (listos < 0 && errno == EBADF) {
      // Standard input is gone for good: that is its end.
      return;
    } else if (listos < 0 && errno != EINTR) {
      // Any other failure returns at once and may pass; waiting out the
      // turn keeps it from spinning the loop meanwhile.
      timespec pausa{pedida.tv_sec, pedida.tv_usec * 1000};
      nanosleep(&pausa, nullptr);
    }
    if (estado.camara) {
      if (estado.conVista) capturarVista();
      esperarEvento();
    }
  }
}
