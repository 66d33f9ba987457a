#include "events/json.h"

#include <gphoto2/gphoto2-port-result.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "events/eventos.h"

namespace {

// Captures everything the event writer emits while `escribirlo` runs.
template <typename F>
std::string capturar(F escribirlo) {
  char* datos = nullptr;
  size_t largo = 0;
  std::FILE* memoria = open_memstream(&datos, &largo);
  std::FILE* anterior = salida;
  salida = memoria;
  escribirlo();
  salida = anterior;
  std::fclose(memoria);
  std::string texto(datos, largo);
  std::free(datos);
  return texto;
}

std::string comoJson(const std::string& texto) {
  return capturar([&] { jsonTexto(texto.c_str()); });
}

TEST(JsonTexto, EscapesQuoteBackslashAndControlBytes) {
  EXPECT_EQ(comoJson(""), "\"\"");
  EXPECT_EQ(comoJson("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(comoJson("\t\n\r\x01\x1f"), "\"\\u0009\\u000a\\u000d\\u0001\\u001f\"");
  EXPECT_EQ(comoJson("a/b"), "\"a/b\"");
}

TEST(JsonTexto, HighBytesPassThroughUnchanged) {
  EXPECT_EQ(comoJson("\x7f"), "\"\x7f\"");
  EXPECT_EQ(comoJson("c\xc3\xa1mara \xff\x80"), "\"c\xc3\xa1mara \xff\x80\"");
}

TEST(Eventos, ErrorTextIsLabelColonLibraryText) {
  EXPECT_EQ(capturar([] { enviarError("c\xc3\xa1mara", GP_ERROR_TIMEOUT); }),
            "{\"e\":\"error\",\"texto\":\"c\xc3\xa1mara: Timeout reading from or writing to the "
            "port\"}\n");
  EXPECT_EQ(capturar([] { enviarErrorCarpeta(); }),
            "{\"e\":\"error\",\"texto\":\"No se puede guardar en la carpeta\"}\n");
}

TEST(Eventos, ErrorTextIsCutAt511Bytes) {
  std::string etiqueta(600, 'x');
  std::string linea = capturar([&] { enviarError(etiqueta.c_str(), GP_ERROR); });
  EXPECT_EQ(linea, "{\"e\":\"error\",\"texto\":\"" + std::string(511, 'x') + "\"}\n");
}

TEST(Eventos, EveryEventShape) {
  EXPECT_EQ(capturar([] { enviarAbierta("M\"x"); }), "{\"e\":\"abierta\",\"modelo\":\"M\\\"x\"}\n");
  EXPECT_EQ(capturar([] { enviarCerrada("otra"); }), "{\"e\":\"cerrada\",\"motivo\":\"otra\"}\n");
  EXPECT_EQ(capturar([] { enviarFoto("/f/a.jpg", "a.jpg"); }),
            "{\"e\":\"foto\",\"ruta\":\"/f/a.jpg\",\"nombre\":\"a.jpg\"}\n");
  EXPECT_EQ(capturar([] { enviarVista("/tmp/vista.jpg", -3); }),
            "{\"e\":\"vista\",\"ruta\":\"/tmp/vista.jpg\",\"n\":-3}\n");
  EXPECT_EQ(capturar([] { enviarVistaFin(); }), "{\"e\":\"vistaFin\"}\n");
  EXPECT_EQ(capturar([] { enviarAjustesLinea("100", "", "1/60", "50%"); }),
            "{\"e\":\"ajustes\",\"iso\":\"100\",\"diafragma\":\"\",\"velocidad\":\"1/"
            "60\",\"bateria\":\"50%\"}\n");
}

}  // namespace
