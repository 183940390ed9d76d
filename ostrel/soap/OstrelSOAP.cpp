// The framework's SOAP server.
//
// Threads
// -------
// The server owns one thread (the calling thread with serve(false)) that
// runs a GMainContext of its own: the SoupServer, its listening and client
// sockets and every touch of a SoupServerMessage live there. A request is
// paused on that thread and handed to a worker of the request pool, which
// parses the envelope and runs the control operations itself; every other
// operation goes on to a worker of the operation pool. Those may block for as
// long as they like (an observer that waits for something) without holding
// up control: the request pool never waits on anything but the parse, which
// the size and attribute limits keep short. The reply goes back to the
// server thread through g_main_context_invoke, which unpauses the message.
//
// Whatever the workers and the server thread share is in a Hub that outlives
// the server: stopping quits the loop, answers 503 to requests that come in
// meanwhile, waits a little for the operations under way, then closes the
// hub. Operations still running after that finish on their own and find
// nobody to answer; their clients have been told the server stopped.
//
// Connections
// -----------
// libsoup does not notice a client closing a kept-alive connection between
// two requests, and such a socket would stay open for good; so every reply
// closes its connection. A client that goes quiet in the middle of a request
// is dropped after IDLE_TIMEOUT.
#include "ostrel/soap/OstrelSOAP.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

#include <netinet/in.h>
#include <sys/socket.h>

#include <gio/gio.h>
#include <glib.h>
#include <libsoup/soup.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include "ostrel/DAQmanager.h"
#include "ostrel/Exception.h"
#include "ostrel/Log.h"
#include "ostrel/Module.h"
#include "ostrel/Parameter.h"
#include "ostrel/RunManager.h"
#include "ostrel/RunState.h"

namespace Ostrel {

class OstrelSOAPPrivate;

namespace {

const char* const SOAP_ENV_NS = "http://schemas.xmlsoap.org/soap/envelope/";

// Workers of the operation pool. Each blocking operation holds one, so the
// bound is generous; it only keeps a flood of requests from becoming a flood
// of threads.
const int MAX_WORKERS = 32;
// Workers of the request pool: parsing and control operations, all short.
const int REQUEST_WORKERS = 8;

// Every operation fits in a few kilobytes; larger bodies get 413 unparsed.
const gsize MAX_BODY = 1024 * 1024;
// Attributes in one request, namespace declarations included (see
// check_markup).
const int MAX_ATTRIBUTES = 1000;
// Seconds a client may leave its connection silent while the server waits
// for it (to send a request, or to take the reply).
const guint IDLE_TIMEOUT = 10;
// How long stopping waits for the operations under way.
const guint STOP_GRACE_MS = 2000;

const xmlChar* X(const char* s) { return reinterpret_cast<const xmlChar*>(s); }

// ---------------------------------------------------------------------------
// Request and reply

// A SOAP fault raised by an operation: Client for a request that cannot be
// served as sent, Server for a failure on this side.
struct Fault {
    bool client;
    std::string message;
};

Fault client_fault(const std::string& message) { return Fault{true, message}; }

struct Request {
    std::string operation;        // local name of the Body's first element
    std::string ns;               // its namespace, empty when none
    std::map<std::string, std::string> args;

    const std::string& arg(const char* name) const
    {
        auto it = args.find(name);
        if (it == args.end())
            throw client_fault(std::string("Missing argument ") + name + " of " + operation);
        return it->second;
    }
};

// What an operation returns: a text, a list of items, or named fields.
struct Result {
    enum Kind { Text, List, Fields } kind = Text;
    std::string text;
    std::vector<std::string> items;
    std::vector<std::pair<std::string, std::string>> fields;

    static Result of_text(const std::string& t)
    {
        Result r;
        r.text = t;
        return r;
    }
    static Result of_list(std::vector<std::string> items)
    {
        Result r;
        r.kind = List;
        r.items = std::move(items);
        return r;
    }
};

struct Reply {
    guint status = SOUP_STATUS_OK;
    std::string xml;
};

// Parameter texts come from anywhere and may hold bytes that XML cannot
// carry (invalid UTF-8, control characters); the serializer would write
// them through and the client's parser would reject the whole reply. Such
// characters become U+FFFD.
std::string xml_text(const std::string& in)
{
    gchar* valid = g_utf8_make_valid(in.data(), static_cast<gssize>(in.size()));
    std::string out;
    out.reserve(in.size());
    for (const gchar* p = valid; *p; p = g_utf8_next_char(p)) {
        const gunichar c = g_utf8_get_char(p);
        const bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
                             (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
        if (allowed)
            out.append(p, g_utf8_next_char(p) - p);
        else
            out += "\xEF\xBF\xBD";
    }
    g_free(valid);
    return out;
}

std::string node_text(xmlNode* node)
{
    xmlChar* content = xmlNodeGetContent(node);
    std::string text = content ? reinterpret_cast<const char*>(content) : "";
    xmlFree(content);
    return text;
}

bool is_soap(const xmlNode* node, const char* name)
{
    return node && node->type == XML_ELEMENT_NODE && node->ns && node->ns->href &&
           xmlStrEqual(node->ns->href, X(SOAP_ENV_NS)) && xmlStrEqual(node->name, X(name));
}

xmlNode* first_element(xmlNode* node)
{
    for (xmlNode* c = node ? node->children : nullptr; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE)
            return c;
    return nullptr;
}

void count_attributes(GMarkupParseContext*, const gchar*, const gchar** names, const gchar**, gpointer data,
                      GError** error)
{
    int& n = *static_cast<int*>(data);
    for (const gchar** a = names; *a; ++a) {
        if (++n > MAX_ATTRIBUTES) {
            g_set_error(error, G_MARKUP_ERROR, G_MARKUP_ERROR_INVALID_CONTENT, "more than %d attributes",
                        MAX_ATTRIBUTES);
            return;
        }
    }
}

// libxml2 checks the attributes of an element against each other pair by
// pair and looks prefixes up through every namespace in scope: a body of
// nothing but attributes takes minutes. GLib's markup parser goes through
// the body in linear time first and counts them.
void check_markup(const std::string& body)
{
    static const GMarkupParser counter = {count_attributes, nullptr, nullptr, nullptr, nullptr};
    // A byte-order mark may come first, which GLib's parser does not take.
    const size_t start = body.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int n = 0;
    GMarkupParseContext* ctx = g_markup_parse_context_new(&counter, G_MARKUP_TREAT_CDATA_AS_TEXT, &n, nullptr);
    GError* error = nullptr;
    const bool ok = g_markup_parse_context_parse(ctx, body.data() + start, static_cast<gssize>(body.size() - start),
                                                 &error) &&
                    g_markup_parse_context_end_parse(ctx, &error);
    g_markup_parse_context_free(ctx);
    if (!ok) {
        const std::string why = error && error->message ? error->message : "not well-formed";
        g_clear_error(&error);
        throw client_fault("The request is not a SOAP envelope: " + why);
    }
}

Request parse_request(const std::string& body)
{
    if (body.size() > MAX_BODY)
        throw client_fault("The request is too large");
    check_markup(body);
    xmlParserCtxtPtr ctxt = xmlNewParserCtxt();
    if (!ctxt)
        throw Fault{false, "Out of memory"};
    // No network, no entity substitution and no messages on stderr: the
    // parse error is returned in the fault instead.
    xmlDocPtr doc = xmlCtxtReadMemory(ctxt, body.data(), static_cast<int>(body.size()), nullptr,
                                      "UTF-8", XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
    if (!doc) {
        std::string why = "The request is not a SOAP envelope";
        const xmlError* e = xmlCtxtGetLastError(ctxt);
        if (e && e->message) {
            std::string m = e->message;
            while (!m.empty() && (m.back() == '\n' || m.back() == ' '))
                m.pop_back();
            why += ": " + m;
        }
        xmlFreeParserCtxt(ctxt);
        throw client_fault(why);
    }
    xmlFreeParserCtxt(ctxt);

    Request req;
    try {
        // SOAP forbids a document type declaration, and refusing it keeps
        // entity tricks out.
        if (doc->intSubset)
            throw client_fault("A SOAP message must not contain a document type declaration");
        xmlNode* env = xmlDocGetRootElement(doc);
        if (!is_soap(env, "Envelope"))
            throw client_fault("The request is not a SOAP envelope");
        xmlNode* body_node = nullptr;
        for (xmlNode* c = env->children; c && !body_node; c = c->next)
            if (is_soap(c, "Body"))
                body_node = c;
        if (!body_node)
            throw client_fault("The SOAP envelope has no Body");
        xmlNode* op = first_element(body_node);
        if (!op)
            throw client_fault("The SOAP Body names no operation");
        req.operation = reinterpret_cast<const char*>(op->name);
        if (op->ns && op->ns->href)
            req.ns = reinterpret_cast<const char*>(op->ns->href);
        for (xmlNode* a = op->children; a; a = a->next) {
            if (a->type == XML_ELEMENT_NODE)
                req.args.emplace(reinterpret_cast<const char*>(a->name), node_text(a));
        }
    } catch (...) {
        xmlFreeDoc(doc);
        throw;
    }
    xmlFreeDoc(doc);
    return req;
}

// An envelope with an empty Body; returns the Body.
xmlNode* new_envelope(xmlDocPtr doc, xmlNsPtr* soap_ns)
{
    xmlNode* env = xmlNewDocNode(doc, nullptr, X("Envelope"), nullptr);
    *soap_ns = xmlNewNs(env, X(SOAP_ENV_NS), X("soap"));
    xmlSetNs(env, *soap_ns);
    xmlDocSetRootElement(doc, env);
    return xmlNewChild(env, *soap_ns, X("Body"), nullptr);
}

// An element without a namespace. libxml2's xmlNewChild would give it the
// parent's namespace, putting the reply's elements into the envelope's.
xmlNode* plain_child(xmlNode* parent, const char* name, const std::string* text = nullptr)
{
    xmlNode* n = xmlNewDocNode(parent->doc, nullptr, X(name), nullptr);
    xmlAddChild(parent, n);
    if (text)
        xmlNodeAddContent(n, X(xml_text(*text).c_str()));
    return n;
}

std::string serialize(xmlDocPtr doc)
{
    xmlChar* mem = nullptr;
    int size = 0;
    xmlDocDumpMemoryEnc(doc, &mem, &size, "UTF-8");
    std::string out = mem ? std::string(reinterpret_cast<const char*>(mem), static_cast<size_t>(size)) : std::string();
    xmlFree(mem);
    xmlFreeDoc(doc);
    return out;
}

std::string build_response(const Request& req, const Result& result)
{
    xmlDocPtr doc = xmlNewDoc(X("1.0"));
    xmlNsPtr soap_ns = nullptr;
    xmlNode* body = new_envelope(doc, &soap_ns);
    const std::string name = req.operation + "Response";
    xmlNode* resp = plain_child(body, name.c_str());
    if (!req.ns.empty()) {
        // A prefix, not a default namespace: <return> and its children stay
        // unqualified.
        xmlNsPtr ns = xmlNewNs(resp, X(req.ns.c_str()), X("ns"));
        xmlSetNs(resp, ns);
    }
    switch (result.kind) {
    case Result::Text:
        plain_child(resp, "return", &result.text);
        break;
    case Result::List: {
        xmlNode* ret = plain_child(resp, "return");
        for (const std::string& item : result.items)
            plain_child(ret, "item", &item);
        break;
    }
    case Result::Fields: {
        xmlNode* ret = plain_child(resp, "return");
        for (const auto& f : result.fields)
            plain_child(ret, f.first.c_str(), &f.second);
        break;
    }
    }
    return serialize(doc);
}

std::string build_fault(const Fault& fault)
{
    xmlDocPtr doc = xmlNewDoc(X("1.0"));
    xmlNsPtr soap_ns = nullptr;
    xmlNode* body = new_envelope(doc, &soap_ns);
    xmlNode* f = xmlNewChild(body, soap_ns, X("Fault"), nullptr);
    const std::string code = fault.client ? "soap:Client" : "soap:Server";
    plain_child(f, "faultcode", &code);
    plain_child(f, "faultstring", &fault.message);
    return serialize(doc);
}

// ---------------------------------------------------------------------------
// Operations

DAQObject* find_object(const std::string& id)
{
    DAQmanager* dm = DAQmanager::theDAQmanager();
    if (Module* m = dm->find_module(id))
        return m;
    if (RunManager* rm = dm->find_runmanager(id))
        return rm;
    throw client_fault("No module or run manager " + id);
}

Parameter* find_par(DAQObject* obj, const std::string& name)
{
    if (!obj->has_par(name))
        throw client_fault("Object " + obj->get_id().str() + " has no parameter " + name);
    return obj->get_par(name);
}

std::string number(double v)
{
    char buf[G_ASCII_DTOSTR_BUF_SIZE];
    return g_ascii_formatd(buf, sizeof buf, "%.10g", v);
}

Result op_list_modules(const Request&)
{
    std::vector<std::string> ids;
    for (const auto& kv : DAQmanager::theDAQmanager()->ModuleMap())
        ids.push_back(kv.first.str());
    return Result::of_list(std::move(ids));
}

Result op_list_runmanagers(const Request&)
{
    std::vector<std::string> ids;
    for (const auto& kv : DAQmanager::theDAQmanager()->RunMmap())
        ids.push_back(kv.first.str());
    return Result::of_list(std::move(ids));
}

Result op_list_parameters(const Request& req)
{
    return Result::of_list(find_object(req.arg("object"))->par_names());
}

Result op_get_parameter(const Request& req)
{
    DAQObject* obj = find_object(req.arg("object"));
    return Result::of_text(find_par(obj, req.arg("name"))->get_as_string());
}

Result op_set_parameter(const Request& req)
{
    DAQObject* obj = find_object(req.arg("object"));
    Parameter* p = find_par(obj, req.arg("name"));
    const std::string& value = req.arg("value");
    // Observers run here, on the worker; some block until a run ends. A
    // text that is not a value of the parameter's type, or a value the
    // owner refuses, sets nothing, and the client is told why rather than
    // "ok".
    auto bad_value = [&](const std::string& why) {
        return client_fault("Bad value \"" + value + "\" for parameter " + p->get_name() + " of " +
                            obj->get_id().str() + (why.empty() ? "" : ": " + why));
    };
    bool taken = false;
    try {
        taken = p->set_from_string(value, true);
    } catch (const ParameterRefused& e) {
        throw bad_value(e.reason());
    }
    if (!taken)
        throw bad_value(p->refusal(value));
    return Result::of_text("ok");
}

Result op_run_control(const Request& req)
{
    static const std::map<std::string, RunManager::Request> commands = {
        {"GetReady", RunManager::Request::GetReady}, {"Start", RunManager::Request::Start},
        {"Stop", RunManager::Request::Stop},         {"Pause", RunManager::Request::Pause},
        {"Continue", RunManager::Request::Continue}, {"Reset", RunManager::Request::Reset},
    };
    const std::string& id = req.arg("runManager");
    const std::string& command = req.arg("command");
    RunManager* rm = DAQmanager::theDAQmanager()->find_runmanager(id);
    if (!rm)
        throw client_fault("No run manager " + id);
    auto it = commands.find(command);
    if (it == commands.end())
        throw client_fault("Unknown run command " + command +
                           " (one of GetReady, Start, Stop, Pause, Continue, Reset)");
    // "ok" means queued behind the commands accepted before: the run thread
    // carries them out in that order. Bounded: a flood of clients cannot
    // put a stop further behind than the queue's bound.
    std::string why;
    if (!rm->request(it->second, &why, true))
        throw client_fault(why);
    return Result::of_text("ok");
}

Result op_get_run_state(const Request& req)
{
    DAQObject* obj = find_object(req.arg("object"));
    RunManager* rm = dynamic_cast<RunManager*>(obj);
    // Read before the status: once it is 0, the status is the last
    // command's.
    const int pending = rm ? rm->pending() : 0;
    // A snapshot: rate() on it leaves the object's own state alone.
    RunState state = obj->GetStatus();
    Result r;
    r.kind = Result::Fields;
    r.fields = {
        {"status", std::to_string(static_cast<int>(state.get_status()))},
        {"statusName", RunState::status_name(state.get_status())},
        {"active", rm && rm->isActive() ? "true" : "false"},
        {"time", number(state.time())},
        {"nTrigger", std::to_string(state.n_trigger())},
        {"nWritten", std::to_string(state.n_written())},
        {"rate", number(state.rate())},
        {"nLost", std::to_string(state.n_lost())},
    };
    if (rm) {
        r.fields.emplace_back("eventNumber", std::to_string(rm->get_event_number()));
        r.fields.emplace_back("pending", std::to_string(pending));
    }
    return r;
}

using Operation = Result (*)(const Request&);

const std::map<std::string, Operation>& operations()
{
    static const std::map<std::string, Operation> ops = {
        {"listModules", op_list_modules},
        {"listRunManagers", op_list_runmanagers},
        {"listParameters", op_list_parameters},
        {"getParameter", op_get_parameter},
        {"setParameter", op_set_parameter},
        {"runControl", op_run_control},
        {"getRunState", op_get_run_state},
    };
    return ops;
}

void log_error(const std::string& text)
{
    Ostrel::ostream log;
    log << Ostrel::loglevel(LOG_ERROR) << text << std::endl;
}

Reply fault_reply(const Fault& f)
{
    if (!f.client)
        log_error("SOAP server: " + f.message);
    return Reply{SOUP_STATUS_INTERNAL_SERVER_ERROR, build_fault(f)};
}

// Control operations run on the request pool, so that they are served
// whatever the operation pool is busy with.
bool is_control(const std::string& operation)
{
    return operation == "runControl" || operation == "getRunState";
}

// Runs the operation; every failure comes out as a Fault.
Result perform(const Request& req)
{
    auto it = operations().find(req.operation);
    if (it == operations().end())
        throw client_fault("Unknown operation " + req.operation);
    try {
        return it->second(req);
    } catch (const ParameterNonExistent& e) {
        throw client_fault(e.what());
    } catch (const ParameterTypeDoesNotMatch& e) {
        throw client_fault(e.what());
    } catch (const Fault&) {
        throw;
    } catch (const std::exception& e) {
        throw Fault{false, req.operation + " failed: " + e.what()};
    } catch (...) {
        throw Fault{false, req.operation + " failed"};
    }
}

// ---------------------------------------------------------------------------
// The server

// What the server thread and the workers share. A worker keeps it alive for
// as long as it holds a request, so the server may stop without waiting for
// every worker to return.
struct Hub {
    explicit Hub(OstrelSOAPPrivate* o) : owner(o) {}

    OstrelSOAPPrivate* const owner;   // touched on the server thread only
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    // Null once the server thread takes no more answers or work.
    GMainContext* context = nullptr;
    GThreadPool* operation_pool = nullptr;

    bool takes_answers();
};

// One request on its way through the pools and back. The counter carries
// each hand-over between threads in a form that thread checkers see (the
// pools' and the context's own locks are not instrumented).
struct Job {
    std::shared_ptr<Hub> hub;
    guint64 id = 0;
    std::string body;
    Request request;
    // What the work came to, until it is written out as the reply.
    std::optional<Result> result;
    Fault fault{false, std::string()};
    guint fault_status = SOUP_STATUS_INTERNAL_SERVER_ERROR;
    Reply reply;
    std::atomic<int> handovers{0};

    void fail(const Fault& f, guint status = SOUP_STATUS_INTERNAL_SERVER_ERROR)
    {
        fault = f;
        fault_status = status;
    }
    void shut_out() { fail(Fault{false, "The SOAP server is shutting down"}, SOUP_STATUS_SERVICE_UNAVAILABLE); }
    void run()
    {
        try {
            result = perform(request);
        } catch (const Fault& f) {
            fail(f);
        } catch (const std::exception& e) {
            fail(Fault{false, std::string("Internal error: ") + e.what()});
        }
    }
    Reply render() const
    {
        try {
            if (result)
                return Reply{SOUP_STATUS_OK, build_response(request, *result)};
            if (fault_status == SOUP_STATUS_INTERNAL_SERVER_ERROR)
                return fault_reply(fault);
            return Reply{fault_status, build_fault(fault)};
        } catch (const std::exception& e) {
            return fault_reply(Fault{false, std::string("Internal error: ") + e.what()});
        }
    }

    void give() { handovers.fetch_add(1, std::memory_order_release); }
    void take() { handovers.load(std::memory_order_acquire); }
};

} // namespace

class OstrelSOAPPrivate {
public:
    enum State { Idle, Starting, Running, Stopping };

    explicit OstrelSOAPPrivate(int p) : port(p) {}

    int run(const std::string& address);   // the server thread's body
    void stop();

    // The steps of run(), in their order; server thread only.
    void create_server();
    bool start_listening(const std::string& address, std::string& where, GError** error);
    bool start_workers(GError** error);
    int fail_to_start(GError* error);   // takes the error; returns run()'s -1
    void serve_until_stopped(const std::string& where);
    void shut_down();

    // A paused message waiting for its answer; server thread only.
    struct Waiting {
        SoupServerMessage* msg = nullptr;
        bool gone = false;
    };

    void on_request(SoupServerMessage* msg);
    void answer(guint64 id, const Reply& reply);
    void stop_serving();
    static void request_cb(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer self);
    static void early_cb(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer self);
    static void started_cb(SoupServer*, SoupServerMessage* msg, gpointer);
    static void got_chunk_cb(SoupServerMessage* msg, GBytes*, gpointer);
    static void gone_cb(SoupServerMessage*, gpointer waiting);
    static void request_work(gpointer job, gpointer);
    static void operation_work(gpointer job, gpointer);
    static void finish(Job* job);
    static gboolean answer_cb(gpointer job);
    static void drop_job(gpointer job);
    static gboolean loop_started_cb(gpointer self);

    const int port;
    std::atomic<int> bound_port{0};
    std::atomic<bool> stopping{false};

    mutable std::mutex mutex;
    std::condition_variable cond;
    State state = Idle;
    int err = 0;
    std::string errmsg;
    GMainLoop* loop = nullptr;
    std::thread thread;
    std::thread::id serving_thread;
    std::mutex stop_mutex;   // one stop() at a time

    // Server thread only.
    GMainContext* context = nullptr;
    SoupServer* server = nullptr;
    std::shared_ptr<Hub> hub;
    GThreadPool* request_pool = nullptr;
    guint64 last_id = 0;
    std::map<guint64, Waiting> waiting;
};

namespace {

// Marks a message whose body outgrew MAX_BODY while it came in.
GQuark too_large_quark()
{
    static const GQuark q = g_quark_from_static_string("ostrel-soap-too-large");
    return q;
}

void respond(SoupServerMessage* msg, const Reply& reply)
{
    soup_server_message_set_status(msg, reply.status, nullptr);
    soup_server_message_set_response(msg, "text/xml; charset=utf-8", SOUP_MEMORY_COPY, reply.xml.data(),
                                     reply.xml.size());
}

void refuse_too_large(SoupServerMessage* msg)
{
    // What is still coming is read and dropped, not kept.
    SoupMessageBody* body = soup_server_message_get_request_body(msg);
    soup_message_body_set_accumulate(body, FALSE);
    soup_message_body_truncate(body);
    respond(msg, Reply{SOUP_STATUS_REQUEST_ENTITY_TOO_LARGE,
                       build_fault(client_fault("The request is larger than " + std::to_string(MAX_BODY) +
                                                " bytes"))});
}

// A listening socket on the address. GSocket's own backlog is 10: clients
// beyond that connecting at once would wait a second for their SYN to be
// sent again, so the system's limit is taken instead.
bool listen_on(SoupServer* server, GInetAddress* inet, guint16 port, GError** error)
{
    const GSocketFamily family = g_inet_address_get_family(inet);
    GSocket* sock = g_socket_new(family, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP, error);
    if (!sock)
        return false;
    g_socket_set_listen_backlog(sock, SOMAXCONN);
    // The IPv4 wildcard gets a socket of its own.
    if (family == G_SOCKET_FAMILY_IPV6)
        g_socket_set_option(sock, IPPROTO_IPV6, IPV6_V6ONLY, 1, nullptr);
    GSocketAddress* sa = g_inet_socket_address_new(inet, port);
    const bool ok = g_socket_bind(sock, sa, TRUE, error) && g_socket_listen(sock, error) &&
                    soup_server_listen_socket(server, sock, static_cast<SoupServerListenOptions>(0), error);
    g_object_unref(sa);
    g_object_unref(sock);
    return ok;
}

} // namespace

void OstrelSOAPPrivate::request_cb(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer self)
{
    static_cast<OstrelSOAPPrivate*>(self)->on_request(msg);
}

void OstrelSOAPPrivate::started_cb(SoupServer*, SoupServerMessage* msg, gpointer)
{
    soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Connection", "close");
    if (GSocket* sock = soup_server_message_get_socket(msg))
        g_socket_set_timeout(sock, IDLE_TIMEOUT);
}

void OstrelSOAPPrivate::early_cb(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer)
{
    SoupMessageHeaders* headers = soup_server_message_get_request_headers(msg);
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH &&
        soup_message_headers_get_content_length(headers) > static_cast<goffset>(MAX_BODY)) {
        refuse_too_large(msg);
        return;
    }
    // A chunked body tells its size only as it comes.
    g_signal_connect(msg, "got-chunk", G_CALLBACK(got_chunk_cb), nullptr);
}

void OstrelSOAPPrivate::got_chunk_cb(SoupServerMessage* msg, GBytes*, gpointer)
{
    SoupMessageBody* body = soup_server_message_get_request_body(msg);
    if (body->length > static_cast<goffset>(MAX_BODY)) {
        g_object_set_qdata(G_OBJECT(msg), too_large_quark(), GINT_TO_POINTER(1));
        soup_message_body_set_accumulate(body, FALSE);
        soup_message_body_truncate(body);
    }
}

void OstrelSOAPPrivate::gone_cb(SoupServerMessage*, gpointer w)
{
    static_cast<Waiting*>(w)->gone = true;
}

void OstrelSOAPPrivate::on_request(SoupServerMessage* msg)
{
    if (g_strcmp0(soup_server_message_get_method(msg), SOUP_METHOD_POST) != 0) {
        soup_server_message_set_status(msg, SOUP_STATUS_METHOD_NOT_ALLOWED, nullptr);
        soup_message_headers_replace(soup_server_message_get_response_headers(msg), "Allow", "POST");
        return;
    }
    if (stopping.load()) {
        soup_server_message_set_status(msg, SOUP_STATUS_SERVICE_UNAVAILABLE, nullptr);
        return;
    }
    if (g_object_get_qdata(G_OBJECT(msg), too_large_quark())) {
        refuse_too_large(msg);
        return;
    }

    Job* job = new Job;
    job->hub = hub;
    job->id = ++last_id;
    GBytes* bytes = soup_message_body_flatten(soup_server_message_get_request_body(msg));
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    if (data)
        job->body.assign(data, size);
    g_bytes_unref(bytes);

    const guint64 id = job->id;
    GError* error = nullptr;
    job->give();
    if (!g_thread_pool_push(request_pool, job, &error)) {
        respond(msg, fault_reply(Fault{false, std::string("Cannot handle the request: ") + error->message}));
        g_error_free(error);
        delete job;
        return;
    }
    // The answer comes on this thread too, so after this.
    Waiting& w = waiting[id];
    w.msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
    g_signal_connect(msg, "finished", G_CALLBACK(gone_cb), &w);
    g_signal_connect(msg, "disconnected", G_CALLBACK(gone_cb), &w);
    soup_server_message_pause(msg);
}

void OstrelSOAPPrivate::request_work(gpointer data, gpointer)
{
    Job* job = static_cast<Job*>(data);
    job->take();
    Hub& hub = *job->hub;
    if (hub.stopping.load()) {
        job->shut_out();
        finish(job);
        return;
    }
    try {
        job->request = parse_request(job->body);
    } catch (const Fault& f) {
        job->fail(f);
        finish(job);
        return;
    }
    std::string().swap(job->body);
    if (!is_control(job->request.operation)) {
        std::unique_lock<std::mutex> lock(hub.mutex);
        if (hub.operation_pool) {
            GError* error = nullptr;
            job->give();
            if (g_thread_pool_push(hub.operation_pool, job, &error))
                return;
            job->fail(Fault{false, std::string("Cannot handle the request: ") + error->message});
            g_error_free(error);
        } else {
            job->shut_out();
        }
        lock.unlock();
        finish(job);
        return;
    }
    job->run();
    finish(job);
}

void OstrelSOAPPrivate::operation_work(gpointer data, gpointer)
{
    Job* job = static_cast<Job*>(data);
    job->take();
    if (job->hub->stopping.load())
        job->shut_out();
    else
        job->run();
    finish(job);
}

bool Hub::takes_answers()
{
    std::lock_guard<std::mutex> lock(mutex);
    return context != nullptr;
}

void OstrelSOAPPrivate::finish(Job* job)
{
    const std::shared_ptr<Hub> hub = job->hub;
    // Once the server has stopped (and told the client so) nothing is
    // written out: a worker left running must not use the libraries longer
    // than it has to, the process may be ending.
    if (hub->takes_answers()) {
        job->reply = job->render();
        std::lock_guard<std::mutex> lock(hub->mutex);
        if (hub->context) {
            // That context is never this thread's default, so the call
            // always queues; the job belongs to the server thread from here.
            job->give();
            g_main_context_invoke_full(hub->context, G_PRIORITY_DEFAULT, answer_cb, job, drop_job);
            return;
        }
    }
    delete job;
}

gboolean OstrelSOAPPrivate::answer_cb(gpointer data)
{
    Job* job = static_cast<Job*>(data);
    job->take();
    job->hub->owner->answer(job->id, job->reply);
    return G_SOURCE_REMOVE;
}

void OstrelSOAPPrivate::drop_job(gpointer data)
{
    Job* job = static_cast<Job*>(data);
    job->take();
    delete job;
}

void OstrelSOAPPrivate::answer(guint64 id, const Reply& reply)
{
    auto it = waiting.find(id);
    if (it == waiting.end())
        return;
    Waiting& w = it->second;
    g_signal_handlers_disconnect_by_data(w.msg, &w);
    if (!w.gone) {
        respond(w.msg, reply);
        soup_server_message_unpause(w.msg);
    }
    g_object_unref(w.msg);
    waiting.erase(it);
}

// After the loop has quit: the operations under way get a little time, then
// the hub closes and whatever still waits is told that the server stopped.
void OstrelSOAPPrivate::stop_serving()
{
    hub->stopping = true;
    GSource* grace = g_timeout_source_new(STOP_GRACE_MS);
    g_source_set_callback(grace, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
    g_source_attach(grace, context);
    const gint64 deadline = g_get_monotonic_time() + gint64(STOP_GRACE_MS) * 1000;
    while (!waiting.empty() && g_get_monotonic_time() < deadline)
        g_main_context_iteration(context, TRUE);
    g_source_destroy(grace);
    g_source_unref(grace);

    GThreadPool* operation_pool = nullptr;
    {
        std::lock_guard<std::mutex> lock(hub->mutex);
        hub->context = nullptr;
        std::swap(operation_pool, hub->operation_pool);
    }
    // Answers that were queued before the hub closed.
    while (g_main_context_pending(context))
        g_main_context_iteration(context, FALSE);
    if (!waiting.empty()) {
        Ostrel::ostream log;
        log << Ostrel::loglevel(LOG_WARNING) << "SOAP server: stopping with " << waiting.size()
            << " operations still running" << std::endl;
    }
    const Reply stopped{SOUP_STATUS_SERVICE_UNAVAILABLE,
                        build_fault(Fault{false, "The SOAP server stopped before the operation returned"})};
    for (auto& kv : waiting) {
        Waiting& w = kv.second;
        g_signal_handlers_disconnect_by_data(w.msg, &w);
        if (!w.gone) {
            respond(w.msg, stopped);
            soup_server_message_unpause(w.msg);
        }
        g_object_unref(w.msg);
    }
    waiting.clear();
    // Neither waits: requests still queued or running end in their workers,
    // which then find the hub closed.
    g_thread_pool_free(request_pool, FALSE, FALSE);
    request_pool = nullptr;
    g_thread_pool_free(operation_pool, FALSE, FALSE);
    hub.reset();
}

gboolean OstrelSOAPPrivate::loop_started_cb(gpointer self)
{
    OstrelSOAPPrivate* d = static_cast<OstrelSOAPPrivate*>(self);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->state = Running;
    }
    d->cond.notify_all();
    return G_SOURCE_REMOVE;
}

void OstrelSOAPPrivate::create_server()
{
    context = g_main_context_new();
    g_main_context_push_thread_default(context);
    server = soup_server_new(nullptr, nullptr);   // no options; the second null ends the list
    soup_server_add_early_handler(server, nullptr, early_cb, this, nullptr);
    soup_server_add_handler(server, nullptr, request_cb, this, nullptr);
    g_signal_connect(server, "request-started", G_CALLBACK(started_cb), nullptr);
}

bool OstrelSOAPPrivate::start_listening(const std::string& address, std::string& where, GError** error)
{
    bool ok = false;
    if (port < 0 || port > 65535) {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "Invalid port %d", port);
    } else if (address.empty()) {
        GInetAddress* any4 = g_inet_address_new_any(G_SOCKET_FAMILY_IPV4);
        ok = listen_on(server, any4, static_cast<guint16>(port), error);
        g_object_unref(any4);
    } else if (GInetAddress* inet = g_inet_address_new_from_string(address.c_str())) {
        ok = listen_on(server, inet, static_cast<guint16>(port), error);
        g_object_unref(inet);
    } else {
        g_set_error(error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT,
                    "Invalid address \"%s\" in OSTREL_SOAP_ADDRESS", address.c_str());
    }
    if (!ok)
        return false;

    GSList* listeners = soup_server_get_listeners(server);
    if (listeners) {
        GSocketAddress* local = g_socket_get_local_address(G_SOCKET(listeners->data), nullptr);
        if (local) {
            bound_port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
            gchar* text = g_socket_connectable_to_string(G_SOCKET_CONNECTABLE(local));
            where = text;
            g_free(text);
            g_object_unref(local);
        }
    }
    g_slist_free(listeners);
    if (address.empty()) {
        // Every interface: IPv6 too, where the system has it, on the
        // port the IPv4 socket got.
        GInetAddress* any6 = g_inet_address_new_any(G_SOCKET_FAMILY_IPV6);
        GError* v6_error = nullptr;
        if (!listen_on(server, any6, static_cast<guint16>(bound_port.load()), &v6_error)) {
            Ostrel::ostream log;
            log << Ostrel::loglevel(LOG_WARNING) << "SOAP server: not listening on IPv6: "
                << v6_error->message << std::endl;
            g_error_free(v6_error);
        }
        g_object_unref(any6);
    }
    return true;
}

bool OstrelSOAPPrivate::start_workers(GError** error)
{
    hub = std::make_shared<Hub>(this);
    hub->context = context;
    request_pool = g_thread_pool_new(request_work, nullptr, REQUEST_WORKERS, FALSE, error);
    if (request_pool)
        hub->operation_pool = g_thread_pool_new(operation_work, nullptr, MAX_WORKERS, FALSE, error);
    if (request_pool && hub->operation_pool)
        return true;
    if (request_pool) {
        g_thread_pool_free(request_pool, TRUE, TRUE);
        request_pool = nullptr;
    }
    hub.reset();
    return false;
}

int OstrelSOAPPrivate::fail_to_start(GError* error)
{
    const std::string message = error && error->message ? error->message : "Unknown error";
    // G_IO_ERROR_FAILED is 0: error() must still say that it failed.
    const int code = error && error->domain == G_IO_ERROR && error->code != 0 ? error->code : -1;
    g_clear_error(&error);
    log_error("SOAP server: cannot listen on port " + std::to_string(port) + ": " + message);
    g_object_unref(server);
    server = nullptr;
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    context = nullptr;
    // Last touch of this object: once Idle is seen, a waiting destructor
    // may free it.
    std::lock_guard<std::mutex> lock(mutex);
    err = code;
    errmsg = message;
    serving_thread = std::thread::id();
    state = Idle;
    cond.notify_all();
    return -1;
}

void OstrelSOAPPrivate::serve_until_stopped(const std::string& where)
{
    {
        Ostrel::ostream log;
        log << Ostrel::loglevel(LOG_INFO) << "SOAP server listening on " << where << std::endl;
    }
    GMainLoop* main_loop = g_main_loop_new(context, FALSE);
    {
        std::lock_guard<std::mutex> lock(mutex);
        loop = main_loop;
    }
    // Running is announced from inside the loop, so that a stop() that
    // follows can always quit it.
    GSource* started = g_idle_source_new();
    g_source_set_callback(started, loop_started_cb, this, nullptr);
    g_source_attach(started, context);
    g_source_unref(started);

    g_main_loop_run(main_loop);
}

void OstrelSOAPPrivate::shut_down()
{
    stop_serving();
    // Let the last replies go out, within reason.
    for (int i = 0; i < 1000 && g_main_context_pending(context); ++i)
        g_main_context_iteration(context, FALSE);
    soup_server_disconnect(server);
    g_object_unref(server);
    server = nullptr;
    for (int i = 0; i < 1000 && g_main_context_pending(context); ++i)
        g_main_context_iteration(context, FALSE);

    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
    context = nullptr;
    bound_port = 0;

    // Last touch of this object, as in fail_to_start().
    std::lock_guard<std::mutex> lock(mutex);
    g_main_loop_unref(loop);
    loop = nullptr;
    serving_thread = std::thread::id();
    state = Idle;
    cond.notify_all();
}

int OstrelSOAPPrivate::run(const std::string& address)
{
    create_server();
    GError* error = nullptr;
    std::string where;
    if (!start_listening(address, where, &error) || !start_workers(&error))
        return fail_to_start(error);
    serve_until_stopped(where);
    shut_down();
    return 0;
}

void OstrelSOAPPrivate::stop()
{
    std::lock_guard<std::mutex> serial(stop_mutex);
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [this] { return state != Starting; });
    if (state == Running) {
        state = Stopping;
        stopping = true;
        g_main_loop_quit(loop);
    }
    // The serving thread itself cannot wait for its own loop to end.
    if (std::this_thread::get_id() == serving_thread)
        return;
    cond.wait(lock, [this] { return state == Idle; });
    if (thread.joinable()) {
        lock.unlock();
        thread.join();
    }
}

// ---------------------------------------------------------------------------

OstrelSOAP::OstrelSOAP(int port) : d(new OstrelSOAPPrivate(port))
{
    // libxml2 must be set up before threads use it.
    xmlInitParser();
}

OstrelSOAP::~OstrelSOAP()
{
    stop();
}

int OstrelSOAP::serve(bool background)
{
    // Read here rather than on the server thread, which must not race with
    // the caller's own environment changes.
    // Loopback unless asked otherwise: the server drives the acquisition and
    // has no authentication of its own. "*" listens on every interface.
    const char* env = g_getenv("OSTREL_SOAP_ADDRESS");
    std::string address = env && *env ? env : "127.0.0.1";
    if (address == "*")
        address.clear();

    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->state != OstrelSOAPPrivate::Idle) {
        lock.unlock();
        Ostrel::ostream log;
        log << Ostrel::loglevel(LOG_WARNING) << "SOAP server: already serving on port " << port() << std::endl;
        return -1;
    }
    if (d->thread.joinable()) {
        // A background run that has ended: its thread is done but not joined.
        std::thread old = std::move(d->thread);
        lock.unlock();
        old.join();
        lock.lock();
    }
    d->state = OstrelSOAPPrivate::Starting;
    d->stopping = false;
    d->err = 0;
    d->errmsg.clear();

    if (!background) {
        d->serving_thread = std::this_thread::get_id();
        lock.unlock();
        // Nothing of d may be touched after run(): a stop() from another
        // thread may be the destructor's.
        return d->run(address);
    }

    d->thread = std::thread([this, address] {
        {
            std::lock_guard<std::mutex> guard(d->mutex);
            d->serving_thread = std::this_thread::get_id();
        }
        d->run(address);
    });
    d->cond.wait(lock, [this] { return d->state != OstrelSOAPPrivate::Starting; });
    if (d->state == OstrelSOAPPrivate::Idle) {
        std::thread failed = std::move(d->thread);
        lock.unlock();
        failed.join();
        return -1;
    }
    return 0;
}

void OstrelSOAP::stop()
{
    d->stop();
}

bool OstrelSOAP::is_running() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->state == OstrelSOAPPrivate::Running;
}

int OstrelSOAP::port() const
{
    const int bound = d->bound_port.load();
    return bound ? bound : d->port;
}

int OstrelSOAP::error() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->err;
}

const char* OstrelSOAP::strerror() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->errmsg.c_str();
}

} // namespace Ostrel
