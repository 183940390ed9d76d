// Handler of the `scans` section: the settings of pulse and scan runs and
// the named scans.
#ifndef BRISKO_CONFIG_SCANCONFIG_H
#define BRISKO_CONFIG_SCANCONFIG_H

#include <iosfwd>
#include <set>
#include <string>

#include "config/SectionParser.h"
#include "daq/Scan.h"

// The values at construction (1000 events, burst on, delay 0.5, rate 100)
// hold while no `scans` element has been read; an element that lacks an
// attribute gives that setting its own default (100 events, burst off,
// delay 0.5, rate 100). The time mode lives in memory only.
//
//     <scans nevts="100" burst="false" delay="0.5" rate="100">
//       <scan name="calibration">
//         <type name="channel" from="0" to="127" step="1"/>
//       </scan>
//     </scans>
//
// A variable's `to` is saved as its last point, and numbers with more than
// six significant digits are written in full, so that reading a saved
// section gives the same points again.
class ScanConfig : public SectionParser {
public:
    ScanConfig();
    ~ScanConfig() override;

    // Adds the scans of the element to those already held. A scan or
    // variable that lacks an attribute, or whose range cannot be scanned,
    // raises ConfigException; the scans read before it stay.
    void parse_node(xmlNodePtr element) override;
    // Writes the settings and the scans into the root's `scans` element,
    // updating the elements read in place: new scans and variables get new
    // elements, those removed from the list lose theirs, and variables are
    // kept in the order of their scan. Without a `scans` element and
    // without scans nothing is written.
    void save_config() override;

    int get_nevts() const { return nevts; }
    bool burst() const { return do_burst; }
    void burst(bool flag) { do_burst = flag; }
    double delay() const { return _delay; }
    void delay(double value) { _delay = value; }
    bool is_time() const { return _time; }
    void is_time(bool flag) { _time = flag; }
    double rate() const { return _rate; }
    void rate(double value) { _rate = value; }

    const ScanList& get_scan_list() const { return scpoint; }
    void set_scan_list(const ScanList& list) { scpoint.cpy(list); }
    size_t size() const { return scpoint.size(); }
    ScanList::const_iterator begin() const { return scpoint.begin(); }
    ScanList::const_iterator end() const { return scpoint.end(); }

    // The section's name of a variable type ("channel", ..., "cal_dac"), ""
    // for a code outside the table; and the code of a name, 1 ("pulse") for
    // a name outside the table.
    static std::string type_name(int type);
    static ScanType type_code(const std::string& name);

private:
    ScanPoint parse_scan(xmlNodePtr element);
    // Brings the `type` children of a scan element in line with the point.
    void save_scan(xmlNodePtr element, const std::string& scan, const ScanPoint& point);
    // Removes the elements of the scans read or written before that have
    // left the list.
    void drop_removed(xmlNodePtr scans);
    // Drops the elements and their children from nmap.
    void forget(const std::set<xmlNodePtr>& elements);

    int nevts;
    bool do_burst;
    bool _time;
    double _delay;
    double _rate;
    ScanList scpoint;
};

std::ostream& operator<<(std::ostream& os, const ScanConfig& scans);

#endif
