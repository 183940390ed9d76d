// The channel map page of the board configuration dialog: which read-out
// channel sits on each pad of a pixelated sensor. The dialog edits its own
// map; Apply hands a copy to the stream's analysis.
#include <cstdio>
#include <string>

#include "data/PadMap.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/windows/FenrowGuiConfig.h"
#include "gui/MessageBox.h"

using Ostrel::FenrowStream;

namespace {

// What a pad entry edits. Owned by the entry; the map is the dialog's.
struct MapData {
    int channel;
    int x;
    int y;
    PadMap* map;
};

void destroy_map_data(gpointer data)
{
    delete static_cast<MapData*>(data);
}

const int pad_entry_width = 4 * 10 + 2;

// The pad table's scrolled window, or null.
GtkWidget* pad_scroll(GtkWidget* box)
{
    return box ? static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(box), "scroll")) : nullptr;
}

} // namespace

void FenrowGuiConfig::create_map(int nx, int ny, int ntot)
{
    // The entries of the old table point into the old map.
    GtkWidget* box = get_widget("vboxModConfig");
    if (GtkWidget* old = pad_scroll(box)) {
        g_object_set_data(G_OBJECT(box), "scroll", nullptr);
        gtk_widget_destroy(old);
    }
    delete map;
    map = new PadMap(nx, ny, ntot);
    for (int y = 0; y < ny; ++y)
        for (int x = 0; x < nx; ++x)
            map->set(y * nx + x, x, y);
}

void FenrowGuiConfig::setup_module_map(FenrowStream*)
{
    GtkWidget* box = get_widget("vboxModConfig");
    if (!map || !box)
        return;
    const int nx = map->nx();
    const int ny = map->ny();
    int2entry("nPadX", nx);
    int2entry("nPadY", ny);
    GtkWidget* table = gtk_table_new(static_cast<guint>(ny + 1), static_cast<guint>(nx + 1), FALSE);
    auto attach = [table](GtkWidget* w, int column, int row) {
        gtk_table_attach(GTK_TABLE(table), w, static_cast<guint>(column), static_cast<guint>(column + 1),
                         static_cast<guint>(row), static_cast<guint>(row + 1), GTK_FILL, GTK_FILL, 1, 1);
    };
    for (int x = 0; x < nx; ++x)
        attach(gtk_label_new(std::to_string(x).c_str()), x + 1, 0);
    for (int y = 0; y < ny; ++y)
        attach(gtk_label_new(std::to_string(y).c_str()), 0, y + 1);
    for (int y = 0; y < ny; ++y) {
        for (int x = 0; x < nx; ++x) {
            GtkWidget* entry = gtk_entry_new();
            gtk_entry_set_max_length(GTK_ENTRY(entry), 4);
            gtk_widget_set_size_request(entry, pad_entry_width, -1);
            gtk_entry_set_alignment(GTK_ENTRY(entry), 1.0);
            const int channel = map->channel(x, y);
            gtk_entry_set_text(GTK_ENTRY(entry), std::to_string(channel).c_str());
            g_object_set_data_full(G_OBJECT(entry), "map_data", new MapData{channel, x, y, map}, destroy_map_data);
            g_signal_connect(entry, "focus-out-event", G_CALLBACK(&FenrowGuiConfig::padmap_changed), this);
            attach(entry, x + 1, y + 1);
        }
    }
    if (GtkWidget* old = pad_scroll(box))
        gtk_widget_destroy(old);
    GtkWidget* scroll = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroll), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_scrolled_window_add_with_viewport(GTK_SCROLLED_WINDOW(scroll), table);
    gtk_widget_show_all(scroll);
    g_object_set_data(G_OBJECT(box), "scroll", scroll);
    gtk_box_pack_start(GTK_BOX(box), scroll, TRUE, TRUE, 0);
}

void FenrowGuiConfig::on_create_map(GtkWidget*, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    FenrowStream* m = self->module();
    if (!m)
        return;
    const int nx = self->entry2int("nPadX", 0);
    const int ny = self->entry2int("nPadY", 0);
    const int ntot = m->get_n_chan() * m->get_n_chips();
    char text[160];
    if (nx < 1 || ny < 1)
        std::snprintf(text, sizeof text, "Wrong number of pixels: nx %d ny %d", nx, ny);
    else if (static_cast<long long>(nx) * ny > ntot)
        // More pads than channels would leave pads no channel can fill.
        std::snprintf(text, sizeof text, "Too many pixels: nx %d ny %d for %d channels", nx, ny, ntot);
    else
        text[0] = '\0';
    if (text[0]) {
        self->prompt([&] { run_message(self->window, GTK_MESSAGE_ERROR, text); });
        return;
    }
    self->create_map(nx, ny, ntot);
    self->setup_module_map(m);
}

gboolean FenrowGuiConfig::padmap_changed(GtkWidget* entry, GdkEventFocus*, gpointer)
{
    auto* pad = static_cast<MapData*>(g_object_get_data(G_OBJECT(entry), "map_data"));
    int channel = 0;
    if (pad && std::sscanf(gtk_entry_get_text(GTK_ENTRY(entry)), "%d", &channel) == 1 && channel != pad->channel) {
        pad->channel = channel;
        pad->map->set(channel, pad->x, pad->y);
    }
    return FALSE;
}
