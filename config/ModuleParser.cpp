#include "config/ModuleParser.h"

#include <algorithm>
#include <iostream>
#include <sstream>
#include <vector>

#include "config/ConfigParser.h"
#include "daq/GenModule.h"
#include "data/Analysis.h"
#include "data/PadMap.h"
#include "data/PedestalFile.h"
#include "ostrel/DAQmanager.h"

namespace {

// Only the framework's modules that are ours carry what this handler reads
// and writes.
GenModule* find_gen_module(const std::string& id)
{
    return dynamic_cast<GenModule*>(Ostrel::DAQmanager::theDAQmanager()->find_module(Ostrel::DAQid(id)));
}

// The first node, saying so when there are several.
xmlNodePtr first_of(const std::vector<xmlNodePtr>& nodes, const char* what, const std::string& id)
{
    if (nodes.size() > 1) {
        std::cout << "ParseModule: more than one " << what << " set given to module " << id
                  << std::endl;
        std::cout << "Only the first one will be considered" << std::endl;
    }
    return nodes.empty() ? nullptr : nodes.front();
}

} // namespace

ModuleParser::ModuleParser() : map(nullptr), monitor_node(nullptr) {}

// XPath 1.0 has no escapes, so an identifier holding a double quote is
// quoted with single quotes.
std::string ModuleParser::element_path(const std::string& path, const std::string& id)
{
    const char quote = id.find('"') == std::string::npos ? '"' : '\'';
    return path + "[@name=" + quote + id + quote + "]";
}

xmlNodePtr ModuleParser::module_element(const std::string& path, const std::string& id)
{
    // Another element of the same name and identifier, one nested in a
    // module's content say, is not the one this handler reads and writes.
    if (node && node->type == XML_ELEMENT_NODE && xmlHasProp(node, BAD_CAST "name")) {
        xmlChar* name = xmlGetProp(node, BAD_CAST "name");
        const bool own = name && id == reinterpret_cast<const char*>(name);
        xmlFree(name);
        if (own)
            return node;
    }
    std::vector<xmlNodePtr> nodes;
    return ConfigParser::theConfig()->get_node(element_path(path, id), nodes) ? nodes.front() : nullptr;
}

std::vector<xmlNodePtr> ModuleParser::module_children(const std::string& path, const std::string& id,
                                                      const char* name)
{
    std::vector<xmlNodePtr> nodes;
    if (xmlNodePtr element = module_element(path, id))
        ConfigParser::theConfig()->get_node(name, element, nodes);
    return nodes;
}

ModuleParser::~ModuleParser()
{
    delete map;
}

GtkWidget* ModuleParser::config(const std::string&)
{
    return nullptr;
}

MonitorWindow* ModuleParser::monitor(const std::string&, module_gui*)
{
    return nullptr;
}

void ModuleParser::create_map(int nx, int ny, int ntot)
{
    PadMap* fresh = new PadMap(nx, ny, ntot);
    delete map;
    map = fresh;
}

void ModuleParser::forget_nodes(xmlNodePtr subtree)
{
    SectionParser::forget_nodes(subtree);
    if (within(monitor_node, subtree))
        monitor_node = nullptr;
}

// Reading ---------------------------------------------------------------------

void ModuleParser::parse_common(const std::string& path, const std::string& id)
{
    GenModule* module = find_gen_module(id);
    if (!module)
        return;
    parse_monitor(path, id, module->get_analysis());
    parse_map(path, id, module->get_analysis());

    ConfigParser* cfg = ConfigParser::theConfig();
    xmlNodePtr element = module_element(path, id);
    if (!element)
        return;

    std::vector<double> values;
    cfg->get_element_value_array<double>(element, "pedestal", values);
    module->set_par("pedestal", values, false);
    cfg->get_element_value_array<double>(element, "noise", values);
    module->set_par("noise", values, false);
    module->copy_pedestals();

    xmlNodePtr file = cfg->find_element(element, "pedestal_file");
    if (!file)
        return;
    pedestal_file = cfg->get_value<std::string>(file);
    if (!pedestal_file.empty())
        parse_pedestal_file(pedestal_file, module);
}

void ModuleParser::parse_monitor(const std::string& path, const std::string& id, Analysis* analysis)
{
    ConfigParser* cfg = ConfigParser::theConfig();
    xmlNodePtr monitor = first_of(module_children(path, id, "monitor"), "monitor", id);
    // Whatever this points to belongs to the element read before.
    monitor_node = monitor;
    if (!monitor)
        return;

    if (analysis) {
        const int nbin = cfg->get_attribute<int>(monitor, "nbin");
        const double vmin = cfg->get_attribute<double>(monitor, "min", 0.0);
        const double vmax = cfg->get_attribute<double>(monitor, "max", 1.0);
        if (nbin < 1)
            throw ConfigException("monitor of module " + id + ": nbin must be at least 1, not " +
                                  std::to_string(nbin));
        analysis->set_bins(nbin, vmin, vmax);
    }

    xmlNodePtr weights = cfg->find_element(monitor, "weights");
    if (weights && analysis) {
        const double noise = cfg->get_value<double>(weights, "noise");
        const double pedestal = cfg->get_value<double>(weights, "pedestal");
        analysis->SetWeights(pedestal, noise);
    }
}

void ModuleParser::parse_map(const std::string& path, const std::string& id, Analysis* analysis)
{
    ConfigParser* cfg = ConfigParser::theConfig();
    xmlNodePtr padmap = first_of(module_children(path, id, "padmap"), "padmap", id);
    if (!padmap)
        return;

    int nx = 0;
    int ny = 0;
    try {
        nx = cfg->get_attribute<int>(padmap, "nx");
        ny = cfg->get_attribute<int>(padmap, "ny");
    } catch (const ConfigException&) {
        std::cout << "padmap in " << id << " does not have nx or ny" << std::endl;
        throw;
    }
    if (nx < 1 || ny < 1)
        throw ConfigException("padmap in " + id + ": nx and ny must be at least 1");
    // Without ntot (-1) the map has a channel per pad.
    int ntot = -1;
    bool has_ntot = true;
    try {
        ntot = cfg->get_attribute<int>(padmap, "ntot");
    } catch (const ConfigException&) {
        has_ntot = false;
    }
    if (has_ntot && ntot < 1)
        throw ConfigException("padmap in " + id + ": ntot must be at least 1");
    create_map(nx, ny, ntot);

    if (xmlNodePtr channels = cfg->find_element(padmap, "map")) {
        std::vector<int> values;
        cfg->get_array<int>(channels, values);
        for (size_t j = 0; j < values.size(); ++j) {
            if (values[j] >= 0)
                map->set(values[j], static_cast<int>(j % nx), static_cast<int>(j / nx));
        }
    } else {
        map->set_default();
    }
    if (analysis)
        analysis->set_map(*map);
}

void ModuleParser::parse_pedestal_file(const std::string& file, GenModule* module)
{
    if (!module)
        return;
    std::vector<double> ped = module->copy_list("pedestal");
    std::vector<double> noise = module->copy_list("noise");
    const size_t n = std::min(ped.size(), noise.size());
    const PedestalFile::Read read = PedestalFile::read(file, ped, noise);
    if (!read.opened) {
        std::cout << "Could not load pedestals from " << file << std::endl;
        pedestal_file.clear();
        return;
    }
    std::cout << "Loading pedestals for module id " << id << " from " << file << std::endl;
    if (ped.size() != noise.size())
        std::cout << "Module id " << id << " has " << ped.size() << " pedestals and " << noise.size()
                  << " noise values: loading " << n << " channels" << std::endl;

    // The channels before a wrong line or the end are taken; only a full
    // set without error is trusted.
    module->set_par("pedestal", ped, false);
    module->set_par("noise", noise, false);
    if (!read.error.empty()) {
        std::cout << read.error << ": the pedestals of module id " << id << " are not trusted" << std::endl;
        return;
    }
    if (n == 0 || read.pairs != n)
        return;
    module->copy_pedestals();
    // Trusted only as a full set: lists shorter than the channels leave
    // channels without pedestals.
    Analysis* analysis = module->get_analysis();
    if (analysis && n >= static_cast<size_t>(analysis->Ntot()))
        analysis->trust_pedestals();
}

// Writing ---------------------------------------------------------------------

void ModuleParser::save_common()
{
    // The element is gone (removed from the document) or was never read.
    if (!node)
        return;
    ConfigParser* cfg = ConfigParser::theConfig();
    // The monitor element read last may belong to another element (or
    // document); one that the element has already is not added twice.
    if (!monitor_node || monitor_node->parent != node)
        monitor_node = cfg->find_element(node, "monitor");
    if (!monitor_node)
        monitor_node = cfg->create_element(node, "monitor");
    GenModule* module = find_gen_module(id);
    if (!module)
        return;

    cfg->check_value<std::string>(node, "pedestal_file", pedestal_file);
    cfg->set_array_value(node, "pedestal", module->get_par_value<std::vector<double>>("pedestal"));
    cfg->set_array_value(node, "noise", module->get_par_value<std::vector<double>>("noise"));

    if (Analysis* analysis = module->get_analysis()) {
        cfg->check_attribute<int>(monitor_node, "nbin", analysis->get_nbins());
        cfg->check_attribute<double>(monitor_node, "min", analysis->get_range_min());
        cfg->check_attribute<double>(monitor_node, "max", analysis->get_range_max());
        for (xmlNodePtr w = monitor_node->children; w; w = w->next) {
            if (w->type != XML_ELEMENT_NODE || !w->name ||
                std::string(reinterpret_cast<const char*>(w->name)) != "weights")
                continue;
            cfg->check_value<double>(w, "pedestal", analysis->get_ped_weight());
            cfg->check_value<double>(w, "noise", analysis->get_noise_weight());
        }
    }
    save_map();
}

void ModuleParser::save_map()
{
    GenModule* module = find_gen_module(get_id());
    Analysis* analysis = module ? module->get_analysis() : nullptr;
    PadMap* pads = analysis ? analysis->get_map() : nullptr;
    if (!pads || !node)
        return;

    ConfigParser* cfg = ConfigParser::theConfig();
    xmlNodePtr padmap = cfg->find_element(node, "padmap");
    xmlNodePtr channels = nullptr;
    if (padmap) {
        channels = cfg->find_element(padmap, "map");
        if (!channels)
            channels = cfg->create_element(padmap, "map");
        cfg->check_attribute<int>(padmap, "nx", pads->nx());
        cfg->check_attribute<int>(padmap, "ny", pads->ny());
    } else {
        padmap = cfg->create_element(node, "padmap");
        cfg->set_attribute<int>(padmap, "nx", pads->nx());
        cfg->set_attribute<int>(padmap, "ny", pads->ny());
        cfg->set_attribute<int>(padmap, "ntot", pads->ntot());
        channels = cfg->create_element(padmap, "map");
    }
    std::ostringstream text;
    pads->print(text);
    cfg->set_value<std::string>(channels, trim_str(text.str()));
}
