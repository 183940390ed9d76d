// Base of every window and dialog built from an interface description.
//
// Only the GTK main thread touches widgets. Every other thread reaches a
// window through idle_call (daq/IdleCall.h), with a function object that
// carries ids and values (the window's window_id(), widget ids, numbers,
// texts), never a pointer to a window or a widget; on the GUI thread it
// looks its window up (GladeApp::find_window, or its menu by name) and does
// nothing when it is gone, and is freed after the call. Nothing on the GUI
// thread waits for another thread.
#ifndef BRISKO_GUI_GLADEAPP_H
#define BRISKO_GUI_GLADEAPP_H

#include <map>
#include <string>

#include <glade/glade.h>
#include <gtk/gtk.h>

// One top-level widget of a libglade 2 description (from memory or from a
// file on the interface search path), its signals connected by handler name
// to the window's table of static functions, its custom widgets made by the
// window's table of creators, and typed access to its widgets by id.
//
// Handlers take (widget, window): every one is connected with the window
// object (GladeApp*) as user data. Entries whose "changed" signal names the
// handler "on_text_changed" are watched: when the operator leaves one with
// its text changed, process_text(id, entry) is called once.
class GladeApp {
public:
    using Handler = GCallback;
    using Creator = GtkWidget* (*)(GladeApp* window, const char* name, const char* string1,
                                   const char* string2, int int1, int int2);

    GladeApp();
    GladeApp(const GladeApp&) = delete;
    GladeApp& operator=(const GladeApp&) = delete;
    virtual ~GladeApp();

    // Called once the widgets exist and the signals are connected.
    virtual void user_init() {}
    // Fill `connect` with the window's handlers.
    virtual void auto_connect() {}
    // Fill `handlers` with the window's custom widget creators.
    virtual void set_handlers() {}
    // A watched entry was left with a changed text.
    virtual void process_text(const char* name, GtkWidget* widget);

    // Builds the widget `root` of a description in memory. 0, or -1 when the
    // description does not parse or has no widget `root`.
    int init(const char* buffer, int size, const char* root, const char* domain = nullptr);
    // Builds it from a description file found on the interface search path.
    int init(const char* file, const char* root, const char* domain = nullptr);
    // Builds `other` from this window's description (the same file, or the
    // same bytes) with another root. Returns other's init result.
    int init_application(GladeApp* other, const char* root);

    // The interface search path (the "paths" section's interface list).
    static void add_path(const std::string& dir);
    // Full path of an interface file on it; empty when not found.
    static std::string find_file(const std::string& name);

    // Widgets by interface id; null when missing.
    GtkWidget* get_widget(const char* id) const;
    GtkWidget* get_main_window() const { return window; }
    // The description's file name; null when built from memory.
    const char* get_file_name() const;

    // Text of an entry or a label; empty for other widgets.
    std::string get_text(const char* id) const;
    void set_text(const char* id, const std::string& text);
    int entry2int(const char* id, int def) const;
    double entry2double(const char* id, double def) const;
    void int2entry(const char* id, int value, const char* format = nullptr);
    void double2entry(const char* id, double value, const char* format = nullptr);
    int spin2int(const char* id) const;
    double spin2double(const char* id) const;
    void int2spin(const char* id, int value);
    void double2spin(const char* id, double value);
    bool btn_active(const char* id) const;

    // Sets a toggle button without calling the window back (its handlers on
    // that button are blocked meanwhile). On the GTK main thread at once;
    // from any other thread through an idle record holding the window's id,
    // which does nothing when the window is gone by then.
    void activate_button(const char* id, bool state);
    // Flips a toggle button, clicks any other button.
    void click_button(const char* id);
    // Blocks or unblocks the change handlers of the watched entries.
    void block_signals();
    void unblock_signals();
    // Hands process_text every watched entry whose text changed since it
    // took the focus, as leaving it would. Dialogs call it on OK and Apply,
    // so that a value confirmed with Enter is not lost while the focus is
    // still in its entry.
    void flush_entries();

    // Base-10 integer; def when the text is empty, is not a number in
    // the range of int, or the number is followed by anything but white
    // space.
    static int get_int(const char* text, int def);
    // Locale-independent number; def unless the whole text is one.
    static double get_double(const char* text, double def);
    // As a stream prints the number, or printf-style with the format.
    static std::string int2str(long value, const char* format = nullptr);
    static std::string double2str(double value, const char* format = nullptr);

    // What idle records carry to find the window again.
    unsigned window_id() const { return serial; }
    // Hides the window now and deletes this object from the main loop, for
    // a window that closes from a handler of one of its own buttons (see
    // destroy_later, GtkUtils.h). From now on find_window finds it no more.
    // For a window object that deletes itself: nothing else may.
    void delete_later();
    // The live window of that id, or null; GUI thread only.
    static GladeApp* find_window(unsigned id);

protected:
    std::string xml_buffer;   // the description, when built from memory
    int buffer_size = 0;
    GladeXML* xml = nullptr;
    GtkWidget* window = nullptr;   // the root widget, one reference held
    std::map<std::string, Handler> connect;
    std::map<std::string, Creator> handlers;
    std::map<std::string, std::string> values;   // entry id -> text at focus-in
    std::map<gulong, GtkWidget*> ctext;          // change handler id -> watched entry

private:
    class CreatorScope;
    int finish(const char* root);
    void set_toggle(GtkWidget* w, bool state);
    void text_left(GtkWidget* entry, bool keep);

    static void connect_signal(const gchar* handler_name, GObject* object, const gchar* signal_name,
                               const gchar* signal_data, GObject* connect_object, gboolean after,
                               gpointer self);
    static GtkWidget* handler(GladeXML* xml, gchar* func_name, gchar* name, gchar* string1,
                              gchar* string2, gint int1, gint int2, gpointer self);
    static GtkWidget* default_handler(GladeXML* xml, gchar* func_name, gchar* name, gchar* string1,
                                      gchar* string2, gint int1, gint int2, gpointer);
    static gboolean focus_in(GtkWidget* entry, GdkEventFocus* event, gpointer self);
    static gboolean focus_out(GtkWidget* entry, GdkEventFocus* event, gpointer self);

    static void on_text_changed(GtkWidget*, gpointer);

    bool closing = false;   // delete_later was called
    const unsigned serial;
    static char fmt_buffer[1024];
};

#endif
