#include "config/GeneralConfig.h"

#include <iostream>
#include <vector>

#include "config/ConfigParser.h"
#include "config/PathConfig.h"
#include "daq/vme/VMEmanager.h"

namespace {

const char* const default_bg = "white";
const char* const default_fg = "#2d2d9d";
const char* const default_axis = "black";

bool is_element(xmlNodePtr n, const char* name)
{
    return n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, BAD_CAST name);
}

} // namespace

void HstColor::set_colors(const std::string& bg, const std::string& fg, const std::string& axis)
{
    if (!bg.empty())
        _bg = bg;
    if (!fg.empty())
        _fg = fg;
    if (!axis.empty())
        _axis = axis;
}

GeneralConfig::GeneralConfig()
    : ped_nevts(10000),
      ped_update(true),
      ped_method(normal),
      ped_min_sample(256),
      ped_node(nullptr),
      ped_period(0),
      daq_node(nullptr),
      monitor_buffer(1024),
      soap_port(50000),
      tracer_color(default_bg, default_fg, default_axis),
      hist_color(default_bg, default_fg, default_axis)
{
}

GeneralConfig::~GeneralConfig() = default;

void GeneralConfig::cpy(const GeneralConfig& other)
{
    ped_nevts = other.ped_nevts;
    ped_update = other.ped_update;
    ped_method = other.ped_method.load();
    ped_min_sample = other.ped_min_sample.load();
    hist_color = other.hist_color;
    tracer_color = other.tracer_color;
}

// Reading ----------------------------------------------------------------------

void GeneralConfig::parse_node(xmlNodePtr element)
{
    for (xmlNodePtr n = element ? element->children : nullptr; n; n = n->next) {
        if (is_element(n, "pedestals"))
            parse_pedestals(n);
        else if (is_element(n, "colors"))
            parse_colors(n);
        else if (is_element(n, "daq"))
            parse_daq(n);
    }
}

void GeneralConfig::parse_pedestals(xmlNodePtr block)
{
    ConfigParser* config = ConfigParser::theConfig();
    ped_node = block;
    ped_nevts = config->get_optional<int>(block, "nevts", 10000);
    ped_update = config->get_optional<bool>(block, "update", true);
    ped_min_sample = config->get_optional<int>(block, "min_sample", 256);
    ped_period = config->get_optional<int>(block, "period", 300);
    const std::string method = config->get_optional<std::string>(block, "method", "normal");
    if (method == "fast") {
        ped_method = fast;
    } else {
        if (method != "normal")
            std::cout << "Wrong method for pedestal calculation: " << method << std::endl;
        ped_method = normal;
    }
}

void GeneralConfig::parse_colors(xmlNodePtr block)
{
    ConfigParser* config = ConfigParser::theConfig();
    const struct {
        const char* name;
        HstColor& colors;
    } sets[] = {{"histograms", hist_color}, {"tracers", tracer_color}};
    for (const auto& set : sets) {
        xmlNodePtr n = config->find_element(block, set.name);
        if (!n)
            continue;
        set.colors.set_colors(config->get_optional<std::string>(n, "background", ""),
                              config->get_optional<std::string>(n, "foreground", ""),
                              config->get_optional<std::string>(n, "axis", ""));
    }
}

void GeneralConfig::parse_daq(xmlNodePtr block)
{
    ConfigParser* config = ConfigParser::theConfig();
    daq_node = block;
    monitor_buffer = config->get_optional<int>(block, "monitor_buffer", 1024);
    soap_port = config->get_optional<int>(block, "soap_port", soap_port);

    std::vector<xmlNodePtr> drivers;
    config->get_node("//vme_driver", block, drivers);
    for (xmlNodePtr driver : drivers) {
        vme_lib = config->get_optional<std::string>(driver, "lib", "");
        if (config->find_element(driver, "hook")) {
            vme_factory = config->get_value<std::string>(driver, "hook");
        } else {
            std::cout << "*** There is no routine for the VME factory ***" << std::endl;
            vme_factory = "<unknown>";
        }
        VMEmanager::set_factory(vme_factory, vme_lib, &PathConfig::find_library);
    }
}

void GeneralConfig::forget_nodes(xmlNodePtr subtree)
{
    SectionParser::forget_nodes(subtree);
    if (within(ped_node, subtree))
        ped_node = nullptr;
    if (within(daq_node, subtree))
        daq_node = nullptr;
}

// Writing ----------------------------------------------------------------------

xmlNodePtr GeneralConfig::own_block(xmlNodePtr general, xmlNodePtr& remembered, const char* name)
{
    ConfigParser* config = ConfigParser::theConfig();
    // A node of an earlier document, or of none, is not to be written into;
    // a block made by an earlier save is reused rather than doubled.
    if (!remembered || remembered->parent != general) {
        remembered = config->find_element(general, name);
        if (!remembered)
            remembered = config->create_element(general, name);
    }
    return remembered;
}

void GeneralConfig::save_config()
{
    ConfigParser* config = ConfigParser::theConfig();
    if (!config->root())
        return;
    xmlNodePtr general = config->get_general_node();
    if (!general)
        general = config->create_section("general");

    xmlNodePtr ped = own_block(general, ped_node, "pedestals");
    config->check_value<int>(ped, "nevts", ped_nevts);
    config->check_value<bool>(ped, "update", ped_update);
    config->check_value<std::string>(ped, "method", ped_method == normal ? "normal" : "fast");
    config->check_value<int>(ped, "min_sample", ped_min_sample.load());
    config->check_value<int>(ped, "period", ped_period);

    xmlNodePtr daq = own_block(general, daq_node, "daq");
    config->check_value<int>(daq, "monitor_buffer", monitor_buffer);
    config->check_value<int>(daq, "soap_port", soap_port);

    xmlNodePtr colors = config->find_element(general, "colors");
    if (!colors)
        colors = config->create_element(general, "colors");
    const struct {
        const char* name;
        const HstColor& colors;
    } sets[] = {{"histograms", hist_color}, {"tracers", tracer_color}};
    for (const auto& set : sets) {
        xmlNodePtr n = config->find_element(colors, set.name);
        if (!n)
            n = config->create_element(colors, set.name);
        config->check_value<std::string>(n, "background", set.colors.bg());
        config->check_value<std::string>(n, "foreground", set.colors.fg());
        config->check_value<std::string>(n, "axis", set.colors.axis());
    }
}
