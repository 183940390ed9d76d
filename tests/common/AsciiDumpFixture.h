// A loaded configuration that names the text logger plug-in as the program
// finds it: its run-manager factory for the type "data" and its data-logger
// factory, in the library whose path the test target gives as
// ASCIIDUMP_LIB. Every run manager and module goes afterwards.
#ifndef BRISKO_TESTS_COMMON_ASCIIDUMP_FIXTURE_H
#define BRISKO_TESTS_COMMON_ASCIIDUMP_FIXTURE_H

#include <string>

#include <gtest/gtest.h>

#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "daq/TellumRunManager.h"

class AsciiDumpFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        cfg = ConfigParser::theConfig();
        cfg->reset();
        dir = testutil::make_temp_dir("ascii");
        const std::string lib = ASCIIDUMP_LIB;
        const std::string path = dir + "/ascii.xml";
        testutil::write_file(
            path, "<Sorbek><plugins><run_managers><data><lib>" + lib +
                      "</lib><hook>create_run_manager</hook></data></run_managers>"
                      "<data_logger><lib>" + lib + "</lib><hook>create_ascii_logger</hook></data_logger>"
                      "</plugins><IO/><general/></Sorbek>\n");
        ASSERT_TRUE(cfg->parse(path.c_str()));
    }
    void TearDown() override { cfg->clean(); }

    // The run manager "main", made by the plug-in.
    TellumRunManager* make_main()
    {
        TellumRunManager* rm = TellumRunManager::create_run_manager("data", "main");
        EXPECT_NE(nullptr, rm);
        return rm;
    }

    // "logData" for the file, as the remote control sends it.
    static void log_to(TellumRunManager* rm, const std::string& file)
    {
        rm->set_par<std::string>("command", "logData|file=" + file);
    }

    // Runs until the manager ends the run itself; false when it did not in time.
    static bool run_to_end(Ostrel::RunManager* rm)
    {
        rm->Activate();
        return testutil::wait_until([rm] { return !rm->isActive(); }, 30.0);
    }

    ConfigParser* cfg = nullptr;
    std::string dir;
};

#endif
