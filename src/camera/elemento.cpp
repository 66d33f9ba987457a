#include "camera/elemento.h"

#include <cstdio>

#include "events/json.h"

namespace {

// "%g" of a range number, as a JSON string.
void anadirNumero(Tramo& t, float n) {
  char texto[64];
  std::snprintf(texto, sizeof texto, "%g", static_cast<double>(n));
  anadirTexto(t, texto);
}

// The value as the wire carries it: always a string.
void anadirValor(Tramo& t, CameraWidget* widget, CameraWidgetType tipo) {
  switch (tipo) {
    case GP_WIDGET_RANGE: {
      float v = 0;
      gp_widget_get_value(widget, &v);
      anadirNumero(t, v);
      return;
    }
    case GP_WIDGET_TOGGLE:
    case GP_WIDGET_DATE: {
      int v = 0;
      gp_widget_get_value(widget, &v);
      char texto[16];
      std::snprintf(texto, sizeof texto, "%d", v);
      anadirTexto(t, texto);
      return;
    }
    default: {
      // Copied straight from the widget, however long: nothing is cut.
      const char* v = nullptr;
      if (gp_widget_get_value(widget, &v) < 0 || v == nullptr) v = "";
      anadirTexto(t, v);
      return;
    }
  }
}

void anadirOpciones(Tramo& t, CameraWidget* widget, CameraWidgetType tipo) {
  if (tipo != GP_WIDGET_RADIO && tipo != GP_WIDGET_MENU) return;
  bool primera = true;
  const int cuantas = gp_widget_count_choices(widget);
  for (int i = 0; i < cuantas; ++i) {
    const char* opcion = nullptr;
    if (gp_widget_get_choice(widget, i, &opcion) < 0 || opcion == nullptr) continue;
    if (!primera) anadirLiteral(t, ",");
    anadirTexto(t, opcion);
    primera = false;
  }
}

void anadirRango(Tramo& t, CameraWidget* widget, CameraWidgetType tipo) {
  if (tipo != GP_WIDGET_RANGE) return;
  float minimo = 0, maximo = 0, paso = 0;
  gp_widget_get_range(widget, &minimo, &maximo, &paso);
  anadirNumero(t, minimo);
  anadirLiteral(t, ",");
  anadirNumero(t, maximo);
  anadirLiteral(t, ",");
  anadirNumero(t, paso);
}

}  // namespace

const char* tipoDeElemento(CameraWidgetType tipo) {
  switch (tipo) {
    case GP_WIDGET_TEXT:
      return "texto";
    case GP_WIDGET_RANGE:
      return "rango";
    case GP_WIDGET_TOGGLE:
      return "interruptor";
    case GP_WIDGET_RADIO:
      return "radio";
    case GP_WIDGET_MENU:
      return "menu";
    case GP_WIDGET_DATE:
      return "fecha";
    default:
      return nullptr;
  }
}

const char* tipoDeWidget(CameraWidget* widget) {
  CameraWidgetType tipo;
  if (gp_widget_get_type(widget, &tipo) < 0) return nullptr;
  return tipoDeElemento(tipo);
}

void escribirElemento(CameraWidget* widget, const char* ruta) {
  CameraWidgetType tipo = GP_WIDGET_TEXT;
  gp_widget_get_type(widget, &tipo);
  const char* etiqueta = nullptr;
  if (gp_widget_get_label(widget, &etiqueta) < 0 || etiqueta == nullptr) etiqueta = "";
  int soloLectura = 0;
  gp_widget_get_readonly(widget, &soloLectura);

  Tramo t;
  anadirLiteral(t, "\"ruta\":");
  anadirTexto(t, ruta);
  anadirLiteral(t, ",\"etiqueta\":");
  anadirTexto(t, etiqueta);
  anadirLiteral(t, ",\"tipo\":\"");
  anadirLiteral(t, tipoDeElemento(tipo));
  anadirLiteral(t, "\",\"valor\":");
  anadirValor(t, widget, tipo);
  anadirLiteral(t, soloLectura ? ",\"soloLectura\":true,\"opciones\":["
                               : ",\"soloLectura\":false,\"opciones\":[");
  anadirOpciones(t, widget, tipo);
  anadirLiteral(t, "],\"rango\":[");
  anadirRango(t, widget, tipo);
  anadirLiteral(t, "]");
  volcarTramo(t);
}
