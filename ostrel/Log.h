// The framework log. Code writes lines to an Ostrel::ostream at a level;
// the Logger hands every line to each StreamItem whose mask has a bit in
// common with the line's level.
#ifndef OSTREL_LOG_H
#define OSTREL_LOG_H

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace Ostrel {

enum LogLevel {
    LOG_PROTOCOL = 128,   // protocol detail
    LOG_INFO = 64,        // information
    LOG_MESSAGE = 32,     // message
    LOG_WARNING = 16,     // warning
    LOG_ERROR = 4,        // error
    LOG_SEVERE = 2        // severe
};

// Stream manipulator: os << Ostrel::loglevel(16) << "text" << std::endl;
struct loglevel {
    explicit loglevel(int l) : level(l) {}
    int level;
};

// A sink of log lines. Registers with the Logger only when asked to.
class StreamItem {
public:
    explicit StreamItem(unsigned short mask = 0xFF) : _mask(mask) {}
    StreamItem(const StreamItem&) = delete;
    StreamItem& operator=(const StreamItem&) = delete;
    virtual ~StreamItem();   // leaves the Logger

    // One line, its newline included. Called with the Logger's lock held.
    virtual long write(const char* text, size_t count) = 0;
    virtual int flush() { return 0; }
    virtual int close() { return 0; }

    void set_mask(unsigned short mask) { _mask = mask; }
    unsigned short get_mask() const { return _mask; }
    bool accepts(int level) const { return (_mask & level) != 0; }

private:
    std::atomic<unsigned short> _mask;
};

// Writes lines to a C stdio stream (standard output for the console sink).
class FileStreamItem : public StreamItem {
public:
    FileStreamItem(std::FILE* file, unsigned short mask) : StreamItem(mask), _file(file) {}
    long write(const char* text, size_t count) override;
    int flush() override;

private:
    std::FILE* _file;
};

class Logger {
public:
    // The process-wide logger; it lives until the process ends. It starts
    // with one console sink on standard output whose mask is taken from
    // the environment variable OSTREL_LOG_MASK (default 0x7F: everything but
    // protocol detail).
    static Logger* instance();

    void add_stream(StreamItem* item);      // not owned
    void remove_stream(StreamItem* item);
    StreamItem* console() const { return _console; }

    // Hands one complete line to every sink that accepts its level.
    void write(int level, const std::string& line);

private:
    Logger();
    std::mutex _mutex;
    std::vector<StreamItem*> _streams;
    StreamItem* _console = nullptr;
};

class LogBuf : public std::streambuf {
public:
    explicit LogBuf(int level) : _level(level), _line_level(level) {}
    ~LogBuf() override;
    void set_level(int level);
    int level() const { return _level; }

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    void put(char c);
    void emit();
    int _level;
    int _line_level;   // the level in force when the line's first character came
    std::string _line;
};

// A log stream. Lines end at '\n'; a line goes out at the level that was in
// force when its first character was written. Use one object per thread
// (or per function): the stream itself is not locked.
class ostream : public std::ostream {
public:
    explicit ostream(int level = LOG_INFO);
    ~ostream() override;
    void set_level(int level) { _buf.set_level(level); }
    int level() const { return _buf.level(); }

private:
    LogBuf _buf;
};

// On an Ostrel::ostream sets the level; on any other stream does nothing.
std::ostream& operator<<(std::ostream& os, const loglevel& l);

} // namespace Ostrel

#endif
