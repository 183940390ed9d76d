// The configuration of one board stream: its "stream" element (a child of
// the board family's element) read into the stream module's parameters and
// chip set, and written back when the configuration is saved.
#ifndef BRISKO_FENROW_STREAMS_FENROWSTREAMCONF_H
#define BRISKO_FENROW_STREAMS_FENROWSTREAMCONF_H

#include <string>
#include <vector>

#include "config/ModuleParser.h"

class TAchip;

namespace Ostrel {

class FenrowStream;

class FenrowStreamConf : public ModuleParser {
public:
    // The section id starts as the module's id. The module is not owned; the
    // handler finds it again by that id, so a module deleted before its
    // handler is never used.
    explicit FenrowStreamConf(FenrowStream* module);
    ~FenrowStreamConf() override;

    // The element name of the board family's section, under which the
    // stream elements lie.
    void set_parent_id(const std::string& parent) { parent_id = parent; }
    const std::string& get_parent_id() const { return parent_id; }

    // The stream module, or null once it is gone.
    FenrowStream* get_module() const;

    // The first "stream" child of an element named by the parent id whose
    // "name" is the section id, anywhere in the document but in a section's
    // content, and whose "address", if any, is the module's board's; null
    // without one.
    xmlNodePtr find_node();

    // Reads the stream element into the module, without sending anything to
    // the board. A chip element without "id", or a chip count outside
    // 1 .. TAmanager::max_chips, raises ConfigException.
    void parse_node(xmlNodePtr element) override;
    // Parses the element find_node gives, if any.
    void parse_node_id(const std::string& id) override;
    // Writes the module's settings and chips into the element.
    void save_config() override;

    // The board configuration dialog of the stream (GTK main thread); null
    // without the module or when it cannot be built.
    GtkWidget* config(const std::string& name) override;
    // The stream's monitor window (GTK main thread), built from the
    // panel's description; the panel owns it. Null without a panel or when
    // the window cannot be built.
    MonitorWindow* monitor(const std::string& name, module_gui* panel) override;

private:
    // The registers and arrays of a chip element, from its own children.
    void parse_chip(TAchip& chip, int address, xmlNodePtr element);
    void save_chip(const TAchip& chip, xmlNodePtr element);

    std::string parent_id;
    // The element name of the stream element read last ("stream").
    std::string element_name;
    // The chip addresses as read (made unique), for chips whose register
    // cannot hold them.
    std::vector<int> addresses;
};

} // namespace Ostrel

#endif
