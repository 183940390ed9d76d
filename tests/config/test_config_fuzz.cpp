// Configurations nobody wrote by hand: the shipped ones, the built-in one
// and one with board streams, chips and a trigger board, mutated (elements
// deleted, duplicated, nested, renamed and reordered; hostile texts and
// attribute values; entities, namespaces, bytes that are no UTF-8), each
// read, saved, read again and saved again in this process, the board
// plug-in's sections, registered by the plug-ins section through hooks of
// this program, reading their boards as a knock would have them. No
// crash and no sanitizer report; a file that is refused is refused with a
// message; a file that is read is saved into one that is read again and
// saved to the same bytes.
//
// BRISKO_CONFIG_FUZZ_SEED (43 unless set) and BRISKO_CONFIG_FUZZ_SECONDS (30)
// choose the run; BRISKO_CONFIG_FUZZ_MUTANT tries only the mutant of that
// number, and BRISKO_CONFIG_FUZZ_KEEP names a folder that keeps the mutant
// and both saves. A failure, or a crash, names the seed, the mutant's
// number and its text.
#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <unistd.h>

#include "ConfigTestUtil.h"
#include "common/SetUpAcquisition.h"
#include "common/TestUtil.h"
#include "daq/DAQcontroller.h"
#include "daq/vme/VMEmanager.h"
#include "fenrow/Fenrow.h"
#include "fenrow/TriggerBoard.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Log.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>

// An undefined-behaviour report ends in an abort, which names the mutant.
extern "C" const char* __ubsan_default_options()
{
    return "abort_on_error=1:print_stacktrace=1";
}
#endif

namespace {

// A board with two streams of chips, and a trigger board, as the program
// writes them.
const char board_document[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<Sorbek xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xsi:noNamespaceSchemaLocation="sorbek.xsd">
  <plugins>
    <plugin name="fenrow" module="fenrow" lang="c++">
      <lib>libfenrow.so</lib>
      <hook>create_Fenrow</hook>
    </plugin>
    <plugin name="trigger" module="trigger_board" lang="C++">
      <lib>libfenrow.so</lib>
      <hook>create_TriggerBoard</hook>
    </plugin>
  </plugins>
  <paths/>
  <scans nevts="100" burst="false" delay="0.5" rate="100">
    <scan name="thr">
      <type name="threshold" from="0" to="100" step="10"/>
      <type name="channel" from="0" to="3" step="1"/>
    </scan>
  </scans>
  <IO compression="true" max_size="500000000" run_number="7" prefix="tellum-" path="/tmp/"/>
  <modules>
    <fenrow name="127.0.0.2" address="10000" interface="em1">
      <stream name="21" address="127.0.0.2">
        <nchips>2</nchips>
        <threshold>40</threshold>
        <chip_type>gp7</chip_type>
        <ro_mode>serial</ro_mode>
        <mbias>1460 1460 1460 1460 </mbias>
        <chip id="0">
          <gain>2</gain>
          <thrs_dac>12</thrs_dac>
          <trim>1 2 3 4 5 6 7 8</trim>
          <preampDAC>0 0 0 9</preampDAC>
          <mask>0200 0000 0000 0000 0002 0000 0000 0000</mask>
          <test>0000 0000 0000 0000 0000 0000 0000 0001</test>
        </chip>
        <chip id="1">
          <probe>true</probe>
          <mask>0000</mask>
        </chip>
        <pedestal>1 2 3</pedestal>
        <noise>0.5 0.5 0.5</noise>
        <monitor nbin="275" min="0" max="2200">
          <weights>
            <pedestal>0.001</pedestal>
            <noise>0.001</noise>
          </weights>
        </monitor>
        <padmap nx="16" ny="16" ntot="256">
          <map>0 1 2 3 -1 5</map>
        </padmap>
      </stream>
      <stream name="23" address="127.0.0.2">
        <nchips>1</nchips>
        <chip_type>hdr</chip_type>
        <ro_mode>adjacent</ro_mode>
        <chip id="0">
          <polarity>true</polarity>
          <calib_dac>120</calib_dac>
        </chip>
        <monitor nbin="512" min="-200" max="4000"/>
      </stream>
    </fenrow>
    <trigger_board xsi:type="TriggerBoard" name="127.0.0.3" address="10001" interface="em1">
      <mask>1 0 1 0 0 0 0 0 </mask>
      <majority>2</majority>
      <operation>0</operation>
      <monitor/>
    </trigger_board>
  </modules>
  <general>
    <pedestals>
      <nevts>5000</nevts>
      <period>300</period>
    </pedestals>
    <daq>
      <soap_port>50001</soap_port>
    </daq>
  </general>
</Sorbek>
)";

// Texts that end up where a value goes. Those between the markers stand
// for bytes and references that only the file's text can carry; they go in
// after the document is written out.
const char* const hostile_values[] = {
    "", "0", "1", "-1", "-0", "2", "7", "16", "255", "256", "65535", "65536", "2147483647", "2147483648",
    "-2147483648", "-2147483649", "4294967296", "99999999999999999999", "1e9", "1e309", "-1e309", "1e-320",
    "NaN", "nan", "-nan", "inf", "-inf", "Infinity", "0x10", "010", "1.5", "-0.5", " 12 ", "12abc", "abc",
    "true", "false", "TRUE", "yes", "normal", "fast", "serial", "sparse", "adjacent", "hdr", "gp7", "gp8", "ta32",
    "a b", "/tmp", "127.0.0.2", "127.0.0.3", "21", "23", "\t", "<", "&", "\"'", "\xc3\xa9\xe2\x82\xac",
    "QZ0QZ", "QZ1QZ", "QZ2QZ", "QZ3QZ", "QZ4QZ", "QZ5QZ", "QZ6QZ", "QZ7QZ", "QZ8QZ", "QZ9QZ",
};
// What the markers QZ<n>QZ become.
const char* const raw_texts[] = {
    "\xff\xfe",       "\xc3\x28",    "\xed\xa0\x80", "&#0;",   "&#xFFFE;",
    "&#x1F600;",      "&e;",         "&m;",          "&amp;lt;x/&gt;", "<![CDATA[9]]><!--c--><?p q?>",
};
// Declares what the entity references above name: a value, and markup.
const char entity_declarations[] =
    "<!DOCTYPE Sorbek [<!ENTITY e \"6001\"><!ENTITY m \"<general><daq><soap_port>6002</soap_port></daq></general>\">]>\n";

const char* const element_names[] = {
    "Sorbek", "plugins", "plugin", "lib", "hook", "interrupt", "run_managers", "data", "scan", "data_logger",
    "options", "paths", "libpaths", "gladepaths", "configpaths", "pythonpaths", "path", "scans", "type", "IO",
    "modules", "fenrow", "stream", "chip", "trigger_board", "general", "pedestals", "nevts", "update",
    "min_sample", "period", "method", "colors", "histograms", "tracers", "background", "foreground", "axis",
    "daq", "monitor_buffer", "soap_port", "vme_driver", "monitor", "weights", "pedestal", "noise", "padmap",
    "map", "pedestal_file", "nchips", "threshold", "chip_type", "ro_mode", "mbias", "gain", "trim", "mask",
    "test", "preampDAC", "majority", "operation", "wrap",
};
const char* const attribute_names[] = {
    "name", "module", "lang", "nevts", "burst", "delay", "rate", "from", "to", "step", "compression",
    "max_size", "run_number", "prefix", "path", "address", "interface", "id", "nbin", "min", "max", "nx",
    "ny", "ntot", "xsi:noNamespaceSchemaLocation", "tag",
};

class Mutator {
public:
    // Elements of the donors go into the mutants too.
    Mutator(std::mt19937& rng, const std::vector<xmlDocPtr>& donors) : rng(rng), donors(donors) {}

    // A mutant of the text, and what was done to it.
    std::string mutate(const std::string& text, std::string& done)
    {
        xmlDocPtr doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "seed.xml", nullptr,
                                      XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
        if (!doc || !xmlDocGetRootElement(doc)) {
            if (doc)
                xmlFreeDoc(doc);
            // Not a document: cut it or put bytes in.
            std::string out = text;
            const std::size_t at = pick(out.size());
            if (coin()) {
                out.resize(at);
                done = "cut at " + std::to_string(at);
            } else {
                out.insert(at, raw_texts[pick(std::size(raw_texts))]);
                done = "bytes at " + std::to_string(at);
            }
            return out;
        }
        const int n = 1 + static_cast<int>(pick(4));
        for (int i = 0; i < n; ++i)
            done += (i ? ", " : "") + step(doc);
        xmlChar* buffer = nullptr;
        int size = 0;
        xmlDocDumpMemoryEnc(doc, &buffer, &size, "UTF-8");
        std::string out(buffer ? reinterpret_cast<const char*>(buffer) : "", buffer ? static_cast<std::size_t>(size) : 0);
        xmlFree(buffer);
        xmlFreeDoc(doc);
        return raw(out);
    }

private:
    std::size_t pick(std::size_t n) { return n ? std::uniform_int_distribution<std::size_t>(0, n - 1)(rng) : 0; }
    bool coin() { return pick(2) == 0; }
    const char* value() { return hostile_values[pick(std::size(hostile_values))]; }
    std::string long_value()
    {
        switch (pick(4)) {
        case 0: return std::string(100000, '9');
        case 1: return std::string(70000, 'x');
        case 2: return "1" + std::string(400, '0');
        default: return std::string(5000, ' ') + "5";
        }
    }
    std::string any_value() { return pick(12) == 0 ? long_value() : std::string(value()); }

    static void collect(xmlNodePtr n, std::vector<xmlNodePtr>& out)
    {
        for (; n; n = n->next) {
            if (n->type != XML_ELEMENT_NODE)
                continue;
            out.push_back(n);
            collect(n->children, out);
        }
    }
    std::vector<xmlNodePtr> elements(xmlDocPtr doc)
    {
        std::vector<xmlNodePtr> out;
        collect(xmlDocGetRootElement(doc), out);
        return out;
    }
    static bool inside(xmlNodePtr n, xmlNodePtr subtree)
    {
        for (; n; n = n->parent)
            if (n == subtree)
                return true;
        return false;
    }

    // One change; what it was.
    std::string step(xmlDocPtr doc)
    {
        std::vector<xmlNodePtr> all = elements(doc);
        xmlNodePtr root = xmlDocGetRootElement(doc);
        xmlNodePtr e = all[pick(all.size())];
        const std::string name = reinterpret_cast<const char*>(e->name);
        switch (pick(15)) {
        case 14: {
            if (donors.empty())
                return "nothing";
            std::vector<xmlNodePtr> theirs = elements(donors[pick(donors.size())]);
            xmlNodePtr from = theirs[pick(theirs.size())];
            xmlAddChild(e, xmlDocCopyNode(from, doc, 1));
            return std::string("graft ") + reinterpret_cast<const char*>(from->name) + " into " + name;
        }
        case 0:
            if (e == root)
                return "nothing";
            xmlUnlinkNode(e);
            xmlFreeNode(e);
            return "delete " + name;
        case 1:
            if (e == root)
                return "nothing";
            xmlAddNextSibling(e, xmlDocCopyNode(e, doc, 1));
            return "duplicate " + name;
        case 2: {
            // A copy of one element inside another, sections in sections
            // too.
            xmlNodePtr into = all[pick(all.size())];
            xmlAddChild(into, xmlDocCopyNode(e, doc, 1));
            return "copy " + name + " into " + reinterpret_cast<const char*>(into->name);
        }
        case 3: {
            if (e == root)
                return "nothing";
            xmlNodePtr into = all[pick(all.size())];
            if (inside(into, e))
                return "nothing";
            xmlUnlinkNode(e);
            xmlAddChild(into, e);
            return "move " + name + " into " + reinterpret_cast<const char*>(into->name);
        }
        case 4: {
            // The children in reverse order.
            std::vector<xmlNodePtr> kids;
            for (xmlNodePtr k = e->children; k; k = k->next)
                kids.push_back(k);
            for (xmlNodePtr k : kids)
                xmlUnlinkNode(k);
            for (auto it = kids.rbegin(); it != kids.rend(); ++it)
                xmlAddChild(e, *it);
            return "reverse " + name;
        }
        case 5: {
            if (e == root)
                return "nothing";
            const char* to = element_names[pick(std::size(element_names))];
            xmlNodeSetName(e, BAD_CAST to);
            return "rename " + name + " to " + to;
        }
        case 6:
        case 7: {
            // A leaf's text mostly, now and then a whole subtree's.
            xmlNodePtr target = e;
            for (int tries = 0; tries < 5 && target->children && target->children->type == XML_ELEMENT_NODE; ++tries)
                target = all[pick(all.size())];
            const std::string v = any_value();
            xmlChar* escaped = xmlEncodeSpecialChars(doc, BAD_CAST v.c_str());
            xmlNodeSetContent(target, escaped);
            xmlFree(escaped);
            return "text of " + std::string(reinterpret_cast<const char*>(target->name)) + " = " + v.substr(0, 20);
        }
        case 8:
        case 9: {
            std::string attr = attribute_names[pick(std::size(attribute_names))];
            if (e->properties && coin())
                attr = reinterpret_cast<const char*>(e->properties->name);
            const std::string v = any_value();
            if (attr.compare(0, 4, "xsi:") == 0)
                attr = attr.substr(4);
            xmlSetProp(e, BAD_CAST attr.c_str(), BAD_CAST v.c_str());
            return "attribute " + name + "@" + attr + " = " + v.substr(0, 20);
        }
        case 10:
            if (!e->properties)
                return "nothing";
            xmlRemoveProp(e->properties);
            return "drop first attribute of " + name;
        case 11: {
            // A namespace declared, and in half the cases the element put
            // in it.
            const bool use = coin();
            const bool prefixed = coin();
            xmlNsPtr ns = xmlNewNs(e, BAD_CAST(coin() ? "urn:x" : ""), prefixed ? BAD_CAST "p" : nullptr);
            if (ns && use)
                xmlSetNs(e, ns);
            return std::string(use ? "put " : "declare namespace on ") + name;
        }
        case 12: {
            // A new child of a name the sections know.
            const char* child = element_names[pick(std::size(element_names))];
            xmlNodePtr c = xmlNewChild(e, nullptr, BAD_CAST child, nullptr);
            if (coin())
                xmlSetProp(c, BAD_CAST "name", BAD_CAST value());
            if (coin()) {
                xmlChar* escaped = xmlEncodeSpecialChars(doc, BAD_CAST value());
                xmlNodeSetContent(c, escaped);
                xmlFree(escaped);
            }
            return std::string("new ") + child + " in " + name;
        }
        default: {
            // Bytes no element's text can carry in the tree.
            char marker[8];
            std::snprintf(marker, sizeof marker, "QZ%zuQZ", pick(std::size(raw_texts)));
            xmlNodeAddContent(e, BAD_CAST marker);
            return std::string("raw ") + marker + " in " + name;
        }
        }
    }

    // The markers replaced by what they stand for; the entities declared
    // when one is used.
    static std::string raw(std::string text)
    {
        bool entities = false;
        for (std::size_t at = text.find("QZ"); at != std::string::npos; at = text.find("QZ", at)) {
            if (at + 4 < text.size() && text[at + 2] >= '0' && text[at + 2] <= '9' && text.compare(at + 3, 2, "QZ") == 0) {
                const char* r = raw_texts[text[at + 2] - '0'];
                entities = entities || (r[0] == '&' && (r[1] == 'e' || r[1] == 'm'));
                text.replace(at, 5, r);
                at += std::strlen(r);
            } else {
                at += 2;
            }
        }
        if (entities) {
            const std::size_t decl = text.find("?>\n");
            text.insert(decl == std::string::npos ? 0 : decl + 3, entity_declarations);
        }
        return text;
    }

    std::mt19937& rng;
    const std::vector<xmlDocPtr>& donors;
};

// The board manager of the board family as the plug-in makes it, without
// a socket: the test does what a board's knock reply does.
class KnockedBoards : public Ostrel::Fenrow {
public:
    using Ostrel::Fenrow::find_module;
};

class KnockedTriggers : public Ostrel::TriggerBoard {
public:
    using Ostrel::TriggerBoard::take_request;
};

// What the plug-in's hooks made since the configuration was last reset.
std::vector<SectionParser*> made;

} // namespace

// The plug-in's section hooks, found in this program as the configuration
// names them, so that the plug-ins section registers the board sections
// when and where it would.
extern "C" SectionParser* fuzz_create_fenrow()
{
    made.push_back(new KnockedBoards);
    return made.back();
}

extern "C" SectionParser* fuzz_create_trigger_board()
{
    made.push_back(new KnockedTriggers);
    return made.back();
}

namespace {

// The IPv4 address a board element names, or "" for a name no board's
// datagram can carry.
std::string board_address(xmlNodePtr element)
{
    xmlChar* name = xmlGetProp(element, BAD_CAST "name");
    std::string ip = name ? reinterpret_cast<const char*>(name) : "";
    xmlFree(name);
    in_addr a;
    return inet_pton(AF_INET, ip.c_str(), &a) == 1 ? ip : std::string();
}

unsigned env_number(const char* name, unsigned fallback)
{
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 0)) : fallback;
}

// For a crash: what was tried.
unsigned crash_seed = 0;
long crash_mutant = -1;
std::string* crash_text = nullptr;

void say_mutant()
{
    if (!crash_text)
        return;
    std::fprintf(stderr, "\nconfig fuzz: seed %u, mutant %ld (BRISKO_CONFIG_FUZZ_SEED=%u BRISKO_CONFIG_FUZZ_MUTANT=%ld)\n"
                         "--- mutant ---\n%s\n--- end of mutant ---\n",
                 crash_seed, crash_mutant, crash_seed, crash_mutant, crash_text->c_str());
}

// The process is lost anyway: what it was doing is worth the risk of a
// call that is not safe in a signal handler.
void crashed(int signal)
{
    std::fprintf(stderr, "\nconfig fuzz: signal %d\n", signal);
    say_mutant();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

class ConfigFuzz : public ConfigFixture {
protected:
    void SetUp() override
    {
        ConfigFixture::SetUp();
        PathUtils::set_program_path("/nonexistent-brisko/bin/brisko");
        quiet_mask = Ostrel::Logger::instance()->console()->get_mask();
        Ostrel::Logger::instance()->console()->set_mask(0);
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(&say_mutant);
#endif
        for (int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE})
            std::signal(signal, &crashed);
        // The sections' and libxml2's complaints, thousands of them; the
        // standard error itself stays free for a sanitizer's report.
        cerr_buffer = std::cerr.rdbuf(cerr_sink.rdbuf());
        xmlSetGenericErrorFunc(nullptr, &no_message);
    }
    void TearDown() override
    {
#if defined(__SANITIZE_ADDRESS__)
        __sanitizer_set_death_callback(nullptr);
#endif
        for (int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE})
            std::signal(signal, SIG_DFL);
        xmlSetGenericErrorFunc(nullptr, nullptr);
        std::cerr.rdbuf(cerr_buffer);
        crash_text = nullptr;
        Ostrel::Logger::instance()->console()->set_mask(quiet_mask);
        ConfigFixture::TearDown();
        VMEmanager::set_default_factory();
    }

    // The documents mutated, by name. Plug-in libraries are named so that
    // none loads: the board sections are this process's own.
    std::vector<std::pair<std::string, std::string>> corpus()
    {
        std::vector<std::pair<std::string, std::string>> docs;
        for (const std::string folder : {BRISKO_SOURCE_DIR "/config/demo", BRISKO_TEST_DATA_DIR "/configs"}) {
            GDir* d = g_dir_open(folder.c_str(), 0, nullptr);
            for (const char* f; d && (f = g_dir_read_name(d));)
                if (g_str_has_suffix(f, ".xml"))
                    docs.emplace_back(f, testutil::read_file(folder + "/" + f));
            if (d)
                g_dir_close(d);
        }
        cfg->reset();
        testutil::capture_stdout([&] { cfg->parse(nullptr); });
        xmlChar* buffer = nullptr;
        int size = 0;
        xmlDocDumpMemoryEnc(cfg->root()->doc, &buffer, &size, "UTF-8");
        docs.emplace_back("built-in", std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size)));
        xmlFree(buffer);
        // Last: the test's own checks read it.
        docs.emplace_back("boards", board_document);
        const std::pair<const char*, const char*> renames[] = {
            {"<lib>libfenrow.so</lib>", "<lib/>"}, {"libasciidump.so", "libfuzz-none.so"},
            {"create_Fenrow", "fuzz_create_fenrow"}, {"create_TriggerBoard", "fuzz_create_trigger_board"}};
        for (auto& doc : docs)
            for (const auto& r : renames)
                for (std::size_t at = doc.second.find(r.first); at != std::string::npos;
                     at = doc.second.find(r.first, at + std::strlen(r.second)))
                    doc.second.replace(at, std::strlen(r.first), r.second);
        return docs;
    }


    // "main", and every board of the section heard from.
    void knock()
    {
        testutil::set_up_acquisition();
        // A knock carries the address only: what a board's registration
        // does to the document is the next one's to find.
        for (SectionParser* h : std::vector<SectionParser*>(made)) {
            if (!cfg->has_handler(h))
                continue;
            if (auto* boards = dynamic_cast<KnockedBoards*>(h)) {
                for (const std::string& ip : addresses("//modules/" + boards->section_name()))
                    if (!boards->get_module(ip))
                        if (ModuleNode* board = boards->find_module(ip, 10000))
                            boards->register_module(board);
            } else if (auto* triggers = dynamic_cast<KnockedTriggers*>(h)) {
                for (const std::string& ip : addresses("//modules/" + triggers->section_name()))
                    triggers->take_request(ip, 10001, nullptr, 0);
            }
        }
    }
    // The board addresses the elements name, in their order, once each.
    std::vector<std::string> addresses(const std::string& xpath)
    {
        std::vector<xmlNodePtr> elements;
        cfg->get_node(xpath, elements);
        std::vector<std::string> out;
        for (xmlNodePtr e : elements) {
            const std::string ip = board_address(e);
            if (!ip.empty() && std::find(out.begin(), out.end(), ip) == out.end())
                out.push_back(ip);
        }
        return out;
    }

    // Read, boards heard, saved; "" when it went so, else why not. `out`
    // gets what was said.
    std::string load_and_save(const std::string& in, const std::string& saved, bool& refused, std::string& out)
    {
        refused = false;
        int rc = 0;
        std::string thrown;
        cfg->reset();
        made.clear();
        out = testutil::capture_stdout([&] {
            try {
                rc = cfg->parse(in.c_str());
            } catch (const std::exception& e) {
                thrown = e.what();
            }
        });
        if (!thrown.empty()) {
            out += thrown;
            refused = true;
            return "";
        }
        if (rc != 1) {
            refused = true;
            if (cfg->root())
                return "refused, and its document kept";
            // The parser's own line says why, whatever else was said.
            return out.find("ConfigParser::parse") == std::string::npos ? "refused without a message" : "";
        }
        int written = -1;
        std::string why;
        out += testutil::capture_stdout([&] {
            try {
                knock();
                written = cfg->save_config(saved.c_str());
            } catch (const std::exception& e) {
                why = std::string("exception out of the save: ") + e.what();
            }
        });
        if (why.empty() && written <= 0)
            why = "not saved";
        return why;
    }

    // "" when the mutant holds, else why not.
    std::string try_mutant(const std::string& text)
    {
        // BRISKO_CONFIG_FUZZ_KEEP names a folder that keeps the files.
        const char* keep = std::getenv("BRISKO_CONFIG_FUZZ_KEEP");
        const std::string folder = keep && *keep ? keep : dir;
        const std::string in = folder + "/mutant.xml";
        const std::string first = folder + "/first.xml";
        const std::string second = folder + "/second.xml";
        testutil::write_file(in, text);
        bool refused = false;
        std::string out;
        std::string why = load_and_save(in, first, refused, out);
        if (!why.empty() || refused) {
            ++refusals;
            return why;
        }
        const std::string saved = testutil::read_file(first);
        why = load_and_save(first, second, refused, out);
        if (refused)
            return "its saved file is refused: " + out.substr(0, 2000) + "\n--- saved ---\n" + saved;
        if (!why.empty())
            return "its saved file: " + why;
        const std::string again = testutil::read_file(second);
        if (again != saved) {
            std::size_t at = 0;
            while (at < saved.size() && at < again.size() && saved[at] == again[at])
                ++at;
            const std::size_t from = saved.rfind('\n', at) == std::string::npos ? 0 : saved.rfind('\n', at) + 1;
            return "the second save differs from the first at byte " + std::to_string(at) + ":\n  first: " +
                   saved.substr(from, at - from + 80) + "\n  second: " + again.substr(from, at - from + 80) +
                   "\n--- first save ---\n" + saved;
        }
        return "";
    }

    static void no_message(void*, const char*, ...) {}

    // Emptied now and then: only the stream is wanted, not what it holds.
    std::ostringstream cerr_sink;
    std::streambuf* cerr_buffer = nullptr;
    unsigned short quiet_mask = 0;
    long refusals = 0;
};

TEST_F(ConfigFuzz, MutantsAreRefusedWithAMessageOrSavedToAFixedPoint)
{
    const unsigned seed = env_number("BRISKO_CONFIG_FUZZ_SEED", 43);
    const double seconds = env_number("BRISKO_CONFIG_FUZZ_SECONDS", 30);
    const char* only = std::getenv("BRISKO_CONFIG_FUZZ_MUTANT");
    std::printf("config fuzz: seed %u for %g s (BRISKO_CONFIG_FUZZ_SEED, BRISKO_CONFIG_FUZZ_SECONDS)\n", seed, seconds);
    const auto docs = corpus();
    ASSERT_GT(docs.size(), 20u);

    std::string text;
    crash_seed = seed;
    crash_text = &text;
    // The documents themselves hold, and the boards' streams are read.
    for (const auto& doc : docs) {
        text = doc.second;
        EXPECT_EQ("", try_mutant(text)) << doc.first;
    }
    bool refused = false;
    std::string out;
    testutil::write_file(dir + "/boards.xml", docs.back().second);
    ASSERT_EQ("", load_and_save(dir + "/boards.xml", dir + "/saved.xml", refused, out));
    for (const char* stream : {"21", "23"})
        EXPECT_TRUE(Ostrel::DAQmanager::theDAQmanager()->find_module(Ostrel::DAQid(stream))) << stream;
    EXPECT_NE(nullptr, cfg->get_id_handler(31));
    EXPECT_TRUE(Ostrel::DAQmanager::theDAQmanager()->find_module(Ostrel::DAQid("31")));
    EXPECT_NE(std::string::npos, testutil::read_file(dir + "/saved.xml").find("<vthrh>1500</vthrh>"));

    std::vector<xmlDocPtr> donors;
    for (const auto& doc : docs)
        if (xmlDocPtr d = xmlReadMemory(doc.second.data(), static_cast<int>(doc.second.size()), "donor.xml", nullptr,
                                        XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_NOBLANKS))
            donors.push_back(d);

    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    long tried = 0;
    int failures = 0;
    for (long i = only ? std::atol(only) : 0; failures < 3; ++i) {
        if (only ? i > std::atol(only) : std::chrono::steady_clock::now() > end)
            break;
        // Each mutant from its own number, so that one can be made again.
        std::seed_seq numbers{seed, static_cast<unsigned>(i), static_cast<unsigned>(i >> 32)};
        std::mt19937 rng(numbers);
        Mutator mutator(rng, donors);
        const auto& doc = docs[std::uniform_int_distribution<std::size_t>(0, docs.size() - 1)(rng)];
        std::string done;
        text = mutator.mutate(doc.second, done);
        if (text.size() > (4u << 20))
            continue;
        crash_mutant = i;
        ++tried;
        cerr_sink.str(std::string());
        const std::string why = try_mutant(text);
        if (why.empty())
            continue;
        ++failures;
        ADD_FAILURE() << "seed " << seed << ", mutant " << i << " (BRISKO_CONFIG_FUZZ_SEED=" << seed
                      << " BRISKO_CONFIG_FUZZ_MUTANT=" << i << ") of " << doc.first << " [" << done << "]: " << why
                      << "\n--- mutant ---\n"
                      << (text.size() > 20000 ? text.substr(0, 20000) + "\n[... cut]" : text);
    }
    for (xmlDocPtr d : donors)
        xmlFreeDoc(d);
    std::printf("config fuzz: seed %u, %ld mutants, %ld refused\n", seed, tried, refusals);
    EXPECT_GT(tried, 0);
}

} // namespace
