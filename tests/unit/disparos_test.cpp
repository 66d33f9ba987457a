#include "camera/disparos.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "core/bridge_state.h"

namespace {

struct Caso {
  const char* nombre;
  std::initializer_list<const char*> antes;  // files announced before the shots, "folder|name"
  int disparos;
  std::initializer_list<const char*> despues;  // files announced after them
  int quedan;
};

void anunciar(std::initializer_list<const char*> archivos) {
  for (std::string_view s : archivos) {
    std::string carpeta(s.substr(0, s.find('|'))), nombre(s.substr(s.find('|') + 1));
    anotarArchivo(carpeta.c_str(), nombre.c_str());
  }
}

TEST(Disparos, EachNewStemSettlesOneShot) {
  const Caso casos[] = {
      {"one file per shot", {}, 2, {"/d|IMG_1.JPG", "/d|IMG_2.JPG"}, 0},
      {"RAW beside JPEG is one shot", {}, 2, {"/d|IMG_1.JPG", "/d|IMG_1.CR2"}, 1},
      {"three files of one stem", {}, 1, {"/d|A.JPG", "/d|A.CR2", "/d|A.XMP"}, 0},
      {"same stem, other folder", {}, 2, {"/a|IMG_1.JPG", "/b|IMG_1.JPG"}, 0},
      {"only the last dot ends the stem", {}, 2, {"/d|a.b.JPG", "/d|a.c.JPG"}, 0},
      {"no dot: the whole name", {}, 2, {"/d|README", "/d|README.TXT"}, 1},
      {"a file with nothing in flight", {}, 0, {"/d|B.JPG"}, 0},
      {"a stem seen before the trigger", {"/d|X.JPG"}, 1, {"/d|X.CR2"}, 1},
  };
  for (const Caso& c : casos) {
    olvidarDisparos();
    anunciar(c.antes);
    for (int i = 0; i < c.disparos; ++i) anotarDisparo();
    anunciar(c.despues);
    EXPECT_EQ(estado.disparos.enVuelo, c.quedan) << c.nombre;
  }
}

TEST(Disparos, OnlyTheLastFewStemsAreRemembered) {
  olvidarDisparos();
  char nombre[16];
  for (int i = 0; i < 9; ++i) {
    std::snprintf(nombre, sizeof nombre, "F%d.JPG", i);
    anotarArchivo("/d", nombre);
  }
  // F0 has been pushed out by eight newer stems: it counts as a new shot.
  anotarDisparo();
  anotarArchivo("/d", "F0.CR2");
  EXPECT_EQ(estado.disparos.enVuelo, 0);
  olvidarDisparos();
}

}  // namespace
