// Files of the bridge's own in folders it shares with other programs and
// users. A name is only written through when what sits there is plainly
// ours; anything else is left exactly as it is.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <span>

// The bridge's own file names.
inline constexpr char kSufijoParcial[] = ".parcial";  // a photo being downloaded
inline constexpr char kVistaPublicada[] = "vista.jpg";
inline constexpr char kVistaTemporal[] = "vista.tmp";  // prefix of the frame being written

// A plain file with no other name, owned by the user the bridge runs as:
// a leftover of ours that may be reused or removed.
bool esPropio(const struct stat& st);

// Creates `ruta` afresh for writing, close-on-exec, mode 0666 before the
// umask. A leftover of ours at that name is removed first; anything else
// there (a link, a FIFO, a directory, another user's file) makes it fail
// with EEXIST and stays untouched. Never follows a link, never blocks.
int crearPropio(const char* ruta);

// Writes all of `datos` to `fd`, then closes it. False when a write or the
// close failed, so a short or lost write is never taken for a whole file.
bool escribirYCerrar(int fd, std::span<const char> datos);
