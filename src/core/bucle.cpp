#include "core/bucle.h"

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>

#include "camera/bomba.h"
#include "camera/vista.h"
#include "core/bridge_state.h"
#include "core/comandos.h"
#include "core/lector.h"
#include "core/senales.h"
#include "events/eventos.h"

namespace {

// In alert mode: the last camera wait brought an event.
bool camaraActiva = false;

// Alert mode applies while a camera is open and live view is off.
bool enAlerta() { return estado.camara && estado.alerta && !estado.conVista; }

// How long this turn may wait on standard input: 200 ms with no camera;
// in alert mode, kEntradaAlertaMs, since standard input then paces the
// loop; otherwise only what a failed camera wait left of its own timeout
// (normally nothing, since the camera wait paces the loop).
timespec esperaDeEntrada() {
  long ms = !estado.camara ? 200 : enAlerta() ? kEntradaAlertaMs : estado.esperaPendienteMs;
  // The camera has just announced something: ask it again at once.
  if (camaraActiva) ms = 0;
  camaraActiva = false;
  estado.esperaPendienteMs = 0;
  return timespec{ms / 1000, (ms % 1000) * 1000000};
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

// The end of input, a signal, or a host that no longer reads.
bool terminado() { return estado.senalDeFin || salidaRota(); }

// One live-view turn: a frame, then the camera wait for what the preview
// and the frame's write left of the turn's 10 ms. Turns are laid end to end
// on the clock (each ends 10 ms after the one before), so a wait that runs a
// little long is taken back by the next one: a camera with instant previews
// gets 100 frames a second, never more. A camera slower than that is shown
// at its own speed, with no wait added; a loop that has fallen more than a
// turn behind starts afresh instead of rushing to catch up.
void turnoDeVista() {
  using Reloj = std::chrono::steady_clock;
  static Reloj::time_point finDelTurno;
  constexpr auto kTurno = std::chrono::milliseconds(kEsperaVistaMs);
  const Reloj::time_point inicio = Reloj::now();
  if (finDelTurno + kTurno < inicio) finDelTurno = inicio;
  finDelTurno += kTurno;
  capturarVista();
  if (!estado.camara) return;
  if (!estado.conVista) {
    esperarEvento(kEsperaReposoMs);
    return;
  }
  auto resto = std::chrono::duration_cast<std::chrono::microseconds>(finDelTurno - Reloj::now());
  // To the nearest millisecond: the rounding evens out over the turns.
  long long ms = (resto.count() + 500) / 1000;
  esperarEvento(ms <= 0 ? 0 : static_cast<int>(ms > kEsperaVistaMs ? kEsperaVistaMs : ms));
}

}  // namespace

void bucle() {
  while (!terminado()) {
    timespec espera = esperaDeEntrada();
    const timespec pedida = espera;
    fd_set lectura;
    FD_ZERO(&lectura);
    FD_SET(0, &lectura);
    // End signals are let in only here, so they never break a camera call.
    int listos = pselect(1, &lectura, nullptr, nullptr, &espera, mascaraDeEspera());
    if (listos > 0) {
      if (!leerEntrada()) return;
    } else if (listos < 0 && errno == EBADF) {
      // Standard input is gone for good: that is its end.
      return;
    } else if (listos < 0 && errno != EINTR) {
      // Any other failure returns at once and may pass; waiting out the
      // turn keeps it from spinning the loop meanwhile.
      nanosleep(&pedida, nullptr);
    }
    if (terminado()) return;
    if (!estado.camara) continue;
    if (estado.conVista) {
      turnoDeVista();
    } else if (estado.alerta) {
      // The library's wait cannot be cut short by input, so it is kept to
      // a glance; standard input is what the loop sleeps on.
      camaraActiva = esperarEvento(kEsperaAlertaMs);
    } else {
      esperarEvento(kEsperaReposoMs);
    }
  }
}
