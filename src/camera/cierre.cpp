#include "camera/cierre.h"

#include "camera/arbol.h"
#include "camera/disparos.h"
#include "core/bridge_state.h"
#include "events/eventos.h"

void cerrada(const char* motivo) {
  if (estado.camara) {
    gp_camera_exit(estado.camara, estado.ctx);
    gp_camera_free(estado.camara);
    estado.camara = nullptr;
  }
  estado.conVista = 0;
  estado.alerta = 0;
  estado.esperaPendienteMs = 0;
  olvidarDisparos();
  olvidarRutas();
  enviarCerrada(motivo);
}
