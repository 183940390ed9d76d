// Base of every configuration section handler; what it refuses in the
// document it raises as ConfigException (ostrel/Exception.h).
#ifndef BRISKO_CONFIG_SECTIONPARSER_H
#define BRISKO_CONFIG_SECTIONPARSER_H

#include <map>
#include <string>

#include <libxml/tree.h>

#include "ostrel/Exception.h"

// A handler reads the elements of one name when the configuration is parsed
// and writes its state back before it is saved. The configuration document
// owns its handlers; their element pointers are valid until its next reset.
class SectionParser {
public:
    using NodeMap = std::map<std::string, xmlNodePtr>;

    SectionParser();
    virtual ~SectionParser();

    virtual void parse_node(xmlNodePtr element);
    virtual void parse_node_id(const std::string& id);
    // Once for every element under `modules` that this handler serves,
    // after the whole file was parsed.
    virtual void section_parsed();
    virtual void save_config();
    virtual void save_config_node(xmlNodePtr element);
    virtual void save_config_id(const std::string& id);

    std::string get_id() const { return id; }
    void set_id(const std::string& text) { id = text; }
    const std::string& get_name() const { return name; }
    void set_name(const std::string& text) { name = text; }
    // The element name of `node`, or "<null>".
    std::string node_name() const;
    void set_node(xmlNodePtr element);

    // Drops every node the handler keeps that lies in the subtree, which
    // is about to be freed: the configuration calls it before any edit that
    // frees elements, for every handler, so none is left holding one.
    virtual void forget_nodes(xmlNodePtr subtree);

protected:
    // Whether n is the subtree's root or lies below it.
    static bool within(const xmlNode* n, const xmlNode* subtree);

    xmlNodePtr node;
    std::string id;
    std::string name;
    // Elements already read, so that saving updates them in place.
    NodeMap nmap;
};

#endif
