// The scans section: defaults, reading, saving in place, saved scans that
// read back as the same points, scans too large to run, and many scans.
#include <chrono>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "ConfigTestUtil.h"
#include "config/ScanConfig.h"

namespace {

std::string document(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<Sorbek xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
           "xsi:noNamespaceSchemaLocation=\"sorbek.xsd\">\n" +
           body + "</Sorbek>\n";
}

// The scans element of a saved document, as the saver lays it out.
std::string scans_part(const std::string& text)
{
    const auto begin = text.find("  <scans");
    if (begin == std::string::npos)
        return std::string();
    auto end = text.find("  </scans>\n", begin);
    end = end == std::string::npos ? text.find("/>\n", begin) + 3 : end + 11;
    return text.substr(begin, end - begin);
}

// type/points/first/step of every variable.
std::string vars(const ScanPoint& p)
{
    std::ostringstream os;
    os.precision(17);
    for (const ScanVar& v : p)
        os << v.type() << "/" << v.n_points() << "/" << v.first() << "/" << v.step() << " ";
    return os.str();
}

const std::string two_scans =
    "  <scans nevts=\"500\" burst=\"true\" delay=\"0.25\" rate=\"200\">\n"
    "    <scan name=\"calibration\">\n"
    "      <type name=\"channel\" from=\"0\" to=\"127\" step=\"1\"/>\n"
    "      <type name=\"cal_dac\" from=\"0\" to=\"250\" step=\"25\"/>\n"
    "    </scan>\n"
    "    <scan name=\"fine\">\n"
    "      <type name=\"xposition\" from=\"0\" to=\"0.3\" step=\"0.1\"/>\n"
    "      <type name=\"thrs_trim\" from=\"-5\" to=\"5\" step=\"0.5\"/>\n"
    "    </scan>\n"
    "  </scans>\n";

} // namespace

class ScanSectionTest : public SectionFixture {
protected:
    ScanConfig* scans() { return dynamic_cast<ScanConfig*>(cfg->get_handler("scans")); }
    std::string scan(const std::string& name)
    {
        auto it = scans()->get_scan_list().find(name);
        return it == scans()->get_scan_list().end() ? "<none>" : vars(it->second);
    }
    // Saves into a new file and returns its text; `log` gets what was printed.
    std::string save(std::string* log = nullptr)
    {
        const std::string path = dir + "/saved" + std::to_string(++saves) + ".xml";
        const std::string out = testutil::capture_stdout(
            [&] { EXPECT_GT(cfg->save_config(path.c_str()), 0); });
        if (log)
            *log = out;
        return testutil::read_file(path);
    }
    // Reads a saved text again, validating it, and saves it once more.
    std::string reread_and_save(const std::string& text)
    {
        cfg->reset();
        cfg->add_schema_path(BRISKO_SOURCE_DIR "/config");
        cfg->set_do_validate(true);
        const std::string path = write("again" + std::to_string(saves) + ".xml", text);
        testutil::capture_stdout([&] { EXPECT_EQ(1, cfg->parse(path.c_str())); });
        cfg->set_do_validate(false);
        return save();
    }
    void quiet_load(const std::string& text)
    {
        testutil::capture_stdout([&] { load(text); });
    }
    int saves = 0;
};

TEST_F(ScanSectionTest, ConstructionAndMissingAttributeDefaultsDiffer)
{
    quiet_load(document("  <IO/>\n"));
    EXPECT_EQ(1000, scans()->get_nevts());
    EXPECT_TRUE(scans()->burst());
    EXPECT_DOUBLE_EQ(0.5, scans()->delay());
    EXPECT_DOUBLE_EQ(100, scans()->rate());
    EXPECT_FALSE(scans()->is_time());
    // Without scans nothing is written.
    EXPECT_EQ("", scans_part(save()));

    cfg->reset();
    quiet_load(document("  <scans/>\n"));
    EXPECT_EQ(100, scans()->get_nevts());
    EXPECT_FALSE(scans()->burst());
    EXPECT_DOUBLE_EQ(0.5, scans()->delay());
    EXPECT_DOUBLE_EQ(100, scans()->rate());
    EXPECT_EQ("  <scans nevts=\"100\" burst=\"false\" delay=\"0.5\" rate=\"100\"/>\n",
              scans_part(save()));
}

TEST_F(ScanSectionTest, ReadsScansAndSavesThemBackIdentically)
{
    quiet_load(document(two_scans + "  <scans nevts=\"9\">\n    <scan name=\"more\">\n"
                        "      <type name=\"trim\" from=\"0\" to=\"100\" step=\"10\"/>\n"
                        "    </scan>\n  </scans>\n"));
    // A second element adds its scans and overwrites the settings.
    ASSERT_EQ(3u, scans()->size());
    EXPECT_EQ("calibration", scans()->begin()->first);
    EXPECT_EQ(9, scans()->get_nevts());
    EXPECT_EQ("0/128/0/1 15/11/0/25 ", scan("calibration"));
    EXPECT_EQ("4/4/0/0.10000000000000001 14/21/-5/0.5 ", scan("fine"));
    EXPECT_EQ("3/11/0/10 ", scan("more"));
    std::ostringstream os;
    os << *scans();
    EXPECT_EQ(0u, os.str().find("Number of events per scan point: 9\nScan calibration Variables:\n"
                                "Type 0 n. points 128 from 0 step 1\n"));

    cfg->reset();
    quiet_load(document(two_scans));
    std::string log;
    const std::string first = save(&log);
    EXPECT_EQ(two_scans, scans_part(first));
    EXPECT_EQ("Scan: calibration\nScan: fine\n", log);
    const std::string second = reread_and_save(first);
    EXPECT_EQ(first, second);
    EXPECT_EQ("4/4/0/0.10000000000000001 14/21/-5/0.5 ", scan("fine"));
    EXPECT_EQ(second, reread_and_save(second));
}

TEST_F(ScanSectionTest, SavedBoundsAndNumbersGiveTheSamePoints)
{
    quiet_load(document("  <scans>\n    <scan name=\"a\">\n"
                        "      <type name=\"trim\" from=\"0\" to=\"1\" step=\"0.3\"/>\n"
                        "      <type name=\"threshold\" from=\"100\" to=\"0\" step=\"10\"/>\n"
                        "    </scan>\n  </scans>\n"));
    const std::string a = "3/4/0/0.29999999999999999 2/11/0/10 ";
    EXPECT_EQ(a, scan("a"));
    // The same scan new to the document, and one beyond six digits.
    ScanPoint precise("p");
    precise.add_var(ScanVar(ScanVar::channel, 1, 1234567, 40, 0));
    precise.add_var(ScanVar(ScanVar::pulse, 0.1234567891, 2, 1.0 / 3, 0));
    precise.add_var(ScanVar(ScanVar::user2, 1e6 + 0.1, 1e6 + 0.3, 0.1, 0));
    const std::string p = vars(precise);
    ScanList list = scans()->get_scan_list();
    list.add_point("b", list.find("a")->second);
    list.add_point("p", precise);
    scans()->set_scan_list(list);

    std::string text = save();
    const std::string variables =
        "      <type name=\"trim\" from=\"0\" to=\"0.9\" step=\"0.3\"/>\n"
        "      <type name=\"threshold\" from=\"0\" to=\"100\" step=\"10\"/>\n";
    EXPECT_EQ(0u, scans_part(text).find("  <scans nevts=\"100\" burst=\"false\" delay=\"0.5\" "
                                        "rate=\"100\">\n    <scan name=\"a\">\n" + variables +
                                        "    </scan>\n    <scan name=\"b\">\n" + variables));
    EXPECT_NE(std::string::npos, text.find("to=\"1234561\""));
    for (int round = 0; round < 3; ++round) {
        text = reread_and_save(text);
        EXPECT_EQ(a, scan("b"));
        EXPECT_EQ(p, scan("p"));
    }
}

TEST_F(ScanSectionTest, TypeNamesOutsideTheTableReadAsPulse)
{
    const std::string odd = "    <scan name=\"odd\">\n"
                            "      <type name=\"Pulse\" from=\"0\" to=\"2\" step=\"1\"/>\n"
                            "      <type name=\"bogus\" from=\"1\" to=\"2\" step=\"1\"/>\n"
                            "    </scan>\n";
    quiet_load(document("  <scans>\n" + odd + "  </scans>\n"));
    EXPECT_EQ("1/2/1/1 ", scan("odd"));
    EXPECT_EQ(ScanVar::cal_dac, ScanConfig::type_code("cal_dac"));
    EXPECT_EQ("", ScanConfig::type_name(16));

    // Saved, they say what was read: "pulse", in a new scan and in place
    // (where the element read over goes).
    const std::string pulse = "    <scan name=\"odd\">\n"
                              "      <type name=\"pulse\" from=\"1\" to=\"2\" step=\"1\"/>\n"
                              "    </scan>\n";
    EXPECT_NE(std::string::npos, save().find(pulse));
    const ScanList list = scans()->get_scan_list();
    cfg->reset();
    quiet_load(document("  <IO/>\n"));
    scans()->set_scan_list(list);
    EXPECT_NE(std::string::npos, save().find(pulse));
}

TEST_F(ScanSectionTest, ScansMadeOrEditedInMemoryReachTheDocument)
{
    quiet_load(document("  <IO/>\n"));
    ScanPoint made("made");
    made.add_var(ScanVar(ScanVar::channel, 0, 3, 1, 0));
    ScanList list;
    list.add_point("made", made);
    scans()->set_scan_list(list);
    scans()->is_time(true);
    scans()->delay(1.5);
    std::string log;
    const std::string text = save(&log);
    EXPECT_EQ("  <scans nevts=\"1000\" burst=\"true\" delay=\"1.5\" rate=\"100\">\n"
              "    <scan name=\"made\">\n"
              "      <type name=\"channel\" from=\"0\" to=\"3\" step=\"1\"/>\n"
              "    </scan>\n"
              "  </scans>\n",
              scans_part(text));
    EXPECT_EQ("Scan: made\nScan made is new [made]\n", log);
    EXPECT_EQ(text, save(&log));
    EXPECT_EQ("Scan: made\n", log);

    // A scan removed, a variable removed, one added, the order changed.
    cfg->reset();
    quiet_load(document(two_scans));
    list = scans()->get_scan_list();
    list.remove_point("calibration");
    ScanPoint fine("fine");
    fine.add_var(ScanVar(ScanVar::angle1, 0, 90, 45, 0));
    fine.add_var(*list.find("fine")->second.find_type(ScanVar::thrs_trim));
    list.add_point("fine", fine);
    scans()->set_scan_list(list);
    EXPECT_EQ("  <scans nevts=\"500\" burst=\"true\" delay=\"0.25\" rate=\"200\">\n"
              "    <scan name=\"fine\">\n"
              "      <type name=\"angle1\" from=\"0\" to=\"90\" step=\"45\"/>\n"
              "      <type name=\"thrs_trim\" from=\"-5\" to=\"5\" step=\"0.5\"/>\n"
              "    </scan>\n"
              "  </scans>\n",
              scans_part(save()));
}

TEST_F(ScanSectionTest, MissingAttributesAndBadStepsStopTheSection)
{
    const std::string bad_scans =
        "  <scans nevts=\"20\" burst=\"false\" delay=\"0.5\" rate=\"100\">\n"
        "    <scan name=\"good\">\n"
        "      <type name=\"trim\" from=\"0\" to=\"3\" step=\"1\"/>\n"
        "    </scan>\n"
        "    <scan name=\"zero\">\n"
        "      <type name=\"threshold\" from=\"0\" to=\"100\" step=\"0\"/>\n"
        "    </scan>\n"
        "    <scan name=\"later\"/>\n"
        "  </scans>\n";
    std::string out = testutil::capture_stdout([&] { load(document(bad_scans)); });
    EXPECT_EQ("ConfigParser: node scans gives and error while parsing at line 3 : \n"
              "Scan zero, variable threshold: the step must be a number greater than 0\n",
              out);
    EXPECT_EQ(1u, scans()->size());
    EXPECT_EQ("3/4/0/1 ", scan("good"));
    // The elements not read stay as they were.
    EXPECT_EQ(bad_scans, scans_part(save()));

    for (const char* element :
         {"<scan><type name=\"trim\" from=\"0\" to=\"3\" step=\"1\"/></scan>",
          "<scan name=\"s\"><type name=\"trim\" from=\"0\" step=\"1\"/></scan>"}) {
        cfg->reset();
        out = testutil::capture_stdout([&] {
            load(document("  <scans>\n    <scan name=\"first\"/>\n    " + std::string(element) +
                          "\n  </scans>\n"));
        });
        const std::string missing = element[5] == '>' ? "name" : "to";
        EXPECT_EQ("ConfigParser: node scans gives and error while parsing at line 3 : \n"
                  "attribute " + missing + " not present\n",
                  out);
        EXPECT_EQ(1u, scans()->size());
    }
}

TEST_F(ScanSectionTest, ScansBeyondTheBoundAreRefused)
{
    const std::pair<std::string, std::string> huge[] = {
        {"      <type name=\"channel\" from=\"0\" to=\"2e9\" step=\"1\"/>\n",
         "Scan huge, variable channel: the range holds more than the 1000000 points a scan may have"},
        {"      <type name=\"channel\" from=\"0\" to=\"999\" step=\"1\"/>\n"
         "      <type name=\"threshold\" from=\"0\" to=\"1000\" step=\"1\"/>\n",
         "Scan huge: the scan has 1001000 points, more than the 1000000 points a scan may have"},
    };
    for (const auto& h : huge) {
        cfg->reset();
        const std::string out = testutil::capture_stdout([&] {
            load(document("  <scans>\n    <scan name=\"good\">\n      <type name=\"trim\" from=\"0\" to=\"3\" "
                          "step=\"1\"/>\n    </scan>\n    <scan name=\"huge\">\n" +
                          h.first + "    </scan>\n  </scans>\n"));
        });
        EXPECT_EQ("ConfigParser: node scans gives and error while parsing at line 3 : \n" + h.second + "\n", out);
        EXPECT_EQ(1u, scans()->size());
        EXPECT_EQ("<none>", scan("huge"));
    }
}

TEST_F(ScanSectionTest, TwentyThousandScansAreSavedInSeconds)
{
    auto element = [](const std::string& name, int to) {
        return "    <scan name=\"" + name + "\">\n      <type name=\"channel\" from=\"0\" to=\"" +
               std::to_string(to) + "\" step=\"1\"/>\n    </scan>\n";
    };
    const std::string head = "  <scans nevts=\"100\" burst=\"false\" delay=\"0.5\" rate=\"100\">\n";
    std::string read, saved;
    for (int i = 0; i < 20000; ++i) {
        const std::string e = element("s" + std::to_string(i), i % 100);
        read += e;
        if (i != 7)
            saved += e;
    }
    quiet_load(document(head + read + "  </scans>\n"));
    ASSERT_EQ(20000u, scans()->size());
    ScanList list = scans()->get_scan_list();
    list.remove_point("s7");
    ScanPoint added("new");
    added.add_var(ScanVar(ScanVar::channel, 0, 5, 1, 0));
    list.add_point("new", added);
    scans()->set_scan_list(list);

    const auto start = std::chrono::steady_clock::now();
    const std::string text = save();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(head + saved + element("new", 5) + "  </scans>\n", scans_part(text));
}
