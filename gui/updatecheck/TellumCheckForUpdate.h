// The update window: says whether a newer release exists and downloads it
// on request while a progress bar moves.
#ifndef BRISKO_GUI_UPDATECHECK_TELLUMCHECKFORUPDATE_H
#define BRISKO_GUI_UPDATECHECK_TELLUMCHECKFORUPDATE_H

#include <gtk/gtk.h>

#include "gui/updatecheck/AppUpdateCheck.h"

class TellumCheckForUpdate;

struct callback_data {
    GtkWidget* labelQ;   // the question
    GtkWidget* labelE;   // the end of the download
    GtkWidget* box;      // the download label and the progress bar
    TellumCheckForUpdate* chk;
};

// GTK main thread only. The checker owns its window: destroying the
// checker cancels and joins a download that runs and destroys the window.
class TellumCheckForUpdate : public AppUpdateCheck {
public:
    // Without a sink the checker makes its own, which shows the progress
    // on the window's bar.
    explicit TellumCheckForUpdate(AppDownloadProgress* P = nullptr);
    ~TellumCheckForUpdate() override;

    // The main window's update check: the versions list is fetched off the
    // GTK main thread; then the window shows the result (unless there is no
    // newer release and show_no_update is false) and stays until its Quit
    // button or its close; a download that still runs then is cancelled,
    // and the checker goes once its thread has ended. Returns at once.
    static void run(bool show_no_update);
    // At the program's end: every checker that run made cancels its
    // transfer, joins its thread and goes with its window.
    static void cancel_all();
    // The number of checkers that run made and that are still there.
    static int count();

    // Builds and shows the window for the result of the last check
    // (newer_release): null when
    // that found no newer release and show_no_update is false.
    GtkWidget* create_window(bool show_no_update);
    GtkWidget* get_window() const { return dialog; }

private:
    static void on_ok(GtkButton* button, gpointer self);
    static void on_response(GtkDialog* dialog, gint response, gpointer self);
    static void on_destroy(GtkWidget* widget, gpointer self);
    static gboolean check_done(gpointer self);
    static gboolean start_download(gpointer self);
    static gboolean download_done(gpointer self);
    static gboolean closed_done(gpointer self);
    // The window was closed: cancel, and go when the thread has ended.
    void close();
    static void discard(TellumCheckForUpdate* chk);

    callback_data* cb_data;
    AppDownloadProgress* own_sink = nullptr;
    GtkWidget* dialog = nullptr;
    GtkWidget* ok_button = nullptr;
    gulong ok_handler = 0;
    bool show_no_update = true;
    bool asking = false;   // for the download folder
    guint check_source = 0;
    guint start_source = 0;
    guint end_source = 0;
    guint close_source = 0;
};

#endif
