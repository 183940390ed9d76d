// The common parts of a module element: monitor settings, pad map,
// pedestal and noise lists and the pedestal file, whole or damaged.
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "ConfigTestUtil.h"
#include "common/TestModule.h"
#include "config/ModuleParser.h"
#include "data/PadMap.h"

namespace {

// The handler of `board` elements, as a plug-in would write it.
class BoardSection : public ModuleParser {
public:
    void parse_node(xmlNodePtr element) override
    {
        set_id(ConfigParser::theConfig()->get_attribute<std::string>(element, "name"));
        parse_common("//modules/board", id);
    }
    void save_config() override { save_common(); }
};

std::string doc(const std::string& board)
{
    return "<?xml version=\"1.0\"?>\n<Sorbek><modules>" + board + "</modules></Sorbek>\n";
}

double bin(HstHistogram* h, int i)
{
    return hst_histogram_get_bin_content(h, i);
}

} // namespace

class ModuleSectionTest : public SectionFixture {
protected:
    void SetUp() override
    {
        SectionFixture::SetUp();
        section = new BoardSection;
        cfg->register_handler("board", section);
        module = std::make_unique<TestModule>("0x10", new Analysis(1, 4, 50, 0.0, 100.0));
        ana = module->get_analysis();
    }
    void TearDown() override
    {
        // The configuration's reset deletes the acquisition's modules: the
        // test's own goes first.
        module.reset();
        SectionFixture::TearDown();
    }

    // Saves, reads the file back and saves again: the second file must be
    // the first, byte for byte. Returns the first.
    std::string save_twice()
    {
        const std::string first = dir + "/first.xml";
        const std::string second = dir + "/second.xml";
        EXPECT_GT(cfg->save_config(first.c_str()), 0);
        EXPECT_EQ(1, cfg->parse(first.c_str()));
        EXPECT_GT(cfg->save_config(second.c_str()), 0);
        const std::string text = testutil::read_file(first);
        EXPECT_EQ(text, testutil::read_file(second));
        return text;
    }

    BoardSection* section = nullptr;
    std::unique_ptr<TestModule> module;
    Analysis* ana = nullptr;
};

TEST_F(ModuleSectionTest, EverySettingRoundTrips)
{
    load(doc("<board name=\"0x10\">"
             "<pedestal>100 101 102 103</pedestal><noise>2 2.5 3 3.5</noise>"
             "<monitor nbin=\"40\" min=\"10\" max=\"-10\">"
             "<weights><pedestal>0.25</pedestal><noise>0.125</noise></weights></monitor>"
             "<padmap nx=\"2\" ny=\"2\"><map>3 -1 0 1</map></padmap>"
             "</board>"));
    EXPECT_EQ(section, cfg->get_id_handler(16));
    EXPECT_EQ(40, ana->get_nbins());
    EXPECT_EQ(-10.0, ana->get_range_min());
    EXPECT_EQ(10.0, ana->get_range_max());
    EXPECT_EQ(0.25, ana->get_ped_weight());
    EXPECT_EQ(0.125, ana->get_noise_weight());

    PadMap* map = ana->get_map();
    ASSERT_NE(nullptr, map);
    EXPECT_EQ(4, map->ntot());
    EXPECT_EQ(3, map->channel(0, 0));
    EXPECT_EQ(0, map->channel(0, 1));
    EXPECT_EQ(1, map->channel(1, 1));
    int x = 0;
    int y = 0;
    map->pad(2, x, y);   // pad (1, 0) stays empty
    EXPECT_EQ(PadMap::NO_PAD, x);
    ASSERT_NE(nullptr, section->get_map());
    EXPECT_EQ(3, section->get_map()->channel(0, 0));

    EXPECT_EQ((std::vector<double>{100, 101, 102, 103}), module->pedestals());
    EXPECT_EQ(3.5, bin(ana->get_noise(), 3));
    EXPECT_EQ(0, ana->get_n_pre());

    const std::string saved = save_twice();
    EXPECT_NE(std::string::npos, saved.find("<monitor nbin=\"40\" min=\"-10\" max=\"10\">"));
    EXPECT_NE(std::string::npos, saved.find("<map>3   -1\n    0    1</map>"));
    EXPECT_NE(std::string::npos, saved.find("<pedestal>100 101 102 103 </pedestal>"));
    EXPECT_NE(std::string::npos, saved.find("<pedestal_file/>"));
    // Read back, the empty pad is still empty.
    EXPECT_EQ(0, ana->get_map()->channel(1, 0));
    ana->get_map()->pad(0, x, y);
    EXPECT_EQ(0, x);
    EXPECT_EQ(1, y);
}

TEST_F(ModuleSectionTest, NewElementWithoutValues)
{
    for (int i = 0; i < 4; ++i)
        hst_histogram_set_bin_content(ana->get_ped(), i, 5.0);
    load(doc("<board name=\"0x10\"/>"));
    EXPECT_TRUE(module->pedestals().empty());
    EXPECT_TRUE(module->noises().empty());
    EXPECT_EQ(5.0, bin(ana->get_ped(), 3));
    EXPECT_EQ(4, ana->get_n_pre());

    const std::string saved = save_twice();
    EXPECT_NE(std::string::npos, saved.find("<monitor nbin=\"50\" min=\"0\" max=\"100\"/>"));
    EXPECT_EQ(std::string::npos, saved.find("weights"));
    EXPECT_NE(std::string::npos, saved.find("<padmap nx=\"4\" ny=\"1\" ntot=\"4\">"));
    EXPECT_NE(std::string::npos, saved.find("<map>-1   -1   -1   -1</map>"));
}

TEST_F(ModuleSectionTest, PedestalFiles)
{
    const std::string full = write("full.ped", "10 1\n11 1.5\n12 2\n13 2.5\n");
    const std::string part = write("part.ped", "20 1\n21 1\n22");
    const std::string lists = "<pedestal>1 2 3 4</pedestal><noise>0 1 1 1</noise>";

    std::string out = testutil::capture_stdout([&] {
        load(doc("<board name=\"0x10\">" + lists + "<pedestal_file>" + full +
                 "</pedestal_file></board>"));
    });
    EXPECT_EQ("Loading pedestals for module id 0x10 from " + full + "\n", out);
    EXPECT_EQ((std::vector<double>{10, 11, 12, 13}), module->pedestals());
    EXPECT_EQ(2.5, bin(ana->get_noise(), 3));
    EXPECT_EQ(0, ana->get_n_pre());
    EXPECT_EQ(full, section->get_pedestal_file());

    // Two pairs and a pedestal without noise: the pairs go into the lists,
    // and neither the lone value nor the analysis is touched.
    ana->reset_pedestals();
    load(doc("<board name=\"0x10\">" + lists + "<pedestal_file>" + part +
             "</pedestal_file></board>"));
    EXPECT_EQ((std::vector<double>{20, 21, 3, 4}), module->pedestals());
    EXPECT_EQ((std::vector<double>{1, 1, 1, 1}), module->noises());
    EXPECT_EQ(1.0, bin(ana->get_ped(), 0));
    EXPECT_EQ(4, ana->get_n_pre());

    // Lists of unequal length: the common part is loaded, and not trusted.
    out = testutil::capture_stdout([&] {
        load(doc("<board name=\"0x10\"><pedestal>1 2 3 4</pedestal><noise>5 5</noise>"
                 "<pedestal_file>" + full + "</pedestal_file></board>"));
    });
    EXPECT_NE(std::string::npos,
              out.find("Module id 0x10 has 4 pedestals and 2 noise values: loading 2 channels"));
    EXPECT_EQ((std::vector<double>{10, 11, 3, 4}), module->pedestals());
    EXPECT_EQ((std::vector<double>{1, 1.5}), module->noises());
    EXPECT_EQ(4, ana->get_n_pre());

    // Without lists a file loads nothing.
    load(doc("<board name=\"0x10\"><pedestal_file>" + full + "</pedestal_file></board>"));
    EXPECT_TRUE(module->pedestals().empty());
    EXPECT_EQ(4, ana->get_n_pre());

    // A file that is not there is forgotten.
    const std::string none = dir + "/none.ped";
    out = testutil::capture_stdout([&] {
        load(doc("<board name=\"0x10\">" + lists + "<pedestal_file>" + none +
                 "</pedestal_file></board>"));
    });
    EXPECT_EQ("Could not load pedestals from " + none + "\n", out);
    EXPECT_EQ("", section->get_pedestal_file());
    EXPECT_NE(std::string::npos, save_twice().find("<pedestal_file/>"));
}

TEST_F(ModuleSectionTest, DamagedPedestalFilesAreErrorsAndNotTrusted)
{
    // Line 0 for a file without error. The lists start as 1 2 3 4 and 0 1 1 1.
    struct Case {
        std::string text;
        std::vector<double> ped, noise;
        int bad_line;
    };
    const std::vector<double> ped0{1, 2, 3, 4}, noise0{0, 1, 1, 1};
    const std::vector<double> full_ped{10, 11, 12, 13}, full_noise{1, 1.5, 2, 2.5};
    const Case cases[] = {
        {"10 1\n11 1.5\n510.25.7 3.1\n13 2.5\n", {10, 11, 3, 4}, {1, 1.5, 1, 1}, 3},
        {"1.5.3 2 4 4\n", ped0, noise0, 1},
        {"512.25-3 1\n11 1\n12 1\n13 1\n", ped0, noise0, 1},
        {"10 1\n11 1.5x\n12 2\n13 2.5\n", {10, 2, 3, 4}, {1, 1, 1, 1}, 2},
        {"10 1 11 1.5 12 2 13 2.5 nan\n", ped0, noise0, 1},
        {"10 1\n0x10 1\n12 2\n13 2.5\n", {10, 2, 3, 4}, {1, 1, 1, 1}, 2},
        {"10 1\n" + std::string(5000, '1') + " 2\n", {10, 2, 3, 4}, {1, 1, 1, 1}, 2},
        {std::string("10 1\n11") + '\0' + ".5 1\n12 2\n13 2.5\n", {10, 2, 3, 4}, {1, 1, 1, 1}, 2},
        // Pairs over line breaks, the number forms the program writes, and
        // text after the last channel's line.
        {"10\n1 11\n1.5 12 2\n13 2.5\n", full_ped, full_noise, 0},
        {"512.25 1.5\n1234.57 1.2345e-05\n-0 +2\n1e+06 0\n", {512.25, 1234.57, 0, 1e6}, {1.5, 1.2345e-05, 2, 0}, 0},
        {"10 1\n11 1.5\n12 2\n13 2.5\nno numbers\n", full_ped, full_noise, 0},
    };
    const std::string lists = "<pedestal>1 2 3 4</pedestal><noise>0 1 1 1</noise>";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 40));
        const std::string file = write("damaged.ped", c.text);
        ana->reset_pedestals();
        const std::string out = testutil::capture_stdout([&] {
            load(doc("<board name=\"0x10\">" + lists + "<pedestal_file>" + file + "</pedestal_file></board>"));
        });
        EXPECT_EQ(c.ped, module->pedestals());
        EXPECT_EQ(c.noise, module->noises());
        if (c.bad_line) {
            EXPECT_NE(std::string::npos, out.find(file + ", line " + std::to_string(c.bad_line) + ": ")) << out;
            EXPECT_NE(std::string::npos, out.find("the pedestals of module id 0x10 are not trusted")) << out;
            EXPECT_EQ(4, ana->get_n_pre());
            EXPECT_EQ(1.0, bin(ana->get_noise(), 3));
        } else {
            EXPECT_EQ("Loading pedestals for module id 0x10 from " + file + "\n", out);
            EXPECT_EQ(0, ana->get_n_pre());
            EXPECT_EQ(c.noise[3], bin(ana->get_noise(), 3));
        }
    }
}

TEST_F(ModuleSectionTest, MalformedSectionsAreReported)
{
    struct Case {
        const char* board;
        const char* message;
    } cases[] = {
        {"<monitor min=\"1\"/>", "attribute nbin not present"},
        {"<monitor nbin=\"0\"/>", "nbin must be at least 1"},
        {"<monitor nbin=\"10\" min=\"3\" max=\"3\"/>", "bad histogram range"},
        {"<monitor nbin=\"10\"><weights><pedestal>1</pedestal></weights></monitor>",
         "Element weights/noise does not exist"},
        {"<padmap ny=\"2\"/>", "padmap in 0x10 does not have nx or ny"},
        {"<padmap nx=\"0\" ny=\"2\"/>", "nx and ny must be at least 1"},
        {"<padmap nx=\"2\" ny=\"2\" ntot=\"-1\"/>", "ntot must be at least 1"},
        {"<monitor nbin=\"10\"/><monitor nbin=\"20\"/>",
         "ParseModule: more than one monitor set given to module 0x10\n"
         "Only the first one will be considered\n"},
        {"<padmap nx=\"1\" ny=\"1\"/><padmap nx=\"2\" ny=\"1\"/>",
         "ParseModule: more than one padmap set given to module 0x10\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.board);
        const std::string out = testutil::capture_stdout(
            [&] { load(doc(std::string("<board name=\"0x10\">") + c.board + "</board>")); });
        EXPECT_NE(std::string::npos, out.find(c.message)) << out;
    }
    // The first of two monitor and padmap elements is the one used.
    EXPECT_EQ(1, ana->get_map()->nx());
    testutil::capture_stdout([&] {
        load(doc("<board name=\"0x10\"><monitor nbin=\"10\"/><monitor nbin=\"20\"/></board>"));
    });
    EXPECT_EQ(10, ana->get_nbins());
}

TEST_F(ModuleSectionTest, RemovedElementsAndForeignModules)
{
    load(doc("<board name=\"0x10\"><monitor nbin=\"10\"/></board>"));
    ASSERT_EQ(0, cfg->remove_module("board", "0x10"));
    // The handler no longer writes into the freed element.
    const std::string file = dir + "/after.xml";
    ASSERT_GT(cfg->save_config(file.c_str()), 0);
    EXPECT_EQ(std::string::npos, testutil::read_file(file).find("0x10"));

    // A framework module that is not a GenModule is left alone.
    module.reset();
    IdleModule idle(Ostrel::DAQid("0x10"));
    load(doc("<board name=\"0x10\"><pedestal>1 2</pedestal><monitor nbin=\"7\"/></board>"));
    ASSERT_GT(cfg->save_config(file.c_str()), 0);
    const std::string saved = testutil::read_file(file);
    EXPECT_NE(std::string::npos, saved.find("<pedestal>1 2</pedestal>"));
    EXPECT_EQ(saved.find("<monitor "), saved.rfind("<monitor "));
    EXPECT_EQ(std::string::npos, saved.find("<monitor/>"));
}
