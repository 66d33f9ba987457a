// The events the bridge sends its host, one JSON object per line. Each
// procedure writes one whole line and flushes it.
#pragma once

#include <cstdint>

// Writes literal protocol text (braces, keys, separators) as is.
void escribir(const char* literal);
// Ends the current event line and flushes it to the host.
void terminarEvento();
// True once a flush has failed because nobody reads standard output.
bool salidaRota();

// {"e":"error","texto":"<etiqueta>: <library text for estado>"}
void enviarError(const char* etiqueta, int estado);
// {"e":"error","texto":"No se puede guardar en la carpeta"}
void enviarErrorCarpeta();

void enviarAbierta(const char* modelo);
void enviarCerrada(const char* motivo);
void enviarFoto(const char* ruta, const char* nombre);
void enviarVista(const char* ruta, std::int32_t n);
void enviarVistaFin();
void enviarAjustesLinea(const char* iso, const char* diafragma, const char* velocidad,
                        const char* bateria);
