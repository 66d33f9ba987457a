#include "core/lector.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Feeds `trozos` as successive reads and collects the lines framed.
std::vector<std::string> enmarcar(Entrada& e, const std::vector<std::string>& trozos) {
  static char linea[8192];
  std::vector<std::string> lineas;
  for (const std::string& trozo : trozos) {
    std::size_t hecho = 0;
    while (hecho < trozo.size()) {
      std::span<char> libre = espacioLibre(e);
      EXPECT_GT(libre.size(), 0u) << "the buffer must always have room for a read";
      std::size_t n = std::min(libre.size(), trozo.size() - hecho);
      std::memcpy(libre.data(), trozo.data() + hecho, n);
      anadirLeidos(e, n);
      hecho += n;
      while (auto l = sacarLinea(e, linea)) lineas.emplace_back(*l);
    }
  }
  return lineas;
}

std::vector<std::string> enmarcar(const std::vector<std::string>& trozos) {
  static Entrada e;
  e = Entrada{};
  return enmarcar(e, trozos);
}

using Lineas = std::vector<std::string>;

TEST(Lector, LineEndings) {
  EXPECT_EQ(enmarcar({"buscar\r\n"}), Lineas{"buscar"});
  EXPECT_EQ(enmarcar({"buscar\rbasura\n"}), Lineas{"buscar"});
  EXPECT_EQ(enmarcar({"\n\r\n"}), (Lineas{"", ""}));
  EXPECT_EQ(enmarcar({"buscar"}), Lineas{});
}

TEST(Lector, SeveralLinesInOneReadAndOneLineAcrossReads) {
  EXPECT_EQ(enmarcar({"buscar\ncerrar\nabr"}), (Lineas{"buscar", "cerrar"}));
  EXPECT_EQ(enmarcar({"abr", "ir 0 /tmp/a", " b\nsal", "ir\n"}),
            (Lineas{"abrir 0 /tmp/a b", "salir"}));
}

TEST(Lector, ZeroBytesStayInTheLine) {
  std::string con_cero("bus\0car\n", 8);
  Lineas l = enmarcar({con_cero});
  ASSERT_EQ(l.size(), 1u);
  EXPECT_EQ(l[0], std::string("bus\0car", 7));
}

TEST(Lector, LongestLineThatFitsIsKept) {
  std::string larga(8190, 'x');
  EXPECT_EQ(enmarcar({larga + "\n"}), Lineas{larga});
}

TEST(Lector, OverlongLineIsDiscardedThroughItsLineFeed) {
  EXPECT_EQ(enmarcar({std::string(10000, 'x') + "\nbuscar\n"}), Lineas{"buscar"});
  // Exactly filling the buffer, then the line feed in a later read.
  EXPECT_EQ(enmarcar({std::string(8191, 'y'), "yyy\n", "cerrar\n"}), Lineas{"cerrar"});
  // A 1 MB line split over many reads.
  std::vector<std::string> trozos(256, std::string(4096, 'z'));
  trozos.push_back("\nbuscar\n");
  EXPECT_EQ(enmarcar(trozos), Lineas{"buscar"});
}

}  // namespace
