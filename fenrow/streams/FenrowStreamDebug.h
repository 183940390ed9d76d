// The channel debug window of a board stream, opened from the board
// configuration dialog while the stream is ready. Its Execute is not
// implemented yet.
#ifndef BRISKO_FENROW_STREAMS_FENROWSTREAMDEBUG_H
#define BRISKO_FENROW_STREAMS_FENROWSTREAMDEBUG_H

#include "gui/GladeApp.h"

namespace Ostrel {
class FenrowStream;
}

class FenrowStreamDebug : public GladeApp {
public:
    // The module is not owned; the window lives while the caller runs it.
    explicit FenrowStreamDebug(Ostrel::FenrowStream* module);
    ~FenrowStreamDebug() override;

    void user_init() override;
    void auto_connect() override;
    // Whatever entry was left: the channel from "txtChannel" (10 when it
    // is not a number).
    void process_text(const char* name, GtkWidget* widget) override;

    int get_channel() const { return channel; }

    static void onExecute(GtkWidget*, gpointer window);

private:
    Ostrel::FenrowStream* module;
    int channel = 10;
};

#endif
