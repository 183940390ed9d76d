// A plug-in library for the loader tests. Every hook writes a line into a
// journal that the tests read through the exported testplugin_journal.
#include <string>

#include "config/ConfigParser.h"
#include "config/ModuleParser.h"
#include "daq/vme/VMEmanager.h"
#include "ostrel/DAQid.h"
#include "ostrel/RunManager.h"

class DataLogger;

namespace {

std::string journal;

void note(const std::string& line)
{
    journal += line + "\n";
}

class TestBoardParser;
TestBoardParser* shared = nullptr;

class TestBoardParser : public ModuleParser {
public:
    explicit TestBoardParser(const std::string& tag) : tag(tag) { note("new " + tag); }
    ~TestBoardParser() override
    {
        note("deleted " + tag);
        if (shared == this)
            shared = nullptr;
    }
    void parse_node(xmlNodePtr element) override
    {
        xmlChar* name = xmlGetProp(element, BAD_CAST "name");
        note("parse " + tag + " " + (name ? reinterpret_cast<const char*>(name) : "-"));
        xmlFree(name);
    }
    void section_parsed() override { note("parsed " + tag); }

private:
    std::string tag;
};

class TestVME : public VMEmanager {
public:
    bool connected() override { return true; }
};

int logger_token;

} // namespace

extern "C" {

const char* testplugin_journal()
{
    return journal.c_str();
}

void testplugin_clear()
{
    journal.clear();
}

SectionParser* create_test_board()
{
    return new TestBoardParser("board");
}

// One parser for every call, as a plug-in serving several element names
// might hand out.
SectionParser* create_shared_board()
{
    if (!shared)
        shared = new TestBoardParser("shared");
    return shared;
}

SectionParser* create_nothing()
{
    note("nothing");
    return nullptr;
}

SectionParser* create_failing_board()
{
    throw ConfigException("test board: no socket");
}

Ostrel::RunManager* test_run_manager(const std::string& type, const std::string& name)
{
    note("run manager " + type + " " + name);
    return new Ostrel::RunManager(Ostrel::DAQid(name));
}

DataLogger* test_logger(bool compress, int max_size)
{
    note(std::string("logger ") + (compress ? "compressed " : "plain ") + std::to_string(max_size));
    return reinterpret_cast<DataLogger*>(&logger_token);
}

int test_enable()
{
    note("enable");
    return 0;
}

void test_disable()
{
    note("disable");
}

void test_reset()
{
    note("reset");
}

void test_start()
{
    note("start");
}

void test_stop()
{
    note("stop");
}

VMEmanager* test_vme_factory()
{
    static TestVME vme;
    return &vme;
}

}
