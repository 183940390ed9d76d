// Typed reading and writing of element texts and attributes.
#include "config/ConfigParser.h"

#include <cctype>
#include <cstdlib>
#include <iostream>

#include <glib.h>
#include <libxml/entities.h>

namespace {

const xmlChar* xml(const std::string& s)
{
    return reinterpret_cast<const xmlChar*>(s.c_str());
}

std::string name_of(const xmlNode* n)
{
    return n && n->name ? reinterpret_cast<const char*>(n->name) : "<null>";
}

ConfigException missing_attribute(const std::string& name)
{
    return ConfigException("attribute " + name + " not present");
}

template <class T>
bool extract(const std::string& text, T& value)
{
    std::istringstream is(text);
    T v{};
    if (!(is >> v))
        return false;
    value = v;
    return true;
}

// Hexadecimal digits, each giving four entries; entries past nx are never
// written, whatever the length of the text.
int decode_bits(const std::string& text, int nx, std::vector<int>& bits)
{
    const size_t n = nx > 0 ? static_cast<size_t>(nx) : 0;
    bits.assign(n, 0);
    size_t digit = 0;
    for (size_t pos = 0; pos < text.size(); ++pos) {
        const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[pos])));
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else {
            std::cout << "Found funny character at pos. " << pos << " : " << text[pos] << std::endl;
            std::cout << "-> " << text << std::endl;
            return -1;
        }
        for (size_t b = 0; b < 4; ++b) {
            const size_t entry = 4 * digit + b;
            if (entry < n && (v >> b) & 1)
                bits[entry] = 1;
        }
        ++digit;
    }
    return 0;
}

} // namespace

namespace config_text {

bool read(const std::string& text, int& value)
{
    return extract(text, value);
}

bool read(const std::string& text, double& value)
{
    return extract(text, value);
}

bool read(const std::string& text, std::string& value)
{
    // Element texts are single words: a value ends at the first blank.
    std::istringstream is(text);
    std::string word;
    is >> word;
    value = word;
    return true;
}

bool read(const std::string& text, bool& value)
{
    const std::string t = downcase(text);
    if (t == "true") {
        value = true;
        return true;
    }
    if (t == "false") {
        value = false;
        return true;
    }
    return false;
}

} // namespace config_text

// Look-ups --------------------------------------------------------------------

xmlNodePtr ConfigParser::find_first(xmlNodePtr node, const std::string& path)
{
    if (!node)
        return nullptr;
    std::vector<xmlNodePtr> nodes;
    return get_node(path, node, nodes) ? nodes.front() : nullptr;
}

xmlNodePtr ConfigParser::select_first(xmlNodePtr node, const std::string& path)
{
    xmlNodePtr n = find_first(node, path);
    if (!n)
        throw ConfigException("Element " + name_of(node) + "/" + path + " does not exist");
    return n;
}

bool ConfigParser::has_attribute(xmlNodePtr node, const std::string& name)
{
    return node && node->type == XML_ELEMENT_NODE && xmlHasProp(node, xml(name));
}

std::string ConfigParser::attribute_text(xmlNodePtr node, const std::string& name)
{
    if (!has_attribute(node, name))
        throw missing_attribute(name);
    xmlChar* value = xmlGetProp(node, xml(name));
    std::string out(value ? reinterpret_cast<const char*>(value) : "");
    xmlFree(value);
    return out;
}

// Reading ---------------------------------------------------------------------

void ConfigParser::read_element(xmlNodePtr node, bool& value)
{
    if (!node)
        throw ConfigException("Element <null> does not exist");
    const std::string text = downcase(get_node_value(node));
    if (config_text::read(text, value))
        return;

    std::cout << "get_value<bool>, wrong boolan " << text << std::endl;
    std::cout << "...in node " << name_of(node) << " @ line " << xmlGetLineNo(node) << std::endl;
    // Old files wrote 1 and 0; the next save stores the word.
    if (text == "1") {
        set_value(node, "true");
        value = true;
    } else if (text == "0") {
        set_value(node, "false");
        value = false;
    } else {
        std::cout << "...could not repair..." << std::endl;
        value = false;
    }
}

void ConfigParser::read_element(xmlNodePtr node, int& value)
{
    if (!node)
        throw ConfigException("Element <null> does not exist");
    if (!config_text::read(get_node_value(node), value))
        value = 0;
}

void ConfigParser::read_element(xmlNodePtr node, double& value)
{
    if (!node)
        throw ConfigException("Element <null> does not exist");
    if (!config_text::read(get_node_value(node), value))
        value = 0.0;
}

void ConfigParser::read_element(xmlNodePtr node, std::string& value)
{
    if (!node)
        throw ConfigException("Element <null> does not exist");
    config_text::read(get_node_value(node), value);
}

void ConfigParser::read_attribute(xmlNodePtr node, const std::string& name, bool& value)
{
    const std::string text = downcase(attribute_text(node, name));
    if (config_text::read(text, value))
        return;
    std::cout << "get_attribute<bool>, wrong boolan " << text << std::endl;
    std::cout << "...in node " << name_of(node) << " @ line " << xmlGetLineNo(node) << std::endl;
    value = true;
}

void ConfigParser::read_attribute(xmlNodePtr node, const std::string& name, int& value)
{
    if (!config_text::read(attribute_text(node, name), value))
        value = 0;
}

void ConfigParser::read_attribute(xmlNodePtr node, const std::string& name, double& value)
{
    if (!config_text::read(attribute_text(node, name), value))
        value = 0.0;
}

void ConfigParser::read_attribute(xmlNodePtr node, const std::string& name, std::string& value)
{
    value = attribute_text(node, name);
}

// Writing ---------------------------------------------------------------------

void ConfigParser::set_text(xmlNodePtr node, const std::string& text)
{
    if (!node)
        return;
    // The element's children go: no handler may keep one of them.
    for (xmlNodePtr child = node->children; child; child = child->next)
        if (child->type == XML_ELEMENT_NODE)
            forget_subtree(child);
    // An empty text node would save as <x></x> and come back as <x/>.
    if (text.empty()) {
        xmlNodeSetContent(node, nullptr);
        return;
    }
    // The content is parsed for entity references: escape it so that an
    // "&" is kept as a character and the document stays well-formed.
    xmlChar* escaped = xmlEncodeSpecialChars(node->doc, xml(text));
    xmlNodeSetContent(node, escaped);
    xmlFree(escaped);
}

xmlNodePtr ConfigParser::new_text_child(xmlNodePtr node, const std::string& name,
                                        const std::string& text)
{
    if (!node)
        return nullptr;
    return xmlNewTextChild(node, nullptr, xml(name), text.empty() ? nullptr : xml(text));
}

void ConfigParser::set_attribute_text(xmlNodePtr node, const std::string& name,
                                      const std::string& text)
{
    if (!node || node->type != XML_ELEMENT_NODE)
        return;
    xmlSetProp(node, xml(name), xml(text));
}

// Bit masks -------------------------------------------------------------------

int ConfigParser::get_bit_array(xmlNodePtr node, const std::string& name, int nx,
                                std::vector<int>& bits)
{
    return decode_bits(downcase(attribute_text(node, name)), nx, bits);
}

int ConfigParser::get_bit_array(xmlNodePtr node, int nx, std::vector<int>& bits)
{
    return decode_bits(get_node_value(node), nx, bits);
}

// Free functions --------------------------------------------------------------

std::string get_attribute_value(xmlNodePtr node, const std::string& name, bool lower)
{
    if (!node || node->type != XML_ELEMENT_NODE || !xmlHasProp(node, xml(name)))
        throw missing_attribute(name);
    xmlChar* value = xmlGetProp(node, xml(name));
    std::string out(value ? reinterpret_cast<const char*>(value) : "");
    xmlFree(value);
    return lower ? downcase(out) : out;
}

bool get_bool(xmlNodePtr node, const std::string& name)
{
    return get_attribute_value(node, name, true) == "true";
}

int get_int(xmlNodePtr node, const std::string& name)
{
    return static_cast<int>(std::strtol(get_attribute_value(node, name, true).c_str(), nullptr, 0));
}

double get_double(xmlNodePtr node, const std::string& name)
{
    // Independent of the locale the toolkit may have set: "0.5" is always
    // one half.
    return g_ascii_strtod(get_attribute_value(node, name, false).c_str(), nullptr);
}
