// Start-up of the acquisition program. This stage reads the configuration
// (the file given, else the built-in document) and exits.
#include <cstring>
#include <iostream>

#include <glib.h>

#include "config/ConfigParser.h"
#include "config/PathConfig.h"
#include "config/PathUtils.h"

int main(int argc, char** argv)
{
    PathUtils::set_program_path(argv[0]);
    g_set_application_name("Tellum");
    PathConfig::create_default_folders();

    ConfigParser* config = ConfigParser::theConfig();
    config->add_config_path(PathConfig::get_default_config_dir());
    const char* file = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-') {
            file = argv[i];
            break;
        }
    }
    config->reset();
    int rc = 0;
    try {
        rc = config->parse(file ? PathUtils::normpath(file).c_str() : nullptr);
    } catch (const std::exception& e) {
        std::cout << argv[0] << ": Problems parsing " << (file ? file : "") << "\n..." << e.what()
                  << std::endl;
        return 1;
    }
    if (rc != 1)
        return 1;
    std::cout << "Configuration " << (file ? file : "(built-in)") << " read." << std::endl;
    config->reset();
    return 0;
}
