// A stream's configuration element: read into the stream module and its
// chips, written back, valid against the schema and the same file again
// after a second round.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <libxml/xmlschemas.h>

#include "common/TestUtil.h"
#include "config/ConfigParser.h"
#include "FenrowNet.h"
#include "config/ConfigTestUtil.h"
#include "data/Analysis.h"
#include "fenrow/chips/TAmanager.h"
#include "fenrow/net/ModuleNode.h"
#include "fenrow/streams/FenrowStream.h"
#include "fenrow/streams/FenrowStreamConf.h"

using Ostrel::FenrowModuleData;
using Ostrel::FenrowStream;
using Ostrel::FenrowStreamConf;

namespace {

bool valid_against_schema(const std::string& file)
{
    xmlSchemaParserCtxtPtr parser = xmlSchemaNewParserCtxt(BRISKO_SOURCE_DIR "/config/sorbek.xsd");
    xmlSchemaPtr schema = parser ? xmlSchemaParse(parser) : nullptr;
    xmlSchemaValidCtxtPtr check = schema ? xmlSchemaNewValidCtxt(schema) : nullptr;
    const int rc = check ? xmlSchemaValidateFile(check, file.c_str(), 0) : -1;
    if (check)
        xmlSchemaFreeValidCtxt(check);
    if (schema)
        xmlSchemaFree(schema);
    if (parser)
        xmlSchemaFreeParserCtxt(parser);
    return rc == 0;
}

std::string document(const std::string& streams)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n"
           "  <modules>\n"
           "    <fenrow name=\"127.0.0.2\" address=\"10000\" interface=\"em1\">\n" +
           streams +
           "    </fenrow>\n"
           "  </modules>\n"
           "</Sorbek>\n";
}

std::string stream(const std::string& body)
{
    return "<stream name=\"23\" address=\"127.0.0.2\">" + body + "</stream>\n";
}

// Stream 3 of a board at 127.0.0.2, read by module 23; no board manager, so
// nothing is sent anywhere.
class StreamConf : public ConfigFixture {
protected:
    void SetUp() override
    {
        ConfigFixture::SetUp();
        make(TAmanager::gp7);
    }
    void TearDown() override
    {
        // The configuration's reset would delete the module as well.
        drop();
        ConfigFixture::TearDown();
    }

    void make(int chip_type, int nchip = 1)
    {
        drop();
        board = std::make_unique<ModuleNode>("127.0.0.2", 10000);
        const int ids[] = {2};
        board->configure(1, nchip, chip_type, ids);
        module = std::make_unique<FenrowStream>(Ostrel::DAQid(23), 0, 3, new FenrowModuleData(nullptr, board.get()));
        conf = std::make_unique<FenrowStreamConf>(module.get());
        conf->set_parent_id("fenrow");
    }
    void drop()
    {
        conf.reset();
        module.reset();
        board.reset();
    }

    // Reads the document and the stream element in it.
    void load_stream(const std::string& text)
    {
        load(text);
        read_stream();
    }
    void read_stream()
    {
        xmlNodePtr element = conf->find_node();
        ASSERT_TRUE(element);
        conf->parse_node(element);
    }
    // Saves the stream and the document; the file's text.
    std::string save(const std::string& name)
    {
        conf->save_config();
        const std::string path = dir + "/" + name;
        EXPECT_GT(cfg->save_config(path.c_str()), 0);
        return testutil::read_file(path);
    }
    // Starts afresh (document, module and section) from a saved file.
    void reload(const std::string& name, int chip_type, int nchip = 1)
    {
        drop();
        cfg->clean();
        make(chip_type, nchip);
        const std::string path = dir + "/" + name;
        ASSERT_EQ(cfg->parse(path.c_str()), 1);
        read_stream();
    }
    int count(const std::string& xpath)
    {
        std::vector<xmlNodePtr> nodes;
        return cfg->get_node(xpath, nodes);
    }
    std::string text(const std::string& xpath)
    {
        xmlNodePtr n = node(xpath);
        return n ? cfg->get_node_value(n) : std::string("<none>");
    }
    TAchip* chip(int i) { return module->chips().chip(i); }

    std::unique_ptr<ModuleNode> board;
    std::unique_ptr<FenrowStream> module;
    std::unique_ptr<FenrowStreamConf> conf;
};

const char* const full_stream =
    "<nchips>2</nchips><threshold>300</threshold><vthrh>1501</vthrh><vfp>611</vfp><vfsf>126</vfsf>"
    "<vfss>151</vfss><test_pulse>51</test_pulse><test_point>52</test_point><nadj>3</nadj>"
    "<trg_type>2</trg_type><coincidence>true</coincidence><hold_delay>151</hold_delay><Vout>TRUE</Vout>"
    "<hold>1</hold><chip_type>gp7</chip_type><ro_mode>adjacent</ro_mode><mbias>1 2 3 4 5</mbias>"
    "<chip id=\"0\"><gain>-1</gain><probe>true</probe><polarity>true</polarity><Vfp>true</Vfp>"
    "<thrs_dac>17</thrs_dac><calib_gen>true</calib_gen><calib_dac>9</calib_dac><slew>true</slew>"
    "<trim>1 12 3</trim><mask>0200</mask><test>f</test></chip>"
    "<chip id=\"1\"><cc_enable>true</cc_enable><n_side>true</n_side><test_bit>true</test_bit><Vrc>true</Vrc>"
    "<Vfsf>true</Vfsf><Vfss>true</Vfss><dac_range>true</dac_range><calib_ctrl>true</calib_ctrl>"
    "<vrc_neg>true</vrc_neg><dltc>true</dltc><trim>15</trim></chip>"
    "<monitor nbin=\"275\" min=\"0\" max=\"2200\"><weights><pedestal>0.001</pedestal><noise>0.001</noise>"
    "</weights></monitor>";

} // namespace

TEST_F(StreamConf, StreamAndChipsRoundTrip)
{
    load_stream(document(stream(full_stream)));
    for (const auto& v : {std::make_pair("nchip", 2), {"threshold", 300}, {"test_point", 52}, {"nadj", 3},
                          {"trg_type", 2}, {"ro_mode", 4}})
        EXPECT_EQ(module->get_par_value<int>(v.first), v.second) << v.first;
    EXPECT_TRUE(module->get_par_value<bool>("coincidence") && module->get_par_value<bool>("hold"));
    EXPECT_EQ(module->get_par_value<std::vector<int>>("mbias"), (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(module->get_analysis()->Ntot(), 256);
    EXPECT_EQ(module->get_analysis()->get_nbins(), 275);
    EXPECT_EQ(board->stream(0)->nchip(), 2u);
    ASSERT_EQ(module->chips().Nchip(), 2);
    EXPECT_TRUE(chip(0)->Probe_Enable() && chip(0)->Polarity() && !chip(0)->GainEnabled());
    EXPECT_EQ(chip(0)->calib_dac(), 9);
    EXPECT_EQ(chip(0)->trim(1), 12);
    EXPECT_TRUE(chip(0)->mask(5) && !chip(0)->mask(4));
    EXPECT_TRUE(chip(0)->test(3) && !chip(0)->test(4));
    EXPECT_EQ(chip(1)->Chip_Address(), 1);
    EXPECT_EQ(chip(1)->trim(0), 15);

    const std::string first_save = save("first.xml");
    EXPECT_TRUE(valid_against_schema(dir + "/first.xml")) << first_save;
    const std::string chip0 = "//stream[@name='23']/chip[@id=0]/";
    EXPECT_EQ(text(chip0 + "trim").substr(0, 12), " 1 12  3  0 ");
    EXPECT_EQ(text(chip0 + "mask"), "0200 0000 0000 0000 0000 0000 0000 0000");
    EXPECT_EQ(text(chip0 + "test"), "f000 0000 0000 0000 0000 0000 0000 0000");
    EXPECT_EQ(text(chip0 + "gain"), "-1");
    EXPECT_EQ(text("//stream/mbias"), "1 2 3 4 5 ");
    EXPECT_EQ(text("//stream/hold"), "true");

    // Read back into a new module, the settings and every register bit
    // return, and the file comes out the same.
    TAmanager before = module->chips();
    reload("first.xml", TAmanager::gp7);
    std::ostringstream a, b;
    before.save(a);
    module->chips().save(b);
    EXPECT_EQ(a.str(), b.str());
    EXPECT_EQ(save("second.xml"), first_save);
}

TEST_F(StreamConf, AStreamReadsItsOwnElementOnly)
{
    // A copy of the board with other values, inside a chip's register:
    // content, whose chips, arrays and monitor are none of the stream's.
    std::string body = full_stream;
    body.replace(body.find("<dltc>true</dltc>"), 17,
                 "<dltc>true<fenrow name=\"127.0.0.2\"><stream name=\"23\" address=\"127.0.0.2\"><chip id=\"1\">"
                 "<trim>9 9 9</trim></chip><chip id=\"4\"/><monitor nbin=\"7\"/></stream></fenrow></dltc>");
    body.replace(body.find("<probe>true</probe>"), 19,
                 "<probe>true<fenrow name=\"127.0.0.2\"><stream name=\"23\" address=\"127.0.0.2\"><chip id=\"0\">"
                 "<trim>8 8 8</trim></chip></stream></fenrow></probe>");
    const std::string out = testutil::capture_stdout([&] { load_stream(document(stream(body))); });
    EXPECT_EQ(out.find("more than one"), std::string::npos) << out;
    EXPECT_EQ(module->get_analysis()->get_nbins(), 275);
    ASSERT_EQ(module->chips().Nchip(), 2);
    EXPECT_EQ(chip(0)->trim(1), 12);
    EXPECT_EQ(chip(1)->trim(0), 15);
    EXPECT_EQ(chip(1)->Chip_Address(), 1);
    const std::string first_save = save("first.xml");
    reload("first.xml", TAmanager::gp7);
    EXPECT_EQ(save("second.xml"), first_save);
}

TEST_F(StreamConf, ChipsOfOneAddressAreSavedWhereTheyWereRead)
{
    load_stream(document(stream("<nchips>2</nchips><chip id=\"0\"><polarity>false</polarity></chip>"
                                "<chip id=\"0\"><polarity>true</polarity></chip>")));
    ASSERT_EQ(module->chips().Nchip(), 2);
    EXPECT_TRUE(chip(1)->Polarity());
    EXPECT_EQ(chip(1)->Chip_Address(), 1);
    const std::string first_save = save("first.xml");
    EXPECT_EQ(count("//stream/chip"), 2);
    EXPECT_EQ(text("//stream/chip[@id=1]/polarity"), "true");
    reload("first.xml", TAmanager::gp7, 2);
    EXPECT_EQ(save("second.xml"), first_save);
}

TEST_F(StreamConf, EmptyStreamElementTakesTheDefaults)
{
    load_stream(document(stream("")));
    EXPECT_EQ(module->get_par_value<int>("threshold"), 50);
    EXPECT_EQ(module->get_par_value<int>("nadj"), 10);
    EXPECT_EQ(module->get_par_value<int>("ro_mode"), 1);
    EXPECT_EQ(module->get_par_value<int>("hold_delay"), 150);
    EXPECT_EQ(module->chips().GetChipType(), TAmanager::gp7);
    ASSERT_EQ(module->chips().Nchip(), 1);
    EXPECT_EQ(chip(0)->Chip_Address(), 0);
    EXPECT_EQ(module->get_par_value<std::vector<double>>("pedestal"), std::vector<double>(128, 2048.0));
    // The main biases are written into the element at once.
    EXPECT_EQ(text("//stream/mbias"), "1460 1460 1460 1460 ");

    const std::string saved = save("defaults.xml");
    EXPECT_TRUE(valid_against_schema(dir + "/defaults.xml")) << saved;
    EXPECT_EQ(text("//stream/ro_mode"), "serial");
    EXPECT_EQ(text("//stream/chip_type"), "gp7");
    EXPECT_EQ(count("//stream/chip[@id=0]"), 1);
    reload("defaults.xml", TAmanager::gp7);
    EXPECT_EQ(save("again.xml"), saved);

    // A mode the boards do not have is saved by a name that still validates.
    module->set_par("ro_mode", 3, false);
    save("unknown.xml");
    EXPECT_EQ(text("//stream/ro_mode"), "unknown");
    EXPECT_TRUE(valid_against_schema(dir + "/unknown.xml"));
}

TEST_F(StreamConf, ChipElementsBeyondTheCountAndRepeatedAddresses)
{
    const std::string extra = testutil::capture_stderr([&] {
        load_stream(document(stream("<nchips>2</nchips><chip id=\"0\"/><chip id=\"1\"/>"
                             "<chip id=\"2\"><thrs_dac>5</thrs_dac></chip>")));
    });
    EXPECT_NE(extra.find("Module 23 found more chips than specified.\n... accepting only the first 2.\n"),
              std::string::npos)
        << extra;
    EXPECT_EQ(module->chips().Nchip(), 2);
    EXPECT_EQ(chip(1)->thrs_dac(), 0);

    // Two chips at address 3: the second moves to 4, and saving gives it an
    // element of its own.
    load_stream(document(stream("<nchips>2</nchips><chip id=\"3\"><slew>true</slew></chip>"
                         "<chip id=\"3\"><dltc>true</dltc></chip>")));
    EXPECT_EQ(chip(0)->Chip_Address(), 3);
    EXPECT_EQ(chip(1)->Chip_Address(), 4);
    EXPECT_TRUE(chip(1)->dltc());
    save("moved.xml");
    EXPECT_EQ(count("//stream/chip[@id=4]"), 1);
    EXPECT_EQ(text("//stream/chip[@id=4]/dltc"), "true");
    EXPECT_EQ(text("//stream/chip[@id=3]/dltc"), "false");
}

TEST_F(StreamConf, BadArraysAreReportedAndSkipped)
{
    std::string said = testutil::capture_stderr([&] {
        testutil::capture_stdout([&] {
            load_stream(document(stream("<chip id=\"0\"><mask>10g0</mask><test>"
                                 "1 0000 0000 0000 0000 0000 0000 0000 0000 1</test></chip>")));
        });
    });
    EXPECT_NE(said.find("Module 23 chip 0\n... wrong syntax in mask\n"), std::string::npos) << said;
    EXPECT_NE(said.find("Module 23 chip 0\n... number of test bits is bigger than number of channels\n"),
              std::string::npos)
        << said;
    EXPECT_FALSE(chip(0)->mask(0));
    EXPECT_TRUE(chip(0)->test(0));

    std::string trims;
    for (int i = 0; i < 130; ++i)
        trims += std::to_string(i % 16) + " ";
    said = testutil::capture_stderr([&] { load_stream(document(stream("<chip id=\"0\"><trim>" + trims + "</trim></chip>"))); });
    EXPECT_NE(said.find("Trim array in chip 0 at module 23 has more than 128 channels.\n"), std::string::npos)
        << said;
    EXPECT_EQ(chip(0)->trim(127), 127 % 16);
}

TEST_F(StreamConf, RefusedElements)
{
    load(document(stream("<nchips>300</nchips><threshold>7</threshold>")));
    EXPECT_THROW(conf->parse_node(conf->find_node()), ConfigException);
    EXPECT_EQ(module->get_par_value<int>("threshold"), 50);
    EXPECT_EQ(module->chips().Nchip(), 1);

    load(document(stream("<nchips>2</nchips><chip><slew>true</slew></chip>")));
    EXPECT_THROW(conf->parse_node(conf->find_node()), ConfigException);

    // Adjacent channels the readout-mode command cannot carry: refused with
    // the line, the rest read, the count kept.
    fenrow_test::LogCapture log;
    module->set_par("nadj", 4, false);
    for (const char* count : {"-1", "65536", "99999999999"}) {
        load_stream(document(stream(std::string("<threshold>7</threshold>\n<nadj> ") + count + " </nadj>")));
        EXPECT_TRUE(log.contains(std::string("Module 23, line 6: ") + count +
                                 " adjacent channels refused; the readout-mode command carries 0 to 65535; the "
                                 "stream keeps 4"))
            << count;
        EXPECT_EQ(module->get_par_value<int>("nadj"), 4);
        EXPECT_EQ(module->get_par_value<int>("threshold"), 7);
    }
    save("kept.xml");
    EXPECT_EQ(text("//stream/nadj"), "4");

    // The element of another board family is not this stream's.
    conf->set_parent_id("other");
    EXPECT_EQ(conf->find_node(), nullptr);
    conf->parse_node_id("23");
    EXPECT_EQ(conf->config("23"), nullptr);
    EXPECT_EQ(conf->monitor("23", nullptr), nullptr);
}

TEST_F(StreamConf, HighDynamicRangeChipsKeepTheirOwnElements)
{
    // These chips have no address in their register: each still reads and
    // writes its own element.
    make(TAmanager::hdr, 3);
    std::string chips;
    for (int i = 0; i < 3; ++i)
        chips += "<chip id=\"" + std::to_string(i) + "\"><polarity>" + (i == 0 ? "true" : "false") +
                 "</polarity><preampDAC>" + std::to_string(10 * (i + 1)) + " 7</preampDAC></chip>";
    load_stream(document(stream("<nchips>3</nchips><chip_type>hdr</chip_type>" + chips)));
    ASSERT_EQ(module->chips().Nchip(), 3);
    EXPECT_EQ(module->get_analysis()->Ntot(), 192);
    EXPECT_EQ(module->get_par_value<int>("polarity"), 1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(chip(i)->preampDAC(0), 10 * (i + 1)) << i;
        EXPECT_EQ(chip(i)->preampDAC(1), 7) << i;
    }
    module->set_par<std::string>("command", "preampDAC|130=99");
    const std::string saved = save("hdr.xml");
    EXPECT_TRUE(valid_against_schema(dir + "/hdr.xml")) << saved;
    EXPECT_EQ(count("//stream/chip"), 3);
    EXPECT_EQ(text("//stream/chip[@id=0]/preampDAC").substr(0, 8), " 10   7 ");
    EXPECT_EQ(text("//stream/chip[@id=1]/preampDAC").substr(0, 8), " 20   7 ");
    EXPECT_EQ(text("//stream/chip[@id=2]/preampDAC").substr(0, 12), " 30   7  99 ");

    reload("hdr.xml", TAmanager::hdr, 3);
    EXPECT_EQ(chip(2)->preampDAC(2), 99);
    EXPECT_EQ(save("hdr2.xml"), saved);
}
