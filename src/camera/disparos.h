// Shots in flight: which `disparar` still waits for its files. Counted by
// shot, not by file: the files of one shot share a stem (the name up to its
// last dot, in one folder), such as IMG_0001.JPG and IMG_0001.CR2.
#pragma once

// A trigger worked: one more shot is in flight.
void anotarDisparo();

// The camera announced `carpeta`/`nombre`. A stem not among the last few
// announced is a new shot and settles one shot in flight, if any; a stem
// already seen is another file of a shot already counted and settles none.
void anotarArchivo(const char* carpeta, const char* nombre);

// The camera closed: nothing is in flight any more and no stem is known.
void olvidarDisparos();
