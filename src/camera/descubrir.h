// Driver and port tables, and the `buscar` command.
#pragma once

// Rebuilds the driver table and the port table from scratch.
void cargarListas();

// Detects the connected cameras and answers with one `camaras` event.
void buscar();
