// Typed reading and writing of element texts and attributes.
#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ConfigTestUtil.h"

namespace {

std::vector<int> set_entries(const std::vector<int>& bits)
{
    std::vector<int> out;
    for (size_t i = 0; i < bits.size(); ++i)
        if (bits[i])
            out.push_back(static_cast<int>(i));
    return out;
}

} // namespace

class ConfigAccessTest : public ConfigFixture {
protected:
    void SetUp() override
    {
        ConfigFixture::SetUp();
        load("<Sorbek>\n"
             "<IO upper=\"TRUE\" yes=\"yes\" zero=\"0\" hex=\"0x10\" HEX=\"0X1F\" oct=\"010\" "
             "real=\"2.5e3\" blank=\"a b\" mask=\"3 1\" bad=\"g\">\n"
             "<upper>TRUE</upper><one>1</one><zero>0</zero><yes>yes</yes>\n"
             "<num>42 abc</num><word>abc</word><hex>0x10</hex><real>-1.5e-3x</real>\n"
             "<path>/a b/c</path><ints>3 -4 5 x 6</ints>\n"
             "<scan><min>1</min></scan>\n"
             "</IO>\n"
             "</Sorbek>\n");
        io = cfg->get_io_node();
        ASSERT_NE(nullptr, io);
    }
    xmlNodePtr child(const char* name) { return cfg->find_element(io, name); }
    std::string saved()
    {
        const std::string file = dir + "/saved.xml";
        cfg->save_config(file.c_str());
        return testutil::read_file(file);
    }

    xmlNodePtr io = nullptr;
};

TEST_F(ConfigAccessTest, ElementBooleansAndRepair)
{
    EXPECT_TRUE(cfg->get_value<bool>(io, "upper"));

    std::string out = testutil::capture_stdout([&] { EXPECT_TRUE(cfg->get_value<bool>(io, "one")); });
    EXPECT_EQ("get_value<bool>, wrong boolan 1\n...in node one @ line 3\n", out);
    out = testutil::capture_stdout([&] { EXPECT_FALSE(cfg->get_value<bool>(child("zero"))); });
    EXPECT_EQ("get_value<bool>, wrong boolan 0\n...in node zero @ line 3\n", out);
    const std::string file = saved();
    EXPECT_NE(std::string::npos, file.find("<one>true</one>"));
    EXPECT_NE(std::string::npos, file.find("<zero>false</zero>"));
    // Repaired, it reads quietly.
    out = testutil::capture_stdout([&] { EXPECT_TRUE(cfg->get_value<bool>(io, "one")); });
    EXPECT_EQ("", out);

    out = testutil::capture_stdout([&] { EXPECT_FALSE(cfg->get_value<bool>(io, "yes")); });
    EXPECT_EQ("get_value<bool>, wrong boolan yes\n...in node yes @ line 3\n...could not repair...\n",
              out);
    EXPECT_EQ("yes", cfg->get_node_value(child("yes")));
}

TEST_F(ConfigAccessTest, AttributeBooleansAreNeverRepaired)
{
    EXPECT_TRUE(cfg->get_attribute<bool>(io, "upper"));
    for (const char* name : {"yes", "zero"}) {
        SCOPED_TRACE(name);
        const std::string value = cfg->get_attribute<std::string>(io, name);
        const std::string out =
            testutil::capture_stdout([&] { EXPECT_TRUE(cfg->get_attribute<bool>(io, name)); });
        EXPECT_EQ("get_attribute<bool>, wrong boolan " + value + "\n...in node IO @ line 2\n", out);
        EXPECT_EQ(value, cfg->get_attribute<std::string>(io, name));
    }
    EXPECT_TRUE(get_bool(io, "upper"));
    EXPECT_FALSE(get_bool(io, "yes"));
}

TEST_F(ConfigAccessTest, NumbersAndWords)
{
    EXPECT_EQ(42, cfg->get_value<int>(io, "num"));
    EXPECT_EQ(0, cfg->get_value<int>(io, "word"));
    EXPECT_EQ(0, cfg->get_value<int>(io, "hex"));
    EXPECT_DOUBLE_EQ(-1.5e-3, cfg->get_value<double>(io, "real"));
    EXPECT_EQ("/a", cfg->get_value<std::string>(io, "path"));
    EXPECT_EQ(1, cfg->get_value<int>(io, "scan/min"));

    EXPECT_EQ(0, cfg->get_attribute<int>(io, "hex"));
    EXPECT_EQ(16, get_int(io, "hex"));
    EXPECT_EQ(31, get_int(io, "HEX"));
    EXPECT_EQ(8, get_int(io, "oct"));
    EXPECT_DOUBLE_EQ(2500.0, cfg->get_attribute<double>(io, "real"));
    EXPECT_DOUBLE_EQ(2500.0, get_double(io, "real"));
    EXPECT_EQ("a b", cfg->get_attribute<std::string>(io, "blank"));
    EXPECT_EQ("0x1f", get_attribute_value(io, "HEX", true));
    EXPECT_EQ("0X1F", get_attribute_value(io, "HEX", false));
}

TEST_F(ConfigAccessTest, MissingValuesRaiseTheirMessages)
{
    xmlNodePtr scan = child("scan");
    try {
        cfg->get_value<double>(scan, "max");
        ADD_FAILURE() << "no exception";
    } catch (const ConfigException& e) {
        EXPECT_STREQ("Element scan/max does not exist", e.what());
    }
    try {
        cfg->get_attribute<int>(io, "nbin");
        ADD_FAILURE() << "no exception";
    } catch (const ConfigException& e) {
        EXPECT_STREQ("attribute nbin not present", e.what());
    }
    EXPECT_THROW(get_attribute_value(io, "nbin", false), ConfigException);
    EXPECT_THROW(get_int(io, "nbin"), ConfigException);
    std::vector<int> bits;
    EXPECT_THROW(cfg->get_bit_array(io, "nbin", 8, bits), ConfigException);

    EXPECT_DOUBLE_EQ(1.0, cfg->get_attribute<double>(io, "max", 1.0));
    EXPECT_DOUBLE_EQ(2500.0, cfg->get_attribute<double>(io, "real", 1.0));
}

TEST_F(ConfigAccessTest, DefaultsForAbsentOrUnreadableChildren)
{
    EXPECT_EQ(7, cfg->get_value<int>(io, "absent", 7));
    EXPECT_EQ(7, cfg->get_value<int>(io, "word", 7));
    EXPECT_EQ(42, cfg->get_value<int>(io, "num", 7));
    EXPECT_TRUE(cfg->get_value<bool>(io, "yes", true));
    EXPECT_TRUE(cfg->get_value<bool>(io, "upper", false));
    EXPECT_EQ(std::string("x"), cfg->get_value<std::string>(io, "absent", "x"));
    EXPECT_EQ(std::string("abc"), cfg->get_value<std::string>(io, "word", "x"));
}

TEST_F(ConfigAccessTest, WritingAndCheckingValues)
{
    cfg->set_value(io, "num", 7);
    EXPECT_EQ("7", cfg->get_node_value(child("num")));
    cfg->set_value(io, "ratio", 0.1 + 1e-9);
    EXPECT_EQ("0.1", cfg->get_node_value(child("ratio")));
    cfg->set_value(io, "flag", false);
    EXPECT_EQ("false", cfg->get_node_value(child("flag")));
    cfg->set_value(child("flag"), "true");
    EXPECT_TRUE(cfg->get_value<bool>(io, "flag"));
    xmlNodePtr empty = cfg->create_child(io, "empty", "");
    EXPECT_EQ("", cfg->get_node_value(empty));
    EXPECT_EQ(nullptr, empty->children);

    const std::string before = saved();
    cfg->check_value(io, "num", 7);
    cfg->check_value<std::string>(io, "word", "abc");
    cfg->check_value(io, "flag", true);
    EXPECT_EQ(before, saved());

    cfg->check_value(io, "num", 8);
    EXPECT_EQ(8, cfg->get_value<int>(io, "num"));
    cfg->check_value(io, "count", 3);
    EXPECT_EQ(3, cfg->get_value<int>(io, "count"));
    cfg->check_value(io, "ratio", std::nan(""));
    EXPECT_EQ("nan", cfg->get_node_value(child("ratio")));

    cfg->set_attribute(io, "nbin", 100);
    cfg->set_attribute(io, "name", "main");
    cfg->set_attribute(io, "quote", std::string("a\"b&c"));
    EXPECT_EQ(100, cfg->get_attribute<int>(io, "nbin"));
    EXPECT_EQ("main", cfg->get_attribute<std::string>(io, "name"));
    const std::string unchanged = saved();
    cfg->check_attribute(io, "nbin", 100);
    cfg->check_attribute<std::string>(io, "quote", "a\"b&c");
    EXPECT_EQ(unchanged, saved());
    cfg->check_attribute(io, "min", 0.5);
    cfg->check_attribute(io, "nbin", 50);
    EXPECT_DOUBLE_EQ(0.5, cfg->get_attribute<double>(io, "min"));
    EXPECT_EQ(50, cfg->get_attribute<int>(io, "nbin"));
    EXPECT_EQ("a\"b&c", cfg->get_attribute<std::string>(io, "quote"));
}

TEST_F(ConfigAccessTest, Arrays)
{
    std::vector<int> ints;
    cfg->get_array(child("ints"), ints);
    EXPECT_EQ((std::vector<int>{3, -4, 5}), ints);

    cfg->set_array_value(io, "pedestal", std::vector<double>{1, 2.5, 0.1});
    EXPECT_EQ("1 2.5 0.1 ", cfg->get_node_value(child("pedestal")));
    std::vector<double> values{9};
    cfg->get_element_value_array(io, "pedestal", values);
    EXPECT_EQ((std::vector<double>{1, 2.5, 0.1}), values);
    cfg->set_array_value(io, "pedestal", std::vector<double>{});
    EXPECT_EQ(nullptr, child("pedestal")->children);
    cfg->get_element_value_array(io, "pedestal", values);
    EXPECT_TRUE(values.empty());
    values.push_back(1);
    cfg->get_element_value_array(io, "noise", values);
    EXPECT_TRUE(values.empty());
}

TEST_F(ConfigAccessTest, BitMasks)
{
    std::vector<int> bits;
    EXPECT_EQ(0, cfg->get_bit_array(io, "mask", 8, bits));
    EXPECT_EQ((std::vector<int>{0, 1, 4}), set_entries(bits));
    EXPECT_EQ(8u, bits.size());

    xmlNodePtr e = cfg->create_child(io, "chmask", "8\tA\r\n");
    EXPECT_EQ(0, cfg->get_bit_array(e, 8, bits));
    EXPECT_EQ((std::vector<int>{3, 5, 7}), set_entries(bits));

    // More digits than entries: the surplus is ignored, nothing is written
    // past the end.
    cfg->set_value(e, "fffffffff");
    EXPECT_EQ(0, cfg->get_bit_array(e, 6, bits));
    EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 1, 1}), bits);
    EXPECT_EQ(0, cfg->get_bit_array(e, 0, bits));
    EXPECT_TRUE(bits.empty());

    std::string out = testutil::capture_stdout([&] { EXPECT_EQ(-1, cfg->get_bit_array(io, "bad", 8, bits)); });
    EXPECT_EQ("Found funny character at pos. 0 : g\n-> g\n", out);
    cfg->set_value(e, "1 2z4");
    out = testutil::capture_stdout([&] { EXPECT_EQ(-1, cfg->get_bit_array(e, 16, bits)); });
    EXPECT_EQ("Found funny character at pos. 3 : z\n-> 1 2z4\n", out);
    EXPECT_EQ((std::vector<int>{0, 5}), set_entries(bits));
}
