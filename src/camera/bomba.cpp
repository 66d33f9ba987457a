#include "camera/bomba.h"

#include <chrono>
#include <cstdlib>
#include <ctime>

#include "camera/ajustes.h"
#include "camera/conexion.h"
#include "core/bridge_state.h"
#include "events/eventos.h"
#include "storage/bajar.h"

bool esDesconexion(int estadoLib) {
  return estadoLib == GP_ERROR_IO || estadoLib == GP_ERROR_IO_USB_FIND ||
         estadoLib == GP_ERROR_MODEL_NOT_FOUND || estadoLib == GP_ERROR_CAMERA_ERROR;
}

void esperarEvento() {
  using Reloj = std::chrono::steady_clock;
  const int espera = estado.conVista ? 10 : 200;
  CameraEventType tipo = GP_EVENT_UNKNOWN;
  void* datos = nullptr;
  const Reloj::time_point inicio = Reloj::now();
  int r = gp_camera_wait_for_event(estado.camara, espera, &tipo, &datos, estado.ctx);
  if (r < 0) {
    if (esDesconexion(r)) {
      cerrada("desconectada");
      return;
    }
    enviarError("cámara", r);
    // A wait that fails at once must not make the loop spin: the rest of
    // this turn's wait is spent waiting on standard input instead.
    auto usados = std::chrono::duration_cast<std::chrono::milliseconds>(Reloj::now() - inicio);
    if (usados.count() < espera)
      estado.esperaPendienteMs = espera - static_cast<int>(usados.count());
    return;
  }
  if (tipo == GP_EVENT_FILE_ADDED && datos != nullptr) {
    auto* ruta = static_cast<CameraFilePath*>(datos);
    // The driver fills these fields; never trust them to be terminated.
    ruta->folder[sizeof ruta->folder - 1] = '\0';
    ruta->name[sizeof ruta->name - 1] = '\0';
    bajarFoto(ruta->folder, ruta->name);
    enviarAjustes();
  }
  std::free(datos);
  if (estado.conVista) return;
  if (ahoraMonotono() - estado.ultimosAjustes >= 3) enviarAjustes();
}
