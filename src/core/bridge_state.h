// Process-wide state of the bridge. Everything starts zeroed; one loop in one
// thread reads and writes it, so there is no locking.
#pragma once

#include <gphoto2/gphoto2.h>

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <ctime>

// Standard input waiting to be framed into lines. Holds `b` bytes followed by
// a zero byte, so `b` never exceeds 8191.
struct Entrada {
  char linea[8192];
  std::size_t b;
  // Set while the rest of an over-long line is being thrown away.
  bool descartando;
};

// Shots in flight and the stems of the files announced last.
struct Disparos {
  int enVuelo;
  std::uint64_t tallos[8];  // hashes of folder + stem, oldest overwritten first
  unsigned siguiente;       // next slot of `tallos` to overwrite
  unsigned anotados;        // slots of `tallos` in use
};

struct BridgeState {
  char temporal[4096];  // live-view directory
  char carpeta[4096];   // download folder, set by every `abrir`
  GPContext* ctx;
  Camera* camara;  // open camera, or null
  std::int32_t conVista;
  // Alert mode (`alerta 1`): with live view off, the loop waits on standard
  // input itself and gives the camera only short waits between, so a
  // command is handled at once. Ends with every close.
  std::int32_t alerta;
  CameraAbilitiesList* capacidades;
  GPPortInfoList* puertos;
  // When the last `ajustes` was sent, in whole seconds of ahoraMonotono(),
  // so a wall clock stepped back (or forward) never stalls the idle report.
  std::time_t ultimosAjustes;
  std::int32_t nVista;
  Entrada entrada;
  // When the last camera wait failed before its timeout ran out, how long the
  // next turn may still wait on standard input (milliseconds), so a failing
  // camera cannot make the loop spin.
  int esperaPendienteMs;
  // Shots fired by `disparar` whose files the camera has not announced yet,
  // counted by stem (camera/disparos.h). A close first waits for them
  // (recogerDisparos).
  Disparos disparos;
  // Set by SIGTERM, SIGINT or SIGHUP: the loop ends as at the end of input.
  volatile std::sig_atomic_t senalDeFin;
};

extern BridgeState estado;

// Copies `src` into `dst` of `capacidad` bytes, cutting silently and always
// leaving it zero-terminated.
void copiarTexto(char* dst, std::size_t capacidad, const char* src);

// Whole seconds of a clock that only moves forward (CLOCK_MONOTONIC).
std::time_t ahoraMonotono();

// Milliseconds of the same clock.
std::int64_t ahoraMs();
