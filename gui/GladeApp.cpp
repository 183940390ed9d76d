#include "gui/GladeApp.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "config/ConfigParser.h"
#include "config/PathConfig.h"
#include "daq/GuiThread.h"
#include "daq/IdleCall.h"

char GladeApp::fmt_buffer[1024];

namespace {

using ProgramCreator = GtkWidget* (*)(gchar* name, gchar* string1, gchar* string2, gint int1, gint int2);

// Live windows by id, for idle records (GUI thread only).
std::map<unsigned, GladeApp*>& windows()
{
    static std::map<unsigned, GladeApp*> table;
    return table;
}

unsigned next_serial()
{
    static unsigned serial = 0;
    return ++serial;
}

// A creation function exported by the running program (linked with
// --export-dynamic), or null.
ProgramCreator program_symbol(const char* name)
{
    static GModule* program = g_module_open(nullptr, G_MODULE_BIND_LAZY);
    gpointer symbol = nullptr;
    if (!program || !name || !g_module_symbol(program, name, &symbol))
        return nullptr;
    return reinterpret_cast<ProgramCreator>(symbol);
}

const char* widget_name(GObject* object)
{
    const char* name = GTK_IS_WIDGET(object) ? glade_get_widget_name(GTK_WIDGET(object)) : nullptr;
    return name ? name : "";
}

// Whether a printf format's conversion takes a long (length modifier l).
bool takes_long(const char* format)
{
    for (const char* p = std::strchr(format, '%'); p; p = std::strchr(p, '%')) {
        ++p;
        if (*p == '%') {
            ++p;
            continue;
        }
        p += std::strspn(p, "-+ #0'123456789.*");
        return *p == 'l';
    }
    return false;
}

} // namespace

// libglade has one custom-widget handler per process. While a window is
// built it is that window's creator; before and after, the default one.
// Restored on every way out of init, so that no later build reaches a
// window that failed and may be deleted by then.
class GladeApp::CreatorScope {
public:
    explicit CreatorScope(GladeApp* w) : previous(building) { install(w); }
    ~CreatorScope() { install(previous); }
    CreatorScope(const CreatorScope&) = delete;
    CreatorScope& operator=(const CreatorScope&) = delete;

private:
    static void install(GladeApp* w)
    {
        building = w;
        if (w)
            glade_set_custom_handler(&GladeApp::handler, w);
        else
            glade_set_custom_handler(&GladeApp::default_handler, nullptr);
    }
    static GladeApp* building;
    GladeApp* previous;
};

GladeApp* GladeApp::CreatorScope::building = nullptr;

// ---- building --------------------------------------------------------------

GladeApp::GladeApp() : serial(next_serial())
{
    connect["gtk_main_quit"] = G_CALLBACK(gtk_main_quit);
    connect["gtk_true"] = G_CALLBACK(gtk_true);
    connect["gtk_false"] = G_CALLBACK(gtk_false);
    connect["on_text_changed"] = G_CALLBACK(&GladeApp::on_text_changed);
    windows()[serial] = this;
}

GladeApp::~GladeApp()
{
    windows().erase(serial);
    // Nothing that the widgets' destruction emits may reach this object,
    // whose subclass is gone already.
    if (xml) {
        GList* all = glade_xml_get_widget_prefix(xml, "");
        for (GList* l = all; l; l = l->next)
            g_signal_handlers_disconnect_matched(l->data, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
        g_list_free(all);
        g_object_unref(xml);
    }
    for (auto& watched : ctext)
        g_object_unref(watched.second);
    ctext.clear();
    if (window) {
        gtk_widget_destroy(window);
        g_object_unref(window);
    }
    values.clear();
    connect.clear();
    handlers.clear();
}

void GladeApp::process_text(const char*, GtkWidget*)
{
}

void GladeApp::on_text_changed(GtkWidget*, gpointer)
{
}

int GladeApp::init(const char* buffer, int size, const char* root, const char* domain)
{
    CreatorScope scope(this);
    set_handlers();
    GladeXML* parsed = buffer && size > 0 ? glade_xml_new_from_buffer(buffer, size, root, domain) : nullptr;
    if (!parsed)
        return -1;
    if (xml)
        g_object_unref(xml);
    xml = parsed;
    xml_buffer.assign(buffer, static_cast<size_t>(size));
    buffer_size = size;
    return finish(root);
}

int GladeApp::init(const char* file, const char* root, const char* domain)
{
    CreatorScope scope(this);
    set_handlers();
    const std::string name = file ? file : "";
    const std::string path = find_file(name);
    if (path.empty()) {
        std::cout << "\n####\n" << "#### Cannot find glade file " << name << "\n" << "####\n" << std::endl;
        return -1;
    }
    GladeXML* parsed = glade_xml_new(path.c_str(), root, domain);
    if (!parsed) {
        std::cout << "\n####\n" << "#### Failed opening " << path << "\n" << "####\n" << std::endl;
        return -1;
    }
    if (xml)
        g_object_unref(xml);
    xml = parsed;
    xml_buffer.clear();
    buffer_size = 0;
    return finish(root);
}

int GladeApp::finish(const char* root)
{
    auto_connect();
    glade_xml_signal_autoconnect_full(xml, &GladeApp::connect_signal, this);
    GtkWidget* w = root ? glade_xml_get_widget(xml, root) : nullptr;
    if (!w)
        return -1;
    if (window) {
        gtk_widget_destroy(window);
        g_object_unref(window);
    }
    window = GTK_WIDGET(g_object_ref_sink(w));
    user_init();
    return 0;
}

int GladeApp::init_application(GladeApp* other, const char* root)
{
    if (!other)
        return -1;
    if (const char* file = get_file_name())
        return other->init(file, root, nullptr);
    return other->init(xml_buffer.data(), buffer_size, root, nullptr);
}

void GladeApp::add_path(const std::string& dir)
{
    if (auto* paths = ConfigParser::section<PathConfig>("paths"))
        paths->add_path(PathConfig::gladepath, dir);
}

std::string GladeApp::find_file(const std::string& name)
{
    return PathConfig::find_glade_file(name);
}

void GladeApp::connect_signal(const gchar* handler_name, GObject* object, const gchar* signal_name,
                              const gchar*, GObject*, gboolean after, gpointer data)
{
    auto* self = static_cast<GladeApp*>(data);
    auto it = self->connect.find(handler_name);
    if (it == self->connect.end()) {
        std::cout << handler_name << " for " << signal_name << " of " << widget_name(object) << std::endl;
        return;
    }
    const gulong id = after ? g_signal_connect_after(object, signal_name, it->second, self)
                            : g_signal_connect(object, signal_name, it->second, self);
    if (id && std::strcmp(handler_name, "on_text_changed") == 0 && GTK_IS_ENTRY(object)) {
        self->ctext[id] = GTK_WIDGET(g_object_ref(object));
        g_signal_connect(object, "focus-in-event", G_CALLBACK(&GladeApp::focus_in), self);
        g_signal_connect(object, "focus-out-event", G_CALLBACK(&GladeApp::focus_out), self);
    }
}

GtkWidget* GladeApp::handler(GladeXML*, gchar* func_name, gchar* name, gchar* string1, gchar* string2,
                             gint int1, gint int2, gpointer data)
{
    auto* self = static_cast<GladeApp*>(data);
    GtkWidget* w = nullptr;
    auto it = self->handlers.find(func_name ? func_name : "");
    if (it != self->handlers.end()) {
        w = it->second(self, name, string1, string2, int1, int2);
    } else if (ProgramCreator create = program_symbol(func_name)) {
        w = create(name, string1, string2, int1, int2);
    } else {
        std::cout << "Handler missing: " << (func_name ? func_name : "") << std::endl;
        w = gtk_label_new(name);
    }
    if (w)
        gtk_widget_show(w);
    return w;
}

GtkWidget* GladeApp::default_handler(GladeXML*, gchar* func_name, gchar* name, gchar* string1,
                                     gchar* string2, gint int1, gint int2, gpointer)
{
    if (!g_module_supported())
        g_error("custom_new requires gmodule to work correctly");
    ProgramCreator create = program_symbol(func_name);
    if (!create) {
        g_warning("could not find widget creation function");
        return nullptr;
    }
    return create(name, string1, string2, int1, int2);
}

// ---- watched entries -------------------------------------------------------

gboolean GladeApp::focus_in(GtkWidget* entry, GdkEventFocus*, gpointer data)
{
    auto* self = static_cast<GladeApp*>(data);
    if (const char* name = glade_get_widget_name(entry))
        self->values[name] = gtk_entry_get_text(GTK_ENTRY(entry));
    return FALSE;
}

gboolean GladeApp::focus_out(GtkWidget* entry, GdkEventFocus*, gpointer data)
{
    static_cast<GladeApp*>(data)->text_left(entry, false);
    return FALSE;
}

void GladeApp::text_left(GtkWidget* entry, bool keep)
{
    const char* id = glade_get_widget_name(entry);
    if (!id)
        return;
    const std::string name = id;
    auto it = values.find(name);
    if (it == values.end())
        return;
    const std::string now = gtk_entry_get_text(GTK_ENTRY(entry));
    const bool changed = it->second != now;
    // Settled before the window is called, which may do anything.
    if (keep)
        it->second = now;
    else
        values.erase(it);
    if (changed)
        process_text(name.c_str(), entry);
}

void GladeApp::flush_entries()
{
    std::vector<GtkWidget*> entries;
    for (const auto& watched : ctext)
        entries.push_back(watched.second);
    for (GtkWidget* entry : entries)
        text_left(entry, true);
}

void GladeApp::block_signals()
{
    for (const auto& watched : ctext)
        if (g_signal_handler_is_connected(watched.second, watched.first))
            g_signal_handler_block(watched.second, watched.first);
}

void GladeApp::unblock_signals()
{
    for (const auto& watched : ctext)
        if (g_signal_handler_is_connected(watched.second, watched.first))
            g_signal_handler_unblock(watched.second, watched.first);
}

// ---- widget access ---------------------------------------------------------

GtkWidget* GladeApp::get_widget(const char* id) const
{
    return xml && id ? glade_xml_get_widget(xml, id) : nullptr;
}

const char* GladeApp::get_file_name() const
{
    return xml ? xml->filename : nullptr;
}

std::string GladeApp::get_text(const char* id) const
{
    GtkWidget* w = get_widget(id);
    const char* text = nullptr;
    if (w && GTK_IS_ENTRY(w))
        text = gtk_entry_get_text(GTK_ENTRY(w));
    else if (w && GTK_IS_LABEL(w))
        text = gtk_label_get_text(GTK_LABEL(w));
    return text ? text : "";
}

void GladeApp::set_text(const char* id, const std::string& text)
{
    GtkWidget* w = get_widget(id);
    if (w && GTK_IS_ENTRY(w))
        gtk_entry_set_text(GTK_ENTRY(w), text.c_str());
    else if (w && GTK_IS_LABEL(w))
        gtk_label_set_text(GTK_LABEL(w), text.c_str());
}

int GladeApp::entry2int(const char* id, int def) const
{
    return get_int(get_text(id).c_str(), def);
}

double GladeApp::entry2double(const char* id, double def) const
{
    return get_double(get_text(id).c_str(), def);
}

void GladeApp::int2entry(const char* id, int value, const char* format)
{
    set_text(id, int2str(value, format));
}

void GladeApp::double2entry(const char* id, double value, const char* format)
{
    set_text(id, double2str(value, format));
}

int GladeApp::spin2int(const char* id) const
{
    GtkWidget* w = get_widget(id);
    return w && GTK_IS_SPIN_BUTTON(w) ? gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(w)) : 0;
}

double GladeApp::spin2double(const char* id) const
{
    GtkWidget* w = get_widget(id);
    return w && GTK_IS_SPIN_BUTTON(w) ? gtk_spin_button_get_value(GTK_SPIN_BUTTON(w)) : 0.0;
}

void GladeApp::int2spin(const char* id, int value)
{
    double2spin(id, value);
}

void GladeApp::double2spin(const char* id, double value)
{
    GtkWidget* w = get_widget(id);
    if (w && GTK_IS_SPIN_BUTTON(w))
        gtk_spin_button_set_value(GTK_SPIN_BUTTON(w), value);
}

bool GladeApp::btn_active(const char* id) const
{
    GtkWidget* w = get_widget(id);
    return w && GTK_IS_TOGGLE_BUTTON(w) && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w));
}

// ---- buttons ---------------------------------------------------------------

void GladeApp::activate_button(const char* id, bool state)
{
    if (!on_gui_thread()) {
        idle_call([window = serial, name = std::string(id ? id : ""), state] {
            if (GladeApp* self = find_window(window))
                if (GtkWidget* w = self->get_widget(name.c_str()))
                    self->set_toggle(w, state);
        });
        return;
    }
    if (GtkWidget* w = get_widget(id))
        set_toggle(w, state);
}

void GladeApp::set_toggle(GtkWidget* w, bool state)
{
    g_return_if_fail(GTK_IS_TOGGLE_BUTTON(w));
    GtkToggleButton* button = GTK_TOGGLE_BUTTON(w);
    if (bool(gtk_toggle_button_get_active(button)) == state)
        return;
    // The program sets what the window shows: the window's own handlers,
    // which would act on the change, stay out of it.
    g_signal_handlers_block_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    gtk_toggle_button_set_active(button, state);
    g_signal_handlers_unblock_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
}

void GladeApp::click_button(const char* id)
{
    GtkWidget* w = get_widget(id);
    if (!w)
        return;
    if (GTK_IS_TOGGLE_BUTTON(w)) {
        GtkToggleButton* button = GTK_TOGGLE_BUTTON(w);
        gtk_toggle_button_set_active(button, !gtk_toggle_button_get_active(button));
        return;
    }
    g_return_if_fail(GTK_IS_BUTTON(w));
    gtk_button_clicked(GTK_BUTTON(w));
}

void GladeApp::delete_later()
{
    if (closing)
        return;
    closing = true;
    windows().erase(serial);
    if (window)
        gtk_widget_hide(window);
    idle_call([self = this] { delete self; });
}

GladeApp* GladeApp::find_window(unsigned id)
{
    auto it = windows().find(id);
    return it == windows().end() ? nullptr : it->second;
}

// ---- conversions -----------------------------------------------------------

int GladeApp::get_int(const char* text, int def)
{
    if (!text || !*text)
        return def;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || errno == ERANGE || value < INT_MIN || value > INT_MAX)
        return def;
    if (*end && !g_ascii_isspace(*end))
        return def;
    return static_cast<int>(value);
}

double GladeApp::get_double(const char* text, double def)
{
    if (!text)
        return def;
    char* end = nullptr;
    const double value = g_ascii_strtod(text, &end);
    return end != text && *end == '\0' ? value : def;
}

std::string GladeApp::int2str(long value, const char* format)
{
    if (!format) {
        std::ostringstream os;
        os << value;
        return os.str();
    }
    if (takes_long(format))
        std::snprintf(fmt_buffer, sizeof fmt_buffer, format, value);
    else
        std::snprintf(fmt_buffer, sizeof fmt_buffer, format, static_cast<int>(value));
    return fmt_buffer;
}

std::string GladeApp::double2str(double value, const char* format)
{
    if (!format) {
        std::ostringstream os;
        os << value;
        return os.str();
    }
    std::snprintf(fmt_buffer, sizeof fmt_buffer, format, value);
    return fmt_buffer;
}
