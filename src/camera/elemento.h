// One leaf widget of the camera's configuration as the wire describes it:
// the keys an element of `configuracion` and a `control` event share.
#pragma once

#include <gphoto2/gphoto2.h>

// The wire word for a widget type ("texto", "rango", "interruptor", "radio",
// "menu", "fecha"), or null for the types that are not elements: windows,
// sections and buttons.
const char* tipoDeElemento(CameraWidgetType tipo);

// The wire word for `widget`'s type, or null when it is not an element.
const char* tipoDeWidget(CameraWidget* widget);

// Writes the element's keys for `widget` found at `ruta`, "ruta" first and
// "rango" last, with no braces around them. The widget must be an element.
void escribirElemento(CameraWidget* widget, const char* ruta);
