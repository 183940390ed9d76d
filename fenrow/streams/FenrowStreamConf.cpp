#include "fenrow/streams/FenrowStreamConf.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <functional>
#include <iostream>
#include <mutex>
#include <numeric>

#include "config/ConfigParser.h"
#include "data/Analysis.h"
#include "fenrow/chips/TAmanager.h"
#include "fenrow/net/FenrowManager.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/net/Packets.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/windows/FenrowGuiConfig.h"
#include "fenrow/windows/MyMonitorWindow.h"
#include "gui/DefaultMonitorGUI.h"
#include "gui/UpdateGaugeEff.h"
#include "gui/UpdateGaugeRate.h"
#include "gui/UpdateLabelNtrig.h"
#include "gui/module_gui.h"
#include "ostrel/Log.h"
#include "plenwig/hst_chart1d.h"

namespace Ostrel {

namespace {

// Gives the second and later chips of each group of equal addresses the
// next free addresses above the largest one, groups taken in ascending
// order and chips in their order.
void make_unique(std::vector<int>& addresses)
{
    if (addresses.empty())
        return;
    int top = *std::max_element(addresses.begin(), addresses.end());
    std::vector<std::size_t> order(addresses.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return addresses[a] < addresses[b]; });
    const std::vector<int> original = addresses;
    for (std::size_t k = 1; k < order.size(); ++k) {
        if (original[order[k]] == original[order[k - 1]])
            addresses[order[k]] = ++top;
    }
}

// One hexadecimal digit per four channels, bit k of digit g for channel
// 4g + k; a blank before every group of four digits but the first.
std::string bit_text(int nchan, const std::function<bool(int)>& bit)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const int ndigits = (nchan + 3) / 4;
    for (int g = 0; g < ndigits; ++g) {
        if (g > 0 && g % 4 == 0)
            out += ' ';
        int v = 0;
        for (int k = 0; k < 4; ++k) {
            const int ch = 4 * g + k;
            if (ch < nchan && bit(ch))
                v |= 1 << k;
        }
        out += digits[v];
    }
    return out;
}

// Each value right-aligned in `width` characters and followed by a blank.
std::string value_text(int nchan, int width, const std::function<int(int)>& value)
{
    std::string out;
    char buffer[32];
    for (int ch = 0; ch < nchan; ++ch) {
        std::snprintf(buffer, sizeof buffer, "%*d ", width, value(ch));
        out += buffer;
    }
    return out;
}

// Hexadecimal digits of a bit-array text.
std::size_t count_digits(const std::string& text)
{
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }));
}

} // namespace

FenrowStreamConf::FenrowStreamConf(FenrowStream* m)
{
    if (m)
        set_id(m->get_id().str());
}

FenrowStreamConf::~FenrowStreamConf() = default;

FenrowStream* FenrowStreamConf::get_module() const
{
    return dynamic_cast<FenrowStream*>(GenModule::find_module(DAQid(get_id())));
}

xmlNodePtr FenrowStreamConf::find_node()
{
    ConfigParser* cfg = ConfigParser::theConfig();
    std::vector<xmlNodePtr> nodes;
    cfg->get_node(element_path("//" + parent_id + "/stream", get_id()), nodes);
    // An element of the same name for another board's address is that
    // board's, wherever it stands.
    std::string ip;
    if (FenrowStream* m = get_module())
        if (const FenrowModuleData* data = m->get_module_data())
            if (data->node)
                ip = data->node->ip();
    for (xmlNodePtr n : nodes) {
        // A board element inside a section's content is content too.
        if (cfg->is_section_content(n->parent))
            continue;
        if (ip.empty() || cfg->get_attribute<std::string>(n, "address", ip) == ip)
            return n;
    }
    return nullptr;
}

void FenrowStreamConf::parse_node_id(const std::string&)
{
    if (xmlNodePtr n = find_node())
        parse_node(n);
}

void FenrowStreamConf::parse_node(xmlNodePtr element)
{
    set_node(element);
    element_name = node_name();
    FenrowStream* module = get_module();
    if (!element || !module)
        return;
    ConfigParser* cfg = ConfigParser::theConfig();

    const int nchips = cfg->get_value<int>(element, "nchips", 1);
    if (nchips < 1 || nchips > TAmanager::max_chips)
        throw ConfigException("Module " + get_id() + ": nchips must be 1 to " + std::to_string(TAmanager::max_chips) +
                              ", not " + std::to_string(nchips));

    // A count the readout-mode command cannot carry would reach the board
    // cut to 16 bits: it is refused, and the module keeps its own.
    const ElementNumber nadj = element_number(element, "nadj", 10);
    int adjacent = static_cast<int>(nadj.value);
    if (nadj.outside(0, MAX_ADJACENT)) {
        adjacent = module->setting<int>("nadj");
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Module " << get_id() << ", line " << nadj.line << ": " << FenrowStream::adjacent_refusal(nadj.text)
            << "; the stream keeps " << adjacent << std::endl;
    }

    // Nothing reaches the board while the element is read. Switches are read
    // as the configuration reads them everywhere: older files wrote 1 and 0.
    module->set_par("threshold", cfg->get_value<int>(element, "threshold", 50), false);
    module->set_par("vthrh", cfg->get_value<int>(element, "vthrh", 1500), false);
    module->set_par("vfp", cfg->get_value<int>(element, "vfp", 610), false);
    module->set_par("vfsf", cfg->get_value<int>(element, "vfsf", 125), false);
    module->set_par("vfss", cfg->get_value<int>(element, "vfss", 150), false);
    module->set_par("test_pulse", cfg->get_value<int>(element, "test_pulse", 50), false);
    module->set_par("test_point", cfg->get_value<int>(element, "test_point", 50), false);
    module->set_par("nchip", nchips, false);
    module->set_par("nadj", adjacent, false);
    module->set_par("coincidence", cfg->get_optional<bool>(element, "coincidence", false), false);
    module->set_par("trg_type", cfg->get_value<int>(element, "trg_type", 1), false);
    module->set_par("ro_mode", ro_mode_from_name(cfg->get_value<std::string>(element, "ro_mode", "serial")), false);
    module->set_par("hold_delay", cfg->get_value<int>(element, "hold_delay", 150), false);
    module->set_par("hold", cfg->get_optional<bool>(element, "hold", false), false);
    module->set_par("Vout", cfg->get_optional<bool>(element, "Vout", false), false);

    if (xmlNodePtr mbias = cfg->find_element(element, "mbias")) {
        std::vector<int> values;
        cfg->get_array<int>(mbias, values);
        module->set_par("mbias", values, false);
    } else {
        cfg->set_array_value(element, "mbias", module->setting<std::vector<int>>("mbias"));
    }

    const auto type = TAmanager::chip_type_from_name(cfg->get_value<std::string>(element, "chip_type", "gp7"));
    {
        std::lock_guard<std::recursive_mutex> lock(module->chips_lock());
        TAmanager& chips = module->chips();
        chips.SetChipType(type);
        if (!chips.Resize(nchips))
            throw ConfigException("Module " + get_id() + ": a stream cannot hold " + std::to_string(nchips) +
                                  " chips");

        // The stream's own chips: one of another element of the same name
        // is none of its.
        std::vector<xmlNodePtr> elements;
        cfg->get_node("chip", element, elements);
        if (static_cast<int>(elements.size()) > nchips) {
            std::cerr << "Module " << get_id() << " found more chips than specified." << std::endl
                      << "... accepting only the first " << nchips << "." << std::endl;
        }
        addresses.assign(static_cast<std::size_t>(nchips), 0);
        for (int i = 0; i < nchips; ++i) {
            TAchip* chip = chips.chip(i);
            if (!chip)
                break;
            if (elements.empty()) {
                addresses[static_cast<std::size_t>(i)] = i;
            } else if (static_cast<std::size_t>(i) < elements.size()) {
                const int address = cfg->get_attribute<int>(elements[static_cast<std::size_t>(i)], "id");
                addresses[static_cast<std::size_t>(i)] = address;
                parse_chip(*chip, address, elements[static_cast<std::size_t>(i)]);
            } else {
                addresses[static_cast<std::size_t>(i)] = chip->Chip_Address();
            }
        }
        make_unique(addresses);
        for (int i = 0; TAchip* chip = chips.chip(i); ++i)
            chip->Chip_Address(addresses[static_cast<std::size_t>(i)]);
    }

    module->fit_analysis();
    module->set_default_pedestals();
    if (type == TAmanager::hdr) {
        int p = 0;
        {
            std::lock_guard<std::recursive_mutex> lock(module->chips_lock());
            if (const TAchip* c = module->chips().chip(0))
                p = c->Polarity() ? 1 : 0;
        }
        module->set_par("polarity", p, true);
    }

    parse_common("//" + parent_id + "/" + element_name, get_id());
    if (module->get_par_value<std::vector<double>>("pedestal").empty())
        module->set_default_pedestals();
}

void FenrowStreamConf::parse_chip(TAchip& chip, int address, xmlNodePtr element)
{
    ConfigParser* cfg = ConfigParser::theConfig();
    chip.Chip_Address(address);
    const int gain = cfg->get_value<int>(element, "gain", -1);
    if (gain < 0)
        chip.SetGain(0)->EnableGain(false);
    else
        chip.SetGain(gain)->EnableGain(true);
    chip.Probe_Enable(cfg->get_optional<bool>(element, "probe", false));
    chip.CC_Enable(cfg->get_optional<bool>(element, "cc_enable", false));
    chip.N_side(cfg->get_optional<bool>(element, "n_side", false));
    chip.Polarity(cfg->get_optional<bool>(element, "polarity", false));
    chip.Test(cfg->get_optional<bool>(element, "test_bit", false));
    chip.Vrc(cfg->get_optional<bool>(element, "Vrc", false));
    chip.Vfsf(cfg->get_optional<bool>(element, "Vfsf", false));
    chip.Vfss(cfg->get_optional<bool>(element, "Vfss", false));
    chip.Vfp(cfg->get_optional<bool>(element, "Vfp", false));
    chip.dac_range(cfg->get_optional<bool>(element, "dac_range", false));
    chip.thrs_dac(cfg->get_value<int>(element, "thrs_dac", 0));
    chip.calib_gen(cfg->get_optional<bool>(element, "calib_gen", false));
    chip.calib_ctrl(cfg->get_optional<bool>(element, "calib_ctrl", false));
    // Saved with the other registers, so read back as well.
    chip.calib_dac(cfg->get_value<int>(element, "calib_dac", 0));
    chip.vrc_neg(cfg->get_optional<bool>(element, "vrc_neg", false));
    chip.slew(cfg->get_optional<bool>(element, "slew", false));
    chip.dltc(cfg->get_optional<bool>(element, "dltc", false));
    chip.enable_preampDAC(cfg->get_optional<bool>(element, "enable_preampDAC", false));
    chip.bypass_hold(cfg->get_optional<bool>(element, "bypass_hold", false));

    const int nchan = chip.Nchan();
    auto array_node = [&](const char* name) -> xmlNodePtr {
        std::vector<xmlNodePtr> nodes;
        cfg->get_node(name, element, nodes);
        if (nodes.size() > 1)
            std::cerr << "Chip " << address << " in module " << get_id() << " has >1 " << name
                      << " array. Ignoring the rest." << std::endl;
        return nodes.empty() ? nullptr : nodes.front();
    };

    for (const char* name : {"trim", "preampDAC"}) {
        xmlNodePtr n = array_node(name);
        if (!n)
            continue;
        const bool trim = std::string(name) == "trim";
        std::vector<int> values;
        cfg->get_array<int>(n, values);
        if (static_cast<int>(values.size()) > nchan) {
            std::cerr << (trim ? "Trim array in chip " : "preampDAC array in chip ") << address << " at module "
                      << get_id() << " has more than " << nchan << " channels." << std::endl;
            values.resize(static_cast<std::size_t>(nchan));
        }
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (trim)
                chip.trim(static_cast<int>(i), values[i]);
            else
                chip.preampDAC(static_cast<int>(i), values[i]);
        }
    }

    for (const char* name : {"mask", "test"}) {
        xmlNodePtr n = array_node(name);
        if (!n)
            continue;
        const bool mask = std::string(name) == "mask";
        std::vector<int> bits;
        if (cfg->get_bit_array(n, nchan, bits) < 0) {
            std::cerr << "Module " << get_id() << " chip " << address << std::endl
                      << "... wrong syntax in " << name << std::endl;
            continue;
        }
        if (4 * count_digits(cfg->get_node_value(n)) > static_cast<std::size_t>(nchan)) {
            std::cerr << "Module " << get_id() << " chip " << address << std::endl
                      << "... number of " << name << " bits is bigger than number of channels" << std::endl;
        }
        for (int i = 0; i < nchan && static_cast<std::size_t>(i) < bits.size(); ++i) {
            if (mask)
                chip.mask(i, bits[static_cast<std::size_t>(i)] != 0);
            else
                chip.test(i, bits[static_cast<std::size_t>(i)] != 0);
        }
    }
}

void FenrowStreamConf::save_config()
{
    FenrowStream* module = get_module();
    if (!module)
        return;
    if (!module->has_par("ta")) {
        Ostrel::ostream log(Ostrel::LOG_ERROR);
        log << "Module " << module->get_id() << " does not have the TA parameter" << std::endl
            << "... configuration will not be saved." << std::endl;
        return;
    }
    if (!node)
        return;
    ConfigParser* cfg = ConfigParser::theConfig();
    std::lock_guard<std::recursive_mutex> lock(module->chips_lock());
    const TAmanager& chips = module->chips();

    cfg->check_value<int>(node, "nchips", chips.Nchip());
    for (const char* name : {"threshold", "vthrh", "vfp", "vfsf", "vfss", "test_pulse", "test_point", "nadj",
                             "trg_type"})
        cfg->check_value<int>(node, name, module->get_par_value<int>(name));
    cfg->check_value<bool>(node, "coincidence", module->get_par_value<bool>("coincidence"));
    cfg->check_value<int>(node, "hold_delay", module->get_par_value<int>("hold_delay"));
    cfg->check_value<bool>(node, "hold", module->get_par_value<bool>("hold"));
    cfg->check_value<bool>(node, "Vout", module->get_par_value<bool>("Vout"));
    cfg->check_value<std::string>(node, "chip_type", TAmanager::chip_name(chips.GetChipType()));
    cfg->check_value<std::string>(node, "ro_mode", ro_mode_name(module->get_par_value<int>("ro_mode")));
    cfg->set_array_value(node, "mbias", module->get_par_value<std::vector<int>>("mbias"));

    // The addresses read are kept where the chip's register cannot tell them
    // apart (no address field, or a narrower one); a register changed since
    // gives its own.
    std::vector<int> saved(static_cast<std::size_t>(chips.Nchip()), 0);
    for (int i = 0; TAchip* chip = chips.chip(i); ++i) {
        const int reg = chip->Chip_Address();
        int address = reg;
        if (static_cast<std::size_t>(i) < addresses.size()) {
            TAchip probe(*chip);
            probe.Chip_Address(addresses[static_cast<std::size_t>(i)]);
            if (probe.Chip_Address() == reg)
                address = addresses[static_cast<std::size_t>(i)];
        }
        saved[static_cast<std::size_t>(i)] = address;
    }
    make_unique(saved);
    // Each chip into the element it is read from, the n-th of the stream's,
    // with its address: two elements of one address are two chips.
    std::vector<xmlNodePtr> elements;
    cfg->get_node("chip", node, elements);
    for (int i = 0; TAchip* chip = chips.chip(i); ++i) {
        const std::size_t k = static_cast<std::size_t>(i);
        xmlNodePtr element = k < elements.size() ? elements[k] : cfg->create_element(node, "chip");
        cfg->check_attribute<int>(element, "id", saved[k]);
        save_chip(*chip, element);
    }
    save_common();
}

void FenrowStreamConf::save_chip(const TAchip& chip, xmlNodePtr element)
{
    ConfigParser* cfg = ConfigParser::theConfig();
    cfg->check_value<bool>(element, "probe", chip.Probe_Enable());
    cfg->check_value<bool>(element, "cc_enable", chip.CC_Enable());
    cfg->check_value<bool>(element, "n_side", chip.N_side());
    cfg->check_value<bool>(element, "polarity", chip.Polarity());
    cfg->check_value<bool>(element, "test_bit", chip.Test());
    cfg->check_value<int>(element, "gain", chip.GainEnabled() ? chip.Gain() : -1);
    cfg->check_value<bool>(element, "Vrc", chip.Vrc());
    cfg->check_value<bool>(element, "Vfsf", chip.Vfsf());
    cfg->check_value<bool>(element, "Vfp", chip.Vfp());
    cfg->check_value<bool>(element, "Vfss", chip.Vfss());
    cfg->check_value<bool>(element, "dac_range", chip.dac_range());
    cfg->check_value<int>(element, "thrs_dac", chip.thrs_dac());
    cfg->check_value<bool>(element, "calib_gen", chip.calib_gen());
    cfg->check_value<bool>(element, "calib_ctrl", chip.calib_ctrl());
    cfg->check_value<int>(element, "calib_dac", chip.calib_dac());
    cfg->check_value<bool>(element, "vrc_neg", chip.vrc_neg());
    cfg->check_value<bool>(element, "slew", chip.slew());
    cfg->check_value<bool>(element, "dltc", chip.dltc());
    cfg->check_value<bool>(element, "enable_preampDAC", chip.enable_preampDAC());
    cfg->check_value<bool>(element, "bypass_hold", chip.bypass_hold());
    const int nchan = chip.Nchan();
    cfg->check_value<std::string>(element, "trim", value_text(nchan, 2, [&](int ch) { return chip.trim(ch); }));
    cfg->check_value<std::string>(element, "preampDAC",
                                  value_text(nchan, 3, [&](int ch) { return chip.preampDAC(ch); }));
    cfg->check_value<std::string>(element, "mask", bit_text(nchan, [&](int ch) { return chip.mask(ch); }));
    cfg->check_value<std::string>(element, "test", bit_text(nchan, [&](int ch) { return chip.test(ch); }));
}

// The stream's configuration dialog; the one open already is raised
// instead of a second one.
GtkWidget* FenrowStreamConf::config(const std::string&)
{
    return FenrowGuiConfig::open(get_module());
}

// The stream's monitor window, with the run-state displays the panel feeds;
// null when it cannot be built (no panel to build it from).
MonitorWindow* FenrowStreamConf::monitor(const std::string&, module_gui* panel)
{
    if (!panel)
        return nullptr;
    auto* window = new MyMonitorWindow(get_id(), panel);
    if (!window->widget()) {
        delete window;
        return nullptr;
    }
    DefaultMonitorGUI* mon = window->mon();
    // Each updater lives as long as its widget.
    if (GtkWidget* w = mon->get_widget("lblDSPnEvts"))
        window->updates().push_back(new UpdateLabelNtrig(w));
    if (GtkWidget* w = mon->get_widget("gauge_chip_rate"))
        window->updates().push_back(new UpdateGaugeRate(w));
    if (GtkWidget* w = mon->get_widget("gauge_chip_eff"))
        window->updates().push_back(new UpdateGaugeEff(w));

    GtkWidget* display = mon->get_widget("evtDisplay");
    if (display && HST_IS_CHART1D(display)) {
        g_object_set(display, "hymax", 4096.0, nullptr);
        // The chips of a high-dynamic-range stream have 64 channels: the
        // display shows the first chip's.
        FenrowStream* module = get_module();
        bool hdr = false;
        if (module) {
            std::lock_guard<std::recursive_mutex> lock(module->chips_lock());
            hdr = module->chips().GetChipType() == TAmanager::hdr;
        }
        if (hdr)
            window->show_channels(64);
    }
    return window;
}

} // namespace Ostrel
