#include "config/IOConfig.h"

#include <ostream>

#include "config/ConfigParser.h"
#include "ostrel/Parameter.h"

IOConfig::IOConfig()
    : compress(false), max_size(500000), run_number(0), path("/tmp"), prefix("run")
{
}

IOConfig::~IOConfig() = default;

IOConfig& IOConfig::operator=(const IOConfig& other)
{
    compress = other.compress;
    max_size = other.max_size;
    run_number = other.run_number;
    path = other.path;
    prefix = other.prefix;
    return *this;
}

void IOConfig::parse_node(xmlNodePtr element)
{
    ConfigParser* config = ConfigParser::theConfig();
    const bool compression = config->get_attribute<bool>(element, "compression", true);
    // Read as text: a number read as far as it goes would give "1e9" one
    // byte and "3000000000" none at all.
    unsigned long size = 500000000;
    const std::string size_text = config->get_attribute<std::string>(element, "max_size", "500000000");
    // As logData reads its max_size.
    if (!Ostrel::par_text::parse_byte_count(size_text, size)) {
        refused = true;
        throw ConfigException("IO max_size \"" + size_text +
                              "\" is no whole number of bytes (digits only, 0 for no limit): the IO section is not read");
    }
    set_compression(compression);
    set_max_size(size);
    set_output_path(config->get_attribute<std::string>(element, "path", "/tmp/"));
    set_prefix(config->get_attribute<std::string>(element, "prefix", "tellum-"));
    set_run_number(config->get_attribute<int>(element, "run_number", 0));
    // What the document says is no change of it.
    changed = false;
    settings_changed = false;
    refused = false;
}

void IOConfig::save_config()
{
    ConfigParser* config = ConfigParser::theConfig();
    xmlNodePtr io = config->get_io_node();
    if (!io && changed)
        io = config->create_section("IO");
    if (!io || (refused && !settings_changed))
        return;
    config->set_attribute(io, "compression", compress);
    config->set_attribute(io, "max_size", std::to_string(max_size));
    config->set_attribute(io, "run_number", run_number);
    config->set_attribute(io, "prefix", prefix);
    config->set_attribute(io, "path", path);
}

std::ostream& operator<<(std::ostream& os, const IOConfig& io)
{
    os << "IOConfig: " << std::endl
       << "   + compress: " << (io.get_compression() ? "on" : "off") << std::endl
       << "   + mx. size: " << io.get_max_size() << std::endl
       << "   + run no. : " << io.get_run_number() << std::endl
       << "   + prefix  : " << io.get_prefix() << std::endl
       << "   + path    : " << io.get_output_path();
    return os;
}
