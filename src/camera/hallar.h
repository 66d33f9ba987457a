// Finding one widget of the open camera by its name or its whole ruta.
#pragma once

#include <gphoto2/gphoto2.h>

#include <string_view>

// A widget found, with what must be freed to release it.
struct Hallado {
  CameraWidget* widget;  // the element found
  // The whole tree holding `widget` when it had to be read whole; null when
  // `widget` was read on its own.
  CameraWidget* arbol;
  char nombre[256];  // its name, as the library's single-widget calls take it
  char ruta[4096];
};

// Finds the element `pedido` names: a widget's name, or its whole ruta when
// it starts with "/", matched exactly. The widget is read on its own where
// the driver can (its ruta comes from the rutas remembered from the last
// whole-tree read, which is made once when they do not know it), else
// through the whole tree. Returns GP_OK with `h` filled (release it with
// soltar), GP_ERROR_BAD_PARAMETERS when there is no such element (buttons
// and sections are none), or the library's failure.
int hallarWidget(std::string_view pedido, Hallado& h);

// Frees what hallarWidget took.
void soltar(Hallado& h);
