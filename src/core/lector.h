// Framing of standard input into command lines. Pure buffer work, no I/O, so
// the loop and the tests share it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "core/bridge_state.h"

// Room left in the buffer for the next read (never more than 8191 - b bytes).
std::span<char> espacioLibre(Entrada& e);

// Accounts for `n` bytes just read into espacioLibre(e).
void anadirLeidos(Entrada& e, std::size_t n);

// Takes the next complete line out of `e`, copies it into `destino` with its
// line feed removed and cut at its first carriage return, and returns a view
// of it (zero-terminated in `destino`). Returns nothing when no complete line
// is buffered. A line that fills the whole buffer without a line feed is
// thrown away up to and including its line feed, so the buffer always has
// room for the next read.
std::optional<std::string_view> sacarLinea(Entrada& e, std::span<char, 8192> destino);
