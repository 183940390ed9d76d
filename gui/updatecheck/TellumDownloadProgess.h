// The update window's progress bar as the download's progress sink. The
// class keeps the name it has always had, spelled as it stands.
#ifndef BRISKO_GUI_UPDATECHECK_TELLUMDOWNLOADPROGESS_H
#define BRISKO_GUI_UPDATECHECK_TELLUMDOWNLOADPROGESS_H

#include <atomic>

#include <gtk/gtk.h>

#include "gui/updatecheck/AppDownloadProgress.h"

// Made, given its bar and destroyed on the GTK main thread. The download's
// thread only stores its figure (set_progress); a timer of the main loop
// shows the latest one on the bar every 100 ms while the sink has a bar, so
// that no record of the download's thread ever reaches a widget.
class TellumDownloadProgess : public AppDownloadProgress {
public:
    explicit TellumDownloadProgess(GtkProgressBar* bar = nullptr);
    ~TellumDownloadProgess() override;

    // Keeps a reference on the bar and sets it to 0; null lets it go.
    void set_progress_bar(GtkProgressBar* bar);
    // Any thread.
    void set_progress(double fraction) override;
    // The bar's fraction; GTK main thread.
    double get_progress() override;

    GtkProgressBar* bar = nullptr;

private:
    static gboolean show(gpointer self);

    std::atomic<double> latest{0};
    guint timer = 0;
};

#endif
