#include "gui/WidgetUpdate.h"

#include "gui/WidgetHolder.h"

WidgetUpdate::~WidgetUpdate()
{
    for (WidgetHolder* holder : holders)
        holder->forget(this);
}

void WidgetUpdate::set_label(const char* text)
{
    if (w && GTK_IS_LABEL(w))
        gtk_label_set_text(GTK_LABEL(w), text);
}
