#include "gui/dialogs/PedestalGui.h"

#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/GenModule.h"
#include "daq/RunSupport.h"
#include "data/Analysis.h"
#include "data/PedestalFile.h"
#include "gui/GtkUtils.h"
#include "gui/TextCombo.h"
#include "ostrel/Exception.h"
#include "ostrel/Log.h"

namespace {

PedestalGui* me(gpointer data)
{
    return static_cast<PedestalGui*>(static_cast<GladeApp*>(data));
}

// The module's lists as long as its analysis has channels: a list of
// another length (or none yet) would leave channels out or write past them.
void fit_to_analysis(GenModule* module, std::vector<double>& ped, std::vector<double>& noise)
{
    if (Analysis* analysis = module->get_analysis()) {
        ped.resize(static_cast<size_t>(analysis->Ntot()), 0.0);
        noise.resize(static_cast<size_t>(analysis->Ntot()), 0.0);
    }
}

} // namespace

PedestalGui::PedestalGui(bool read, const std::string& text) : for_read(read), msg(text) {}

PedestalGui::~PedestalGui() = default;

void PedestalGui::auto_connect()
{
    connect["onOK"] = G_CALLBACK(&PedestalGui::onOK);
    connect["onCancel"] = G_CALLBACK(&PedestalGui::onCancel);
    connect["onOpen"] = G_CALLBACK(&PedestalGui::onOpen);
    connect["onHelp"] = G_CALLBACK(&PedestalGui::onHelp);
    connect["onReset"] = G_CALLBACK(&PedestalGui::onReset);
    connect["onSelectModule"] = G_CALLBACK(&PedestalGui::onSelectModule);
    connect["onDelete"] = G_CALLBACK(&PedestalGui::onDelete);
}

void PedestalGui::user_init()
{
    // Making the first row active runs onSelectModule.
    set_combo_modules(get_widget("comboModules"));
    onSelectModule(nullptr, this);
    set_text("lblPedMsg", msg);
}

GenModule* PedestalGui::find_module(ModuleParser** mp) const
{
    if (mp)
        *mp = nullptr;
    const std::string id = combo_active_text(get_widget("comboModules"));
    GenModule* module = id.empty() ? nullptr : GenModule::find_module(Ostrel::DAQid(id));
    if (module && mp)
        *mp = ConfigParser::theConfig()->get_id_handler(module->get_id().to_int());
    return module;
}

bool PedestalGui::change_module() const
{
    return btn_active("pedFromModule");
}

void PedestalGui::report(int level, const std::string& text)
{
    run_support::log(level, text);
    set_text("lblPedMsg", text);
}

void PedestalGui::onSelectModule(GtkWidget*, gpointer data)
{
    PedestalGui* self = me(data);
    ModuleParser* mp = nullptr;
    GenModule* module = self->find_module(&mp);
    if (module)
        run_support::log(Ostrel::LOG_INFO, "selecting module: " + module->get_id().str());
    if (!mp)
        return;
    if (!mp->get_pedestal_file().empty()) {
        self->set_text("entryFilename", mp->get_pedestal_file());
        gtk_widget_queue_draw(self->get_widget("entryFilename"));
    }
    run_support::log(Ostrel::LOG_INFO, "Pedestal file: " + mp->get_pedestal_file());
}

void PedestalGui::onOpen(GtkWidget*, gpointer data)
{
    PedestalGui* self = me(data);
    static const char* const filters[] = {"Pedestals|*.ped", "All|*", nullptr};
    const char* title = self->for_read ? "Load Pedestals" : "Save Pedestals";
    const std::string file =
        ::get_file_name(title, self->for_read ? a_OpenFile : a_SaveFile, nullptr, filters);
    if (!file.empty())
        self->set_text("entryFilename", file);
}

void PedestalGui::onOK(GtkWidget*, gpointer data)
{
    PedestalGui* self = me(data);
    self->flush_entries();
    const std::string file = self->get_text("entryFilename");
    ModuleParser* mp = nullptr;
    GenModule* module = self->find_module(&mp);
    if (!module)
        return;
    bool close = true;
    if (file.empty() && mp) {
        // The configuration names no pedestal file from now on.
        mp->set_pedestal_file("");
    } else {
        try {
            close = self->for_read ? self->load(module, mp, file) : self->save(module, file);
        } catch (const Ostrel::ParameterNonExistent& e) {
            run_support::log(Ostrel::LOG_ERROR, e.what());
        } catch (const Ostrel::ParameterTypeDoesNotMatch& e) {
            run_support::log(Ostrel::LOG_ERROR, e.what());
        }
    }
    if (close)
        self->delete_later();
}

bool PedestalGui::save(GenModule* module, const std::string& file)
{
    std::vector<double> ped = module->copy_list("pedestal");
    std::vector<double> noise = module->copy_list("noise");
    Analysis* analysis = module->get_analysis();
    if (change_module()) {
        fit_to_analysis(module, ped, noise);
    } else if (analysis) {
        analysis->get_pedestals(ped, noise);
    } else {
        report(Ostrel::LOG_ERROR, "Module " + module->get_id().str() + " has no analysis to save pedestals from");
        return false;
    }
    const PedestalFile::Written written = PedestalFile::write(file, ped, noise);
    if (written)
        return true;
    if (!written.opened)
        run_support::log(Ostrel::LOG_ERROR, "Could not open pedestal file for output: " + file);
    report(Ostrel::LOG_ERROR, "Could not write pedestal file " + file + ": " + written.error);
    return false;
}

bool PedestalGui::load(GenModule* module, ModuleParser* mp, const std::string& file)
{
    std::vector<double> ped = module->copy_list("pedestal");
    std::vector<double> noise = module->copy_list("noise");
    fit_to_analysis(module, ped, noise);
    const size_t want = std::min(ped.size(), noise.size());
    const PedestalFile::Read read = PedestalFile::read(file, ped, noise);
    if (!read.opened) {
        report(Ostrel::LOG_ERROR, "Could not load pedestals from " + file);
        return false;
    }
    const size_t got = read.pairs;
    module->set_par("pedestal", ped, false);
    module->set_par("noise", noise, false);

    // All channels go to the analysis, those the file did not hold with the
    // values they had; only a full set is trusted and named from now on.
    const bool complete = want > 0 && got == want && read.error.empty();
    if (Analysis* analysis = module->get_analysis()) {
        analysis->set_pedestals(ped, noise);
        if (complete)
            analysis->trust_pedestals();
        else
            analysis->distrust_pedestals();
    }
    if (complete) {
        if (mp)
            mp->set_pedestal_file(file);
        return true;
    }
    const std::string counted = std::to_string(got) + " of " + std::to_string(want) + " channels";
    if (!read.error.empty())
        report(Ostrel::LOG_WARNING, read.error + " (" + counted + " read): the pedestals are not trusted");
    else
        report(Ostrel::LOG_WARNING, "Only " + counted + " in " + file + ": the pedestals are not trusted");
    return false;
}

void PedestalGui::onReset(GtkWidget*, gpointer data)
{
    PedestalGui* self = me(data);
    GenModule* module = self->find_module();
    if (!module)
        return;
    if (self->change_module()) {
        try {
            std::vector<double> ped = module->copy_list("pedestal");
            std::vector<double> noise = module->copy_list("noise");
            fit_to_analysis(module, ped, noise);
            std::fill(ped.begin(), ped.end(), 0.0);
            std::fill(noise.begin(), noise.end(), 0.0);
            module->set_par("pedestal", ped, false);
            module->set_par("noise", noise, false);
        } catch (const Ostrel::Exception& e) {
            run_support::log(Ostrel::LOG_ERROR, e.what());
        }
    } else if (Analysis* analysis = module->get_analysis()) {
        // Zeroes that were trusted would be subtracted as pedestals.
        analysis->reset_pedestals();
    }
}

void PedestalGui::onCancel(GtkWidget*, gpointer data)
{
    me(data)->delete_later();
}

gboolean PedestalGui::onDelete(GtkWidget*, GdkEvent*, gpointer data)
{
    delete me(data);
    return TRUE;
}

void PedestalGui::onHelp(GtkWidget*, gpointer)
{
    gtk_help_display("pedestals");
}
