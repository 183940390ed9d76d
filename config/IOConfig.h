// Handler of the `IO` section: the settings of run-file output.
#ifndef BRISKO_CONFIG_IOCONFIG_H
#define BRISKO_CONFIG_IOCONFIG_H

#include <iosfwd>
#include <string>

#include "config/SectionParser.h"

// The values at construction hold while no `IO` element has been parsed; an
// element that lacks an attribute gives that setting its own default
// (compression on, 500000000 bytes, "/tmp/", "tellum-", run 0).
// A `max_size` that is no whole number of bytes refuses the element: the
// construction values stay, and the element is saved back as it was
// written until a setting other than the run number is changed (the
// operator's, in the preferences): the run number that logging counts up
// must not put the construction path and prefix over the operator's own.
class IOConfig : public SectionParser {
public:
    IOConfig();
    IOConfig(const IOConfig& other) = default;
    ~IOConfig() override;
    // Copies the five settings only; the element stays this handler's.
    IOConfig& operator=(const IOConfig& other);

    void parse_node(xmlNodePtr element) override;
    // Writes the five attributes into the document's `IO` element. A
    // document without one gets one once a setting has been changed, so
    // that the change is kept; else nothing is written.
    void save_config() override;

    bool get_compression() const { return compress; }
    // Bytes after which a run file goes on in the next; 0 for no limit.
    unsigned long get_max_size() const { return max_size; }
    const std::string& get_output_path() const { return path; }
    const std::string& get_prefix() const { return prefix; }
    int get_run_number() const { return run_number; }

    void set_compression(bool flag) { settings_changed = change(compress, flag) || settings_changed; }
    void set_max_size(unsigned long size) { settings_changed = change(max_size, size) || settings_changed; }
    void set_output_path(const std::string& text) { settings_changed = change(path, text) || settings_changed; }
    void set_prefix(const std::string& text) { settings_changed = change(prefix, text) || settings_changed; }
    void set_run_number(int number) { change(run_number, number); }

private:
    // Whether the value differs from the field's.
    template <typename T>
    bool change(T& field, const T& value)
    {
        const bool differs = field != value;
        changed = changed || differs;
        field = value;
        return differs;
    }

    bool changed = false;
    // Since the element was read, a setting other than the run number.
    bool settings_changed = false;
    // The element was not read: saving leaves it as it is unless a setting
    // other than the run number changed since.
    bool refused = false;
    bool compress;
    unsigned long max_size;
    int run_number;
    std::string path;
    std::string prefix;
};

std::ostream& operator<<(std::ostream& os, const IOConfig& io);

#endif
