#include "fenrow/windows/FenrowGuiConfig.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <mutex>

#include <gio/gio.h>
#include <glib.h>

#include "config/PathUtils.h"
#include "daq/IdleCall.h"
#include "data/Analysis.h"
#include "fenrow/Fenrow.h"
#include "fenrow/chips/TAmanager.h"
#include "fenrow/net/CommandBatch.h"
#include "fenrow/net/Packets.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/windows/FenrowGlade.h"
#include "gui/GtkUtils.h"
#include "gui/MessageBox.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Exception.h"
#include "ostrel/Log.h"

using Ostrel::FenrowStream;

namespace {


// "comboBias" items, in order.
const char* const bias_names[] = {"vfp", "vthrh", "vfsf", "vfss", "test_pulse", "test_point"};
// Readout-mode code of each "optROmode" item.
const int ro_codes[] = {RO_SERIAL, RO_SPARSE, RO_ADJACENT, RO_SCOPE};
const int scope_item = 3;
// The mbias selector's "all".
const int all_mbias = 4;
// Firmware above this one sets the four main biases together.
const unsigned long mbias_firmware = 517;

// Open dialogs by module id, so that a stream has one at most (GUI thread).
std::map<std::string, unsigned>& open_dialogs()
{
    static std::map<std::string, unsigned> dialogs;
    return dialogs;
}

int ro_item(int code)
{
    for (int i = 0; i < 4; ++i)
        if (ro_codes[i] == code)
            return i;
    return -1;
}

int active(GtkWidget* w)
{
    return w && GTK_IS_COMBO_BOX(w) ? gtk_combo_box_get_active(GTK_COMBO_BOX(w)) : -1;
}

// Every handler of the dialog on the widget and below, also on the widgets
// made at run time, which the window base does not know.
void disconnect_tree(GtkWidget* w, gpointer dialog)
{
    g_signal_handlers_disconnect_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, dialog);
    if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), reinterpret_cast<GtkCallback>(disconnect_tree), dialog);
}

// One step of an Apply: each is shown, in order.
struct Step {
    std::size_t n;             // the command on its way, from 1
    std::size_t total;
    std::string name;
};

// What Apply leaves for its worker and what the worker finds, by job
// number. The worker hands its findings over under the lock and posts only
// the number, so that nothing it made is freed by the GUI thread unseen.
struct Outcome {
    unsigned window;
    bool close_after;
    std::deque<Step> steps;    // posted, not shown yet
    std::string status;        // how it ended, for the dialog's line
    FenrowGuiConfig::ApplyEnd end = FenrowGuiConfig::ApplyEnd::done;
    double fraction = 0.0;     // of the commands acknowledged
};

struct Outcomes {
    std::mutex mutex;
    std::map<unsigned, Outcome> by_job;
};

// Never destroyed: a worker may still finish while the process exits.
Outcomes& outcomes()
{
    static auto* all = new Outcomes;
    return *all;
}

std::string commands_from(std::size_t first, std::size_t last)
{
    if (first > last)
        return "none";
    if (first == last)
        return "command " + std::to_string(first);
    return "commands " + std::to_string(first) + " to " + std::to_string(last);
}

// What the Apply of module `name` did, in the operator's words, and how it
// ended.
std::string describe(const std::string& name, const CommandBatch& batch, const CommandBatch::Result& r,
                     FenrowStream& module, Ostrel::Fenrow& manager, FenrowGuiConfig::ApplyEnd& end)
{
    const std::size_t n = batch.size();
    const std::size_t next = r.acknowledged + 1;
    end = FenrowGuiConfig::ApplyEnd::done;
    if (r.fate == CommandFate::acknowledged)
        return n ? "Applied: the board took all " + std::to_string(n) + " commands."
                 : "Applied: nothing had to be sent to the board.";
    if (r.fate == CommandFate::cancelled && !module.loader_cancelled()) {
        end = FenrowGuiConfig::ApplyEnd::cancelled;
        std::string said = "Cancelled. Applied: " + commands_from(1, r.acknowledged) + ".";
        if (r.sent)
            said += " Sent but not acknowledged: " + commands_from(next, next) + ".";
        return said + " Not sent: " + commands_from(r.sent ? next + 1 : next, n) + ".";
    }
    end = FenrowGuiConfig::ApplyEnd::failed;
    const std::string tally = " Applied: " + commands_from(1, r.acknowledged) + ". Not applied: "
                              + commands_from(next, n) + ".";
    if (r.fate == CommandFate::cancelled)
        return "Module " + name + " was taken down before the board took its configuration." + tally;
    const CommandBatch::Entry& e = batch.at(next - 1);
    std::string why;
    if (r.fate == CommandFate::given_up) {
        why = "was not acknowledged after " + std::to_string(manager.timing().max_resends) + " re-sends";
    } else if (r.refused) {
        why = manager.pending().is_silent(e.ip) ? "was not sent: board " + e.ip
                                                      + " has not answered since a command to it was given up"
                                                : "was not sent: board " + e.ip + " is not known";
    } else if (!manager.is_running()) {
        why = "was dropped: the board manager stopped";
    } else {
        why = "was dropped with another command to the board";
    }
    return "Module " + name + ": the board did not take the configuration (command " + std::to_string(next)
           + " of " + std::to_string(n) + ", " + command_name(e.bytes) + ", " + why + ")." + tally;
}

void report_progress(unsigned job)
{
    unsigned window = 0;
    Step step;
    {
        Outcomes& all = outcomes();
        std::lock_guard<std::mutex> lock(all.mutex);
        auto it = all.by_job.find(job);
        if (it == all.by_job.end() || it->second.steps.empty())
            return;
        window = it->second.window;
        step = std::move(it->second.steps.front());
        it->second.steps.pop_front();
    }
    FenrowGuiConfig::progress(window, step.n, step.total, step.name);
}

void report_outcome(unsigned job)
{
    Outcome o;
    {
        Outcomes& all = outcomes();
        std::lock_guard<std::mutex> lock(all.mutex);
        auto it = all.by_job.find(job);
        if (it == all.by_job.end())
            return;
        o = it->second;
        all.by_job.erase(it);
    }
    FenrowGuiConfig::applied(o.window, o.status, o.end, o.fraction, o.close_after);
}

} // namespace

FenrowGuiConfig::FenrowGuiConfig(const Ostrel::DAQid& module_id, TAmanager* chip_set, const std::string&)
    : id(module_id), chips(chip_set)
{
}

FenrowGuiConfig::~FenrowGuiConfig()
{
    auto it = open_dialogs().find(id.str());
    if (it != open_dialogs().end() && it->second == window_id())
        open_dialogs().erase(it);
    // The message manager moves sliders by key: none may reach this
    // dialog's adjustments once it has gone. A key taken over by another
    // window since stays.
    for (const auto& s : sliders)
        if (ParamSlider::find(s.first) == s.second)
            ParamSlider::remove(s.first);
    sliders.clear();
    if (mbias_adj && mbias_handler)
        g_signal_handler_disconnect(mbias_adj, mbias_handler);
    if (window)
        disconnect_tree(window, this);
    // The pad entries point into the map: they go first.
    if (GtkWidget* box = get_widget("vboxModConfig"))
        if (auto* scroll = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(box), "scroll"))) {
            g_object_set_data(G_OBJECT(box), "scroll", nullptr);
            gtk_widget_destroy(scroll);
        }
    delete map;
    delete chips;
}

FenrowGuiConfig* FenrowGuiConfig::find(const Ostrel::DAQid& module_id)
{
    auto it = open_dialogs().find(module_id.str());
    return it == open_dialogs().end() ? nullptr : dynamic_cast<FenrowGuiConfig*>(find_window(it->second));
}

GtkWidget* FenrowGuiConfig::open(FenrowStream* module)
{
    if (!module)
        return nullptr;
    if (FenrowGuiConfig* open = find(module->get_id())) {
        gtk_window_present(GTK_WINDOW(open->window));
        return open->window;
    }
    TAmanager* copy = nullptr;
    {
        std::lock_guard<std::recursive_mutex> lock(module->chips_lock());
        copy = new TAmanager(module->chips());
    }
    auto* dialog = new FenrowGuiConfig(module->get_id(), copy, "brisko.glade");
    const int built = fenrow_glade::build(*dialog, "DSP-config");
    if (built != 0 || !dialog->window) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Cannot build the configuration dialog of module " << module->get_id().str() << std::endl;
        delete dialog;
        return nullptr;
    }
    open_dialogs()[module->get_id().str()] = dialog->window_id();
    g_signal_connect(dialog->window, "delete-event", G_CALLBACK(&FenrowGuiConfig::on_delete), dialog);
    gtk_widget_show(dialog->window);
    return dialog->window;
}

gboolean FenrowGuiConfig::on_delete(GtkWidget*, GdkEvent*, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    if (self->prompting > 0) {
        // A handler waits in a prompt: it finishes the close.
        self->close_asked = true;
        gtk_widget_hide(self->window);
    } else {
        delete self;
    }
    return TRUE;
}

FenrowStream* FenrowGuiConfig::module() const
{
    return dynamic_cast<FenrowStream*>(Ostrel::DAQmanager::theDAQmanager()->find_module(id));
}

void FenrowGuiConfig::auto_connect()
{
    connect["onOK"] = G_CALLBACK(&FenrowGuiConfig::onOK);
    connect["onApply"] = G_CALLBACK(&FenrowGuiConfig::onApply);
    connect["onCancel"] = G_CALLBACK(&FenrowGuiConfig::onCancel);
    connect["onDelay"] = G_CALLBACK(&FenrowGuiConfig::onDelay);
    connect["onNadj"] = G_CALLBACK(&FenrowGuiConfig::onNadj);
    connect["onMaskAll"] = G_CALLBACK(&FenrowGuiConfig::onMaskAll);
    connect["onClearMask"] = G_CALLBACK(&FenrowGuiConfig::onClearMask);
    connect["onTestAll"] = G_CALLBACK(&FenrowGuiConfig::onTestAll);
    connect["onClearTest"] = G_CALLBACK(&FenrowGuiConfig::onClearTest);
    connect["onGainToggled"] = G_CALLBACK(&FenrowGuiConfig::onGainToggled);
    connect["onTestToggled"] = G_CALLBACK(&FenrowGuiConfig::onTestToggled);
    connect["onProbeToggled"] = G_CALLBACK(&FenrowGuiConfig::onProbeToggled);
    connect["onNsideToggled"] = G_CALLBACK(&FenrowGuiConfig::onNsideToggled);
    connect["onCCToggled"] = G_CALLBACK(&FenrowGuiConfig::onCCToggled);
    connect["on_internal_cap"] = G_CALLBACK(&FenrowGuiConfig::on_internal_cap);
    connect["on_internal_step"] = G_CALLBACK(&FenrowGuiConfig::on_internal_step);
    connect["on_test_channel"] = G_CALLBACK(&FenrowGuiConfig::on_test_channel);
    connect["on_slew"] = G_CALLBACK(&FenrowGuiConfig::on_slew);
    connect["on_dlt"] = G_CALLBACK(&FenrowGuiConfig::on_dlt);
    connect["on_trim_dac_range"] = G_CALLBACK(&FenrowGuiConfig::on_trim_dac_range);
    connect["on_chip_type"] = G_CALLBACK(&FenrowGuiConfig::on_chip_type);
    connect["on_change_page"] = G_CALLBACK(&FenrowGuiConfig::on_change_page);
    connect["onDebug"] = G_CALLBACK(&FenrowGuiConfig::onDebug);
    connect["on_btnHOLD"] = G_CALLBACK(&FenrowGuiConfig::on_btnHOLD);
    connect["on_bias_changed"] = G_CALLBACK(&FenrowGuiConfig::on_bias_changed);
    connect["on_mbias_channel"] = G_CALLBACK(&FenrowGuiConfig::on_mbias_channel);
    connect["on_trg_type"] = G_CALLBACK(&FenrowGuiConfig::on_trg_type);
    connect["on_coinc"] = G_CALLBACK(&FenrowGuiConfig::on_coinc);
    connect["on_Advanced"] = G_CALLBACK(&FenrowGuiConfig::on_Advanced);
    connect["on_create_map"] = G_CALLBACK(&FenrowGuiConfig::on_create_map);
}

// ---- showing values --------------------------------------------------------

void FenrowGuiConfig::show_item(const char* widget_id, int item)
{
    GtkWidget* w = get_widget(widget_id);
    if (!w || !GTK_IS_COMBO_BOX(w))
        return;
    g_signal_handlers_block_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    gtk_combo_box_set_active(GTK_COMBO_BOX(w), item);
    g_signal_handlers_unblock_matched(w, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
}

void FenrowGuiConfig::show_toggle(const char* widget_id, bool state)
{
    // On the GUI thread the button is set at once with the dialog's
    // handlers blocked: the value shown is the one of the chip shown now.
    activate_button(widget_id, state);
}

void FenrowGuiConfig::update()
{
    FenrowStream* m = module();
    if (!m)
        return;
    const int item = ro_item(m->setting<int>("ro_mode"));
    if (item >= 0)
        show_item("optROmode", item);
    if (GtkWidget* nadj = get_widget("txtNadj")) {
        g_signal_handlers_block_matched(nadj, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
        int2spin("txtNadj", m->setting<int>("nadj"));
        g_signal_handlers_unblock_matched(nadj, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, this);
    }
}

void FenrowGuiConfig::add_slider(const char* par, GtkAdjustment* adj, FenrowStream* m)
{
    ParamSlider* slider = ParamSlider::new_slider(id, par, adj);
    sliders.emplace_back(id.str() + "/" + par, slider);
    slider->set_value_silent(m->setting<int>(par));
}

// One adjustment per bias parameter, kept on the spin button under the
// parameter's name; the spin button and the scale show the selected one.
void FenrowGuiConfig::create_spin_slider(GtkSpinButton* spin, const char* par, FenrowStream* m)
{
    auto* adj = GTK_ADJUSTMENT(gtk_adjustment_new(0, 0, 4096, 1, 10, 0));
    g_object_ref_sink(adj);
    g_object_set_data_full(G_OBJECT(spin), par, adj, g_object_unref);
    gtk_adjustment_set_value(adj, m->setting<int>(par));
    add_slider(par, adj, m);
}

// The spin button of a row takes its scale's adjustment.
static GtkAdjustment* share_adjustment(GladeApp* w, const char* spin, const char* scale)
{
    GtkWidget* s = w->get_widget(spin);
    GtkWidget* r = w->get_widget(scale);
    if (!s || !r)
        return nullptr;
    GtkAdjustment* adj = gtk_range_get_adjustment(GTK_RANGE(r));
    gtk_spin_button_set_adjustment(GTK_SPIN_BUTTON(s), adj);
    return adj;
}

void FenrowGuiConfig::user_init()
{
    const std::string title = id.str() + " - Module configuration";
    gtk_window_set_title(GTK_WINDOW(window), title.c_str());
    FenrowStream* m = module();
    if (m) {
        update();
        if (Analysis* a = m->get_analysis()) {
            double2entry("txtWped", a->get_ped_weight(), "%6.4f");
            double2entry("txtWnoise", a->get_noise_weight(), "%6.4f");
        }
        if (GtkAdjustment* adj = share_adjustment(this, "spinThreshold", "scaleThreshold"))
            add_slider("threshold", adj, m);
        share_adjustment(this, "spinBias", "scaleBias");
        if (GtkWidget* spin = get_widget("spinBias")) {
            for (const char* par : {"vthrh", "vfp", "vfsf", "vfss", "test_pulse", "test_point"})
                create_spin_slider(GTK_SPIN_BUTTON(spin), par, m);
            show_item("comboBias", 0);
            on_bias_changed(get_widget("comboBias"), this);
        }
        mbias_adj = share_adjustment(this, "spinMBias", "scaleMBias");
        GtkWidget* channel = get_widget("optMbiasChan");
        if (channel && m->get_firmware() > mbias_firmware) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(channel), all_mbias);
            gtk_widget_set_sensitive(channel, FALSE);
        } else if (channel) {
            gtk_combo_box_set_active(GTK_COMBO_BOX(channel), 0);
        }
        const std::vector<int> mbias = m->setting<std::vector<int>>("mbias");
        if (mbias_adj && !mbias.empty())
            gtk_adjustment_set_value(mbias_adj, mbias[0]);
        if (channel)
            g_signal_connect(channel, "changed", G_CALLBACK(&FenrowGuiConfig::on_mbias_channel), this);
        if (mbias_adj)
            mbias_handler = g_signal_connect(mbias_adj, "value_changed", G_CALLBACK(&FenrowGuiConfig::on_mbias_changed), this);
        if (GtkAdjustment* adj = share_adjustment(this, "spinHoldDelay", "scaleHoldDelay"))
            add_slider("hold_delay", adj, m);
        if (GtkWidget* scale = get_widget("scaleCTW")) {
            // The boards take a window of up to 511 ns.
            GtkAdjustment* adj = gtk_range_get_adjustment(GTK_RANGE(scale));
            gtk_adjustment_set_lower(adj, 0);
            gtk_adjustment_set_upper(adj, 511);
            if (GtkAdjustment* shared = share_adjustment(this, "spinCTW", "scaleCTW"))
                add_slider("ctw", shared, m);
        }
        show_item("comboTrgType", m->setting<int>("trg_type") - 1);
        show_toggle("btnCoinc", m->setting<bool>("coincidence"));
        show_toggle("btnHOLD", m->setting<bool>("hold"));
    }
    setup_nchips();
    struct Link {
        const char* widget;
        const char* signal;
        GCallback handler;
    };
    const Link links[] = {
        {"optROmode", "changed", G_CALLBACK(&FenrowGuiConfig::onROmode)},
        {"comboTrgType", "changed", G_CALLBACK(&FenrowGuiConfig::on_trg_type)},
        {"btnCoinc", "toggled", G_CALLBACK(&FenrowGuiConfig::on_coinc)},
        {"btnHOLD", "toggled", G_CALLBACK(&FenrowGuiConfig::on_btnHOLD)},
        {"optPolarity", "changed", G_CALLBACK(&FenrowGuiConfig::onPolChanged)},
        {"optGain", "changed", G_CALLBACK(&FenrowGuiConfig::onGainChanged)},
    };
    for (const Link& l : links)
        if (GtkWidget* w = get_widget(l.widget))
            g_signal_connect(w, l.signal, l.handler, this);
    if (m)
        show_item("comboTrgType", m->setting<int>("trg_type") - 1);

    int item = 0;
    switch (chips->GetChipType()) {
    case TAmanager::gp7:
    case TAmanager::gp7_1:
        break;
    case TAmanager::gp8:
        item = 1;
        break;
    case TAmanager::hdr:
        item = 2;
        prepare_for_hdr(m);
        break;
    default: {
        Ostrel::ostream log(Ostrel::LOG_WARNING);
        log << "Unknown ASIC type." << std::endl << ".. assuming GP7" << std::endl;
        break;
    }
    }
    show_item("optChipType", item);
    if (GtkWidget* type = get_widget("optChipType"))
        g_signal_connect(type, "changed", G_CALLBACK(&FenrowGuiConfig::on_chip_type), this);
    onNewChip(nullptr, this);

    if (Analysis* a = m ? m->get_analysis() : nullptr) {
        std::lock_guard<Ostrel::Mutex> lock(a->get_lock());
        if (const PadMap* shown = a->get_map())
            map = new PadMap(*shown);
    }
    if (map)
        setup_module_map(m);
}

// ---- live settings ---------------------------------------------------------

void FenrowGuiConfig::on_bias_changed(GtkWidget* combo, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    const int item = active(combo);
    GtkWidget* spin = self->get_widget("spinBias");
    GtkWidget* scale = self->get_widget("scaleBias");
    if (item < 0 || item >= 6 || !spin || !scale)
        return;
    auto* adj = static_cast<GtkAdjustment*>(g_object_get_data(G_OBJECT(spin), bias_names[item]));
    if (!adj)
        return;
    gtk_spin_button_set_adjustment(GTK_SPIN_BUTTON(spin), adj);
    gtk_range_set_adjustment(GTK_RANGE(scale), gtk_spin_button_get_adjustment(GTK_SPIN_BUTTON(spin)));
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(spin), gtk_adjustment_get_value(adj));
}

void FenrowGuiConfig::on_mbias_channel(GtkWidget* combo, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    const int item = active(combo);
    FenrowStream* m = self->module();
    if (!m || !self->mbias_adj || item < 0 || item >= all_mbias)
        return;
    const std::vector<int> mbias = m->setting<std::vector<int>>("mbias");
    if (static_cast<std::size_t>(item) >= mbias.size())
        return;
    g_signal_handler_block(self->mbias_adj, self->mbias_handler);
    gtk_adjustment_set_value(self->mbias_adj, mbias[static_cast<std::size_t>(item)]);
    g_signal_handler_unblock(self->mbias_adj, self->mbias_handler);
}

void FenrowGuiConfig::on_mbias_changed(GtkAdjustment* adj, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    FenrowStream* m = self->module();
    if (!m)
        return;
    const int value = static_cast<int>(gtk_adjustment_get_value(adj));
    const int item = active(self->get_widget("optMbiasChan"));
    if (item == all_mbias) {
        for (int i = 0; i < 4; ++i)
            m->set_mbias(i, value);
    } else if (item >= 0) {
        m->set_mbias(item, value);
    }
}

void FenrowGuiConfig::onDelay(GtkWidget*, gpointer)
{
}

void FenrowGuiConfig::onNadj(GtkWidget* spin, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    if (FenrowStream* m = self->module())
        m->set_par<int>("nadj", gtk_spin_button_get_value_as_int(GTK_SPIN_BUTTON(spin)), false);
}

void FenrowGuiConfig::on_btnHOLD(GtkWidget* button, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    if (FenrowStream* m = self->module())
        m->set_par<bool>("hold", gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(button)), true);
}

void FenrowGuiConfig::on_trg_type(GtkWidget* combo, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    const int item = active(combo);
    FenrowStream* m = self->module();
    if (m && item >= 0)
        m->set_par<int>("trg_type", item + 1, true);
}

void FenrowGuiConfig::on_coinc(GtkWidget* button, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    FenrowStream* m = self->module();
    if (!m)
        return;
    // The flag reaches the board with the trigger type.
    m->set_par<bool>("coincidence", gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(button)), false);
    on_trg_type(self->get_widget("comboTrgType"), self);
}

void FenrowGuiConfig::set_weight(const char* entry, bool ped)
{
    FenrowStream* m = module();
    Analysis* a = m ? m->get_analysis() : nullptr;
    if (!a)
        return;
    double ped_weight = a->get_ped_weight();
    double noise_weight = a->get_noise_weight();
    double& weight = ped ? ped_weight : noise_weight;
    const double typed = get_double(trim_str(get_text(entry)).c_str(), NAN);
    // A weight of 0 would stop the updating silently; one above 1 would
    // make it diverge.
    if (!(typed >= 0.0 && typed <= 1.0)) {
        double2entry(entry, weight, "%6.4f");
        show_message(window, GTK_MESSAGE_WARNING,
                     std::string("The weight for ") + (ped ? "pedestal" : "noise")
                         + " update must be a number from 0 to 1: it stays " + get_text(entry) + ".");
        return;
    }
    weight = typed;
    a->SetWeights(ped_weight, noise_weight);
}

void FenrowGuiConfig::process_text(const char* name, GtkWidget*)
{
    const std::string n = name ? name : "";
    if (n == "txtWped" || n == "txtWnoise") {
        set_weight(name, n == "txtWped");
        return;
    }
    TAchip* chip = current_chip();
    if (n == "txtChipAddr") {
        if (chip)
            chip->Chip_Address(static_cast<int>(std::strtol(get_text(name).c_str(), nullptr, 10) & 0x1ff));
    } else if (n == "txtThrsDAC") {
        if (chip)
            chip->thrs_dac(entry2int(name, 0));
    } else if (n == "txtCalStep") {
        if (chip)
            chip->calib_dac(entry2int(name, 0));
    } else if (n == "txtNChips") {
        const int count = entry2int(name, 0);
        std::cout << "number of chips: " << count << std::endl;
        if (count < 1)
            return;
        std::cout << "Resizing TA to " << count << " chips " << std::endl;
        resize_chips(count);
    }
}

void FenrowGuiConfig::onROmode(GtkWidget* combo, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    const int item = active(combo);
    if (item < 0)
        return;
    if (FenrowStream* m = self->module()) {
        if (!self->layout_taken(*m, ro_codes[item], m->setting<int>("nadj")))
            return;
    }
    if (item != scope_item) {
        if (FenrowStream* m = self->module()) {
            try {
                m->set_par<int>("ro_mode", ro_codes[item], true);
            } catch (const Ostrel::ParameterRefused& e) {
                self->refused(e.reason());
            }
        }
        return;
    }
    for (;;) {
        std::string text;
        if (!self->prompt([&] { text = get_a_string("Set the Test Channel", "Test Channel"); }))
            return;
        if (text.empty()) {
            self->update();
            return;
        }
        const int per = self->chips->Nchan();
        const long total = static_cast<long>(self->chips->Nchip()) * per;
        char* end = nullptr;
        errno = 0;
        const long c = std::strtol(text.c_str(), &end, 10);
        // A text without a number is no channel 0.
        if (end == text.c_str() || errno == ERANGE || c < 0 || c >= total) {
            std::cout << "Invalid channel number " << c << "[" << text << "]" << std::endl;
            continue;
        }
        FenrowStream* m = self->module();
        if (!m)
            return;
        const int nadj_before = m->setting<int>("nadj");
        m->set_par<int>("nadj", static_cast<int>(c), false);
        try {
            m->set_par<int>("ro_mode", RO_SCOPE, true);
        } catch (const Ostrel::ParameterRefused& e) {
            m->set_par<int>("nadj", nadj_before, false);
            self->refused(e.reason());
            return;
        }
        for (int i = 0; TAchip* chip = self->chips->chip(i); ++i) {
            chip->Test(true);
            for (int ch = 0; ch < per; ++ch)
                chip->mask(ch, true)->test(ch, false);
        }
        if (TAchip* chip = self->chips->chip(static_cast<int>(c / per)))
            chip->mask(static_cast<int>(c % per), false)->test(static_cast<int>(c % per), true);
        onNewChip(nullptr, self);
        return;
    }
}

// ---- Apply, OK, Cancel -----------------------------------------------------

void FenrowGuiConfig::onOK(GtkWidget*, gpointer data)
{
    static_cast<FenrowGuiConfig*>(data)->set_values(true);
}

void FenrowGuiConfig::onApply(GtkWidget*, gpointer data)
{
    static_cast<FenrowGuiConfig*>(data)->set_values(false);
}

void FenrowGuiConfig::onCancel(GtkWidget*, gpointer data)
{
    auto* self = static_cast<FenrowGuiConfig*>(data);
    // During an Apply, Cancel stops the commands not yet acknowledged; the
    // dialog stays to say how far it came.
    if (self->busy) {
        if (self->apply_cancel)
            *self->apply_cancel = true;
        return;
    }
    // Its own button's click is not over yet.
    self->delete_later();
}

void FenrowGuiConfig::set_values(bool close_after)
{
    if (busy)
        return;
    flush_entries();
    FenrowStream* m = module();
    if (!m)
        return;
    const int count = entry2int("txtNChips", 0);
    if (count != 0 && count != chips->Nchip())
        resize_chips(count);
    m->set_par<bool>("Vout", !btn_active("btnDetType"), false);
    if (chips->GetChipType() == TAmanager::hdr && chips->chip(0))
        m->set_par<int>("polarity", chips->chip(0)->Polarity() ? 1 : 0, false);
    const int item = active(get_widget("optROmode"));
    const int mode = item >= 0 && item < 4 ? ro_codes[item] : m->setting<int>("ro_mode");
    const int adjacent = mode != RO_SCOPE ? entry2int("txtNadj", 2) : m->setting<int>("nadj");
    // Nothing is set when the stream's run file would refuse the layout.
    if (!layout_taken(*m, mode, adjacent))
        return;
    m->set_par<int>("ro_mode", mode, false);
    m->set_par<int>("nadj", adjacent, false);
    // The commands are collected here, each with its name, and sent by a
    // worker one after the other as the board acknowledges them.
    CommandBatch batch;
    {
        Ostrel::FenrowModuleData* data = m->get_module_data();
        CommandBatch::Collect collect(batch, data ? data->manager : nullptr);
        try {
            m->set_par<TAmanager>("ta", *chips, true);
            m->set_par<int>("nchip", chips->Nchip(), true);
        } catch (const Ostrel::ParameterRefused& e) {
            // A run file opened since the check above.
            refused(e.reason());
            return;
        }
        set_weight("txtWped", true);
        set_weight("txtWnoise", false);
        const std::vector<int> mbias = m->setting<std::vector<int>>("mbias");
        for (int i = 0; i < 4 && static_cast<std::size_t>(i) < mbias.size(); ++i)
            m->set_mbias(i, mbias[static_cast<std::size_t>(i)]);
        for (const char* par : {"threshold", "vthrh", "vfp", "vfsf", "vfss", "test_pulse", "test_point", "ctw"})
            set_from_param_slider<int>(par, m, false);
        m->load_config_values(false);
    }
    if (map) {
        if (Analysis* a = m->get_analysis()) {
            try {
                a->set_map(*map);
                std::lock_guard<Ostrel::Mutex> lock(a->get_lock());
                if (const PadMap* set = a->get_map())
                    std::cout << "Setting new map: " << set->nx() << "x" << set->ny() << std::endl;
            } catch (const std::exception& e) {
                show_message(window, GTK_MESSAGE_ERROR, e.what());
            }
        }
    }

    // The window stays alive meanwhile, but takes no new edits: only
    // Cancel is left to the operator.
    busy = true;
    apply_cancel = std::make_shared<std::atomic<bool>>(false);
    set_editable(false);
    show_apply("", 0.0);
    static unsigned jobs = 0;
    const unsigned job = ++jobs;
    {
        std::lock_guard<std::mutex> lock(outcomes().mutex);
        Outcome& o = outcomes().by_job[job];
        o.window = window_id();
        o.close_after = close_after;
    }
    // The module joins its loader before it, or its board manager, goes.
    auto commands = std::make_shared<const CommandBatch>(std::move(batch));
    const bool started = m->start_loader([job, m, commands, cancel = apply_cancel, name = id.str()] {
        Ostrel::FenrowModuleData* data = m->get_module_data();
        Ostrel::Fenrow* manager = data ? data->manager : nullptr;
        CommandBatch::Result r;
        if (manager)
            r = commands->send(
                *manager, cancel, [m] { return m->loader_cancelled(); },
                [job, commands](std::size_t n) {
                    {
                        std::lock_guard<std::mutex> lock(outcomes().mutex);
                        outcomes().by_job[job].steps.push_back(
                            Step{n, commands->size(), command_name(commands->at(n - 1).bytes)});
                    }
                    idle_call([job] { report_progress(job); });
                });
        ApplyEnd end = ApplyEnd::done;
        const std::string said = manager ? describe(name, *commands, r, *m, *manager, end) : std::string();
        {
            std::lock_guard<std::mutex> lock(outcomes().mutex);
            Outcome& o = outcomes().by_job[job];
            o.status = said;
            o.end = end;
            o.fraction = commands->size() ? static_cast<double>(r.acknowledged) / commands->size() : 1.0;
        }
        idle_call([job] { report_outcome(job); });
    });
    if (!started) {
        {
            std::lock_guard<std::mutex> lock(outcomes().mutex);
            outcomes().by_job.erase(job);
        }
        applied(window_id(), "Module " + id.str() + " is being taken down: its configuration was not sent.",
                ApplyEnd::failed, 0.0, close_after);
    }
}

bool FenrowGuiConfig::layout_taken(FenrowStream& m, int mode, int adjacent)
{
    const std::string why = m.layout_refusal(mode, adjacent, *chips);
    if (why.empty())
        return true;
    {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Module " << id << ": " << why << std::endl;
    }
    refused(why);
    return false;
}

void FenrowGuiConfig::refused(const std::string& why)
{
    show_message(window, GTK_MESSAGE_WARNING, "Module " + id.str() + ": " + why + ".");
    update();
}

void FenrowGuiConfig::set_editable(bool on)
{
    for (const char* part : {"notebookConfig", "btnHelp", "btnApply", "btnOK"})
        if (GtkWidget* w = get_widget(part))
            gtk_widget_set_sensitive(w, on);
}

void FenrowGuiConfig::show_apply(const std::string& text, double fraction)
{
    if (GtkWidget* box = get_widget("boxApply"))
        gtk_widget_show(box);
    if (GtkWidget* label = get_widget("lblApply"))
        gtk_label_set_text(GTK_LABEL(label), text.c_str());
    if (GtkWidget* bar = get_widget("barApply"))
        gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), std::min(1.0, std::max(0.0, fraction)));
}

void FenrowGuiConfig::progress(unsigned window_id, std::size_t n, std::size_t total, const std::string& name)
{
    auto* self = dynamic_cast<FenrowGuiConfig*>(find_window(window_id));
    if (!self || !self->busy || total == 0)
        return;
    self->show_apply("Command " + std::to_string(n) + " of " + std::to_string(total) + ": " + name,
                     static_cast<double>(n - 1) / static_cast<double>(total));
}

void FenrowGuiConfig::applied(unsigned window_id, const std::string& status, ApplyEnd end, double fraction,
                              bool close_after)
{
    auto* self = dynamic_cast<FenrowGuiConfig*>(find_window(window_id));
    if (end == ApplyEnd::failed) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << status << std::endl;
        show_message(self ? self->window : nullptr, GTK_MESSAGE_ERROR, status);
    }
    if (!self)
        return;
    self->busy = false;
    self->apply_cancel.reset();
    self->set_editable(true);
    self->show_apply(status, fraction);
    // OK's click may not be over yet.
    if (close_after && end == ApplyEnd::done)
        self->delete_later();
}
