// The camera's whole configuration: `configuracion`, `leer` and the
// `control` event that answers `leer` and `ajustar` of a widget.
#pragma once

#include <string_view>

#include "camera/hallar.h"

// `configuracion`: one `configuracion` event listing every element of one
// whole-tree read, written as it is walked (never gathered in a buffer).
void enviarConfiguracion();

// `leer NAME`: one `control` event for the element NAME names.
void leer(std::string_view nombre);

// {"e":"control", the element's keys}
void enviarControl(const Hallado& h);
