#include "fenrow/streams/FenrowStreamDebug.h"

#include <iostream>

#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/windows/FenrowGuiConfig.h"
#include "ostrel/Log.h"

FenrowStreamDebug::FenrowStreamDebug(Ostrel::FenrowStream* m) : module(m)
{
}

FenrowStreamDebug::~FenrowStreamDebug() = default;

void FenrowStreamDebug::user_init()
{
    int2entry("txtChannel", channel);
}

void FenrowStreamDebug::auto_connect()
{
    connect["onExecute"] = G_CALLBACK(&FenrowStreamDebug::onExecute);
}

void FenrowStreamDebug::process_text(const char*, GtkWidget*)
{
    channel = entry2int("txtChannel", 10);
}

void FenrowStreamDebug::onExecute(GtkWidget*, gpointer)
{
    std::cout << "*** FenrowStreamDebug::onExecute: Not yet implemented ****" << std::endl;
}

// The configuration dialog's "Debug": whatever changes in the module while
// the window is open is undone from the configuration document afterwards.
void FenrowGuiConfig::onDebug(GtkWidget*, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    Ostrel::FenrowStream* m = self->module();
    if (!m || !m->get_status().isReady())
        return;
    const std::string key = m->get_id().str();
    // The document gets the module's settings as they are now, so that
    // reading it back afterwards keeps what was applied before.
    ModuleParser* handler = ConfigParser::theConfig()->get_id_handler(m->get_id().to_int());
    if (handler)
        handler->save_config();
    FenrowStreamDebug debug(m);
    if (self->init_application(&debug, "ChannelDebug") != 0 || !debug.get_main_window()) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Cannot build the channel debug window of module " << key << std::endl;
        return;
    }
    // The dialog may be closed meanwhile; the module's configuration is put
    // back all the same.
    self->prompt([&] { gtk_dialog_run(GTK_DIALOG(debug.get_main_window())); });
    if (handler)
        handler->parse_node_id(key);
}
