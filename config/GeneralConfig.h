// Handler of the `general` section: pedestal-run settings, chart colours,
// the monitor queue size, the SOAP server port and the VME driver.
#ifndef BRISKO_CONFIG_GENERALCONFIG_H
#define BRISKO_CONFIG_GENERALCONFIG_H

#include <atomic>
#include <string>

#include "config/SectionParser.h"

// Background, foreground and axis colour of one kind of chart, as the chart
// widgets take them ("white", "#2d2d9d"); nothing is checked.
class HstColor {
public:
    HstColor() = default;
    HstColor(const std::string& bg, const std::string& fg, const std::string& axis)
        : _bg(bg), _fg(fg), _axis(axis)
    {
    }

    const std::string& bg() const { return _bg; }
    const std::string& fg() const { return _fg; }
    const std::string& axis() const { return _axis; }
    void bg(const std::string& text) { _bg = text; }
    void fg(const std::string& text) { _fg = text; }
    void axis(const std::string& text) { _axis = text; }
    // Replaces the colours whose new text is not empty.
    void set_colors(const std::string& bg, const std::string& fg, const std::string& axis);

private:
    std::string _bg;
    std::string _fg;
    std::string _axis;
};

// A block that is absent leaves its settings at their construction values;
// an element missing from a present block takes its own default, which
// differs for the pedestal period (0 without `pedestals`, 300 without
// `period`).
class GeneralConfig : public SectionParser {
public:
    enum PedestalMethod { fast = 0, normal = 1 };

    GeneralConfig();
    ~GeneralConfig() override;

    // Installs every `vme_driver` of the document in the VME library while
    // the `daq` block is read.
    void parse_node(xmlNodePtr element) override;
    // The VME driver is not written back.
    void save_config() override;
    void forget_nodes(xmlNodePtr subtree) override;

    int get_ped_nevts() const { return ped_nevts; }
    void set_ped_nevts(int n) { ped_nevts = n; }
    bool get_ped_update() const { return ped_update; }
    void set_ped_update(bool flag) { ped_update = flag; }
    // These two are read by the analyses on the acquisition threads, while
    // the window changes them (a pedestal run lends the sample size).
    PedestalMethod get_ped_method() const { return ped_method.load(); }
    void set_ped_method(PedestalMethod method) { ped_method = method; }
    int get_ped_min_sample() const { return ped_min_sample.load(); }
    void set_ped_min_sample(int n) { ped_min_sample = n; }
    int get_ped_period() const { return ped_period; }
    void set_ped_period(int seconds) { ped_period = seconds; }
    int get_monitor_buffer() const { return monitor_buffer; }
    void set_monitor_buffer(int n) { monitor_buffer = n; }
    int get_soap_port() const { return soap_port; }
    void set_soap_port(int port) { soap_port = port; }
    std::string get_vme_lib() const { return vme_lib; }
    std::string get_vme_factory() const { return vme_factory; }

    HstColor& hsts() { return hist_color; }
    void hsts(const HstColor& colors) { hist_color = colors; }
    HstColor& tracers() { return tracer_color; }
    void tracers(const HstColor& colors) { tracer_color = colors; }

    // Takes over the pedestal settings and both colour sets.
    void cpy(const GeneralConfig& other);

private:
    void parse_pedestals(xmlNodePtr block);
    void parse_colors(xmlNodePtr block);
    void parse_daq(xmlNodePtr block);
    // The block of that name under `general`: the one parsed or created
    // before when it is still there, else a new one.
    xmlNodePtr own_block(xmlNodePtr general, xmlNodePtr& remembered, const char* name);

    int ped_nevts;
    bool ped_update;
    std::atomic<PedestalMethod> ped_method;
    std::atomic<int> ped_min_sample;
    xmlNodePtr ped_node;
    int ped_period;
    xmlNodePtr daq_node;
    int monitor_buffer;
    int soap_port;
    std::string vme_lib;
    std::string vme_factory;
    HstColor tracer_color;
    HstColor hist_color;
};

#endif
