// The framework's SOAP server: remote access to modules and run managers.
#ifndef OSTREL_SOAP_H
#define OSTREL_SOAP_H

#include <memory>
#include <string>

namespace Ostrel {

class OstrelSOAPPrivate;

// A SOAP 1.1 server over HTTP on a TCP port. serve(true) starts it on a
// thread of its own and returns; is_running() tells whether it listens.
// It listens on the loopback address 127.0.0.1, or on the address in the
// environment variable OSTREL_SOAP_ADDRESS ("*" for every interface).
//
// Operations (POST, first element of the Body; arguments are its child
// elements): listModules, listRunManagers, listParameters(object),
// getParameter(object, name), setParameter(object, name, value),
// runControl(runManager, command) with command GetReady, Start, Stop, Pause,
// Continue or Reset (queued for the run thread, or a Client fault when the
// run manager refuses it or already has RunManager::max_queued commands
// waiting, see RunManager.h), and getRunState(object). They run on worker
// threads, so an operation that blocks (a parameter whose observer waits)
// holds up only its own client; runControl and getRunState have workers of
// their own and are answered however many other operations block.
//
// Every reply closes its connection; a connection silent for 10 s while the
// server waits on the client is dropped. A body larger than 1 MiB is
// answered 413, one with more than 1,000 attributes gets a Client fault.
//
// stop() and the destructor wait up to 2 s for the operations already
// running to return; the clients of those still running then are answered
// 503, and the operations finish on their own. Requests that arrive while
// stopping are answered 503.
class OstrelSOAP {
public:
    explicit OstrelSOAP(int port);
    OstrelSOAP(const OstrelSOAP&) = delete;
    OstrelSOAP& operator=(const OstrelSOAP&) = delete;
    ~OstrelSOAP();   // stops serving

    // Starts serving: in the background (a thread of its own) when `background`
    // is true, else in the calling thread until stop(). 0 or -1 (failure to
    // listen, or already serving). With background, returns once listening.
    int serve(bool background = true);
    // Ends serving and joins the server thread; idempotent. Waits a little
    // for the operations in progress (see above).
    void stop();
    bool is_running() const;
    // The port listened on (the one chosen for port 0), else the one given.
    int port() const;
    // Non-zero after a failure to start (the GIO error code, or -1);
    // strerror() holds the message.
    int error() const;
    const char* strerror() const;

private:
    std::unique_ptr<OstrelSOAPPrivate> d;
};

} // namespace Ostrel

#endif
