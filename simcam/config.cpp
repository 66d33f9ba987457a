// Configuration widgets: the table the scenario defines and the config entry
// points that hand fresh widgets to the library and record what is written.

#include <gphoto2/gphoto2-port-log.h>
#include <gphoto2/gphoto2-widget.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim.hpp"

namespace simcam {

namespace {

// Each widget type with its name in the scenario language and its libgphoto2 type.
struct WidgetTypeInfo {
  WidgetType type;
  const char* name;
  CameraWidgetType gp;
};
constexpr WidgetTypeInfo kWidgetTypes[] = {
    {WidgetType::Text, "text", GP_WIDGET_TEXT},       {WidgetType::Radio, "radio", GP_WIDGET_RADIO},
    {WidgetType::Menu, "menu", GP_WIDGET_MENU},       {WidgetType::Range, "range", GP_WIDGET_RANGE},
    {WidgetType::Toggle, "toggle", GP_WIDGET_TOGGLE}, {WidgetType::Date, "date", GP_WIDGET_DATE},
};

bool parse_type(const std::string& s, WidgetType& t) {
  for (const auto& i : kWidgetTypes)
    if (s == i.name) {
      t = i.type;
      return true;
    }
  return false;
}

CameraWidgetType gp_type(WidgetType t) {
  for (const auto& i : kWidgetTypes)
    if (i.type == t) return i.gp;
  return GP_WIDGET_TEXT;
}

std::string int_text(long v) { return std::to_string(v); }

std::string float_text(float v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
  return buf;
}

// Brings a value written as text into the canonical text form of the type.
std::string canonical_value(WidgetType t, const std::string& v) {
  switch (t) {
    case WidgetType::Toggle:
    case WidgetType::Date:
      return int_text(std::strtol(v.c_str(), nullptr, 10));
    case WidgetType::Range:
      return float_text(std::strtof(v.c_str(), nullptr));
    default:
      return v;
  }
}

Widget* find_widget(Sim& sim, const std::string& name) {
  for (auto& w : sim.widgets)
    if (w.name == name) return &w;
  return nullptr;
}

void put_widget(Sim& sim, Widget w) {
  if (Widget* old = find_widget(sim, w.name))
    *old = std::move(w);  // replacing keeps the widget's place in the tree
  else
    sim.widgets.push_back(std::move(w));
}

Widget make_radio(const char* name, const char* value, std::vector<std::string> choices) {
  Widget w;
  w.name = name;
  w.type = WidgetType::Radio;
  w.value = value;
  w.choices = std::move(choices);
  return w;
}

int build_widget(const Widget& w, CameraWidget** out) {
  int r = gp_widget_new(gp_type(w.type), w.name.c_str(), out);
  if (r < GP_OK) return r;
  CameraWidget* cw = *out;
  gp_widget_set_name(cw, w.name.c_str());
  switch (w.type) {
    case WidgetType::Text:
    case WidgetType::Radio:
    case WidgetType::Menu:
      for (const auto& c : w.choices) gp_widget_add_choice(cw, c.c_str());
      r = gp_widget_set_value(cw, w.value.c_str());
      break;
    case WidgetType::Range: {
      float v = std::strtof(w.value.c_str(), nullptr);
      gp_widget_set_range(cw, w.min, w.max, w.step);
      r = gp_widget_set_value(cw, &v);
      break;
    }
    case WidgetType::Toggle:
    case WidgetType::Date: {
      int v = static_cast<int>(std::strtol(w.value.c_str(), nullptr, 10));
      r = gp_widget_set_value(cw, &v);
      break;
    }
  }
  if (r < GP_OK) {
    gp_widget_free(cw);
    *out = nullptr;
  }
  return r;
}

// Reads a widget the caller filled in, as text in the log's format.
int read_value(CameraWidget* cw, std::string& text) {
  CameraWidgetType t;
  int r = gp_widget_get_type(cw, &t);
  if (r < GP_OK) return r;
  switch (t) {
    case GP_WIDGET_TEXT:
    case GP_WIDGET_RADIO:
    case GP_WIDGET_MENU: {
      const char* v = nullptr;
      r = gp_widget_get_value(cw, &v);
      text = v ? v : "";
      return r;
    }
    case GP_WIDGET_RANGE: {
      float v = 0;
      r = gp_widget_get_value(cw, &v);
      text = float_text(v);
      return r;
    }
    case GP_WIDGET_TOGGLE:
    case GP_WIDGET_DATE: {
      int v = 0;
      r = gp_widget_get_value(cw, &v);
      text = int_text(v);
      return r;
    }
    default:
      return GP_ERROR_BAD_PARAMETERS;
  }
}

int store_value(Sim& sim, const std::string& name, const std::string& text) {
  Widget* w = find_widget(sim, name);
  if (!w) return GP_ERROR_BAD_PARAMETERS;
  w->value = canonical_value(w->type, text);
  return GP_OK;
}

// Records and stores every widget of a tree the caller marked as changed.
// With `fail` set (a setfail), records them and stores none.
void set_changed(Sim& sim, CameraWidget* cw, int fail, int& result) {
  CameraWidgetType t;
  if (gp_widget_get_type(cw, &t) < GP_OK) return;
  if (t == GP_WIDGET_WINDOW || t == GP_WIDGET_SECTION) {
    int n = gp_widget_count_children(cw);
    for (int i = 0; i < n; ++i) {
      CameraWidget* child = nullptr;
      if (gp_widget_get_child(cw, i, &child) == GP_OK) set_changed(sim, child, fail, result);
    }
    return;
  }
  if (!gp_widget_changed(cw)) return;
  const char* name = nullptr;
  std::string text;
  if (gp_widget_get_name(cw, &name) < GP_OK || !name || read_value(cw, text) < GP_OK) return;
  sim.log.write("set_config", {name, text});
  if (fail < GP_OK) {
    result = fail;  // logged like any set, but nothing is stored
    return;
  }
  int r = store_value(sim, name, text);
  if (r < GP_OK && result == GP_OK) result = r;
}

// Takes a pending setfail: the status this set must fail with, or GP_OK.
int take_setfail(Sim& sim) {
  int st = sim.setfail_status;
  sim.setfail_status = 0;
  return st;
}

}  // namespace

void install_default_widgets(Sim& sim) {
  sim.widgets.push_back(make_radio("iso", "100", {"100", "200", "400", "800"}));
  sim.widgets.push_back(make_radio("f-number", "f/5.6", {"f/2.8", "f/4", "f/5.6", "f/8", "f/11"}));
  sim.widgets.push_back(
      make_radio("shutterspeed", "1/125", {"1/30", "1/60", "1/125", "1/250", "1/500"}));
  Widget battery;
  battery.name = "batterylevel";
  battery.type = WidgetType::Text;
  battery.value = "100%";
  sim.widgets.push_back(battery);
  sim.widgets.push_back(
      make_radio("capturetarget", "Internal RAM", {"Internal RAM", "Memory card"}));
  Widget vf;
  vf.name = "viewfinder";
  vf.type = WidgetType::Toggle;
  vf.value = "0";
  sim.widgets.push_back(vf);
}

// widget NAME TYPE [VALUE [CHOICE...]]; for range the extra fields are
// MIN MAX STEP.
void define_widget(Sim& sim, const std::vector<std::string>& f) {
  Widget w;
  if (f.size() < 3 || !parse_type(f[2], w.type)) {
    gp_log(GP_LOG_ERROR, "simcam",
           "widget needs NAME and a TYPE (text|radio|menu|range|toggle|date)");
    return;
  }
  w.name = f[1];
  w.value = canonical_value(w.type, f.size() >= 4 ? f[3] : std::string());
  if (w.type == WidgetType::Range) {
    float v = std::strtof(w.value.c_str(), nullptr);
    w.min = f.size() >= 5 ? std::strtof(f[4].c_str(), nullptr) : std::min(0.0f, v);
    w.max = f.size() >= 6 ? std::strtof(f[5].c_str(), nullptr) : std::max(100.0f, v);
    w.step = f.size() >= 7 ? std::strtof(f[6].c_str(), nullptr) : 1.0f;
  } else {
    for (std::size_t i = 4; i < f.size(); ++i) w.choices.push_back(f[i]);
  }
  put_widget(sim, std::move(w));
}

void remove_widget(Sim& sim, const std::string& name) {
  sim.widgets.erase(std::remove_if(sim.widgets.begin(), sim.widgets.end(),
                                   [&](const Widget& w) { return w.name == name; }),
                    sim.widgets.end());
}

int cfg_get_single(Camera* camera, const char* name, CameraWidget** widget, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim || !widget) return GP_ERROR_BAD_PARAMETERS;
    std::string n = name ? name : "";
    if (int r = begin_call(*sim, "get_config", {n}); r < GP_OK) return r;
    const Widget* w = find_widget(*sim, n);
    if (!w) return GP_ERROR_BAD_PARAMETERS;
    return build_widget(*w, widget);
  });
}

int cfg_set_single(Camera* camera, const char* name, CameraWidget* widget, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim) return GP_ERROR_BAD_PARAMETERS;
    enter_call(*sim);
    std::string n = name ? name : "";
    std::string text;
    int read = widget ? read_value(widget, text) : GP_ERROR_BAD_PARAMETERS;
    sim->log.write("set_config", {n, text});
    if (int r = unplug_gate(*sim, true); r < GP_OK) return r;
    if (int r = take_setfail(*sim); r < GP_OK) return r;
    if (read < GP_OK) return read;
    return store_value(*sim, n, text);
  });
}

int cfg_get_tree(Camera* camera, CameraWidget** window, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim || !window) return GP_ERROR_BAD_PARAMETERS;
    if (int r = begin_call(*sim, "get_config_tree"); r < GP_OK) return r;
    int r = gp_widget_new(GP_WIDGET_WINDOW, "Simulated camera configuration", window);
    if (r < GP_OK) return r;
    gp_widget_set_name(*window, "main");
    for (const auto& w : sim->widgets) {
      CameraWidget* child = nullptr;
      r = build_widget(w, &child);
      if (r == GP_OK) r = gp_widget_append(*window, child);
      if (r < GP_OK) {
        if (child) gp_widget_free(child);
        gp_widget_free(*window);
        *window = nullptr;
        return r;
      }
    }
    return GP_OK;
  });
}

int cfg_set_tree(Camera* camera, CameraWidget* window, GPContext*) {
  return guarded([&] {
    Sim* sim = sim_of(camera);
    if (!sim || !window) return GP_ERROR_BAD_PARAMETERS;
    enter_call(*sim);
    if (int r = unplug_gate(*sim, true); r < GP_OK) return r;
    int fail = take_setfail(*sim);
    int result = GP_OK;
    set_changed(*sim, window, fail, result);
    return fail < GP_OK ? fail : result;
  });
}

}  // namespace simcam
