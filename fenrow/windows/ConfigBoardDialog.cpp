#include "fenrow/windows/ConfigBoardDialog.h"

#include <map>
#include <utility>
#include <vector>

#include "daq/GuiThread.h"
#include "daq/IdleCall.h"
#include "fenrow/chips/TAmanager.h"
#include "fenrow/net/Packets.h"
#include "fenrow/windows/FenrowGlade.h"
#include "gui/MessageBox.h"
#include "ostrel/Log.h"

namespace {

// The open dialogs by board IP, as window ids (GTK main thread only).
std::map<std::string, unsigned>& open_dialogs()
{
    static auto* m = new std::map<std::string, unsigned>;
    return *m;
}

// The chip types of the combo's entries "GP7", "GP8" and "HDR16".
int chip_type_of_entry(int index)
{
    switch (index) {
    case 0:
        return TAmanager::gp7_1;
    case 1:
        return TAmanager::gp8;
    case 2:
        return TAmanager::hdr;
    default: {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "**** create_module: Invalid chip type **** " << std::endl;
        return TAmanager::gp7_1;
    }
    }
}

std::string slot_id(int slot)
{
    return "slot" + std::to_string(slot + 1);
}

} // namespace

void ConfigBoardDialog::install()
{
    if (on_gui_thread() && gdk_display_get_default())
        Ostrel::Fenrow::set_board_definer(&ConfigBoardDialog::ask);
}

bool ConfigBoardDialog::ask(const std::shared_ptr<Ostrel::DefineModuleInfo>& info, const std::string& ip)
{
    idle_call([info, ip] { create_module(info, ip); });
    return true;
}

void ConfigBoardDialog::create_module(const std::shared_ptr<Ostrel::DefineModuleInfo>& info, const std::string& ip)
{
    // Already cancelled: the manager that asked has gone.
    if (info->answered())
        return;
    // A program without windows iterates a plain GLib loop: nobody would see
    // the dialog.
    if (gtk_main_level() == 0) {
        info->cancel();
        return;
    }
    if (ConfigBoardDialog* open = find(ip)) {
        open->adopt(info);
        return;
    }
    auto* dialog = new ConfigBoardDialog(info, ip);
    if (fenrow_glade::build(*dialog, "dlgConfigBoard") != 0) {
        delete dialog;
        info->cancel();
        return;
    }
    open_dialogs()[ip] = dialog->window_id();
    gtk_widget_show(dialog->window);
}

ConfigBoardDialog* ConfigBoardDialog::find(const std::string& ip)
{
    auto it = open_dialogs().find(ip);
    return it == open_dialogs().end() ? nullptr : static_cast<ConfigBoardDialog*>(find_window(it->second));
}

ConfigBoardDialog::ConfigBoardDialog(std::shared_ptr<Ostrel::DefineModuleInfo> info, std::string ip)
    : _info(std::move(info)), _ip(std::move(ip))
{
}

ConfigBoardDialog::~ConfigBoardDialog()
{
    auto it = open_dialogs().find(_ip);
    if (it != open_dialogs().end() && it->second == window_id())
        open_dialogs().erase(it);
    // Whoever waits learns that nobody answers.
    if (!_info->answered())
        _info->cancel();
}

void ConfigBoardDialog::auto_connect()
{
    connect["on_response"] = G_CALLBACK(&ConfigBoardDialog::on_response);
}

void ConfigBoardDialog::user_init()
{
    gtk_combo_box_set_active(GTK_COMBO_BOX(get_widget("cmbChipType")), 0);
}

void ConfigBoardDialog::adopt(std::shared_ptr<Ostrel::DefineModuleInfo> info)
{
    if (!_info->answered())
        _info->cancel();
    _info = std::move(info);
    gtk_window_present(GTK_WINDOW(window));
}

void ConfigBoardDialog::on_response(GtkDialog*, gint response, gpointer self)
{
    auto* dialog = static_cast<ConfigBoardDialog*>(static_cast<GladeApp*>(self));
    if (response == GTK_RESPONSE_OK) {
        if (!dialog->answer())
            return;
    } else {
        dialog->_info->cancel();
    }
    // Its own button's click is not over yet.
    dialog->delete_later();
}

bool ConfigBoardDialog::answer()
{
    const int chip_type =
        chip_type_of_entry(gtk_combo_box_get_active(GTK_COMBO_BOX(get_widget("cmbChipType"))));
    const int nstreams = entry2int("txtNhybrid", 0);
    const int nchips = entry2int("txtNchip", 0);
    std::vector<int> active;
    for (int slot = 0; slot < MAX_STREAMS; ++slot)
        if (btn_active(slot_id(slot).c_str()))
            active.push_back(slot);

    // Each hybrid has a slot of its own, and the board counts the chips of
    // a hybrid in one byte.
    if (active.empty()) {
        refuse("Choose the slot of each hybrid in the Hybrid map.");
        return false;
    }
    if (nstreams < 1 || nstreams > static_cast<int>(active.size())) {
        refuse("N hybrids must be a number from 1 to " + std::to_string(active.size())
               + ", the slots chosen in the Hybrid map.");
        return false;
    }
    if (nchips < 1 || nchips > TAmanager::max_chips) {
        refuse("N chip/Hybrid must be a number from 1 to " + std::to_string(TAmanager::max_chips) + ".");
        return false;
    }

    _info->lock();
    _info->chip_type = chip_type;
    _info->nstreams = nstreams;
    _info->nchips = nchips;
    for (int k = 0; k < nstreams; ++k)
        _info->slots[k] = active[static_cast<std::size_t>(k)];
    _info->unlock();
    _info->finish();
    return true;
}

void ConfigBoardDialog::refuse(const std::string& text)
{
    GtkWidget* message = show_message(window, GTK_MESSAGE_ERROR, text);
    gtk_window_set_title(GTK_WINDOW(message), "Config Board");
}
