#include "config/SectionParser.h"

SectionParser::SectionParser() : node(nullptr) {}

SectionParser::~SectionParser()
{
    nmap.clear();
}

void SectionParser::parse_node(xmlNodePtr) {}

void SectionParser::parse_node_id(const std::string&) {}

void SectionParser::section_parsed() {}

void SectionParser::save_config() {}

void SectionParser::save_config_node(xmlNodePtr) {}

void SectionParser::save_config_id(const std::string&) {}

std::string SectionParser::node_name() const
{
    if (!node || !node->name)
        return "<null>";
    return reinterpret_cast<const char*>(node->name);
}

void SectionParser::set_node(xmlNodePtr element)
{
    node = element;
    name = node_name();
}

bool SectionParser::within(const xmlNode* n, const xmlNode* subtree)
{
    for (; n && subtree; n = n->parent)
        if (n == subtree)
            return true;
    return false;
}

void SectionParser::forget_nodes(xmlNodePtr subtree)
{
    if (within(node, subtree))
        node = nullptr;
    for (auto it = nmap.begin(); it != nmap.end();) {
        if (within(it->second, subtree))
            it = nmap.erase(it);
        else
            ++it;
    }
}
