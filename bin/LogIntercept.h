// Reroutes the toolkit's GLib log messages to standard output, each as
// "KorvaneTellum[<domain>]: <message>". Domains other than the intercepted
// ones keep GLib's default handling.
#ifndef BRISKO_BIN_LOGINTERCEPT_H
#define BRISKO_BIN_LOGINTERCEPT_H

#include <glib.h>

// Installs my_log for every level of the domains "GLib-GObject", "Gtk",
// "GLib", "XPath", "libglade" and "Tellum".
void setup_log_intercept();

// Prints the message whatever its level; libglade's complaints about unknown
// widget types and properties are dropped.
void my_log(const gchar* domain, GLogLevelFlags level, const gchar* message, gpointer data);

#endif
