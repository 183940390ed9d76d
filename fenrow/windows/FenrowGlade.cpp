#include "fenrow/windows/FenrowGlade.h"

#include <gio/gio.h>

#include "gui/GladeApp.h"
#include "ostrel/Log.h"

namespace fenrow_glade {

const char* const resource_path = "/org/korvane/Tellum/fenrow.glade";

int build(GladeApp& window, const char* root)
{
    GError* error = nullptr;
    GBytes* bytes = g_resources_lookup_data(resource_path, G_RESOURCE_LOOKUP_FLAGS_NONE, &error);
    if (!bytes) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Cannot read " << resource_path << ": " << error->message << std::endl;
        g_error_free(error);
        return -1;
    }
    gsize size = 0;
    const auto* text = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    const int rc = window.init(text, static_cast<int>(size), root);
    g_bytes_unref(bytes);
    return rc;
}

} // namespace fenrow_glade
