#include "core/comandos.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "camera/vista.h"

namespace {

TEST(LeerIndice, ReadsLikeAtoi) {
  EXPECT_EQ(leerIndice("2"), 2);
  EXPECT_EQ(leerIndice("  \t-3x"), -3);
  EXPECT_EQ(leerIndice("+7"), 7);
  EXPECT_EQ(leerIndice("x"), 0);
  EXPECT_EQ(leerIndice(""), 0);
  EXPECT_EQ(leerIndice("-"), 0);
  EXPECT_EQ(leerIndice("0012"), 12);
}

TEST(LeerIndice, HugeValuesStayFarOutOfRangeWithoutOverflow) {
  EXPECT_GT(leerIndice("4294967296"), std::numeric_limits<std::int32_t>::max());
  EXPECT_GT(leerIndice("99999999999999999999999999999999"),
            std::numeric_limits<std::int32_t>::max());
  EXPECT_LT(leerIndice("-99999999999999999999999999999999"), 0);
}

TEST(LeerAbrir, SplitsAtTheFirstSpace) {
  ArgumentosAbrir a;
  ASSERT_TRUE(leerAbrir("2 /tmp/my photos", a));
  EXPECT_EQ(a.indice, 2);
  EXPECT_EQ(a.carpeta, "/tmp/my photos");

  ASSERT_TRUE(leerAbrir(" folder with space", a));
  EXPECT_EQ(a.indice, 0);
  EXPECT_EQ(a.carpeta, "folder with space");

  ASSERT_TRUE(leerAbrir("1 ", a));
  EXPECT_EQ(a.carpeta, "");

  ASSERT_TRUE(leerAbrir("b fotos", a));
  EXPECT_EQ(a.indice, 0);
}

TEST(LeerAbrir, WithoutASpaceThereIsNoCommand) {
  ArgumentosAbrir a;
  EXPECT_FALSE(leerAbrir("", a));
  EXPECT_FALSE(leerAbrir("3", a));
}

TEST(BuscarComando, WholeLinesAndTheAbrirPrefix) {
  using namespace std::literals;
  for (std::string_view linea :
       {"buscar"sv, "disparar"sv, "vista 0"sv, "vista 1"sv, "cerrar"sv, "salir"sv}) {
    ASSERT_NE(buscarComando(linea), nullptr) << linea;
    EXPECT_EQ(buscarComando(linea)->texto, linea);
  }
  ASSERT_NE(buscarComando("abrir 0 /x"), nullptr);
  EXPECT_EQ(buscarComando("abrir 0 /x")->texto, "abrir ");
  for (std::string_view linea : {""sv, "buscar "sv, "Buscar"sv, " buscar"sv, "abrir"sv, "vista 2"sv,
                                 "vista"sv, "salir\t"sv, "buscar\0"sv, "abrir 0 /a\0b"sv}) {
    EXPECT_EQ(buscarComando(linea), nullptr) << linea;
  }
}

TEST(SiguienteCuadro, WrapsToOneInsteadOfOverflowing) {
  EXPECT_EQ(siguienteCuadro(0), 1);
  EXPECT_EQ(siguienteCuadro(41), 42);
  EXPECT_EQ(siguienteCuadro(std::numeric_limits<std::int32_t>::max()), 1);
}

}  // namespace
