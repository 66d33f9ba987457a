// Opening and closing the one camera the bridge holds.
#pragma once

#include <cstdint>

#include "camera/cierre.h"

// A close on request ("orden", "otra"): lets shots in flight land first
// (recogerDisparos), then closes with `cerrada`, unless the camera went away
// meanwhile (its `cerrada` "desconectada" is then the answer). With no camera
// open it only emits `cerrada`.
void cerrarTrasDisparos(const char* motivo);

// Reports a failed camera operation as `etiqueta: <library text>`; a
// camera that has gone is closed with `cerrada` "desconectada" instead.
void fallarOperacion(const char* etiqueta, int estadoLib);

// Opens camera number `indice` of a fresh detection and makes `carpeta` the
// download folder. Emits `abierta` and `ajustes`, or `error`.
void abrir(std::int64_t indice, const char* carpeta);

// `cerrar`: always answers with `cerrada` "orden".
void cerrar();

// `salir`: closes an open camera and ends the process with status 0.
[[noreturn]] void salir();
