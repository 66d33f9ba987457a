#include "camera/alerta.h"

#include "core/bridge_state.h"

void encenderAlerta() {
  if (estado.camara) estado.alerta = 1;
}

void apagarAlerta() { estado.alerta = 0; }
