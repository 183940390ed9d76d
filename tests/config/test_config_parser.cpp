// The configuration document: search, parse (and refusal of what libxml2
// reads too slowly), dispatch, validation, save.
#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <unistd.h>

#include "ConfigTestUtil.h"
#include "common/TestModule.h"
#include "config/ModuleParser.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Module.h"

namespace {

// Records what the configuration asks of it.
struct Journal {
    std::vector<std::string> calls;
    int deleted = 0;
};

class Recorder : public SectionParser {
public:
    Recorder(Journal& j, const std::string& tag) : j(j), tag(tag) {}
    ~Recorder() override { ++j.deleted; }
    void parse_node(xmlNodePtr e) override
    {
        xmlChar* t = xmlGetProp(e, BAD_CAST "tag");
        j.calls.push_back("parse " + tag + (t ? std::string("/") + (const char*)t : ""));
        xmlFree(t);
    }
    void section_parsed() override { j.calls.push_back("parsed " + tag); }
    void save_config() override { j.calls.push_back("save " + tag); }

    Journal& j;
    std::string tag;
};

class Thrower : public Recorder {
public:
    using Recorder::Recorder;
    void parse_node(xmlNodePtr) override { throw ConfigException("bad " + tag); }
    void save_config() override { throw ConfigException("cannot save " + tag); }
};

class BoardParser : public ModuleParser {
public:
    explicit BoardParser(Journal& j) : j(j) {}
    ~BoardParser() override { ++j.deleted; }
    void section_parsed() override { j.calls.push_back("parsed board"); }
    Journal& j;
};

const char* const plain_doc = "<?xml version=\"1.0\"?>\n<Sorbek><IO/></Sorbek>\n";

} // namespace

// The journal outlives the handlers: TearDown's reset deletes them.
class ConfigParserTest : public ConfigFixture {
protected:
    Journal j;
};

TEST_F(ConfigParserTest, BuiltinDocumentHoldsTheSixSections)
{
    ASSERT_EQ(1, cfg->parse(nullptr));
    ASSERT_NE(nullptr, cfg->root());
    EXPECT_STREQ("Sorbek", (const char*)cfg->root()->name);
    std::vector<std::string> names;
    for (xmlNodePtr n = cfg->root()->children; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE)
            names.push_back((const char*)n->name);
    EXPECT_EQ((std::vector<std::string>{"plugins", "paths", "scans", "IO", "modules", "general"}),
              names);
    EXPECT_TRUE(cfg->get_attribute<bool>(cfg->get_io_node(), "compress"));
    EXPECT_EQ("sorbek.xsd", cfg->get_attribute<std::string>(cfg->root(), "noNamespaceSchemaLocation"));

    const std::string out = dir + "/builtin.xml";
    ASSERT_GT(cfg->save_config(out.c_str()), 0);
    EXPECT_EQ("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
              "xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n"
              "  <plugins/>\n  <paths/>\n  <scans/>\n  <IO compress=\"true\"/>\n"
              "  <modules/>\n  <general/>\n</Sorbek>\n",
              testutil::read_file(out));
}

TEST_F(ConfigParserTest, FileSearchPrefersWorkingDirectoryThenConfigPath)
{
    const std::string here = testutil::make_temp_dir("here");
    const std::string there = testutil::make_temp_dir("there");
    testutil::write_file(here + "/c.xml", "<Sorbek><IO tag=\"here\"/></Sorbek>");
    testutil::write_file(there + "/c.xml", "<Sorbek><IO tag=\"there\"/></Sorbek>");
    testutil::write_file(there + "/d.xml", "<Sorbek><IO tag=\"d\"/></Sorbek>");
    ASSERT_EQ(0, ::chdir(here.c_str()));
    cfg->add_config_path(dir);
    cfg->add_config_path(there);
    EXPECT_EQ(dir + ":" + there, cfg->get_config_path());

    ASSERT_EQ(1, cfg->parse("c.xml"));
    EXPECT_EQ("here", cfg->get_attribute<std::string>(cfg->get_io_node(), "tag"));
    ASSERT_EQ(1, cfg->parse("d.xml"));
    EXPECT_EQ("d", cfg->get_attribute<std::string>(cfg->get_io_node(), "tag"));
    // An absolute name is normalised and taken as it is.
    const std::string absolute = there + "/../" + PathUtils::base_name(there) + "/./c.xml";
    ASSERT_EQ(1, cfg->parse(absolute.c_str()));
    EXPECT_EQ("there", cfg->get_attribute<std::string>(cfg->get_io_node(), "tag"));

    int rc = -1;
    const std::string out = testutil::capture_stdout(
        [&] { testutil::capture_stderr([&] { rc = cfg->parse("e.xml"); }); });
    EXPECT_EQ(0, rc);
    EXPECT_EQ("ConfigParser::parse: Could not parse e.xml\n", out);
    EXPECT_EQ(nullptr, cfg->root());
}

TEST_F(ConfigParserTest, ForeignRootIsRefusedAndNothingIsSaved)
{
    cfg->register_handler("IO", new Recorder(j, "IO"));
    const std::string path = write("other.xml", "<?xml version=\"1.0\"?>\n<Other><IO/></Other>\n");
    int rc = -1;
    const std::string out = testutil::capture_stdout([&] { rc = cfg->parse(path.c_str()); });
    EXPECT_EQ(0, rc);
    EXPECT_EQ("ConfigParser::parse: Could not parse " + path + "\n", out);
    EXPECT_EQ(nullptr, cfg->root());
    EXPECT_EQ(nullptr, cfg->get_io_node());
    EXPECT_EQ(-1, cfg->save_config((dir + "/saved.xml").c_str()));
    EXPECT_TRUE(j.calls.empty());
    EXPECT_FALSE(PathUtils::exists(dir + "/saved.xml"));
}

TEST_F(ConfigParserTest, BrokenFileIsNotParsed)
{
    const std::string path = write("broken.xml", "<Sorbek><IO></Sorbek>");
    int rc = -1;
    const std::string out = testutil::capture_stdout(
        [&] { testutil::capture_stderr([&] { rc = cfg->parse(path.c_str()); }); });
    EXPECT_EQ(0, rc);
    EXPECT_EQ("ConfigParser::parse: Could not parse " + path + "\n", out);
}

TEST_F(ConfigParserTest, ElementsInANamespaceAreRefused)
{
    cfg->register_handler("general", new Recorder(j, "general"));
    const std::pair<std::string, std::string> refused[] = {
        {"<Sorbek xmlns=\"urn:x\">\n<general><daq><soap_port>50001</soap_port></daq></general></Sorbek>",
         "line 2: element Sorbek is in the namespace \"urn:x\"; configuration elements are in none"},
        {"<Sorbek>\n<modules/>\n<x:general xmlns:x=\"urn:y\"/></Sorbek>",
         "line 4: element general is in the namespace \"urn:y\"; configuration elements are in none"},
    };
    for (const auto& r : refused) {
        const std::string path = write("ns.xml", "<?xml version=\"1.0\"?>\n" + r.first);
        int rc = -1;
        const std::string out = testutil::capture_stdout([&] { rc = cfg->parse(path.c_str()); });
        EXPECT_EQ(0, rc);
        EXPECT_EQ("ConfigParser::parse: " + path + ": " + r.second + "\nConfigParser::parse: Could not parse " + path + "\n",
                  out);
        EXPECT_EQ(nullptr, cfg->root());
    }
    EXPECT_TRUE(j.calls.empty());

    // Attributes in a namespace are what the schema asks for.
    load("<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:noNamespaceSchemaLocation=\"s.xsd\">"
         "<general xsi:type=\"g\"/></Sorbek>");
    EXPECT_EQ(std::vector<std::string>{"parse general"}, j.calls);
}

TEST_F(ConfigParserTest, HugeElementsAreRefusedAtOnce)
{
    auto attributes = [](const std::string& prefix, int n) {
        std::string text;
        for (int i = 0; i < n; ++i)
            text += " " + prefix + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
        return text;
    };
    cfg->register_handler("IO", new Recorder(j, "IO"));
    const std::string fine = write("fine.xml", "<?xml version=\"1.0\"?>\n<Sorbek>\n<IO" + attributes("a", 1000) + "/></Sorbek>\n");
    ASSERT_EQ(1, cfg->parse(fine.c_str()));
    EXPECT_EQ("999", cfg->get_attribute<std::string>(cfg->get_io_node(), "a999"));

    // Each takes libxml2 a minute or more; in the first 100,000 attributes
    // are checked pair by pair, in the second a prefix is looked up through
    // 30,000 namespaces for each of 60,000 attributes.
    std::string namespaces;
    for (int k = 0; k < 30; ++k)
        namespaces += "<n" + attributes("xmlns:q" + std::to_string(k) + "_", 1000) + ">";
    for (int e = 0; e < 60; ++e)
        namespaces += "<e" + attributes("p:a", 1000) + "/>";
    for (int k = 29; k >= 0; --k)
        namespaces += "</n>";
    const std::pair<std::string, std::string> huge[] = {
        {"<IO" + attributes("a", 100000) + "/>", "line 3: more than 1000 attributes in one element"},
        {"<IO xmlns:p=\"u\">" + namespaces + "</IO>", "more than 1000 namespace declarations"},
    };
    for (const auto& h : huge) {
        const std::string path = write("huge.xml", "<?xml version=\"1.0\"?>\n<Sorbek>\n" + h.first + "</Sorbek>\n");
        int rc = -1;
        const auto start = std::chrono::steady_clock::now();
        const std::string out = testutil::capture_stdout([&] { rc = cfg->parse(path.c_str()); });
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(0, rc);
        EXPECT_EQ("ConfigParser::parse: " + path + ": " + h.second + "\nConfigParser::parse: Could not parse " + path + "\n",
                  out);
        EXPECT_EQ(nullptr, cfg->root());
    }
}

TEST_F(ConfigParserTest, HandlersRunInFixedOrder)
{
    for (const char* name : {"paths", "general", "plugins", "IO", "scans", "modules"})
        cfg->register_handler(name, new Recorder(j, name));
    load("<Sorbek>"
         "<modules/><IO/>"
         "<wrap><paths tag=\"nested\"/><scans tag=\"nested\"/></wrap>"
         "<plugins/><general/><paths tag=\"top\"/>"
         "</Sorbek>");
    EXPECT_EQ((std::vector<std::string>{"parse paths/nested", "parse paths/top", "parse general",
                                        "parse plugins", "parse modules", "parse IO",
                                        "parse scans/nested"}),
              j.calls);
}

TEST_F(ConfigParserTest, ModuleNamesRegisterNumericIdentifiers)
{
    const struct {
        const char* name;
        int id;   // -1: none registered
    } cases[] = {{"0x10", 16}, {"16", 16}, {"020", 16}, {"0X10", 16}, {"board7", -1},
                 {"12abc", -1}, {"", 0}, {"99999999999", -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        cfg->reset();
        j = Journal();
        BoardParser* h = new BoardParser(j);
        cfg->register_handler("board", h);
        load(std::string("<Sorbek><modules><board name=\"") + c.name + "\"/></modules></Sorbek>");
        if (c.id >= 0) {
            EXPECT_EQ(h, cfg->get_id_handler(c.id));
        } else {
            EXPECT_EQ(nullptr, cfg->get_id_handler(16));
            EXPECT_EQ(nullptr, cfg->get_id_handler(0));
            EXPECT_EQ(nullptr, cfg->get_id_handler(-1));
        }
        EXPECT_EQ(h, cfg->get_handler("board"));
        EXPECT_EQ("board", h->get_name());
    }
}

TEST_F(ConfigParserTest, ModuleElementGetsSectionNameParameter)
{
    IdleModule* module = new IdleModule(Ostrel::DAQid("0x21"));
    cfg->register_handler("board", new BoardParser(j));
    load("<Sorbek><modules><board name=\"0x21\"/></modules></Sorbek>");
    EXPECT_EQ("board", module->get_par_value<std::string>("__section_name__"));
    EXPECT_NE(nullptr, cfg->get_id_handler(0x21));
    Ostrel::DAQmanager::theDAQmanager()->deleteModule(module);
    delete module;
}

TEST_F(ConfigParserTest, ErrorsInOneSectionLeaveTheOthersProcessed)
{
    cfg->register_handler("IO", new Recorder(j, "IO"));
    cfg->register_handler("scans", new Thrower(j, "scans"));
    cfg->register_handler("general", new Recorder(j, "general"));
    cfg->register_handler("board", new BoardParser(j));
    const std::string out = testutil::capture_stdout([&] {
        load("<Sorbek>\n<scans/>\n<IO/>\n<modules>\n<board/>\n<board name=\"3\"/>\n</modules>\n"
             "<general/>\n</Sorbek>\n");
    });
    EXPECT_EQ("ConfigParser: node scans gives and error while parsing at line 2 : \n"
              "bad scans\n"
              "ConfigParser: node board gives and error while parsing at line 5 : \n"
              "attribute name not present\n",
              out);
    EXPECT_EQ((std::vector<std::string>{"parse general", "parse IO", "parsed board",
                                        "parsed board"}),
              j.calls);
    EXPECT_NE(nullptr, cfg->get_id_handler(3));
}

TEST_F(ConfigParserTest, ExceptionAfterDispatchIsReportedAndParseSucceeds)
{
    // A section_parsed that throws escapes the per-element guard.
    struct Late : public BoardParser {
        using BoardParser::BoardParser;
        void section_parsed() override { throw ConfigException("late failure"); }
    };
    cfg->register_handler("board", new Late(j));
    const std::string path = write("late.xml", "<Sorbek><modules><board name=\"1\"/></modules></Sorbek>");
    int rc = -1;
    const std::string out = testutil::capture_stdout([&] { rc = cfg->parse(path.c_str()); });
    EXPECT_EQ(1, rc);
    EXPECT_EQ("**** Error parsing " + path + "\nlate failure\n", out);
}

TEST_F(ConfigParserTest, HandlersAreDeletedOnceEach)
{
    Recorder* shared = new Recorder(j, "shared");
    cfg->register_handler("a", shared);
    cfg->register_handler("b", shared);
    Recorder* first = new Recorder(j, "first");
    cfg->register_handler("c", first);
    cfg->register_handler("c", new Recorder(j, "second"));
    cfg->register_handler("d", new BoardParser(j));
    cfg->register_id_handler(4, static_cast<BoardParser*>(cfg->get_handler("d")));
    load(plain_doc);

    cfg->reset();
    EXPECT_EQ(3, j.deleted);   // shared, second and the board parser
    EXPECT_EQ(nullptr, cfg->get_handler("a"));
    EXPECT_EQ(nullptr, cfg->get_id_handler(4));
    EXPECT_EQ(nullptr, cfg->root());
    cfg->reset();
    EXPECT_EQ(3, j.deleted);
    delete first;   // replaced under its name, so still ours
}

TEST_F(ConfigParserTest, SavingCallsHandlersInNameOrderAndSurvivesErrors)
{
    for (const char* name : {"scans", "plugins", "IO", "general"})
        cfg->register_handler(name, new Recorder(j, name));
    cfg->register_handler("paths", new Thrower(j, "paths"));
    testutil::capture_stdout([&] { ASSERT_EQ(1, cfg->parse(nullptr)); });
    j.calls.clear();
    cfg->get_handler("paths")->set_node(cfg->get_paths_node());

    const std::string out_file = dir + "/saved.xml";
    int rc = -1;
    const std::string out = testutil::capture_stdout([&] { rc = cfg->save_config(out_file.c_str()); });
    EXPECT_GT(rc, 0);
    EXPECT_EQ("*** ConfigParser: saving node paths gives and error: \n*** cannot save paths\n", out);
    EXPECT_EQ((std::vector<std::string>{"save IO", "save general", "save plugins", "save scans"}),
              j.calls);
    EXPECT_NE(std::string::npos, testutil::read_file(out_file).find("  <IO compress=\"true\"/>\n"));
}

TEST_F(ConfigParserTest, SaveParseSaveGivesIdenticalBytes)
{
    load("<?xml version=\"1.0\"?>\n"
         "<Sorbek   xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n"
         "   xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n"
         "<!-- operator notes -->\n"
         "  <paths><libpaths>   <path>/opt/x</path></libpaths></paths>\n"
         "<IO compress=\"TRUE\"><prefix>run &amp; test</prefix><max_size>100</max_size></IO>\n"
         "    <modules><board name=\"0x10\"><pedestal>1 2.5 0.1 </pedestal></board></modules>\n"
         "</Sorbek>\n");
    const std::string first = dir + "/first.xml";
    const std::string second = dir + "/second.xml";
    ASSERT_GT(cfg->save_config(first.c_str()), 0);
    ASSERT_EQ(1, cfg->parse(first.c_str()));
    ASSERT_GT(cfg->save_config(second.c_str()), 0);
    EXPECT_EQ(testutil::read_file(first), testutil::read_file(second));
    EXPECT_NE(std::string::npos, testutil::read_file(first).find("<prefix>run &amp; test</prefix>"));
}

TEST_F(ConfigParserTest, SpecialCharactersSurviveTwoSaves)
{
    const std::string text = "a & b <c> \"d\" 'e' &amp;";
    load(plain_doc);
    cfg->set_value<std::string>(cfg->get_io_node(), "prefix", "x");   // created
    cfg->set_value<std::string>(cfg->get_io_node(), "prefix", text);  // replaced
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::string file = dir + "/round" + std::to_string(round) + ".xml";
        ASSERT_GT(cfg->save_config(file.c_str()), 0);
        ASSERT_EQ(1, cfg->parse(file.c_str()));
        xmlNodePtr prefix = cfg->find_element(cfg->get_io_node(), "prefix");
        ASSERT_NE(nullptr, prefix);
        EXPECT_EQ(text, cfg->get_node_value(prefix));
        cfg->set_value(prefix, cfg->get_node_value(prefix));
    }
}

TEST_F(ConfigParserTest, NodeLookUpsAndEdits)
{
    load("<Sorbek>"
         "<plugins><plugin name=\"Fenrow\"/><other/><plugin name=\"ascii\"/></plugins>"
         "<modules><board/><board name=\"Main\"/><board name=\"0x10\"/><trigger name=\"main\"/>"
         "</modules>"
         "</Sorbek>");
    EXPECT_EQ(nullptr, cfg->get_paths_node());
    EXPECT_NE(nullptr, cfg->find_plugin("fenrow"));
    EXPECT_EQ(nullptr, cfg->find_plugin("Fenrow"));

    std::vector<xmlNodePtr> nodes;
    EXPECT_EQ(3, cfg->get_node("board", cfg->get_module_node(), nodes));
    EXPECT_EQ(1, cfg->get_node("//trigger", cfg->get_module_node(), nodes));
    EXPECT_EQ(0, cfg->get_node("//nothing", nodes));
    EXPECT_TRUE(nodes.empty());
    testutil::capture_stderr([&] { EXPECT_EQ(0, cfg->get_node("/[", nodes)); });

    xmlNodePtr main = cfg->find_module("board", "main");
    ASSERT_NE(nullptr, main);
    EXPECT_EQ("Main", cfg->get_attribute<std::string>(main, "name"));
    EXPECT_EQ(nullptr, cfg->find_module("board", "Main"));
    EXPECT_EQ(0, cfg->remove_module("board", "main"));
    EXPECT_EQ(-1, cfg->remove_module("board", "main"));
    EXPECT_NE(nullptr, cfg->find_module("trigger", "main"));

    EXPECT_EQ(0, cfg->remove_plugin("ascii"));
    EXPECT_EQ(-1, cfg->remove_plugin("ascii"));

    xmlNodePtr paths = cfg->create_section("paths");
    EXPECT_EQ(paths, cfg->get_paths_node());
    cfg->create_element(paths, "libpaths");
    EXPECT_EQ(1, cfg->remove_child(paths, "libpaths"));
    EXPECT_EQ(0, cfg->remove_child(paths, "libpaths"));
    EXPECT_EQ(0, cfg->remove_child(nullptr, "libpaths"));
    EXPECT_EQ(cfg->root(), cfg->find_element(reinterpret_cast<xmlNodePtr>(cfg->root()->doc), "Sorbek"));
    EXPECT_EQ(nullptr, cfg->find_element(nullptr, "x"));

    // A plugin element without a name stops the search with an error.
    cfg->create_element(cfg->get_plugins_node(), "plugin");
    EXPECT_THROW(cfg->find_plugin("missing"), ConfigException);
}

TEST_F(ConfigParserTest, MissingSectionsGiveNulls)
{
    load("<Sorbek/>");
    EXPECT_EQ(nullptr, cfg->get_plugins_node());
    EXPECT_EQ(nullptr, cfg->get_module_node());
    EXPECT_EQ(nullptr, cfg->find_plugin("x"));
    EXPECT_EQ(nullptr, cfg->find_module("board", "1"));
    EXPECT_EQ(-1, cfg->remove_plugin("x"));
    EXPECT_EQ(-1, cfg->remove_module("board", "1"));
}

// Validation ------------------------------------------------------------------

namespace {

const char* const tiny_schema =
    "<?xml version=\"1.0\"?>\n"
    "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\">\n"
    "  <xs:element name=\"Sorbek\">\n"
    "    <xs:complexType>\n"
    "      <xs:sequence><xs:element name=\"IO\" minOccurs=\"0\"/></xs:sequence>\n"
    "    </xs:complexType>\n"
    "  </xs:element>\n"
    "</xs:schema>\n";

std::string document(const std::string& schema, const std::string& body)
{
    return "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xsi:noNamespaceSchemaLocation=\"" + schema + "\">" + body + "</Sorbek>";
}

} // namespace

TEST_F(ConfigParserTest, ValidationAgainstSchemaBesideTheFile)
{
    write("tiny-test.xsd", tiny_schema);
    const std::string good = write("good.xml", document("tiny-test.xsd", "<IO/>"));
    const std::string bad = write("bad.xml", document("tiny-test.xsd", "<scans/>"));
    cfg->set_do_validate(true);

    int rc = -1;
    std::string out = testutil::capture_stdout([&] { rc = cfg->parse(good.c_str()); });
    EXPECT_EQ(1, rc);
    EXPECT_EQ("Using schema: " + dir + "/tiny-test.xsd\n", out);

    std::string err;
    out = testutil::capture_stdout(
        [&] { err = testutil::capture_stderr([&] { rc = cfg->parse(bad.c_str()); }); });
    EXPECT_EQ(0, rc);
    EXPECT_EQ("Using schema: " + dir + "/tiny-test.xsd\n"
              "ConfigParser::parse -> error validating " + bad + "\n",
              out);
    EXPECT_NE(std::string::npos, err.find("scans"));
    EXPECT_EQ(nullptr, cfg->root());

    // Without validation the same file reads.
    cfg->set_do_validate(false);
    EXPECT_EQ(1, cfg->parse(bad.c_str()));
}

TEST_F(ConfigParserTest, SchemaFoundOnAddedSchemaPath)
{
    const std::string schemas = testutil::make_temp_dir("schemas");
    testutil::write_file(schemas + "/added-test.xsd", tiny_schema);
    const std::string good = write("good.xml", document("added-test.xsd", "<IO/>"));
    cfg->add_schema_path(schemas);
    cfg->set_do_validate(true);
    int rc = -1;
    const std::string out = testutil::capture_stdout([&] { rc = cfg->parse(good.c_str()); });
    EXPECT_EQ(1, rc);
    EXPECT_EQ("Using schema: " + schemas + "/added-test.xsd\n", out);
}

TEST_F(ConfigParserTest, BrokenOrMissingSchemaFailsValidation)
{
    write("broken-test.xsd", "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:element/>");
    write("wrong-test.xsd",
          "<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:bogus/></xs:schema>");
    cfg->set_do_validate(true);
    for (const char* schema : {"broken-test.xsd", "wrong-test.xsd"}) {
        SCOPED_TRACE(schema);
        const std::string file = write("c.xml", document(schema, "<IO/>"));
        int rc = -1;
        std::string out;
        testutil::capture_stderr(
            [&] { out = testutil::capture_stdout([&] { rc = cfg->parse(file.c_str()); }); });
        EXPECT_EQ(0, rc);
        EXPECT_EQ("Using schema: " + dir + "/" + schema + "\n"
                  "ConfigParser::parse -> error validating " + file + "\n",
                  out);
    }

    const std::string file = write("m.xml", document("no-such-schema-anywhere.xsd", "<IO/>"));
    int rc = -1;
    const std::string out = testutil::capture_stdout([&] { rc = cfg->parse(file.c_str()); });
    EXPECT_EQ(0, rc);
    EXPECT_EQ("Could not find schema: no-such-schema-anywhere.xsd\n"
              "ConfigParser::parse -> error validating " + file + "\n",
              out);
}

TEST_F(ConfigParserTest, ValidationWithoutSchemaLocationThrows)
{
    const std::string file = write("n.xml", "<Sorbek><IO/></Sorbek>");
    cfg->set_do_validate(true);
    try {
        cfg->parse(file.c_str());
        ADD_FAILURE() << "no exception";
    } catch (const ConfigException& e) {
        EXPECT_STREQ("attribute noNamespaceSchemaLocation not present", e.what());
    }
    EXPECT_EQ(nullptr, cfg->root());
    EXPECT_FALSE(cfg->validate(dir));   // no document
}

// Section handler base ----------------------------------------------------------

TEST(SectionParserTest, NamesAndMessages)
{
    SectionParser s;
    EXPECT_EQ("<null>", s.node_name());
    s.set_id("0x10");
    EXPECT_EQ("0x10", s.get_id());

    xmlDocPtr d = xmlNewDoc(BAD_CAST "1.0");
    xmlNodePtr e = xmlNewDocNode(d, nullptr, BAD_CAST "scans", nullptr);
    xmlDocSetRootElement(d, e);
    s.set_node(e);
    EXPECT_EQ("scans", s.get_name());
    s.set_name("other");
    EXPECT_EQ("other", s.get_name());
    EXPECT_EQ("scans", s.node_name());
    s.parse_node(e);
    s.save_config();
    s.save_config_node(e);
    EXPECT_EQ(nullptr, e->children);
    xmlFreeDoc(d);

    EXPECT_STREQ("ConfigException", ConfigException("").what());
    // The text belongs to the exception, also to a copy of it.
    auto* original = new ConfigException(std::string(200, 'x'));
    const ConfigException copy(*original);
    delete original;
    EXPECT_EQ(std::string(200, 'x'), copy.what());
}
