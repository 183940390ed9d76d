// The framework's SOAP server, driven over loopback HTTP with libcurl.
#include "ostrel/soap/OstrelSOAP.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "common/TestUtil.h"
#include "daq/ScanRunManager.h"
#include "ostrel/Ostrel.h"

namespace {

using Args = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

const char* const ENV_NS = "http://schemas.xmlsoap.org/soap/envelope/";

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// A loopback port nobody listens on right now.
int free_port()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        std::abort();
    close(fd);
    return ntohs(a.sin_port);
}

struct Http {
    CURLcode rc = CURLE_OK;
    long status = 0;
    std::string body;
};

size_t collect(char* p, size_t size, size_t n, void* out)
{
    static_cast<std::string*>(out)->append(p, size * n);
    return size * n;
}

// One request on a curl handle, which keeps its connection for the next
// one when the server lets it.
Http http_on(CURL* c, int port, const char* method, const std::string& body, long timeout_ms = 5000,
             const char* extra_header = nullptr)
{
    Http r;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, timeout_ms);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, 2000L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &r.body);
    curl_slist* headers = nullptr;
    if (std::strcmp(method, "POST") == 0) {
        headers = curl_slist_append(headers, "Content-Type: text/xml; charset=utf-8");
        headers = curl_slist_append(headers, "SOAPAction: \"\"");
        if (extra_header)
            headers = curl_slist_append(headers, extra_header);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    } else {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, method);
    }
    r.rc = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &r.status);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_slist_free_all(headers);
    return r;
}

CURL* new_handle()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    return curl_easy_init();
}

Http http(int port, const char* method, const std::string& body, long timeout_ms = 5000,
          const char* extra_header = nullptr)
{
    CURL* c = new_handle();
    Http r = http_on(c, port, method, body, timeout_ms, extra_header);
    curl_easy_cleanup(c);
    return r;
}

// A request envelope, built with libxml2 so that argument texts are escaped.
std::string envelope(const std::string& op, const Args& args)
{
    xmlDocPtr doc = xmlNewDoc(X("1.0"));
    xmlNode* env = xmlNewDocNode(doc, nullptr, X("Envelope"), nullptr);
    xmlNsPtr ns = xmlNewNs(env, X(ENV_NS), X("SOAP-ENV"));
    xmlSetNs(env, ns);
    xmlDocSetRootElement(doc, env);
    xmlNode* body = xmlNewChild(env, ns, X("Body"), nullptr);
    xmlNode* call = xmlNewChild(body, nullptr, X(op.c_str()), nullptr);
    xmlSetNs(call, xmlNewNs(call, X("urn:ostrel"), X("o")));
    for (const auto& a : args)
        xmlNewTextChild(call, nullptr, X(a.first.c_str()), X(a.second.c_str()));
    xmlChar* mem = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc, &mem, &size, "UTF-8");
    std::string out(reinterpret_cast<char*>(mem), static_cast<size_t>(size));
    xmlFree(mem);
    xmlFreeDoc(doc);
    return out;
}

std::string text_of(xmlNode* n)
{
    xmlChar* c = xmlNodeGetContent(n);
    std::string s = c ? reinterpret_cast<char*>(c) : "";
    xmlFree(c);
    return s;
}

std::vector<xmlNode*> elements(xmlNode* n)
{
    std::vector<xmlNode*> out;
    for (xmlNode* c = n ? n->children : nullptr; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE)
            out.push_back(c);
    return out;
}

bool named(const xmlNode* n, const char* name) { return xmlStrEqual(n->name, X(name)); }

struct Soap {
    CURLcode rc = CURLE_OK;
    long status = 0;
    bool well_formed = false;
    bool fault = false;
    std::string faultcode, faultstring;
    std::string response_name;     // element name inside Body
    std::string ret;               // text of <return>
    std::vector<std::string> items;
    std::map<std::string, std::string> fields;
};

Soap parse_reply(const Http& h)
{
    Soap s;
    s.rc = h.rc;
    s.status = h.status;
    xmlDocPtr doc = xmlReadMemory(h.body.data(), static_cast<int>(h.body.size()), nullptr, nullptr,
                                  XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc)
        return s;
    xmlNode* root = xmlDocGetRootElement(doc);
    s.well_formed = root && named(root, "Envelope") && root->ns && xmlStrEqual(root->ns->href, X(ENV_NS));
    xmlNode* body = nullptr;
    for (xmlNode* c : elements(root))
        if (named(c, "Body"))
            body = c;
    const auto in_body = elements(body);
    // The response element is in the request's namespace ("urn:ostrel"
    // here) and everything in it is unqualified; an element in the
    // envelope's namespace does not count as found.
    auto plain = [](const std::vector<xmlNode*>& nodes) {
        std::vector<xmlNode*> out;
        for (xmlNode* n : nodes)
            if (!n->ns)
                out.push_back(n);
        return out;
    };
    if (!in_body.empty()) {
        xmlNode* r = in_body.front();
        s.response_name = reinterpret_cast<const char*>(r->name);
        if (r->ns && s.response_name != "Fault" && !xmlStrEqual(r->ns->href, X("urn:ostrel")))
            s.response_name = "{namespaced}" + s.response_name;
        if (s.response_name == "Fault") {
            s.fault = true;
            for (xmlNode* c : plain(elements(r))) {
                if (named(c, "faultcode"))
                    s.faultcode = text_of(c);
                if (named(c, "faultstring"))
                    s.faultstring = text_of(c);
            }
        } else {
            for (xmlNode* ret : plain(elements(r))) {
                if (!named(ret, "return"))
                    continue;
                s.ret = text_of(ret);
                for (xmlNode* c : plain(elements(ret))) {
                    if (named(c, "item"))
                        s.items.push_back(text_of(c));
                    else
                        s.fields[reinterpret_cast<const char*>(c->name)] = text_of(c);
                }
            }
        }
    }
    xmlFreeDoc(doc);
    return s;
}

Soap call(int port, const std::string& op, const Args& args = {}, long timeout_ms = 5000)
{
    return parse_reply(http(port, "POST", envelope(op, args), timeout_ms));
}

bool contains(const std::vector<std::string>& v, const std::string& s)
{
    for (const auto& x : v)
        if (x == s)
            return true;
    return false;
}

// ---------------------------------------------------------------------------
// Framework objects the server works on.

// A module with two parameters that gives one small event per trigger
// while `producing` is set.
class TestModule : public Ostrel::Module {
public:
    explicit TestModule(const Ostrel::DAQid& id) : Module(id)
    {
        gain = static_cast<Ostrel::Par<int>*>(add_par("gain", new Ostrel::Par<int>(5)));
        label = static_cast<Ostrel::Par<std::string>*>(
            add_par("label", new Ostrel::Par<std::string>("a<b & \"c\"")));
    }
    int PrepareForRun() override { return 0; }
    int Start(int) override { return 0; }
    int Stop(int) override { return 0; }
    int Pause() override { return 0; }
    int Continue() override { return 0; }
    int Reset() override { return 0; }
    int GetReady() override { return 0; }
    int Trigger() override
    {
        // About a thousand events a second: enough to count, not a busy loop.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pending = producing.load();
        return 0;
    }
    int flush() override { return 0; }
    bool hasData() override { return pending; }
    Ostrel::ModuleData* getData() override
    {
        if (!pending.exchange(false))
            return nullptr;
        return Ostrel::ModuleData::new_block(8);
    }

    Ostrel::Par<int>* gain;
    Ostrel::Par<std::string>* label;
    std::atomic<bool> producing{true};
    std::atomic<bool> pending{false};
};

// Records the int values it is notified with.
class Recorder : public Ostrel::Observer {
public:
    void update(Ostrel::Observable*, Ostrel::Argument* a) override
    {
        if (auto* v = dynamic_cast<Ostrel::Arg<int>*>(a)) {
            std::lock_guard<std::mutex> lock(mutex);
            values.push_back(v->get_value());
        }
    }
    std::vector<int> seen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return values;
    }

private:
    std::mutex mutex;
    std::vector<int> values;
};

// Holds every notifying thread until released (10 s at most), as a
// "command" that waits for the end of a run does.
class Blocker : public Ostrel::Observer {
public:
    void update(Ostrel::Observable*, Ostrel::Argument*) override
    {
        std::unique_lock<std::mutex> lock(mutex);
        ++entered;
        cond.notify_all();
        cond.wait_for(lock, std::chrono::seconds(10), [this] { return released; });
        ++left;
        cond.notify_all();
    }
    bool wait_entered(double seconds, int n = 1)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return entered >= n; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        cond.notify_all();
    }
    bool has_left()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return left > 0;
    }
    // After release: every thread that came in has gone again.
    bool wait_all_left(double seconds)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return left == entered; });
    }

private:
    std::mutex mutex;
    std::condition_variable cond;
    int entered = 0;
    int left = 0;
    bool released = false;
};

// The server reads and writes values under the parameter's lock; the test
// does the same when it touches them directly.
template <class T>
T value_of(Ostrel::Par<T>* p)
{
    std::lock_guard<std::recursive_mutex> lock(p->mutex());
    return p->get_value();
}

template <class T>
void put_value(Ostrel::Par<T>* p, const T& v)
{
    std::lock_guard<std::recursive_mutex> lock(p->mutex());
    p->set_value(v, false);
}

void use_loopback() { setenv("OSTREL_SOAP_ADDRESS", "127.0.0.1", 1); }

// ---------------------------------------------------------------------------
// Starting and stopping

TEST(SoapServer, StartsStopsAndStartsAgain)
{
    use_loopback();
    const int port = free_port();
    Ostrel::OstrelSOAP server(port);
    EXPECT_FALSE(server.is_running());

    ASSERT_EQ(server.serve(true), 0);
    EXPECT_TRUE(server.is_running());
    EXPECT_EQ(server.error(), 0);
    EXPECT_EQ(server.port(), port);
    Soap r = call(port, "listModules");
    EXPECT_EQ(r.status, 200);
    EXPECT_FALSE(r.fault);
    EXPECT_EQ(r.response_name, "listModulesResponse");
    // Serving twice is refused, and the first server goes on.
    EXPECT_EQ(server.serve(true), -1);
    EXPECT_TRUE(server.is_running());

    server.stop();
    EXPECT_FALSE(server.is_running());
    EXPECT_NE(http(port, "POST", envelope("listModules", {})).rc, CURLE_OK);
    server.stop();   // idempotent

    ASSERT_EQ(server.serve(true), 0);
    EXPECT_EQ(call(port, "listRunManagers").status, 200);
}

TEST(SoapServer, PortInUseFailsWithMessage)
{
    use_loopback();
    const int port = free_port();
    Ostrel::OstrelSOAP first(port);
    ASSERT_EQ(first.serve(true), 0);

    Ostrel::OstrelSOAP second(port);
    EXPECT_EQ(second.serve(true), -1);
    EXPECT_FALSE(second.is_running());
    EXPECT_NE(second.error(), 0);
    EXPECT_GT(std::strlen(second.strerror()), 0u);
    second.stop();

    EXPECT_TRUE(first.is_running());
    EXPECT_EQ(call(port, "listModules").status, 200);
}

TEST(SoapServer, BadAddressFailsWithMessage)
{
    setenv("OSTREL_SOAP_ADDRESS", "not-an-address", 1);
    Ostrel::OstrelSOAP server(free_port());
    EXPECT_EQ(server.serve(true), -1);
    EXPECT_NE(server.error(), 0);
    EXPECT_NE(std::string(server.strerror()).find("not-an-address"), std::string::npos);
    use_loopback();
}

TEST(SoapServer, ServesInCallingThreadUntilStopped)
{
    use_loopback();
    const int port = free_port();
    Ostrel::OstrelSOAP server(port);
    std::atomic<int> rc{1};
    std::thread serving([&] { rc = server.serve(false); });
    ASSERT_TRUE(testutil::wait_until([&] { return server.is_running(); }, 5.0));
    EXPECT_EQ(call(port, "listModules").status, 200);
    server.stop();
    serving.join();
    EXPECT_EQ(rc.load(), 0);
    EXPECT_FALSE(server.is_running());
}

// ---------------------------------------------------------------------------
// Operations, against one module and one run manager

class SoapOperations : public ::testing::Test {
protected:
    void SetUp() override
    {
        use_loopback();
        port = free_port();
        module = std::make_unique<TestModule>("soap_mod");
        rm = std::make_unique<Ostrel::RunManager>("soap_rm");
        rm->add_par("mode", new Ostrel::Par<std::string>("plain"));
        rm->addModule(module.get());
        server = std::make_unique<Ostrel::OstrelSOAP>(port);
        ASSERT_EQ(server->serve(true), 0);
    }
    void TearDown() override
    {
        server.reset();
        rm.reset();
        module.reset();
    }

    Soap get(const std::string& object, const std::string& name, long timeout = 5000)
    {
        return call(port, "getParameter", {{"object", object}, {"name", name}}, timeout);
    }
    Soap set(const std::string& object, const std::string& name, const std::string& value, long timeout = 5000)
    {
        return call(port, "setParameter", {{"object", object}, {"name", name}, {"value", value}}, timeout);
    }
    Soap state(const std::string& object) { return call(port, "getRunState", {{"object", object}}); }
    Soap control(const std::string& command)
    {
        return call(port, "runControl", {{"runManager", "soap_rm"}, {"command", command}});
    }

    int port = 0;
    std::unique_ptr<TestModule> module;
    std::unique_ptr<Ostrel::RunManager> rm;
    std::unique_ptr<Ostrel::OstrelSOAP> server;
};

void expect_client_fault(const Soap& r, const std::string& part)
{
    EXPECT_EQ(r.status, 500);
    EXPECT_TRUE(r.fault);
    EXPECT_EQ(r.faultcode, "soap:Client");
    EXPECT_NE(r.faultstring.find(part), std::string::npos) << r.faultstring;
}

TEST_F(SoapOperations, ListsModulesRunManagersAndParameters)
{
    Soap r = call(port, "listModules");
    EXPECT_TRUE(contains(r.items, "soap_mod"));
    EXPECT_FALSE(contains(r.items, "soap_rm"));
    r = call(port, "listRunManagers");
    EXPECT_TRUE(contains(r.items, "soap_rm"));
    EXPECT_FALSE(contains(r.items, "soap_mod"));

    r = call(port, "listParameters", {{"object", "soap_mod"}});
    EXPECT_EQ(std::set<std::string>(r.items.begin(), r.items.end()), (std::set<std::string>{"gain", "label"}));
    r = call(port, "listParameters", {{"object", "soap_rm"}});
    EXPECT_TRUE(contains(r.items, "mode"));
}

TEST_F(SoapOperations, GetsParameterTexts)
{
    Soap r = get("soap_mod", "gain");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.response_name, "getParameterResponse");
    EXPECT_EQ(r.ret, "5");
    EXPECT_EQ(get("soap_mod", "label").ret, "a<b & \"c\"");
    EXPECT_EQ(get("soap_rm", "mode").ret, "plain");
}

TEST_F(SoapOperations, SetParameterNotifiesObservers)
{
    Recorder rec;
    module->gain->addObserver(&rec);
    Soap r = set("soap_mod", "gain", "7");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.ret, "ok");
    EXPECT_EQ(value_of(module->gain), 7);
    EXPECT_EQ(rec.seen(), std::vector<int>{7});
    module->gain->removeObserver(&rec);

    EXPECT_EQ(set("soap_mod", "label", "x <y> & ]]>").ret, "ok");
    EXPECT_EQ(get("soap_mod", "label").ret, "x <y> & ]]>");
    EXPECT_EQ(set("soap_rm", "mode", "").ret, "ok");
    EXPECT_EQ(get("soap_rm", "mode").ret, "");
}

TEST_F(SoapOperations, SetParameterRefusesTextsThatAreNoValue)
{
    Recorder rec;
    module->gain->addObserver(&rec);
    for (const char* bad : {"abc", "12abc", "1.5", "99999999999", ""}) {
        SCOPED_TRACE(bad);
        expect_client_fault(set("soap_mod", "gain", bad), "gain");
    }
    EXPECT_EQ(value_of(module->gain), 5);
    EXPECT_TRUE(rec.seen().empty());
    EXPECT_EQ(set("soap_mod", "gain", " -3 ").ret, "ok");
    EXPECT_EQ(value_of(module->gain), -3);
    module->gain->removeObserver(&rec);
}

TEST_F(SoapOperations, AValueTheOwnerRefusesIsAFaultWithTheReason)
{
    // Observing before anyone else, as an owner that refuses values does.
    struct Owner : Ostrel::Observer {
        void update(Ostrel::Observable*, Ostrel::Argument* a) override
        {
            auto* v = dynamic_cast<Ostrel::Arg<int>*>(a);
            if (v && v->get_value() < 1)
                throw Ostrel::ParameterRefused(std::to_string(v->get_value()) + " is less than 1");
        }
    } owner;
    Recorder later;
    module->gain->addObserver(&owner);
    module->gain->addObserver(&later);
    expect_client_fault(set("soap_mod", "gain", "-1"), "Bad value \"-1\" for parameter gain of soap_mod: -1 is less than 1");
    EXPECT_EQ(get("soap_mod", "gain").ret, "5");
    EXPECT_TRUE(later.seen().empty());
    EXPECT_EQ(set("soap_mod", "gain", "2").ret, "ok");
    EXPECT_EQ(later.seen(), std::vector<int>{2});
    module->gain->removeObserver(&later);
    module->gain->removeObserver(&owner);
}

TEST_F(SoapOperations, ScanBeyondTheBoundIsRefusedWithTheReason)
{
    ScanRunManager scan("soap_scan");
    ASSERT_TRUE(scan.set_scan_list(10, {ScanVar(ScanVar::channel, 0, 3, 1, 0)}));
    // The run manager makes no point of a larger scan either.
    EXPECT_FALSE(scan.set_scan_list(10, {ScanVar(ScanVar::channel, 0, 999, 1, 0),
                                         ScanVar(ScanVar::threshold, 0, 1000, 1, 0)}));
    EXPECT_EQ(1, scan.get_n_var());
    const std::string before = get("soap_scan", "scanpoint").ret;
    const std::string bound = "more than the 1000000 points a scan may have";
    expect_client_fault(set("soap_scan", "scanpoint", "1 huge\n0 0 2e9 1 0 0\n"),
                        "scanpoint of soap_scan: the range holds " + bound);
    expect_client_fault(set("soap_scan", "scanpoint", "2 grid\n0 0 999 1 0 0\n2 0 1000 1 0 0\n"),
                        "scanpoint of soap_scan: the scan has 1001000 points, " + bound);
    EXPECT_EQ(before, get("soap_scan", "scanpoint").ret);
    EXPECT_EQ(set("soap_scan", "scanpoint", "1 small\n0 0 9 1 0 0\n").ret, "ok");
    // The scan manager lives on this stack: the server's threads end first.
    server.reset();
}

TEST_F(SoapOperations, TextsXmlCannotCarryStillGiveWellFormedReplies)
{
    put_value(module->label, std::string("bad\x01 \xff end"));
    Soap r = get("soap_mod", "label");
    EXPECT_TRUE(r.well_formed);
    EXPECT_FALSE(r.fault);
    EXPECT_EQ(r.ret.substr(0, 3), "bad");
    EXPECT_NE(r.ret.find("end"), std::string::npos);
}

TEST_F(SoapOperations, RunStateOfModuleAndRunManager)
{
    Soap m = state("soap_mod");
    ASSERT_FALSE(m.fault);
    for (const char* f : {"status", "statusName", "active", "time", "nTrigger", "nWritten", "rate"})
        EXPECT_EQ(m.fields.count(f), 1u) << f;
    EXPECT_EQ(m.fields.count("eventNumber"), 0u);
    EXPECT_EQ(m.fields["active"], "false");
    const auto status = static_cast<Ostrel::RunState::StatusType>(std::stoi(m.fields["status"]));
    EXPECT_EQ(m.fields["statusName"], Ostrel::RunState::status_name(status));

    Soap r = state("soap_rm");
    ASSERT_FALSE(r.fault);
    EXPECT_EQ(r.fields["active"], "false");
    EXPECT_EQ(r.fields["eventNumber"], "0");
    EXPECT_EQ(r.fields["nTrigger"], "0");
}

TEST_F(SoapOperations, BadRequestsGetClientFaults)
{
    expect_client_fault(get("nope", "gain"), "No module or run manager nope");
    expect_client_fault(state("nope"), "No module or run manager nope");
    expect_client_fault(get("soap_mod", "nothing"), "nothing");
    expect_client_fault(call(port, "fooBar"), "fooBar");
    expect_client_fault(call(port, "getParameter", {{"object", "soap_mod"}}), "name");
    expect_client_fault(call(port, "setParameter", {{"object", "soap_mod"}, {"name", "gain"}}), "value");
    expect_client_fault(call(port, "runControl", {{"runManager", "soap_rm"}}), "command");
    expect_client_fault(control("Jump"), "Jump");
    expect_client_fault(call(port, "runControl", {{"runManager", "soap_mod"}, {"command", "Start"}}), "soap_mod");
    EXPECT_FALSE(rm->isActive());

    const std::string env_open = std::string("<e:Envelope xmlns:e=\"") + ENV_NS + "\">";
    for (const std::string& body :
         {std::string("hello"), std::string("<a>not closed"), std::string("<Envelope><Body><listModules/></Body></Envelope>"),
          env_open + "<e:Header/></e:Envelope>", env_open + "<e:Body/></e:Envelope>",
          std::string("<!DOCTYPE e:Envelope [<!ENTITY x \"y\">]>") + env_open + "<e:Body><listModules/></e:Body></e:Envelope>",
          std::string()}) {
        SCOPED_TRACE(body);
        Soap r = parse_reply(http(port, "POST", body));
        EXPECT_EQ(r.status, 500);
        EXPECT_TRUE(r.fault);
        EXPECT_EQ(r.faultcode, "soap:Client");
        EXPECT_FALSE(r.faultstring.empty());
    }

    for (const char* method : {"GET", "PUT"})
        EXPECT_EQ(http(port, method, "").status, 405) << method;
    // Still serving after all that.
    EXPECT_EQ(get("soap_mod", "gain").ret, "5");
}

TEST_F(SoapOperations, ManyClientsOnOneParameter)
{
    // Long texts of changing length: heap-held, so that unguarded concurrent
    // writes would show as torn or broken values.
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                const std::string v(40 + (t * 37 + i * 11) % 300, static_cast<char>('a' + t));
                if (set("soap_rm", "mode", v).ret != "ok")
                    continue;
                const std::string back = get("soap_rm", "mode").ret;
                if (!back.empty() && back.find_first_not_of(back[0]) == std::string::npos)
                    ++good;
            }
        });
    }
    for (auto& c : clients)
        c.join();
    EXPECT_EQ(good.load(), 200);
}

// ---------------------------------------------------------------------------
// Operations that block

TEST_F(SoapOperations, BlockingSetDoesNotHoldUpOtherClients)
{
    Blocker blocker;
    module->label->addObserver(&blocker);
    Soap slow;
    std::thread client([&] { slow = set("soap_mod", "label", "slow", 10000); });
    ASSERT_TRUE(blocker.wait_entered(5.0));

    const auto t0 = Clock::now();
    Soap quick = get("soap_mod", "gain", 2000);
    EXPECT_EQ(quick.ret, "5");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 2.0);
    EXPECT_FALSE(blocker.has_left());

    blocker.release();
    client.join();
    EXPECT_EQ(slow.ret, "ok");
    module->label->removeObserver(&blocker);
}

TEST_F(SoapOperations, StopWaitsForBlockedOperation)
{
    Blocker blocker;
    module->label->addObserver(&blocker);
    Soap slow;
    std::thread client([&] { slow = set("soap_mod", "label", "slow", 10000); });
    ASSERT_TRUE(blocker.wait_entered(5.0));

    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        blocker.release();
    });
    const auto t0 = Clock::now();
    server->stop();
    EXPECT_GE(std::chrono::duration<double>(Clock::now() - t0).count(), 0.25);
    EXPECT_TRUE(blocker.has_left());
    EXPECT_FALSE(server->is_running());
    releaser.join();
    client.join();   // answered or cut off; either way it ends
    module->label->removeObserver(&blocker);
}

TEST_F(SoapOperations, ClientThatGivesUpDoesNotHurtTheServer)
{
    Blocker blocker;
    module->label->addObserver(&blocker);
    Soap gave_up = set("soap_mod", "label", "slow", 300);
    EXPECT_NE(gave_up.rc, CURLE_OK);
    ASSERT_TRUE(blocker.wait_entered(5.0));
    blocker.release();
    ASSERT_TRUE(testutil::wait_until([&] { return blocker.has_left(); }, 5.0));
    EXPECT_EQ(value_of(module->label), "slow");
    // The answer to the client that left goes nowhere; others are served.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(get("soap_mod", "gain").ret, "5");
    module->label->removeObserver(&blocker);
}

// ---------------------------------------------------------------------------
// Run control

unsigned long n_trigger(const Soap& s)
{
    auto it = s.fields.find("nTrigger");
    return it == s.fields.end() ? 0 : std::stoul(it->second);
}

TEST_F(SoapOperations, RunControlStartsPausesAndStopsARun)
{
    EXPECT_EQ(control("GetReady").ret, "ok");
    EXPECT_EQ(control("Start").ret, "ok");
    Soap s;
    ASSERT_TRUE(testutil::wait_until([&] {
        s = state("soap_rm");
        return s.fields["active"] == "true" && s.fields["statusName"] == "Running" && n_trigger(s) >= 20;
    }, 10.0)) << s.fields["statusName"] << " " << n_trigger(s);
    EXPECT_GE(std::stoul(s.fields["eventNumber"]), 20u);

    EXPECT_EQ(control("Pause").ret, "ok");
    ASSERT_TRUE(testutil::wait_until([&] { return state("soap_rm").fields["statusName"] == "Paused"; }, 5.0));
    EXPECT_EQ(control("Continue").ret, "ok");
    ASSERT_TRUE(testutil::wait_until([&] { return state("soap_rm").fields["statusName"] == "Running"; }, 5.0));
    const unsigned long before = n_trigger(state("soap_rm"));
    ASSERT_TRUE(testutil::wait_until([&] { return n_trigger(state("soap_rm")) > before; }, 5.0));

    EXPECT_EQ(control("Stop").ret, "ok");
    ASSERT_TRUE(testutil::wait_until([&] {
        s = state("soap_rm");
        return s.fields["active"] == "false" && s.fields["statusName"] != "Running";
    }, 10.0));
    EXPECT_FALSE(rm->isActive());
    const unsigned long stopped = n_trigger(s);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(n_trigger(state("soap_rm")), stopped);

    EXPECT_EQ(control("Reset").ret, "ok");
    EXPECT_FALSE(rm->isActive());
}

// Watches the run commands the run thread sends, triggers left out, and
// holds the thread in the first one of the code `hold` until released.
class CommandGate : public Ostrel::Observer {
public:
    explicit CommandGate(int hold_code) : hold(hold_code) {}
    void update(Ostrel::Observable*, Ostrel::Argument* a) override
    {
        auto* code = dynamic_cast<Ostrel::Arg<int>*>(a);
        if (!code || code->get_value() == Ostrel::RunCommand::Trigger)
            return;
        std::unique_lock<std::mutex> lock(mutex);
        codes.push_back(code->get_value());
        cond.notify_all();
        if (code->get_value() == hold && !held) {
            held = true;
            cond.wait_for(lock, std::chrono::seconds(10), [this] { return released; });
        }
    }
    bool wait_for(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, std::chrono::seconds(10), [&] { return codes.size() >= n; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        cond.notify_all();
    }
    std::vector<int> seen()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return codes;
    }

private:
    const int hold;
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<int> codes;
    bool held = false;
    bool released = false;
};

TEST_F(SoapOperations, RunControlCarriesCommandsOutInTheOrderAccepted)
{
    using C = Ostrel::RunCommand;
    struct Case {
        int hold;                        // the first command's code the run thread is held in
        std::vector<std::string> sent;   // each answered before the next is sent
        std::vector<int> codes;          // what the modules then get, in order
        std::string end;
    };
    const Case cases[] = {
        {C::GetReady, {"GetReady", "Reset", "GetReady"}, {C::GetReady, C::Reset, C::GetReady}, "Ready"},
        {C::PrepareForRun, {"Start", "Reset", "Start"},
         {C::PrepareForRun, C::Start, C::Stop, C::Flush, C::Reset, C::PrepareForRun, C::Start}, "Running"},
        {C::GetReady, {"GetReady", "Start", "Pause", "Stop", "Start", "Stop"},
         {C::GetReady, C::PrepareForRun, C::Start, C::Pause, C::Continue, C::Stop, C::Flush, C::PrepareForRun,
          C::Start, C::Stop, C::Flush}, "Ready"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent.front() + " then " + std::to_string(c.sent.size() - 1) + " more");
        CommandGate gate(c.hold);
        (*rm)().addObserver(&gate);
        for (const std::string& command : c.sent) {
            EXPECT_EQ(control(command).ret, "ok") << command;
            if (&command == &c.sent.front()) {
                ASSERT_TRUE(gate.wait_for(1));
            }
        }
        // Judged against what the commands accepted before it leave.
        if (c.end == "Running") {
            expect_client_fault(control("Start"), "refuses Start: a run goes on once the ");
        } else {
            expect_client_fault(control("Pause"), "refuses Pause: no run goes on once the ");
        }
        gate.release();
        ASSERT_TRUE(gate.wait_for(c.codes.size()));
        std::vector<int> seen = gate.seen();
        seen.resize(c.codes.size());
        EXPECT_EQ(seen, c.codes);
        Soap s;
        ASSERT_TRUE(testutil::wait_until([&] { return (s = state("soap_rm")).fields["pending"] == "0"; }, 10.0));
        EXPECT_EQ(s.fields["statusName"], c.end);
        EXPECT_EQ(s.fields["active"], c.end == "Running" ? "true" : "false");
        EXPECT_EQ(gate.seen().size(), c.codes.size());
        (*rm)().removeObserver(&gate);
        control("Reset");
        ASSERT_TRUE(testutil::wait_until([&] { return state("soap_rm").fields["statusName"] == "NotReady"; }, 10.0));
    }
}

TEST_F(SoapOperations, RunControlRefusesWhatTheRunStateDoesNotAllow)
{
    const std::map<std::string, std::vector<std::pair<std::string, std::string>>> refused = {
        {"NotReady", {{"Stop", "no run goes on"}, {"Pause", "no run goes on"}, {"Continue", "no run goes on"}}},
        {"Ready", {{"Stop", "no run goes on"}, {"Pause", "no run goes on"}, {"Continue", "no run goes on"}}},
        {"Running", {{"GetReady", "a run goes on"}, {"Start", "a run goes on"}, {"Continue", "the run is not paused"}}},
        {"Paused", {{"GetReady", "a run goes on"}, {"Start", "a run goes on"}, {"Pause", "the run is paused already"}}},
    };
    // Each state reached from the one before it.
    const std::vector<std::pair<std::string, std::string>> path = {
        {"", "NotReady"}, {"GetReady", "Ready"}, {"Start", "Running"}, {"Pause", "Paused"}};
    for (const auto& step : path) {
        if (!step.first.empty()) {
            ASSERT_EQ(control(step.first).ret, "ok");
        }
        ASSERT_TRUE(testutil::wait_until([&] { return state("soap_rm").fields["pending"] == "0"; }, 10.0));
        for (const auto& r : refused.at(step.second)) {
            SCOPED_TRACE(r.first + " in " + step.second);
            expect_client_fault(control(r.first), "soap_rm refuses " + r.first + ": " + r.second);
            Soap s = state("soap_rm");
            EXPECT_EQ(s.fields["statusName"], step.second);
            EXPECT_EQ(s.fields["pending"], "0");
        }
    }
    // Reset is taken in every state.
    EXPECT_EQ(control("Reset").ret, "ok");
    EXPECT_TRUE(testutil::wait_until([&] { return state("soap_rm").fields["statusName"] == "NotReady"; }, 10.0));
    EXPECT_FALSE(rm->isActive());
}

TEST_F(SoapOperations, RunControlQueuesAtMostTheBound)
{
    const int bound = Ostrel::RunManager::max_queued;
    const std::string waiting = std::to_string(bound);
    CommandGate gate(Ostrel::RunCommand::GetReady);
    (*rm)().addObserver(&gate);
    for (int i = 0; i < bound; ++i) {
        ASSERT_EQ(control("GetReady").ret, "ok") << i;
        if (i == 0) {
            ASSERT_TRUE(gate.wait_for(1));
        }
    }
    // A client's command beyond the bound is refused, naming it; the
    // program's own (the window's run menu) still queues.
    expect_client_fault(control("Start"), "soap_rm refuses Start: " + waiting +
                                              " commands wait to be carried out, and it queues at most " + waiting);
    EXPECT_TRUE(rm->Activate());
    EXPECT_EQ(state("soap_rm").fields["pending"], std::to_string(bound + 1));
    gate.release();
    ASSERT_TRUE(testutil::wait_until([&] { return state("soap_rm").fields["pending"] == "0"; }, 10.0));
    EXPECT_EQ(state("soap_rm").fields["statusName"], "Running");
    EXPECT_EQ(control("Stop").ret, "ok");
    ASSERT_TRUE(testutil::wait_until([&] { return !rm->isActive(); }, 10.0));
    (*rm)().removeObserver(&gate);
}

// ---------------------------------------------------------------------------
// Load

int open_files()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// A connection that sends the text and then stays silent.
int silent_client(int port, const std::string& text)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        std::abort();
    if (!text.empty() && send(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()))
        std::abort();
    return fd;
}

// Whether the peer has closed the connection by the time given: a close
// that came while the caller was busy past that time counts too.
bool closed_by_peer(int fd, Clock::time_point until)
{
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) != 1)
            return false;
        char buf[256];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            return true;
    }
}

TEST_F(SoapOperations, ConnectionsDoNotPileUp)
{
    const std::string request = envelope("listModules", {});
    ASSERT_EQ(http(port, "POST", request).status, 200);   // curl sets itself up once
    // Perhaps with the server's end of that connection, still closing.
    const int before = open_files();
    const auto silent_until = Clock::now() + std::chrono::seconds(25);
    const std::vector<int> silent = {silent_client(port, ""),
                                     silent_client(port, "POST / HTTP/1.1\r\nHost: x\r\nContent-Len")};

    // In sequence, on a handle that keeps its connection where it may.
    CURL* c = new_handle();
    int ok = 0;
    for (int i = 0; i < 5000; ++i)
        ok += http_on(c, port, "POST", request).status == 200;
    curl_easy_cleanup(c);
    EXPECT_EQ(ok, 5000);

    // 50 clients at once. Connections beyond a short listen queue would wait
    // a second for their retry.
    std::atomic<int> good{0}, slow{0}, ready{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 50; ++t) {
        clients.emplace_back([&] {
            CURL* h = new_handle();
            ++ready;
            while (ready.load() < 50)
                std::this_thread::yield();
            for (int i = 0; i < 100; ++i) {
                const auto t0 = Clock::now();
                good += http_on(h, port, "POST", request).status == 200;
                slow += Clock::now() - t0 >= std::chrono::milliseconds(900);
            }
            curl_easy_cleanup(h);
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(good.load(), 5000);
    EXPECT_LE(slow.load(), 5);

    // Clients that never finish a request are dropped after a while.
    for (int fd : silent) {
        EXPECT_TRUE(closed_by_peer(fd, silent_until));
        close(fd);
    }
    EXPECT_TRUE(testutil::wait_until([&] { return open_files() <= before; }, 5.0))
        << open_files() << " files open, " << before << " before";
}

TEST_F(SoapOperations, ControlIsServedWhileManyOperationsWait)
{
    Blocker blocker;
    const int n = 40;
    for (int i = 0; i < n; ++i)
        module->add_par("hold" + std::to_string(i), new Ostrel::Par<int>(0))->addObserver(&blocker);
    ASSERT_EQ(control("GetReady").ret, "ok");
    ASSERT_EQ(control("Start").ret, "ok");
    ASSERT_TRUE(testutil::wait_until([&] { return n_trigger(state("soap_rm")) >= 20; }, 10.0));

    std::vector<Soap> waited(n);
    std::vector<std::thread> clients;
    for (int i = 0; i < n; ++i)
        clients.emplace_back([&, i] { waited[i] = set("soap_mod", "hold" + std::to_string(i), "1", 20000); });
    ASSERT_TRUE(blocker.wait_entered(10.0, 30));

    auto t0 = Clock::now();
    Soap s = call(port, "getRunState", {{"object", "soap_rm"}}, 1000);
    EXPECT_EQ(s.fields["statusName"], "Running");
    EXPECT_EQ(call(port, "runControl", {{"runManager", "soap_rm"}, {"command", "Stop"}}, 1000).ret, "ok");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 1.0);
    EXPECT_TRUE(testutil::wait_until([&] { return !rm->isActive(); }, 10.0));

    // Stopping does not wait for operations that do not return; their
    // clients hear that the server stopped.
    t0 = Clock::now();
    server->stop();
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 5.0);
    EXPECT_FALSE(server->is_running());
    for (auto& t : clients)
        t.join();
    for (const Soap& r : waited)
        EXPECT_EQ(r.status, 503);
    EXPECT_FALSE(blocker.has_left());

    // The operations still end, with nobody to answer.
    blocker.release();
    EXPECT_TRUE(blocker.wait_all_left(10.0));
}

TEST_F(SoapOperations, OversizedRequestsAreRefused)
{
    const std::string big = envelope(
        "setParameter", {{"object", "soap_mod"}, {"name", "label"}, {"value", std::string(2 << 20, 'x')}});
    // By its length, and counted as it comes when sent in chunks.
    for (const char* header : {static_cast<const char*>(nullptr), "Transfer-Encoding: chunked"}) {
        SCOPED_TRACE(header ? header : "Content-Length");
        const Http h = http(port, "POST", big, 10000, header);
        EXPECT_EQ(h.status, 413);
        EXPECT_TRUE(parse_reply(h).fault);
    }
    EXPECT_EQ(get("soap_mod", "label").ret, "a<b & \"c\"");

    // 100,000 attributes on one element, well within the size.
    std::string flood = std::string("<e:Envelope xmlns:e=\"") + ENV_NS + "\"><e:Body><listModules";
    for (int i = 0; i < 100000; ++i)
        flood += " a" + std::to_string(i) + "=''";
    flood += "/></e:Body></e:Envelope>";
    ASSERT_LT(flood.size(), 1u << 20);
    const auto t0 = Clock::now();
    expect_client_fault(parse_reply(http(port, "POST", flood, 20000)), "attributes");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 2.0);

    // Just under the limit is served, byte-order mark and all.
    const std::string large(900 * 1024, 'y');
    const std::string body =
        "\xEF\xBB\xBF" + envelope("setParameter", {{"object", "soap_mod"}, {"name", "label"}, {"value", large}});
    EXPECT_EQ(parse_reply(http(port, "POST", body)).ret, "ok");
    EXPECT_EQ(get("soap_mod", "label").ret, large);
}

} // namespace
