// Configuration widgets: the table the scenario defines and the config entry
// points that hand fresh widgets to the library and record what is written.

#include <gphoto2/gphoto2-port-log.h>
#include <gphoto2/gphoto2-widget.h>
#include <sys/stat.h>

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
    {WidgetType::Button, "button", GP_WIDGET_BUTTON},
};

// The sections of the tree, with the labels the PTP driver gives them.
struct SectionInfo {
  const char* name;
  const char* label;
};
constexpr SectionInfo kSections[] = {
    {"actions", "Camera Actions"},           {"settings", "Camera Settings"},
    {"status", "Camera Status Information"}, {"imgsettings", "Image Settings"},
    {"capturesettings", "Capture Settings"}, {"other", "Other Settings"},
};

const char* section_label(const std::string& name) {
  for (const auto& s : kSections)
    if (name == s.name) return s.label;
  return name.c_str();
}

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

// Replacing a widget keeps its place in the tree, its label and its
// read-only flag, and its section unless `w` names one.
void put_widget(Sim& sim, Widget w, bool own_section) {
  if (Widget* old = find_widget(sim, w.name)) {
    if (!own_section) w.section = old->section;
    w.label = old->label;
    w.readonly = old->readonly;
    *old = std::move(w);
  } else {
    sim.widgets.push_back(std::move(w));
  }
}

Widget make(const char* section, const char* name, const char* label, WidgetType type,
            const char* value, std::vector<std::string> choices = {}) {
  Widget w;
  w.section = section;
  w.name = name;
  w.label = label;
  w.type = type;
  w.value = value;
  w.choices = std::move(choices);
  return w;
}

Widget make_radio(const char* section, const char* name, const char* label, const char* value,
                  std::vector<std::string> choices) {
  return make(section, name, label, WidgetType::Radio, value, std::move(choices));
}

// A serial number of the card's own: two cards never share one, and a card
// keeps it wherever it is mounted, as a camera plugged into another socket
// keeps its serial number. The card's folder (the mount's root) names it;
// its path names it only where it cannot be looked at.
std::string default_serial(const std::string& mount) {
  std::uint32_t h = 2166136261u;  // FNV-1a
  struct stat st {};
  if (stat(mount.c_str(), &st) == 0) {
    const unsigned long long id[2] = {static_cast<unsigned long long>(st.st_dev),
                                      static_cast<unsigned long long>(st.st_ino)};
    for (unsigned long long v : id)
      for (int i = 0; i < 8; ++i) h = (h ^ ((v >> (8 * i)) & 0xff)) * 16777619u;
  } else {
    for (unsigned char c : mount) h = (h ^ c) * 16777619u;
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "SIM%08X", static_cast<unsigned>(h));
  return buf;
}

// A read moves a drifting widget to its next value first: a value that
// changes by itself.
void drift(Widget& w) {
  if (w.drift.empty()) return;
  w.value = canonical_value(w.type, w.drift[w.drift_next % w.drift.size()]);
  w.drift_next = (w.drift_next + 1) % w.drift.size();
}

int build_widget(const Widget& w, CameraWidget** out) {
  int r = gp_widget_new(gp_type(w.type), (w.label.empty() ? w.name : w.label).c_str(), out);
  if (r < GP_OK) return r;
  CameraWidget* cw = *out;
  gp_widget_set_name(cw, w.name.c_str());
  gp_widget_set_readonly(cw, w.readonly ? 1 : 0);
  switch (w.type) {
    case WidgetType::Button:
      break;
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
  if (!w || w->readonly || w->type == WidgetType::Button) return GP_ERROR_BAD_PARAMETERS;
  if (name == "autofocusdrive" && sim.focus_status < 0) return sim.focus_status;
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

// The status a read of `name` ("/": the whole tree) must fail with, or GP_OK.
int getfail(const Sim& sim, const std::string& name) {
  return sim.getfail_status < 0 && sim.getfail_name == name ? sim.getfail_status : GP_OK;
}

}  // namespace

void install_default_widgets(Sim& sim) {
  auto& ws = sim.widgets;
  ws.push_back(make("actions", "autofocusdrive", "Drive Autofocus", WidgetType::Toggle, "0"));
  ws.push_back(make("actions", "viewfinder", "Viewfinder", WidgetType::Toggle, "0"));
  ws.push_back(make("actions", "reset", "Reset Settings", WidgetType::Button, ""));
  ws.push_back(make_radio("settings", "capturetarget", "Capture Target", "Internal RAM",
                          {"Internal RAM", "Memory card"}));
  ws.push_back(
      make("settings", "datetime", "Camera Date and Time", WidgetType::Date, "1700000000"));
  ws.push_back(make("settings", "artist", "Artist", WidgetType::Text, ""));
  Widget serial = make("status", "serialnumber", "Serial Number", WidgetType::Text,
                       default_serial(sim.mount).c_str());
  serial.readonly = true;
  ws.push_back(serial);
  Widget battery = make("status", "batterylevel", "Battery Level", WidgetType::Text, "100%");
  battery.readonly = true;
  ws.push_back(battery);
  ws.push_back(make_radio("imgsettings", "iso", "ISO Speed", "100", {"100", "200", "400", "800"}));
  ws.push_back(make("imgsettings", "imageformat", "Image Format", WidgetType::Menu, "JPEG Fine",
                    {"JPEG Fine", "RAW", "RAW + JPEG Fine"}));
  ws.push_back(make_radio("capturesettings", "f-number", "F-Number", "f/5.6",
                          {"f/2.8", "f/4", "f/5.6", "f/8", "f/11"}));
  ws.push_back(make_radio("capturesettings", "shutterspeed", "Shutter Speed", "1/125",
                          {"1/30", "1/60", "1/125", "1/250", "1/500"}));
  Widget ev = make("capturesettings", "exposurecompensation", "Exposure Compensation",
                   WidgetType::Range, "0");
  ev.min = -3;
  ev.max = 3;
  ev.step = 0.5f;
  ws.push_back(ev);
}

// widget NAME TYPE [VALUE [CHOICE...]]; for range the extra fields are
// MIN MAX STEP.
void define_widget(Sim& sim, const std::vector<std::string>& f) {
  Widget w;
  if (f.size() < 3 || !parse_type(f[2], w.type)) {
    gp_log(GP_LOG_ERROR, "simcam",
           "widget needs NAME and a TYPE (text|radio|menu|range|toggle|date|button)");
    return;
  }
  // SECTION/NAME puts the widget in that section of the tree.
  const std::size_t slash = f[1].rfind('/');
  const bool own_section = slash != std::string::npos;
  w.name = own_section ? f[1].substr(slash + 1) : f[1];
  if (own_section) w.section = f[1].substr(0, slash);
  w.value = canonical_value(w.type, f.size() >= 4 ? f[3] : std::string());
  if (w.type == WidgetType::Range) {
    float v = std::strtof(w.value.c_str(), nullptr);
    w.min = f.size() >= 5 ? std::strtof(f[4].c_str(), nullptr) : std::min(0.0f, v);
    w.max = f.size() >= 6 ? std::strtof(f[5].c_str(), nullptr) : std::max(100.0f, v);
    w.step = f.size() >= 7 ? std::strtof(f[6].c_str(), nullptr) : 1.0f;
  } else {
    for (std::size_t i = 4; i < f.size(); ++i) w.choices.push_back(f[i]);
  }
  put_widget(sim, std::move(w), own_section);
}

bool widget_directive(Sim& sim, const std::vector<std::string>& f) {
  const std::string& d = f[0];
  if (d == "readonly" || d == "label" || d == "drift") {
    Widget* w = f.size() >= 2 ? find_widget(sim, f[1]) : nullptr;
    if (!w) {
      gp_log(GP_LOG_ERROR, "simcam", "%s needs the NAME of a widget", d.c_str());
    } else if (d == "readonly") {
      w->readonly = f.size() < 3 || f[2] != "0";
    } else if (d == "label") {
      w->label = f.size() >= 3 ? f[2] : std::string();
    } else {
      w->drift.assign(f.begin() + 2, f.end());
      w->drift_next = 0;
    }
    return true;
  }
  if (d == "serial") {
    Widget s = make("status", "serialnumber", "Serial Number", WidgetType::Text,
                    f.size() >= 2 ? f[1].c_str() : "");
    s.readonly = true;
    if (Widget* old = find_widget(sim, "serialnumber"))
      old->value = s.value;
    else
      sim.widgets.push_back(std::move(s));
    return true;
  }
  if (d == "widgets") {
    // widgets N CHOICES: N radio widgets big0001... of CHOICES choices each.
    long n = f.size() >= 2 ? std::strtol(f[1].c_str(), nullptr, 10) : -1;
    long c = f.size() >= 3 ? std::strtol(f[2].c_str(), nullptr, 10) : -1;
    if (n < 0 || n > 100000 || c < 1 || c > 100000) {
      gp_log(GP_LOG_ERROR, "simcam", "widgets needs N and CHOICES");
      return true;
    }
    for (long i = 1; i <= n; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "big%04ld", i);
      Widget w;
      w.name = name;
      w.type = WidgetType::Radio;
      for (long k = 1; k <= c; ++k) {
        char choice[32];
        std::snprintf(choice, sizeof choice, "choice %ld", k);
        w.choices.push_back(choice);
      }
      w.value = w.choices[static_cast<std::size_t>(i % c)];
      put_widget(sim, std::move(w), false);
    }
    return true;
  }
  return false;
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
    if (int r = getfail(*sim, n); r < GP_OK) return r;
    Widget* w = find_widget(*sim, n);
    if (!w) return GP_ERROR_BAD_PARAMETERS;
    drift(*w);
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
    if (int r = getfail(*sim, "/"); r < GP_OK) return r;
    int r = gp_widget_new(GP_WIDGET_WINDOW, "Camera and Driver Configuration", window);
    if (r < GP_OK) return r;
    gp_widget_set_name(*window, "main");
    // Sections in the order their first widget comes, each holding its
    // widgets in their order.
    std::vector<std::string> sections;
    for (const auto& w : sim->widgets)
      if (std::find(sections.begin(), sections.end(), w.section) == sections.end())
        sections.push_back(w.section);
    for (const auto& name : sections) {
      CameraWidget* section = nullptr;
      r = gp_widget_new(GP_WIDGET_SECTION, section_label(name), &section);
      if (r == GP_OK) {
        gp_widget_set_name(section, name.c_str());
        r = gp_widget_append(*window, section);
        if (r < GP_OK) gp_widget_free(section);
      }
      for (auto& w : sim->widgets) {
        if (r < GP_OK) break;
        if (w.section != name) continue;
        drift(w);
        CameraWidget* child = nullptr;
        r = build_widget(w, &child);
        if (r == GP_OK) r = gp_widget_append(section, child);
        if (r < GP_OK && child) gp_widget_free(child);
      }
      if (r < GP_OK) {
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
