// Alert mode: a shutter that answers at once with live view off.
#pragma once

// `alerta 1`: on, if a camera is open (ignored otherwise).
void encenderAlerta();
// `alerta 0`: off.
void apagarAlerta();
