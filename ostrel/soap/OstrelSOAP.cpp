// The framework's SOAP server.
//
// Threads
// -------
// The server owns one thread (the calling thread with serve(false)) that
// runs a GMainContext of its own: the SoupServer, its listening and client
// sockets and every touch of a SoupServerMessage live there. A request is
// paused on that thread and handed to a GThreadPool worker, which parses the
// envelope, runs the operation and builds the reply; the reply goes back to
// the server thread through g_main_context_invoke, which unpauses the
// message. Operations may block for as long as they like (a "command" that
// waits for the end of a run) without stalling other clients.
//
// Stopping quits the loop, answers 503 to requests that come in meanwhile,
// waits until every request handed to the pool has come back, and only then
// drops the server, so no worker ever reaches freed state.
#include "ostrel/soap/OstrelSOAP.h"

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <typeinfo>
#include <utility>
#include <vector>

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

namespace {

const char* const SOAP_ENV_NS = "http://schemas.xmlsoap.org/soap/envelope/";

// Workers the pool may run at once. Each blocking operation holds one, so
// the bound is generous; it only keeps a flood of requests from becoming a
// flood of threads.
const int MAX_WORKERS = 32;

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

Request parse_request(const std::string& body)
{
    if (body.size() > static_cast<size_t>(INT_MAX))
        throw client_fault("The request is too large");
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
    // text that is not a value of the parameter's type sets nothing, and the
    // client is told so rather than "ok".
    if (!p->set_from_string(value, true))
        throw client_fault("Bad value \"" + value + "\" for parameter " + p->get_name() + " of " +
                           obj->get_id().str());
    return Result::of_text("ok");
}

Result op_run_control(const Request& req)
{
    const std::string& id = req.arg("runManager");
    const std::string& command = req.arg("command");
    DAQmanager* dm = DAQmanager::theDAQmanager();
    RunManager* rm = dm->find_runmanager(id);
    if (!rm)
        throw client_fault("No run manager " + id);
    if (command == "GetReady") {
        rm->GetReady();
    } else if (command == "Start") {
        dm->startRunManager(rm);
    } else if (command == "Stop") {
        dm->stopRunManager(rm);
        rm->PrepareToStop(true);
    } else if (command == "Pause") {
        rm->Pause();
    } else if (command == "Continue") {
        rm->Continue();
    } else if (command == "Reset") {
        rm->deActivate();
    } else {
        throw client_fault("Unknown run command " + command +
                           " (one of GetReady, Start, Stop, Pause, Continue, Reset)");
    }
    return Result::of_text("ok");
}

Result op_get_run_state(const Request& req)
{
    DAQObject* obj = find_object(req.arg("object"));
    RunManager* rm = dynamic_cast<RunManager*>(obj);
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
    };
    if (rm)
        r.fields.emplace_back("eventNumber", std::to_string(rm->get_event_number()));
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

Reply handle_soap(const std::string& body)
{
    try {
        const Request req = parse_request(body);
        auto it = operations().find(req.operation);
        if (it == operations().end())
            throw client_fault("Unknown operation " + req.operation);
        try {
            return Reply{SOUP_STATUS_OK, build_response(req, it->second(req))};
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
    } catch (const Fault& f) {
        return fault_reply(f);
    } catch (const std::exception& e) {
        return fault_reply(Fault{false, std::string("Internal error: ") + e.what()});
    }
}

} // namespace

// ---------------------------------------------------------------------------
// The server

class OstrelSOAPPrivate {
public:
    enum State { Idle, Starting, Running, Stopping };

    explicit OstrelSOAPPrivate(int p) : port(p) {}

    int run(const std::string& address);   // the server thread's body
    void stop();

    // One request on its way through the pool. The atomics carry the
    // hand-over between threads in a form that thread checkers see (the
    // pool's and the context's own locks are not instrumented).
    struct Job {
        OstrelSOAPPrivate* owner = nullptr;
        GMainContext* context = nullptr;
        SoupServerMessage* msg = nullptr;
        std::string request;
        Reply reply;
        bool gone = false;               // server thread only
        std::atomic<bool> handed{false};
        std::atomic<bool> answered{false};
    };

    void on_request(SoupServerMessage* msg);
    static void request_cb(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer self);
    static void work_cb(gpointer job, gpointer);
    static gboolean answer_cb(gpointer job);
    static void gone_cb(SoupServerMessage*, gpointer job);
    static gboolean started_cb(gpointer self);

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
    GThreadPool* pool = nullptr;
    int outstanding = 0;     // requests in the pool or on their way back
};

void OstrelSOAPPrivate::request_cb(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*, gpointer self)
{
    static_cast<OstrelSOAPPrivate*>(self)->on_request(msg);
}

void OstrelSOAPPrivate::gone_cb(SoupServerMessage*, gpointer job)
{
    static_cast<Job*>(job)->gone = true;
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

    Job* job = new Job;
    job->owner = this;
    job->context = context;
    GBytes* bytes = soup_message_body_flatten(soup_server_message_get_request_body(msg));
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    if (data)
        job->request.assign(data, size);
    g_bytes_unref(bytes);

    job->msg = SOUP_SERVER_MESSAGE(g_object_ref(msg));
    g_signal_connect(msg, "finished", G_CALLBACK(gone_cb), job);
    g_signal_connect(msg, "disconnected", G_CALLBACK(gone_cb), job);
    soup_server_message_pause(msg);
    ++outstanding;
    job->handed.store(true, std::memory_order_release);

    GError* error = nullptr;
    if (!g_thread_pool_push(pool, job, &error)) {
        job->reply = fault_reply(Fault{false, std::string("Cannot handle the request: ") + error->message});
        g_error_free(error);
        job->answered.store(true, std::memory_order_release);
        answer_cb(job);
    }
}

void OstrelSOAPPrivate::work_cb(gpointer data, gpointer)
{
    Job* job = static_cast<Job*>(data);
    job->handed.load(std::memory_order_acquire);
    if (job->owner->stopping.load())
        job->reply = fault_reply(Fault{false, "The SOAP server is shutting down"});
    else
        job->reply = handle_soap(job->request);
    GMainContext* context = job->context;
    job->answered.store(true, std::memory_order_release);
    // The job belongs to the server thread from here on. That context is
    // never this thread's default, so the call always queues.
    g_main_context_invoke(context, answer_cb, job);
}

gboolean OstrelSOAPPrivate::answer_cb(gpointer data)
{
    Job* job = static_cast<Job*>(data);
    job->answered.load(std::memory_order_acquire);
    g_signal_handlers_disconnect_by_data(job->msg, job);
    if (!job->gone) {
        soup_server_message_set_status(job->msg, job->reply.status, nullptr);
        soup_server_message_set_response(job->msg, "text/xml; charset=utf-8", SOUP_MEMORY_COPY,
                                         job->reply.xml.data(), job->reply.xml.size());
        soup_server_message_unpause(job->msg);
    }
    g_object_unref(job->msg);
    --job->owner->outstanding;
    delete job;
    return G_SOURCE_REMOVE;
}

gboolean OstrelSOAPPrivate::started_cb(gpointer self)
{
    OstrelSOAPPrivate* d = static_cast<OstrelSOAPPrivate*>(self);
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->state = Running;
    }
    d->cond.notify_all();
    return G_SOURCE_REMOVE;
}

int OstrelSOAPPrivate::run(const std::string& address)
{
    context = g_main_context_new();
    g_main_context_push_thread_default(context);
    server = soup_server_new(nullptr, nullptr);   // no options; the second null ends the list
    soup_server_add_handler(server, nullptr, request_cb, this, nullptr);

    GError* error = nullptr;
    bool ok = false;
    if (port < 0 || port > 65535) {
        g_set_error(&error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT, "Invalid port %d", port);
    } else if (address.empty()) {
        ok = soup_server_listen_all(server, static_cast<guint>(port), static_cast<SoupServerListenOptions>(0), &error);
    } else if (GInetAddress* inet = g_inet_address_new_from_string(address.c_str())) {
        GSocketAddress* sa = g_inet_socket_address_new(inet, static_cast<guint16>(port));
        ok = soup_server_listen(server, sa, static_cast<SoupServerListenOptions>(0), &error);
        g_object_unref(sa);
        g_object_unref(inet);
    } else {
        g_set_error(&error, G_IO_ERROR, G_IO_ERROR_INVALID_ARGUMENT,
                    "Invalid address \"%s\" in OSTREL_SOAP_ADDRESS", address.c_str());
    }

    std::string where;
    if (ok) {
        // On all interfaces there is one listener per address family; the
        // IPv4 one reads best in the log.
        GSList* listeners = soup_server_get_listeners(server);
        GSocket* shown = listeners ? G_SOCKET(listeners->data) : nullptr;
        for (GSList* l = listeners; l; l = l->next)
            if (g_socket_get_family(G_SOCKET(l->data)) == G_SOCKET_FAMILY_IPV4)
                shown = G_SOCKET(l->data);
        if (shown) {
            GSocketAddress* local = g_socket_get_local_address(shown, nullptr);
            if (local) {
                bound_port = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(local));
                gchar* text = g_socket_connectable_to_string(G_SOCKET_CONNECTABLE(local));
                where = text;
                g_free(text);
                g_object_unref(local);
            }
        }
        g_slist_free(listeners);
        pool = g_thread_pool_new(work_cb, nullptr, MAX_WORKERS, FALSE, &error);
        ok = pool != nullptr;
    }

    if (!ok) {
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
    g_source_set_callback(started, started_cb, this, nullptr);
    g_source_attach(started, context);
    g_source_unref(started);

    g_main_loop_run(main_loop);

    // Stopping: new requests get 503 while the ones in the pool finish.
    while (outstanding > 0)
        g_main_context_iteration(context, TRUE);
    g_thread_pool_free(pool, FALSE, TRUE);
    pool = nullptr;
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

    std::lock_guard<std::mutex> lock(mutex);
    g_main_loop_unref(loop);
    loop = nullptr;
    serving_thread = std::thread::id();
    state = Idle;
    cond.notify_all();
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
