#include "daq/TellumRunManager.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <thread>

#include <glib.h>
#include <unistd.h>

#include "daq/DAQcontroller.h"
#include "daq/DataLogger.h"
#include "daq/HDFDataLogger.h"
#include "daq/ParseOpt.h"
#include "daq/RunManagers.h"
#include "daq/RunSettings.h"
#include "daq/RunSupport.h"
#include "daq/ScanRunManager.h"
#include "data/Analysis.h"
#include "ostrel/DAQmanager.h"
#include "ostrel/Exception.h"
#include "ostrel/Log.h"
#include "ostrel/StringUtils.h"

using run_support::log;

namespace {

// The longest wait for the monitor queue, in seconds.
constexpr double monitor_wait = 5.0;

// How often the run file is put on disk during a run: a run that ends
// abruptly loses at most about this much.
constexpr gint64 sync_period_us = G_USEC_PER_SEC;

// What can be known of a run file before it is made: its folder is there
// and takes new files.
void check_run_folder(const std::string& file)
{
    gchar* dir = g_path_get_dirname(file.c_str());
    const std::string folder(dir);
    g_free(dir);
    std::string why;
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        why = std::strerror(errno);
    else if (!g_file_test(folder.c_str(), G_FILE_TEST_IS_DIR))
        why = "not a folder";
    if (!why.empty())
        throw std::runtime_error("Cannot write the run file " + file + ": " + folder + ": " + why);
}

bool has_option(const ParseOpt& options, const std::string& name)
{
    const auto& given = options.get_options();
    return std::any_of(given.begin(), given.end(), [&name](const auto& o) { return o.first == name; });
}

// A copy of a parameter of a text-form type; null for any other.
template <class T, class... More>
Ostrel::Parameter* copy_as(Ostrel::Parameter* p)
{
    if (auto* typed = dynamic_cast<Ostrel::Par<T>*>(p)) {
        std::lock_guard<std::recursive_mutex> lock(typed->mutex());
        return new Ostrel::Par<T>(typed->get_value());
    }
    if constexpr (sizeof...(More) > 0)
        return copy_as<More...>(p);
    return nullptr;
}

Ostrel::Parameter* copy_of(Ostrel::Parameter* p)
{
    return copy_as<bool, int, long, unsigned, double, std::string>(p);
}

} // namespace

TellumRunManager::TellumRunManager(const Ostrel::DAQid& id, Ostrel::RunCommand* command)
    : Ostrel::RunManager(id, command), run_type(RunType::None), logger(nullptr)
{
    auto* text = new Ostrel::Par<std::string>();
    add_par("command", text);
    // Bound after the holder observes the parameter: the command is then
    // the last call its notification makes on this manager, so that a
    // destructor waiting for it is not overtaken, and a command it refuses
    // (with an exception) leaves every other observer told.
    new_par(&TellumRunManager::set_command, text);
    new_monitor();
    get_status().addObserver(&run_watch);
}

TellumRunManager::~TellumRunManager()
{
    retire();
    // Modules that left the run command for a while (local modules) still
    // remember it; they must not reach it once it is gone.
    for (const auto& entry : Ostrel::DAQmanager::theDAQmanager()->ModuleMap()) {
        Ostrel::Module* m = entry.second;
        if (m->get_run_command() == &run_command())
            m->UnRegisterDAQ(true);
    }
    run_support::log_destroying("RunManager", get_id());
}

void TellumRunManager::retire()
{
    // There is no next run for a "logData" that waits for one.
    {
        std::lock_guard<std::mutex> lock(command_mutex);
        retiring = true;
        pending.reset();
    }
    shutdown();
    {
        std::unique_lock<std::mutex> lock(command_mutex);
        command_cond.wait(lock, [this] { return commands_in_flight == 0; });
    }
    // A file opened without a run (or by a command that came after the
    // last run) is closed complete while the whole manager is still there.
    stop_logging();
}

// ---- run hooks -------------------------------------------------------------

void TellumRunManager::PrepareForRun()
{
    log_failed = false;
    written_in_file = -1;
    next_sync = 0;
    // The file asked for during the previous run is this run's.
    std::optional<LogRequest> request;
    {
        std::lock_guard<std::mutex> lock(command_mutex);
        if (!retiring)
            request.swap(pending);
    }
    std::string error;
    // A file that was asked for and cannot be opened: the run's events are
    // not counted as written, which is how a remote client learns it.
    if (request && !open_log(*request, error))
        log_failed = true;
    file_of_run_modules();

    const bool update = RunSettings::current().ped_update();
    for (Ostrel::Module* m : modules()) {
        GenModule* g = dynamic_cast<GenModule*>(m);
        if (!g)
            continue;
        g->set_run_type(get_run_type());
        if (Analysis* ana = g->get_analysis())
            ana->DoPedestalUpdate(update);
    }
    Ostrel::RunManager::PrepareForRun();
}

void TellumRunManager::Start()
{
    log(Ostrel::LOG_INFO, "[RM." + get_id().str() + "] Starting the run");
    Ostrel::RunManager::Start();
}

void TellumRunManager::Stop()
{
    Ostrel::RunManager::Stop();
    keep_written_count();
    // The run's events are analysed before it ends: once it has, the
    // modules may go without the monitor thread still filling them.
    wait_for_monitor(false);
    log(Ostrel::LOG_INFO, "End of run");
    stop_logging();
    get_status().set_status(Ostrel::RunState::Stopping);
    log(Ostrel::LOG_INFO, "Quit Rmanager::Stop()");
}

void TellumRunManager::wait_for_monitor(bool until_stop)
{
    flush_monitor();
    Ostrel::DataQueue* queue = get_monitor();
    if (!queue)
        return;
    Ostrel::DAQTimer timer;
    timer.start();
    while (!queue->empty() && timer.elapsed() <= monitor_wait && !(until_stop && stop_requested()))
        std::this_thread::yield();
}

int TellumRunManager::EndOfEvent()
{
    // Looked up again whenever the parameters change: the main window adds
    // the switch at any time.
    const unsigned long generation = par_generation();
    if (generation != interrupts_generation) {
        interrupts_generation = generation;
        interrupts_par = nullptr;
        try {
            if (has_par("doInterrupts"))
                interrupts_par = dynamic_cast<Ostrel::Par<bool>*>(get_par("doInterrupts"));
        } catch (const Ostrel::Exception&) {
            interrupts_par = nullptr;
        }
    }
    bool interrupts = false;
    if (interrupts_par) {
        std::lock_guard<std::recursive_mutex> lock(interrupts_par->mutex());
        interrupts = interrupts_par->get_value();
    }
    if (interrupts)
        RunSettings::current().reset_interrupts();
    return 0;
}

bool TellumRunManager::CheckEndOfRun()
{
    keep_written_count();
    // The clock is read every few cycles only: this runs once per event.
    if (++cycles % 64 != 0)
        return false;
    const gint64 now = g_get_monotonic_time();
    if (now >= next_sync) {
        next_sync = now + sync_period_us;
        if (logger.load())
            with_logger([](DataLogger* active) { active->sync_ready(); });
    }
    return false;
}

int TellumRunManager::writeData(const Ostrel::DAQid& id, Ostrel::ModuleData* data)
{
    if (!data)
        return 0;
    const int size = static_cast<int>(data->size());
    if (logger.load()) {
        // Written when the file took something of it: the event of a module
        // that has no stream in the file, or whose stream makes no row of
        // it, is in no file.
        long written = 0;
        with_logger([&](DataLogger* active) {
            auto it = descriptor_map.find(id);
            if (it != descriptor_map.end())
                written = active->write(it->second, data->data(), data->size());
        });
        return written > 0 && !log_failed.load() ? size : 0;
    }
    return log_failed.load() ? 0 : size;
}

void TellumRunManager::drop_if_failed(DataLogger* active)
{
    if (!active->failed())
        return;
    // The file said why and how many of the run's events it lost; it keeps
    // what reached it, and the run counts no more written events than that
    // (stop_logging, for a file that failed).
    stop_logging();
}

void TellumRunManager::keep_written_count()
{
    // The run loop counts the cycle in which the file failed after its
    // writes: the count is put back once the cycle has been counted.
    const long in_file = written_in_file.load();
    if (in_file >= 0 && get_status().n_written() != static_cast<unsigned long>(in_file))
        get_status().set_written(static_cast<unsigned long>(in_file));
}

void TellumRunManager::RunWatch::update(Ostrel::Observable*, Ostrel::Argument* argument)
{
    auto* status = dynamic_cast<Ostrel::Arg<Ostrel::RunState::StatusType>*>(argument);
    if (!status)
        return;
    if (status->get_value() == Ostrel::RunState::Paused)
        rm->run_paused();
}

// A pause may last long: what the run wrote so far goes on disk first.
void TellumRunManager::run_paused()
{
    if (logger.load())
        with_logger([](DataLogger* active) { active->sync(); });
}

// ---- run file --------------------------------------------------------------

int TellumRunManager::updateOID(const Ostrel::DAQid& id, long oid)
{
    std::lock_guard<std::recursive_mutex> lock(log_mutex);
    auto it = descriptor_map.find(id);
    if (it != descriptor_map.end())
        it->second.set_object_id(oid);
    for (FileIODescriptor& d : descriptors)
        if (d.get_module_id() == id)
            d.set_object_id(oid);
    return 0;
}

DataLogger* TellumRunManager::create_logger(bool compress, unsigned long max_size)
{
    // A plug-in's factory takes the size as an int: a larger size reaches
    // its logger afterwards, when the logger took the size it was given.
    const int given = static_cast<int>(std::min<unsigned long>(max_size, INT_MAX));
    if (DataLogger* from_plugin = RunSettings::current().create_logger(compress, given)) {
        if (max_size > static_cast<unsigned long>(given) &&
            from_plugin->get_max_size() == static_cast<unsigned long>(given))
            from_plugin->set_max_size(max_size);
        from_plugin->set_run_manager(this);
        return from_plugin;
    }
    return new HDFDataLogger(this, compress, max_size);
}

bool TellumRunManager::log_data(const char* file, bool compress, unsigned long max_size)
{
    if (!file || !*file)
        return false;
    std::string error;
    return open_log({file, compress, max_size}, error);
}

bool TellumRunManager::open_log(const LogRequest& request, std::string& error)
{
    std::lock_guard<std::recursive_mutex> lock(log_mutex);
    // The file of an earlier request would otherwise stay open and
    // incomplete for ever.
    stop_logging();

    DataLogger* active = create_logger(request.compress, request.max_size);
    logger = active;
    log_failed = false;
    const std::string name = PathUtils::splitext(request.file).first + "." + active->get_extension();

    // The file's rows keep the layout they have now: the modules refuse
    // settings that would change it until the file is closed.
    descriptors.clear();
    for (Ostrel::Module* m : modules()) {
        FileIODescriptor d;
        d.set_module_id(m->get_id());
        GenModule* g = dynamic_cast<GenModule*>(m);
        d.set_format(g ? g->hold_data_format(this, name) : m->get_data_format());
        descriptors.push_back(d);
    }
    // The logger may give object ids to the streams while it registers
    // them, in the array or through updateOID: the map must hold the
    // entries already, and takes the array's state afterwards.
    descriptor_map.clear();
    for (const FileIODescriptor& d : descriptors)
        descriptor_map[d.get_module_id()] = d;
    active->register_data_stream(static_cast<int>(descriptors.size()), descriptors.data());
    descriptor_map.clear();
    for (const FileIODescriptor& d : descriptors)
        descriptor_map[d.get_module_id()] = d;

    get_status().reset();
    if (active->open(name.c_str()) != 0) {
        const std::string why = active->get_error();
        error = "Could not open the run file " + active->get_file_name() + (why.empty() ? "" : ": " + why);
        log(Ostrel::LOG_ERROR, error);
        logger = nullptr;
        delete active;
        GenModule::release_data_formats(this);
        return false;
    }
    // An existing file is not replaced: the name may have changed.
    GenModule::name_held_file(this, active->get_file_name());
    return true;
}

void TellumRunManager::file_of_run_modules()
{
    std::lock_guard<std::recursive_mutex> lock(log_mutex);
    DataLogger* active = logger.load();
    if (!active)
        return;
    const std::vector<Ostrel::Module*> now = modules();
    bool same = now.size() == descriptors.size();
    for (size_t i = 0; same && i < now.size(); ++i)
        same = now[i]->get_id() == descriptors[i].get_module_id();
    if (same)
        return;
    // Opened before the run's modules had all joined the manager (or after
    // some left): the file holds nothing of a run yet, and is made again
    // under its name with the modules of this one.
    log(Ostrel::LOG_INFO, "The run file " + active->get_file_name() + " is made again with the modules of the run");
    const LogRequest again = close_to_make_again(*active);
    std::string error;
    if (!open_log(again, error))
        log_failed = true;
}

void TellumRunManager::new_monitor()
{
    const int capacity = RunSettings::current().monitor_buffer();
    set_monitor(new TellumMonitor(this, static_cast<size_t>(capacity > 0 ? capacity : 1)));
}

int TellumRunManager::peek_log_file(std::string& name, double& fraction) const
{
    std::unique_lock<std::recursive_mutex> lock(log_mutex, std::try_to_lock);
    if (!lock.owns_lock())
        return -1;
    const DataLogger* active = logger.load();
    if (!active)
        return 0;
    name = active->get_file_name();
    fraction = active->relative_size();
    return 1;
}

void TellumRunManager::stop_logging()
{
    std::lock_guard<std::recursive_mutex> lock(log_mutex);
    DataLogger* active = logger.exchange(nullptr);
    if (!active)
        return;
    log(Ostrel::LOG_INFO, "Stopping data logger");
    active->close();
    // The last writes may fail only as the file closes (the run's end came
    // before the disk filled up): the run then counts what the file holds.
    if (active->failed() && written_in_file.load() < 0) {
        log_failed = true;
        written_in_file = static_cast<long>(active->events_kept());
        keep_written_count();
    }
    delete active;
    GenModule::release_data_formats(this);
}

void TellumRunManager::set_command(const std::string& text)
{
    const ParseOpt options(text);
    if (options() != "logData")
        return;
    const std::string file = options.find_opt("file", "");
    const std::string compress_text =
        options.find_opt("compression", RunSettings::current().compression() ? "1" : "0");
    if (file.empty())
        return;
    unsigned long max_size = RunSettings::current().max_size();
    if (has_option(options, "max_size")) {
        const std::string size_text = options.find_opt("max_size", "");
        if (!Ostrel::par_text::parse_byte_count(size_text, max_size)) {
            const std::string why = "max_size \"" + size_text + "\" is no whole number of bytes (0 for no limit)";
            log(Ostrel::LOG_ERROR, "logData refused: " + why);
            throw Ostrel::ParameterRefused(why);
        }
    }
    const char first =
        compress_text.empty() ? '\0' : static_cast<char>(std::tolower(static_cast<unsigned char>(compress_text[0])));
    const bool compress = first == 't' || first == 'y' || first == '1';
    const LogRequest request{file, compress, max_size};

    check_run_folder(file);
    {
        std::lock_guard<std::mutex> lock(command_mutex);
        if (retiring)
            return;
        // The next run opens it (PrepareForRun), whenever that comes; the
        // sender is not kept waiting.
        if (get_status().isRunning()) {
            pending = request;
            log(Ostrel::LOG_INFO, "The run file " + file + " is opened when the next run starts");
            return;
        }
        // This file is for the next run, not one asked for earlier.
        pending.reset();
        ++commands_in_flight;
    }
    struct Leave {
        TellumRunManager* rm;
        ~Leave()
        {
            std::lock_guard<std::mutex> lock(rm->command_mutex);
            --rm->commands_in_flight;
            rm->command_cond.notify_all();
        }
    } leave{this};
    std::string error;
    if (!open_log(request, error))
        throw std::runtime_error(error);
}

// ---- modules and factories -------------------------------------------------

std::list<Ostrel::Module*> TellumRunManager::deplete_run_manager()
{
    const std::vector<Ostrel::Module*> taken = modules();
    // Forgotten, not only left: the command goes with this manager, and a
    // module must not reach it when it registers elsewhere later.
    for (Ostrel::Module* m : taken)
        m->UnRegisterDAQ(true);
    return std::list<Ostrel::Module*>(taken.begin(), taken.end());
}

TellumRunManager* TellumRunManager::new_manager(const std::string& type, const Ostrel::DAQid& id)
{
    if (type == "data")
        return new DataRunManager(id);
    if (type == "pedestal")
        return new PedestalRunManager(id);
    if (type == "int_trg")
        return new IntTrgRunManager(id);
    if (type == "pulse")
        return new PulseRunManager(id, nullptr);
    if (type == "scan")
        return new ScanRunManager(id);
    std::cout << "*** Rmanager::new_manager: invalid run type " << type << std::endl;
    return nullptr;
}

TellumRunManager* TellumRunManager::create_run_manager(const std::string& type, const std::string& name,
                                                       const std::function<void(TellumRunManager*)>& set_up)
{
    Ostrel::DAQmanager* mgr = Ostrel::DAQmanager::theDAQmanager();
    const Ostrel::DAQid id(name);
    TellumRunManager* old = dynamic_cast<TellumRunManager*>(mgr->find_runmanager(id));

    // The new manager is made before the old one goes, so that the old one
    // and its modules stay as they are when none can be made; and it is
    // seen under the name only once it has what the old one had.
    mgr->hold_name(id);
    // Also when a factory or the set-up throws: the name is never left held.
    struct Release {
        Ostrel::DAQmanager* mgr;
        const Ostrel::DAQid& id;
        ~Release() { mgr->release_name(id); }
    } release{mgr, id};
    Ostrel::RunManager* made = RunSettings::current().create_run_manager(type, name);
    TellumRunManager* rm = dynamic_cast<TellumRunManager*>(made);
    if (made && !rm) {
        log(Ostrel::LOG_ERROR, "The run manager factory of type " + type +
                                   " did not give a run manager of the program");
        delete made;
    }
    if (!rm || rm == old)
        return rm;

    std::optional<LogRequest> logging;
    if (old) {
        // Its run ends with the modules still attached, so that they stop
        // and its file is closed complete.
        old->shutdown();
        const std::list<Ostrel::Module*> taken = old->deplete_run_manager();
        logging = old->hand_over(*rm);
        for (Ostrel::Module* m : taken)
            rm->addModule(m);
    }
    if (set_up)
        set_up(rm);
    std::string error;
    if (logging && rm->open_log(*logging, error))
        log(Ostrel::LOG_INFO, name + " goes on logging to " + logging->file);
    mgr->release_name(id);
    delete old;
    return rm;
}

std::optional<TellumRunManager::LogRequest> TellumRunManager::hand_over(TellumRunManager& next)
{
    next.set_run_number(get_run_number());
    next.set_max_events(get_max_events());
    next.set_run_duration(get_run_duration());
    // What others added to this manager (the window's "doInterrupts").
    for (const std::string& par : par_names()) {
        if (next.has_par(par))
            continue;
        if (Ostrel::Parameter* copy = copy_of(get_par(par)))
            next.add_par(par, copy);
    }
    // A file open without a run is the next run's and holds none yet: it
    // is made again by the new manager, whose run it is (an HDF5 file
    // names its run's kind and, for a scan, the points as it opens).
    // A pedestal run writes no file: it leaves this one as it was.
    std::lock_guard<std::recursive_mutex> lock(log_mutex);
    DataLogger* active = logger.load();
    if (!active || get_status().isRunning() || next.get_run_type() == RunType::Pedestal)
        return std::nullopt;
    return close_to_make_again(*active);
}

TellumRunManager::LogRequest TellumRunManager::close_to_make_again(const DataLogger& active)
{
    const LogRequest request{active.get_file_name(), active.get_compress(), active.get_max_size()};
    stop_logging();
    // Had it stayed, the new file would take another name.
    ::unlink(request.file.c_str());
    return request;
}
