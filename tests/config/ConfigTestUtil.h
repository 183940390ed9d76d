// Shared fixture of the configuration tests: a clean configuration object,
// a scratch folder, and the working directory restored afterwards.
#ifndef BRISKO_TESTS_CONFIG_TEST_UTIL_H
#define BRISKO_TESTS_CONFIG_TEST_UTIL_H

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "config/PathUtils.h"

class ConfigFixture : public ::testing::Test {
protected:
    // The document layer is tested on its own: no built-in section handler
    // writes into the documents these tests save.
    void SetUp() override
    {
        cfg = ConfigParser::theConfig();
        cfg->clean();
        cfg->set_config_path("");
        cfg->set_do_validate(false);
        dir = testutil::make_temp_dir("config");
        cwd = PathUtils::getcwd();
    }
    void TearDown() override
    {
        if (::chdir(cwd.c_str()) != 0)
            ADD_FAILURE() << "cannot return to " << cwd;
        cfg->clean();
    }

    // Writes the text into the scratch folder and returns its path.
    std::string write(const std::string& name, const std::string& text)
    {
        const std::string path = dir + "/" + name;
        testutil::write_file(path, text);
        return path;
    }
    // Parses a document given as text; fails the test when it does not read.
    void load(const std::string& text)
    {
        const std::string path = write("load.xml", text);
        ASSERT_EQ(1, cfg->parse(path.c_str()));
    }
    xmlNodePtr node(const std::string& xpath)
    {
        std::vector<xmlNodePtr> nodes;
        return cfg->get_node(xpath, nodes) ? nodes.front() : nullptr;
    }

    ConfigParser* cfg = nullptr;
    std::string dir;
    std::string cwd;
};

// The same with the built-in section handlers registered, and the process-wide
// state they touch put back afterwards.
class SectionFixture : public ConfigFixture {
protected:
    void SetUp() override
    {
        ConfigFixture::SetUp();
        // No program-relative folders unless a test asks for them.
        PathUtils::set_program_path("/nonexistent-brisko/bin/brisko");
        cfg->reset();
    }
    void TearDown() override
    {
        ConfigFixture::TearDown();
        PathUtils::set_program_path("/nonexistent-brisko/bin/brisko");
        for (const char* name : {"TELLUM_LIB_DIR", "TELLUM_GLADE_DIR"})
            unsetenv(name);
    }
};

#endif
