// The board configuration dialog of one readout stream: global analog and
// trigger settings that act on the stream at once, and a private copy of the
// stream's chip set (chip registers page by page, the channel map, raw
// register bits) that reaches the stream and its board only on Apply or OK.
//
// GTK main thread only. Apply collects the settings' commands on the GUI
// thread; the stream module's loader (which the module, and its board
// manager, cancel and join before they go) sends them one by one while the
// dialog takes nothing but Cancel, and its progress and outcome come back
// through idle callbacks, which find the dialog by its window id and do
// nothing to it when it is gone.
#ifndef BRISKO_FENROW_WINDOWS_FENROWGUICONFIG_H
#define BRISKO_FENROW_WINDOWS_FENROWGUICONFIG_H

#include <atomic>
#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtk/gtk.h>

#include "gui/GladeApp.h"
#include "gui/ParamSlider.h"
#include "ostrel/DAQid.h"
#include "ostrel/Module.h"

class PadMap;
class TAchip;
class TAmanager;

namespace Ostrel {
class FenrowStream;
}

class FenrowGuiConfig : public GladeApp {
public:
    // Takes the chip set over. The name is not used.
    FenrowGuiConfig(const Ostrel::DAQid& id, TAmanager* chips, const std::string& name);
    ~FenrowGuiConfig() override;

    // The dialog of the stream: the one open already (raised), else a new
    // one built from the plug-in's description and shown. Its window, or
    // null when it cannot be built.
    static GtkWidget* open(Ostrel::FenrowStream* module);
    // The open dialog of the module, or null.
    static FenrowGuiConfig* find(const Ostrel::DAQid& id);

    void user_init() override;
    void auto_connect() override;
    void process_text(const char* name, GtkWidget* widget) override;

    Ostrel::DAQid get_id() const { return id; }
    // "optROmode" and "txtNadj" from the module.
    void update();
    // Apply. With close_after the dialog goes once the board has taken the
    // configuration; it stays open with a message when it has not, and
    // when Cancel stopped it.
    void set_values(bool close_after = false);
    // True from Apply until the board's answer is in.
    bool applying() const { return busy; }
    enum class ApplyEnd { done, cancelled, failed };
    // On the GUI thread, for the dialog of that window id (nothing to it
    // when it is gone): the command of the Apply on its way, and how the
    // Apply ended. A failure is also told in a message; the dialog takes
    // edits again, and goes when it was OK and everything was taken.
    static void progress(unsigned window, std::size_t n, std::size_t total, const std::string& name);
    static void applied(unsigned window, const std::string& status, ApplyEnd end, double fraction,
                        bool close_after);

    TAmanager* get_chips() const { return chips; }
    PadMap* get_map() const { return map; }

    // Chip page.
    void setup_nchips();
    int WhichChip();
    TAchip* current_chip();
    void draw_table(GtkTable* table, int kind);
    void setup_calibration(TAchip* chip);
    void prepare_for_hdr(Ostrel::FenrowStream* module);
    // Resizes the chip set; the chips it keeps keep their settings. False,
    // and nothing changed, for a count the chip set cannot take.
    bool resize_chips(int n);

    // Channel map page.
    void create_map(int nx, int ny, int ntot);
    void setup_module_map(Ostrel::FenrowStream* module);

    static void onOK(GtkWidget*, gpointer dialog);
    static void onApply(GtkWidget*, gpointer dialog);
    static void onCancel(GtkWidget*, gpointer dialog);
    static void onDelay(GtkWidget*, gpointer dialog);
    static void onNadj(GtkWidget*, gpointer dialog);
    static void onROmode(GtkWidget*, gpointer dialog);
    static void on_bias_changed(GtkWidget*, gpointer dialog);
    static void on_mbias_channel(GtkWidget*, gpointer dialog);
    static void on_mbias_changed(GtkAdjustment*, gpointer dialog);
    static void on_btnHOLD(GtkWidget*, gpointer dialog);
    static void on_trg_type(GtkWidget*, gpointer dialog);
    static void on_coinc(GtkWidget*, gpointer dialog);
    static void onDebug(GtkWidget*, gpointer dialog);

    static void onNewChip(GtkWidget*, gpointer dialog);
    static void onMaskAll(GtkWidget*, gpointer dialog);
    static void onClearMask(GtkWidget*, gpointer dialog);
    static void onTestAll(GtkWidget*, gpointer dialog);
    static void onClearTest(GtkWidget*, gpointer dialog);
    static void onPolChanged(GtkWidget*, gpointer dialog);
    static void onGainChanged(GtkWidget*, gpointer dialog);
    static void onGainToggled(GtkWidget*, gpointer dialog);
    static void onTestToggled(GtkWidget*, gpointer dialog);
    static void onProbeToggled(GtkWidget*, gpointer dialog);
    static void onNsideToggled(GtkWidget*, gpointer dialog);
    static void onCCToggled(GtkWidget*, gpointer dialog);
    static void on_internal_cap(GtkWidget*, gpointer dialog);
    static void on_internal_step(GtkWidget*, gpointer dialog);
    static void on_test_channel(GtkWidget*, gpointer dialog);
    static void on_slew(GtkWidget*, gpointer dialog);
    static void on_dlt(GtkWidget*, gpointer dialog);
    static void on_trim_dac_range(GtkWidget*, gpointer dialog);
    static void on_enable_preampDACs(GtkWidget*, gpointer dialog);
    static void on_chip_type(GtkWidget*, gpointer dialog);
    static void on_change_page(GtkNotebook*, gpointer page, guint number, gpointer dialog);
    static void onBtnToggled(GtkWidget*, gpointer dialog);
    static void onTxtChanged(GtkWidget*, gpointer dialog);
    static void on_Advanced(GtkWidget*, gpointer dialog);

    static void on_create_map(GtkWidget*, gpointer dialog);
    static gboolean padmap_changed(GtkWidget* entry, GdkEventFocus*, gpointer);

private:
    // The stream module of the id, or null when it is gone.
    Ostrel::FenrowStream* module() const;
    void create_spin_slider(GtkSpinButton* spin, const char* par, Ostrel::FenrowStream* module);
    // A slider of this dialog for the module's parameter on the adjustment,
    // set silently to the parameter's value.
    void add_slider(const char* par, GtkAdjustment* adj, Ostrel::FenrowStream* module);
    void set_all_channels(int kind, bool on);
    // Everything but Cancel takes input, or does not (during an Apply).
    void set_editable(bool on);
    // Whether the stream's open run file, if any, takes the layout of the
    // readout mode, adjacent channels and the dialog's chip set; when not,
    // the operator is told why (refused).
    bool layout_taken(Ostrel::FenrowStream& m, int mode, int adjacent);
    // A setting the module refused: the reason in a message, and the
    // dialog shows the module's settings again.
    void refused(const std::string& why);
    // The Apply's line: the text and the part of the commands done.
    void show_apply(const std::string& text, double fraction);
    void set_weight(const char* entry, bool ped);
    // Shows a combo box's item or a toggle's state without calling the
    // dialog back.
    void show_item(const char* id, int item);
    void show_toggle(const char* id, bool state);
    // The window manager's close.
    static gboolean on_delete(GtkWidget*, GdkEvent*, gpointer dialog);
    // Runs a modal prompt of one of the dialog's handlers. A close asked for
    // meanwhile is kept until the prompt has returned: false then, and the
    // handler returns at once (the dialog is gone).
    template <class F>
    bool prompt(F ask);

    Ostrel::DAQid id;
    TAmanager* chips;
    PadMap* map = nullptr;
    std::map<std::string, std::map<int, std::vector<std::string>>> history;

    std::vector<std::pair<std::string, ParamSlider*>> sliders;
    GtkAdjustment* mbias_adj = nullptr;
    gulong mbias_handler = 0;
    int prompting = 0;
    bool close_asked = false;
    bool busy = false;
    // Set by Cancel during an Apply; shared with its worker and the queue.
    std::shared_ptr<std::atomic<bool>> apply_cancel;
};

template <class F>
bool FenrowGuiConfig::prompt(F ask)
{
    ++prompting;
    ask();
    --prompting;
    if (!close_asked)
        return true;
    if (prompting == 0)
        delete this;
    return false;
}

// Sets the module's parameter par to the value of the slider registered for
// it under "<module id>/<par>", converted to T; nothing without that slider.
template <class T>
void set_from_param_slider(const char* par, Ostrel::Module* module, bool notify)
{
    if (!module || !par)
        return;
    ParamSlider* slider = ParamSlider::find(module->get_id().str() + "/" + par);
    if (!slider)
        return;
    module->set_par<T>(par, static_cast<T>(slider->get_value()), notify);
}

#endif
