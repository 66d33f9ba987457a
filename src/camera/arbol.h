// The camera's configuration tree: walking its elements with their rutas,
// and the rutas of the open camera's widgets remembered from the last walk,
// so one widget read on its own can still be named by its whole ruta.
#pragma once

#include <gphoto2/gphoto2.h>

#include <string_view>

// Called for every element (leaf widget that is not a button) of a tree,
// with its ruta: "/" before each name from the top window down.
using Visita = void (*)(CameraWidget* widget, const char* ruta, void* datos);

// Visits every element below `raiz` depth first, children in the library's
// order, and remembers their rutas in place of those remembered before. A
// widget whose ruta would not fit the bridge's 4 KiB buffer is left out.
void recorrerArbol(CameraWidget* raiz, Visita visitar, void* datos);

// Forgets every remembered ruta (a camera opens or closes).
void olvidarRutas();

// The first remembered ruta whose last part is `nombre`, or null.
const char* rutaDeNombre(std::string_view nombre);

// How many remembered rutas end in `nombre`.
int rutasConNombre(std::string_view nombre);

// True when `ruta` is remembered exactly.
bool rutaRecordada(std::string_view ruta);

// The last part of a ruta (the widget's name).
std::string_view nombreDeRuta(std::string_view ruta);
