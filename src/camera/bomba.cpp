#include "camera/bomba.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "camera/ajustes.h"
#include "camera/cierre.h"
#include "camera/disparos.h"
#include "core/bridge_state.h"
#include "events/eventos.h"
#include "storage/bajar.h"

namespace {

// What one camera wait came to.
enum class Atendido { archivo, otro, vacio, fallo, desconectada };

// Waits up to `esperaMs` for one camera event and handles it.
Atendido atenderEvento(int esperaMs) {
  using Reloj = std::chrono::steady_clock;
  CameraEventType tipo = GP_EVENT_UNKNOWN;
  void* datos = nullptr;
  const Reloj::time_point inicio = Reloj::now();
  int r = gp_camera_wait_for_event(estado.camara, esperaMs, &tipo, &datos, estado.ctx);
  if (r < 0) {
    if (esDesconexion(r)) {
      cerrada("desconectada");
      return Atendido::desconectada;
    }
    enviarError("cámara", r);
    // A wait that fails at once must not make the loop spin: the rest of
    // this wait is spent waiting on standard input instead.
    auto usados = std::chrono::duration_cast<std::chrono::milliseconds>(Reloj::now() - inicio);
    if (usados.count() < esperaMs)
      estado.esperaPendienteMs = esperaMs - static_cast<int>(usados.count());
    return Atendido::fallo;
  }
  Atendido hecho = Atendido::vacio;
  if (tipo == GP_EVENT_FILE_ADDED && datos != nullptr) {
    hecho = Atendido::archivo;
    auto* ruta = static_cast<CameraFilePath*>(datos);
    // The driver fills these fields; never trust them to be terminated.
    ruta->folder[sizeof ruta->folder - 1] = '\0';
    ruta->name[sizeof ruta->name - 1] = '\0';
    anotarArchivo(ruta->folder, ruta->name);
    bajarFoto(ruta->folder, ruta->name);
    enviarAjustes();
  } else if (tipo != GP_EVENT_TIMEOUT) {
    hecho = Atendido::otro;
  }
  std::free(datos);
  return hecho;
}

}  // namespace

bool esDesconexion(int estadoLib) {
  return estadoLib == GP_ERROR_IO || estadoLib == GP_ERROR_IO_USB_FIND ||
         estadoLib == GP_ERROR_MODEL_NOT_FOUND || estadoLib == GP_ERROR_CAMERA_ERROR;
}

bool esperarEvento(int esperaMs) {
  Atendido a = atenderEvento(esperaMs);
  const bool algo = a == Atendido::archivo || a == Atendido::otro;
  // Only a turn whose wait worked is idle: a failing camera is not re-read.
  if (a == Atendido::fallo || a == Atendido::desconectada || estado.conVista) return algo;
  if (ahoraMonotono() - estado.ultimosAjustes >= 3) enviarAjustes();
  return algo;
}

void recogerDisparos() {
  if (!estado.camara || estado.disparos.enVuelo <= 0) return;
  // A photo fired on the camera's body is announced exactly like a
  // triggered one, so no file that comes now can be trusted to be the
  // shot's own: rather than skip a shot, the close serves the camera for
  // its whole bound.
  const std::int64_t fin = ahoraMs() + kEsperaDisparosMs;
  while (estado.camara) {
    const std::int64_t resto = fin - ahoraMs();
    if (resto <= 0) break;
    Atendido a = atenderEvento(resto < kEsperaReposoMs ? static_cast<int>(resto) : kEsperaReposoMs);
    if (a == Atendido::fallo && estado.esperaPendienteMs > 0) {
      // A failing wait is not allowed to spin here either.
      timespec pausa{0, estado.esperaPendienteMs * 1000000L};
      estado.esperaPendienteMs = 0;
      nanosleep(&pausa, nullptr);
    }
  }
  estado.disparos.enVuelo = 0;
}
