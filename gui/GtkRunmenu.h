/* The run-control popup menu: Get Ready, Start, Stop, Pause, Continue,
 * Reset and Quit. It keeps its items' sensitivity itself and reports every
 * choice as one signal, "command", carrying the command number:
 *   0 get ready, 1 start, 2 stop, 3 pause, 4 continue, 5 reset,
 *   6 emitted by Get Ready just before 0.
 * A run started from the menu can be stopped from any thread with
 * gtk_runmenu_stop: the GUI thread polls the request every 100 ms and
 * carries out the Stop item's action. */
#ifndef BRISKO_GUI_GTK_RUNMENU_H
#define BRISKO_GUI_GTK_RUNMENU_H

#include <gtk/gtk.h>

G_BEGIN_DECLS

#define RUNMENU_TYPE (runmenu_get_type())
#define RUNMENU(obj) (G_TYPE_CHECK_INSTANCE_CAST((obj), RUNMENU_TYPE, Runmenu))
#define RUNMENU_CLASS(klass) (G_TYPE_CHECK_CLASS_CAST((klass), RUNMENU_TYPE, RunmenuClass))
#define IS_RUNMENU(obj) (G_TYPE_CHECK_INSTANCE_TYPE((obj), RUNMENU_TYPE))

typedef struct _Runmenu Runmenu;
typedef struct _RunmenuClass RunmenuClass;

struct _Runmenu {
    GtkMenu menu;
    GtkWidget* igetready;
    GtkWidget* istartrun;
    GtkWidget* istoprun;
    GtkWidget* ipauserun;
    GtkWidget* icontinuerun;
    GtkWidget* ireset;
    gint tmout;          /* source id of the stop poll, 0 when none runs */
    gint have_to_stop;   /* set by gtk_runmenu_stop, cleared by the poll */
};

struct _RunmenuClass {
    GtkMenuClass parent_class;
    void (*command)(Runmenu* menu, guint cmd);
};

GType runmenu_get_type(void);
GtkWidget* gtk_runmenu_new(void);

/* Runs the item action of cmd (0 to 5) as if the item had been chosen;
 * other values do nothing. */
void gtk_runmenu_emit(Runmenu* run, guint cmd);
/* Asks for a Stop; from any thread. */
void gtk_runmenu_stop(Runmenu* run);

/* Item sensitivity of a run state; no "command". */
void gtk_runmenu_set_notready(Runmenu* run);
void gtk_runmenu_set_ready(Runmenu* run);
void gtk_runmenu_set_running(Runmenu* run);
void gtk_runmenu_set_paused(Runmenu* run);

G_END_DECLS

#endif
