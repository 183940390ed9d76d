#include "gui/GtkRunmenu.h"

enum { COMMAND, LAST_SIGNAL };
static guint runmenu_signals[LAST_SIGNAL] = {0};

G_DEFINE_TYPE(Runmenu, runmenu, GTK_TYPE_MENU)

/* -1 leaves an item as it is. */
static void set_items(Runmenu* run, int getready, int start, int stop, int pause, int cont,
                      int reset)
{
    GtkWidget* items[] = {run->igetready, run->istartrun, run->istoprun, run->ipauserun,
                          run->icontinuerun, run->ireset};
    const int sens[] = {getready, start, stop, pause, cont, reset};
    for (unsigned i = 0; i < G_N_ELEMENTS(items); ++i)
        if (items[i] && sens[i] >= 0)
            gtk_widget_set_sensitive(items[i], sens[i]);
    gtk_widget_queue_draw(GTK_WIDGET(run));
}

static void emit_command(Runmenu* run, guint cmd)
{
    g_signal_emit(run, runmenu_signals[COMMAND], 0, cmd);
}

static void remove_poll(Runmenu* run)
{
    if (run->tmout) {
        g_source_remove((guint)run->tmout);
        run->tmout = 0;
    }
}

/* Each item action leaves the items as in the run state it leads to. */
static void on_getready(GtkMenuItem* item, Runmenu* run)
{
    (void)item;
    gtk_runmenu_set_ready(run);
    /* A handler may let go of the menu between the two commands. */
    g_object_ref(run);
    emit_command(run, 6);
    emit_command(run, 0);
    g_object_unref(run);
}

static void on_stop(GtkMenuItem* item, Runmenu* run)
{
    (void)item;
    remove_poll(run);
    g_atomic_int_set(&run->have_to_stop, 0);
    gtk_runmenu_set_ready(run);
    emit_command(run, 2);
}

static gboolean stop_it(gpointer data)
{
    Runmenu* run = RUNMENU(data);
    if (!g_atomic_int_get(&run->have_to_stop))
        return TRUE;
    g_atomic_int_set(&run->have_to_stop, 0);
    /* This source ends by returning FALSE: the Stop action must not remove
     * it as well. */
    run->tmout = 0;
    on_stop(NULL, run);
    return FALSE;
}

static void on_start(GtkMenuItem* item, Runmenu* run)
{
    (void)item;
    /* A second Start without a Stop keeps one poll, not two. */
    remove_poll(run);
    run->tmout = (gint)g_timeout_add(100, stop_it, run);
    g_atomic_int_set(&run->have_to_stop, 0);
    gtk_runmenu_set_running(run);
    emit_command(run, 1);
}

static void on_pause(GtkMenuItem* item, Runmenu* run)
{
    (void)item;
    gtk_runmenu_set_paused(run);
    emit_command(run, 3);
}

static void on_continue(GtkMenuItem* item, Runmenu* run)
{
    (void)item;
    gtk_runmenu_set_running(run);
    emit_command(run, 4);
}

static void on_reset(GtkMenuItem* item, Runmenu* run)
{
    (void)item;
    emit_command(run, 5);
}

static void on_quit(GtkMenuItem* item, gpointer data)
{
    (void)item;
    (void)data;
    if (gtk_main_level() > 0)
        gtk_main_quit();
}

static void runmenu_destroy(GtkObject* object)
{
    Runmenu* run = RUNMENU(object);
    /* The poll carries this menu: it must not outlive it. */
    remove_poll(run);
    run->igetready = run->istartrun = run->istoprun = NULL;
    run->ipauserun = run->icontinuerun = run->ireset = NULL;
    GTK_OBJECT_CLASS(runmenu_parent_class)->destroy(object);
}

static void runmenu_class_init(RunmenuClass* klass)
{
    GTK_OBJECT_CLASS(klass)->destroy = runmenu_destroy;
    klass->command = NULL;
    runmenu_signals[COMMAND] =
        g_signal_new("command", G_TYPE_FROM_CLASS(klass), G_SIGNAL_RUN_FIRST | G_SIGNAL_NO_RECURSE,
                     G_STRUCT_OFFSET(RunmenuClass, command), NULL, NULL,
                     g_cclosure_marshal_VOID__UINT, G_TYPE_NONE, 1, G_TYPE_UINT);
}

static GtkWidget* add_item(Runmenu* run, const char* label, GCallback action)
{
    GtkWidget* item = gtk_menu_item_new_with_label(label);
    g_signal_connect(item, "activate", action, run);
    return item;
}

static void runmenu_init(Runmenu* run)
{
    run->igetready = add_item(run, "Get Ready", G_CALLBACK(on_getready));
    run->istartrun = add_item(run, "Start", G_CALLBACK(on_start));
    run->istoprun = add_item(run, "Stop", G_CALLBACK(on_stop));
    run->ipauserun = add_item(run, "Pause", G_CALLBACK(on_pause));
    run->icontinuerun = add_item(run, "Continue", G_CALLBACK(on_continue));
    run->ireset = add_item(run, "Reset", G_CALLBACK(on_reset));
    GtkWidget* separator = gtk_separator_menu_item_new();
    GtkWidget* quit = gtk_menu_item_new_with_label("Quit");
    g_signal_connect(quit, "activate", G_CALLBACK(on_quit), NULL);

    GtkWidget* order[] = {run->igetready, run->istartrun, run->istoprun, run->ipauserun,
                          run->icontinuerun, separator, run->ireset, quit};
    for (unsigned i = 0; i < G_N_ELEMENTS(order); ++i) {
        gtk_menu_shell_append(GTK_MENU_SHELL(run), order[i]);
        gtk_widget_show(order[i]);
    }
    run->tmout = 0;
    run->have_to_stop = 0;
    gtk_runmenu_set_notready(run);
}

GtkWidget* gtk_runmenu_new(void)
{
    return GTK_WIDGET(g_object_new(RUNMENU_TYPE, NULL));
}

void gtk_runmenu_emit(Runmenu* run, guint cmd)
{
    g_return_if_fail(IS_RUNMENU (run));
    switch (cmd) {
    case 0: on_getready(NULL, run); break;
    case 1: on_start(NULL, run); break;
    case 2: on_stop(NULL, run); break;
    case 3: on_pause(NULL, run); break;
    case 4: on_continue(NULL, run); break;
    case 5: on_reset(NULL, run); break;
    default: break;
    }
}

void gtk_runmenu_stop(Runmenu* run)
{
    g_return_if_fail(run != NULL);
    g_return_if_fail(IS_RUNMENU (run));
    g_atomic_int_set(&run->have_to_stop, 1);
}

void gtk_runmenu_set_notready(Runmenu* run)
{
    g_return_if_fail(IS_RUNMENU (run));
    set_items(run, 1, 0, 0, 0, 0, 1);
}

void gtk_runmenu_set_ready(Runmenu* run)
{
    g_return_if_fail(IS_RUNMENU (run));
    set_items(run, 1, 1, 0, 0, 0, -1);
}

void gtk_runmenu_set_running(Runmenu* run)
{
    g_return_if_fail(IS_RUNMENU (run));
    set_items(run, 0, 0, 1, 1, 0, -1);
}

void gtk_runmenu_set_paused(Runmenu* run)
{
    g_return_if_fail(IS_RUNMENU (run));
    set_items(run, 0, 0, 1, 0, 1, -1);
}
