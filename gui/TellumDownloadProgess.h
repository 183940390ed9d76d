// The update window's progress bar as the download's progress sink.
#ifndef BRISKO_GUI_TELLUMDOWNLOADPROGESS_H
#define BRISKO_GUI_TELLUMDOWNLOADPROGESS_H

#include <gtk/gtk.h>

#include "gui/AppDownloadProgress.h"

// Made, given its bar and destroyed on the GTK main thread. The download's
// thread reports through set_progress, which posts the figure to the main
// loop with the sink's id: a sink gone by then takes nothing.
class TellumDownloadProgess : public AppDownloadProgress {
public:
    explicit TellumDownloadProgess(GtkProgressBar* bar = nullptr);
    ~TellumDownloadProgess() override;

    // Keeps a reference on the bar and sets it to 0.
    void set_progress_bar(GtkProgressBar* bar);
    // Any thread.
    void set_progress(double fraction) override;
    // The bar's fraction; GTK main thread.
    double get_progress() override;

    GtkProgressBar* bar = nullptr;

private:
    const unsigned serial;
    double posted = -1;   // the download thread's last figure sent
};

#endif
