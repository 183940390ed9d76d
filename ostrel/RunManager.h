// Run managers and their run loop.
//
// Design of the run loop
// ----------------------
// Every run manager owns one run thread, started by its first request and
// joined by shutdown(). Requests from other threads (GetReady, Activate,
// Pause, Continue, PrepareToStop, deActivate) are checked against the
// state the requests accepted before them leave the manager in, queued
// and carried out by that thread one after the other, in the order they
// were accepted; the call returns at once. A request that the state does
// not allow is refused and changes nothing:
//
//   request                  NotReady   Ready      Running    Paused
//   GetReady                 Ready      Ready      refused    refused
//   Activate (start a run)   Running    Running    refused    refused
//   PrepareToStop(true)      refused    refused    Ready      Ready
//   Pause                    refused    refused    Paused     refused
//   Continue                 refused    refused    refused    Running
//   deActivate (reset)       NotReady   NotReady   NotReady   NotReady
//
// A run that ends by itself (an event limit, the run duration,
// CheckEndOfRun) leaves the manager Ready; requests queued for it that
// find it ended do nothing. Every hook below runs on the run thread. A
// run goes through these steps:
//
//   1. status Starting; run state counters reset and run clock started;
//      event number 0; the monitor queue's thread started when a monitor
//      queue is set.
//   2. PrepareForRun()   (base: command PrepareForRun to the modules)
//   3. Start()           (base: command Start to the modules)
//   4. status Running; then for every event cycle, until a stop:
//        a. a pause request: command Pause, status Paused, wait for the
//           next request, command Continue, status Running;
//        b. when a DAQTrigger is installed in the DAQmanager, wait until it
//           fires (it is asked again and again, each call waiting briefly);
//        c. Trigger()     (base: command Trigger, code 6, to the modules);
//        d. for every module observing the run command, in observer order:
//           when hasData() is true, getData() and, for a block,
//           writeData(module id, block), then the block goes to the monitor
//           queue and the run loop releases its reference. getData() is
//           never called when hasData() is false, and each module gives at
//           most one block per cycle;
//        e. when any module gave a block: the run state counts one event
//           (and one written event when a writeData returned more than 0),
//           the event number grows by one, then EndOfEvent();
//           when none did and no trigger is installed, the loop sleeps until
//           any data queue receives an event, 1 ms at most (while events
//           stream in, a few milliseconds without being woken);
//        f. the run stops at a stop or reset request, when the event number
//           reached the maximum number of events (0 means no limit), when
//           the run time reached the run duration (0 means no limit), or
//           when CheckEndOfRun() is true.
//   5. status Stopping; EndOfRun(); Stop() (base: command Stop and command
//      Flush to the modules, then every module's waiting events go through
//      writeData and the monitor queue as in 4d, until no module has data
//      or the maximum number of events is reached; these count as events);
//      the run clock stops; status Stopped, then Ready; the manager is no
//      longer active unless another run is queued.
//
// Overrides of the hooks call the base. A derived class whose destructor
// runs while its run thread may still call its hooks must call shutdown()
// first thing in its destructor.
#ifndef OSTREL_RUNMANAGER_H
#define OSTREL_RUNMANAGER_H

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/DAQObject.h"
#include "ostrel/DataQueue.h"
#include "ostrel/Module.h"

namespace Ostrel {

// The observable through which a run manager commands its modules: every
// observer that is a Module takes part in the run. A command reaches the
// modules as an Arg<int> holding its code.
class RunCommand : public Observable {
public:
    enum Code {
        GetReady = 1,
        PrepareForRun = 2,
        Start = 3,
        Stop = 4,
        Pause = 5,
        Trigger = 6,
        Continue = 7,
        Reset = 8,
        Flush = 9
    };

    RunCommand() = default;
    ~RunCommand() override;

    void send(int code);
    // The run number handed to Start and Stop.
    int run_number() const { return _run_number.load(); }
    void set_run_number(int n) { _run_number = n; }

    std::vector<Module*> modules() const;   // observers that are modules, in order

private:
    std::atomic<int> _run_number{0};
};

class RunManager : public DAQObject {
public:
    // Takes ownership of the command (a new one when none is given) and
    // registers with the DAQmanager.
    explicit RunManager(const DAQid& id, RunCommand* command = nullptr);
    ~RunManager() override;

    RunCommand& operator()() { return *_command; }
    RunCommand& run_command() { return *_command; }

    void addModule(Module* m);       // the module observes the run command
    void deleteModule(Module* m);    // and stops observing it
    int countModules() const;
    std::vector<Module*> modules() const;

    // Requests, from any thread (the table above). Each returns whether it
    // was accepted; a refused one sets `why`, when given, to the reason.
    // A bounded request (a remote client's) is also refused while
    // max_queued requests wait to be carried out already, so that a stop
    // is never more than that many behind; the program's own requests (the
    // window's run menu) are not, and a flood of remote ones cannot keep
    // the operator's out.
    enum class Request { GetReady, Start, Stop, Pause, Continue, Reset };
    static constexpr int max_queued = 32;
    bool request(Request r, std::string* why = nullptr, bool bounded = false);
    bool GetReady() { return request(Request::GetReady); }
    bool Activate() { return request(Request::Start); }
    // Ends the run; the modules get Reset; NotReady.
    bool deActivate() { return request(Request::Reset); }
    bool Pause() { return request(Request::Pause); }
    bool Continue() { return request(Request::Continue); }
    // True asks for a stop; either way the flag is kept for stop_requested().
    bool PrepareToStop(bool flag);
    int stop_requested() const { return _stop_request.load(); }
    // From a start being accepted until the run ends with no other queued.
    bool isActive() const { return _active.load(); }
    // Requests accepted and not yet carried out: when 0, the run state's
    // status is the one the last of them left (Starting, Stopping and the
    // like are passages within a request), unless a run ends by itself.
    int pending() const;
    static const char* request_name(Request r);
    // Ends any run and joins the run thread; idempotent. Not from the run
    // thread itself.
    void shutdown();

    void set_max_events(unsigned long n) { _max_events = n; }
    unsigned long get_max_events() const { return _max_events.load(); }
    void set_run_duration(double seconds);
    double get_run_duration() const;
    int get_run_number() const { return _command->run_number(); }
    void set_run_number(int n) { _command->set_run_number(n); }
    unsigned long get_event_number() const { return _event_number.load(); }

    // Replaces the monitor queue, deleting the previous one (null: none).
    // Its thread runs in the background (DataQueue::set_background).
    void set_monitor(DataQueue* queue);
    DataQueue* get_monitor() const;
    void start_monitor();
    void stop_monitor();

    // Hooks, called on the run thread.
    virtual void PrepareForRun();
    virtual void Start();
    virtual void Stop();
    virtual void Trigger();
    virtual int writeData(const DAQid& id, ModuleData* data);   // base: data->size()
    virtual int EndOfEvent();                                   // base: 0
    virtual bool CheckEndOfRun();                               // base: false
    virtual void EndOfRun();
    // Text commands set through a parameter by derived managers.
    virtual void set_command(const std::string& text);

protected:
    void set_event_number(unsigned long n) { _event_number = n; }
    // Reads one block from every module that has data (step 4d); returns
    // the number of blocks and sets `written` when a writeData returned > 0.
    int read_modules(bool& written);
    // Hands the events read so far to the monitor queue. The run loop hands
    // them over a few dozen at a time (and whenever it waits for data, and
    // at the end of a run): whoever waits for the monitor queue to empty
    // calls this first.
    void flush_monitor();

private:
    // The state `r` leaves a manager in from `from` (NotReady, Ready,
    // Running or Paused); NotDefined when `r` is refused there.
    static RunState::StatusType after(RunState::StatusType from, Request r);
    // The run thread's next request; false at shutdown.
    bool next_request(Request& r);
    void finish_request();
    // What the run loop does with the head of the queue.
    enum class RunStep { Go, Pause, End };
    RunStep run_step();
    void count_event(int blocks, bool written);
    bool max_events_reached() const;
    void thread_main();
    void do_run();
    void end_run(bool by_request);
    void do_get_ready();
    void do_reset();
    bool wait_trigger();
    bool handle_pause();

    RunCommand* _command;
    // The modules of the current cycle (run thread only).
    std::vector<Module*> _cycle_modules;
    unsigned long _modules_generation = 0;
    bool _modules_valid = false;
    std::atomic<unsigned long> _max_events{0};
    std::atomic<unsigned long> _event_number{0};
    std::atomic<int> _stop_request{0};
    std::atomic<bool> _active{false};
    std::atomic<double> _duration{0.0};

    mutable std::mutex _monitor_mutex;
    DataQueue* _monitor = nullptr;
    // Run thread: events for the monitor queue, each with a reference.
    std::vector<ModuleData*> _for_monitor;

    // Taken before _req_mutex by whoever changes _active, so that the
    // manager's notices of it come in the order of the changes.
    std::mutex _active_mutex;
    mutable std::mutex _req_mutex;
    std::condition_variable _req_cond;
    // Under _req_mutex:
    std::deque<Request> _queue;
    RunState::StatusType _planned = RunState::NotReady;   // once the queue is done
    int _unfinished = 0;     // accepted, not yet carried out
    int _queued_starts = 0;
    bool _quit = false;
    bool _stop_taken = false;   // the run loop took a Stop from the queue
    // The queue's length, and 1 more at shutdown: read by the run loop for
    // every event without the lock.
    std::atomic<int> _wake{0};
    std::thread _thread;
};

} // namespace Ostrel

#endif
