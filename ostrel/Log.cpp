#include "ostrel/Log.h"

#include <algorithm>
#include <cstdlib>

namespace Ostrel {

StreamItem::~StreamItem()
{
    Logger::instance()->remove_stream(this);
}

long FileStreamItem::write(const char* text, size_t count)
{
    size_t n = std::fwrite(text, 1, count, _file);
    std::fflush(_file);
    return static_cast<long>(n);
}

int FileStreamItem::flush()
{
    return std::fflush(_file);
}

Logger::Logger()
{
    unsigned short mask = 0x7F;
    if (const char* env = std::getenv("OSTREL_LOG_MASK")) {
        char* end = nullptr;
        long v = std::strtol(env, &end, 0);
        if (end != env && v >= 0 && v <= 0xFFFF)
            mask = static_cast<unsigned short>(v);
    }
    _console = new FileStreamItem(stdout, mask);
    _streams.push_back(_console);
}

Logger* Logger::instance()
{
    // Never destroyed: sinks and log streams of static objects may still be
    // used while the process exits.
    static Logger* the_logger = new Logger();
    return the_logger;
}

void Logger::add_stream(StreamItem* item)
{
    if (!item)
        return;
    std::lock_guard<std::mutex> lock(_mutex);
    if (std::find(_streams.begin(), _streams.end(), item) == _streams.end())
        _streams.push_back(item);
}

void Logger::remove_stream(StreamItem* item)
{
    std::lock_guard<std::mutex> lock(_mutex);
    _streams.erase(std::remove(_streams.begin(), _streams.end(), item), _streams.end());
}

void Logger::write(int level, const std::string& line)
{
    std::lock_guard<std::mutex> lock(_mutex);
    for (StreamItem* s : _streams)
        if (s->accepts(level))
            s->write(line.data(), line.size());
}

LogBuf::~LogBuf()
{
    if (!_line.empty()) {
        _line += '\n';
        emit();
    }
}

void LogBuf::set_level(int level)
{
    _level = level;
    if (_line.empty())
        _line_level = level;
}

void LogBuf::put(char c)
{
    if (_line.empty())
        _line_level = _level;
    _line += c;
    if (c == '\n')
        emit();
}

void LogBuf::emit()
{
    Logger::instance()->write(_line_level, _line);
    _line.clear();
    _line_level = _level;
}

LogBuf::int_type LogBuf::overflow(int_type c)
{
    if (!traits_type::eq_int_type(c, traits_type::eof()))
        put(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
}

std::streamsize LogBuf::xsputn(const char* s, std::streamsize n)
{
    for (std::streamsize i = 0; i < n; ++i)
        put(s[i]);
    return n;
}

ostream::ostream(int level) : std::ostream(nullptr), _buf(level)
{
    rdbuf(&_buf);
}

ostream::~ostream() = default;

std::ostream& operator<<(std::ostream& os, const loglevel& l)
{
    if (auto* o = dynamic_cast<Ostrel::ostream*>(&os))
        o->set_level(l.level);
    return os;
}

} // namespace Ostrel
