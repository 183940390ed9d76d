#include "RunTestSupport.h"

LoggerJournal& journal()
{
    static LoggerJournal* the_journal = new LoggerJournal;
    return *the_journal;
}

// The configuration's data-logger factory: the test program exports it.
extern "C" DataLogger* journal_logger_factory(bool compress, int max_size)
{
    return new JournalLogger(compress, max_size);
}

std::atomic<int> interrupt_resets{0};

// The configuration's interrupt reset hook.
extern "C" void runs_interrupt_reset()
{
    ++interrupt_resets;
}
