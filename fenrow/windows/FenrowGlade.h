// The plug-in's own interface description, compiled into the plug-in's
// resource bundle (registered while the plug-in is loaded).
#ifndef BRISKO_FENROW_WINDOWS_FENROWGLADE_H
#define BRISKO_FENROW_WINDOWS_FENROWGLADE_H

class GladeApp;

namespace fenrow_glade {

// Resource path of the description.
extern const char* const resource_path;

// Builds the window's top-level widget `root` from the description. 0, or
// -1 when the description is not there (the GLib reason is logged) or has no
// such widget.
int build(GladeApp& window, const char* root);

} // namespace fenrow_glade

#endif
