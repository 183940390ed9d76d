#include "config/ScanConfig.h"

#include <algorithm>
#include <map>
#include <ostream>
#include <set>
#include <sstream>
#include <vector>

#include "config/ConfigParser.h"
#include "config/PathUtils.h"
#include "ostrel/Log.h"

namespace {

bool is_element(const xmlNode* n, const char* name = nullptr)
{
    return n && n->type == XML_ELEMENT_NODE && (!name || xmlStrEqual(n->name, BAD_CAST name));
}

std::string attribute(xmlNodePtr n, const char* name)
{
    return ConfigParser::theConfig()->get_attribute<std::string>(n, name, std::string());
}

std::string with_digits(double v, int digits)
{
    std::ostringstream os;
    os.precision(digits);
    os << v;
    return os.str();
}

// The shortest text of at least the six digits the configuration writes
// that reads back as the same number.
std::string exact_text(double v)
{
    for (int digits = 6; digits < 17; ++digits) {
        const std::string text = with_digits(v, digits);
        double back = 0;
        if (config_text::read(text, back) && back == v)
            return text;
    }
    return with_digits(v, 17);
}

// The variable's last point, in the fewest digits that give the same first
// value and points when the section is read again.
std::string bound_text(const ScanVar& var)
{
    for (int digits = 6; digits < 17; ++digits) {
        const std::string text = with_digits(var.last(), digits);
        double back = 0;
        if (!config_text::read(text, back) || back < var.first())
            continue;
        if (ScanVar(var.type(), var.first(), back, var.step(), 0).n_points() == var.n_points())
            return text;
    }
    return exact_text(var.last());
}

// Writes the number's text when the attribute is missing or reads as
// another number.
void check_number(xmlNodePtr n, const char* name, const std::string& text)
{
    double stored = 0, wanted = 0;
    if (!config_text::read(attribute(n, name), stored) || !config_text::read(text, wanted) ||
        config_text::differs(stored, wanted))
        ConfigParser::theConfig()->set_attribute<std::string>(n, name, text);
}

// The scan elements by name. Later elements of the same name win when the
// section is read, so the last one is the one to update.
std::map<std::string, xmlNodePtr> last_scans(xmlNodePtr scans)
{
    std::map<std::string, xmlNodePtr> found;
    for (xmlNodePtr n = scans->children; n; n = n->next) {
        if (is_element(n) && xmlHasProp(n, BAD_CAST "name"))
            found[attribute(n, "name")] = n;
    }
    return found;
}

xmlNodePtr last_variable(xmlNodePtr scan, ScanType type)
{
    xmlNodePtr found = nullptr;
    for (xmlNodePtr n = scan->children; n; n = n->next) {
        if (is_element(n, "type") && ScanConfig::type_code(attribute(n, "name")) == type)
            found = n;
    }
    return found;
}

} // namespace

ScanConfig::ScanConfig()
    : nevts(1000), do_burst(true), _time(false), _delay(0.5), _rate(100.0)
{
}

ScanConfig::~ScanConfig() = default;

std::string ScanConfig::type_name(int type)
{
    // The section names the types by their display names in lower case.
    return downcase(ScanVar::get_name(type));
}

ScanType ScanConfig::type_code(const std::string& name)
{
    for (int i = 0; i < ScanVar::get_n_names(); ++i) {
        if (type_name(i) == name)
            return static_cast<ScanType>(i);
    }
    return ScanVar::pulse;
}

// Reading ----------------------------------------------------------------------

void ScanConfig::parse_node(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    node = element;
    nmap.clear();
    nevts = config->get_attribute<int>(element, "nevts", 100);
    do_burst = config->get_attribute<bool>(element, "burst", false);
    _delay = config->get_attribute<double>(element, "delay", 0.5);
    _rate = config->get_attribute<double>(element, "rate", 100.0);

    for (xmlNodePtr child = element->children; child; child = child->next) {
        if (!is_element(child))
            continue;
        const std::string name = config->get_attribute<std::string>(child, "name");
        ScanPoint point = parse_scan(child);
        // Only scans read whole count as read: saving removes the elements
        // of read scans that have left the list.
        nmap[name] = child;
        scpoint.add_point(name, point);
    }
}

ScanPoint ScanConfig::parse_scan(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    const std::string scan = config->get_attribute<std::string>(element, "name");
    ScanPoint point(scan);
    for (xmlNodePtr n = element->children; n; n = n->next) {
        if (!is_element(n, "type"))
            continue;
        const std::string name = config->get_attribute<std::string>(n, "name");
        const double from = config->get_attribute<double>(n, "from");
        const double to = config->get_attribute<double>(n, "to");
        const double step = config->get_attribute<double>(n, "step");
        if (const char* why = ScanVar::check(from, to, step))
            throw ConfigException("Scan " + scan + ", variable " + name + ": " + why);
        const ScanType type = type_code(name);
        nmap[scan + "/" + type_name(type)] = n;
        point.add_var(ScanVar(type, from, to, step, 0));
    }
    const std::string too_large = point.size_error();
    if (!too_large.empty())
        throw ConfigException("Scan " + scan + ": " + too_large);
    return point;
}

// Writing ----------------------------------------------------------------------

void ScanConfig::save_config()
{
    ConfigParser* config = ConfigParser::theConfig();
    if (!config->root())
        return;
    xmlNodePtr scans = config->get_scans_node();
    if (!scans) {
        if (scpoint.empty())
            return;
        scans = config->create_section("scans");
    }
    config->check_attribute<int>(scans, "nevts", nevts);
    config->check_attribute<bool>(scans, "burst", do_burst);
    config->check_attribute<double>(scans, "delay", _delay);
    config->check_attribute<double>(scans, "rate", _rate);
    drop_removed(scans);

    Ostrel::ostream log(Ostrel::LOG_INFO);
    const std::map<std::string, xmlNodePtr> elements = last_scans(scans);
    for (const auto& entry : scpoint) {
        const std::string& name = entry.first;
        log << "Scan: " << name << std::endl;
        const auto found = elements.find(name);
        xmlNodePtr element = found == elements.end() ? nullptr : found->second;
        if (!element) {
            log << "Scan " << name << " is new [" << entry.second.get_name() << "]" << std::endl;
            element = config->create_element(scans, "scan");
            config->set_attribute<std::string>(element, "name", name);
        }
        nmap[name] = element;
        save_scan(element, name, entry.second);
    }
}

void ScanConfig::save_scan(xmlNodePtr element, const std::string& scan, const ScanPoint& point)
{
    ConfigParser* config = ConfigParser::theConfig();
    std::vector<xmlNodePtr> wanted;
    for (const ScanVar& var : point) {
        const std::string name = type_name(var.type());
        xmlNodePtr n = last_variable(element, var.type());
        if (!n)
            n = config->create_element(element, "type");
        nmap[scan + "/" + name] = n;
        config->check_attribute<std::string>(n, "name", name);
        check_number(n, "from", exact_text(var.first()));
        check_number(n, "to", bound_text(var));
        check_number(n, "step", exact_text(var.step()));
        wanted.push_back(n);
    }

    // Variables that left the scan, or that a later element of the same
    // type hid when it was read.
    std::vector<xmlNodePtr> present;
    for (xmlNodePtr n = element->children; n;) {
        xmlNodePtr next = n->next;
        if (is_element(n, "type")) {
            if (std::find(wanted.begin(), wanted.end(), n) == wanted.end()) {
                // Read under this key, if it was read at all.
                auto read = nmap.find(scan + "/" + type_name(type_code(attribute(n, "name"))));
                if (read != nmap.end() && read->second == n)
                    nmap.erase(read);
                config->remove_child(n);
            } else {
                present.push_back(n);
            }
        }
        n = next;
    }
    // The order of the variables is the order of the scan's loops.
    if (present != wanted) {
        for (xmlNodePtr n : wanted) {
            xmlUnlinkNode(n);
            xmlAddChild(element, n);
        }
    }
}

void ScanConfig::drop_removed(xmlNodePtr scans)
{
    std::set<std::string> gone;
    for (const auto& entry : nmap) {
        if (entry.second && entry.second->parent == scans &&
            scpoint.find(entry.first) == scpoint.end())
            gone.insert(entry.first);
    }
    // Every element of a removed name goes: an earlier one of the same name
    // would bring the scan back at the next reading.
    std::set<xmlNodePtr> removed;
    for (xmlNodePtr n = scans->children; n && !gone.empty(); n = n->next) {
        if (is_element(n) && xmlHasProp(n, BAD_CAST "name") && gone.count(attribute(n, "name")))
            removed.insert(n);
    }
    forget(removed);
    for (xmlNodePtr n : removed)
        ConfigParser::theConfig()->remove_child(n);
}

void ScanConfig::forget(const std::set<xmlNodePtr>& elements)
{
    for (auto it = nmap.begin(); it != nmap.end();) {
        if (it->second && (elements.count(it->second) || elements.count(it->second->parent)))
            it = nmap.erase(it);
        else
            ++it;
    }
}

std::ostream& operator<<(std::ostream& os, const ScanConfig& scans)
{
    os << "Number of events per scan point: " << scans.get_nevts() << std::endl;
    for (const auto& entry : scans)
        os << "Scan " << entry.first << " Variables:" << std::endl << entry.second << std::endl;
    return os;
}
