// Releasing the camera: the last step of every close, whoever asks for it.
#pragma once

// Closes the open camera, if any, turns live view and alert mode off and
// emits `cerrada`
// with `motivo` ("orden", "otra" or "desconectada"). Waits for nothing: a
// close that should first let shots in flight land goes through
// cerrarTrasDisparos (camera/conexion.h).
void cerrada(const char* motivo);
