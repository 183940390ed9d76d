/* GTK 2 for the widgets of the library.
 *
 * GTK 2's headers use GLib types that newer GLib marks deprecated; those
 * warnings are silenced for the toolkit's own headers only, so that our code
 * is still checked.
 */
#ifndef PLENWIG_HST_GTK_H
#define PLENWIG_HST_GTK_H

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
#include <gtk/gtk.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#endif
