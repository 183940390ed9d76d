#include "ostrel/FileIOManager.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

#include "ostrel/Log.h"

namespace Ostrel {

namespace {

// The name with `suffix` before the extension of its last path component.
std::string with_suffix(const std::string& name, const std::string& suffix)
{
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (dot == std::string::npos || dot <= base)
        return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

// The name of the k-th file of a run: "_NNN" before the extension.
std::string numbered_name(const std::string& first, int k)
{
    if (k <= 0)
        return first;
    char num[32];
    std::snprintf(num, sizeof num, "_%03d", k);
    return with_suffix(first, num);
}

bool exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// The name itself when nothing has it, else the first of name-1, name-2,
// ... that nothing has.
std::string free_name(const std::string& name)
{
    if (!exists(name))
        return name;
    for (unsigned long k = 1;; ++k) {
        const std::string candidate = with_suffix(name, "-" + std::to_string(k));
        if (!exists(candidate))
            return candidate;
    }
}

} // namespace

FileIOManager::FileIOManager(bool compress, unsigned long max_size)
    : _compress(compress), _max_size(max_size)
{
}

FileIOManager::~FileIOManager()
{
    if (_file) {
        std::fclose(_file);
        _file = nullptr;
    }
}

void FileIOManager::call_block_func(BlockFunc f, void* data)
{
    if (!f)
        return;
    const char* block = nullptr;
    _in_block = true;
    const int n = f(&block, data);
    if (block && n > 0)
        write(block, static_cast<unsigned long>(n));
    _in_block = false;
    delete[] block;
}

int FileIOManager::open_file(const std::string& wanted)
{
    const std::string name = free_name(wanted);
    if (name != wanted) {
        Ostrel::ostream log(LOG_WARNING);
        log << "The run file " << wanted << " exists already: this run goes to " << name << std::endl;
    }
    {
        std::lock_guard<std::mutex> lock(_name_mutex);
        _name = name;
    }
    if (do_open(name.c_str()) != 0)
        return -1;
    _size = 0;
    _synced = 0;
    _ends.clear();
    _open = true;
    call_block_func(_header, _header_data);
    // The file holds its beginning however the run ends.
    if (sync() != 0) {
        close_file();
        return -1;
    }
    return 0;
}

int FileIOManager::close_file()
{
    if (!_open)
        return -1;
    if (!_failed)
        call_block_func(_tail, _tail_data);
    _open = false;
    const int rc = do_close();
    return _failed ? -1 : rc;
}

int FileIOManager::open(const char* name)
{
    if (!name || !*name)
        return -1;
    if (_open)
        close_file();
    _failed = false;
    {
        std::lock_guard<std::mutex> lock(_name_mutex);
        _error.clear();
    }
    _file_number = 0;
    if (open_file(name) != 0)
        return -1;
    // Further files are named after the one the run went to.
    std::lock_guard<std::mutex> lock(_name_mutex);
    _first_name = _name;
    return 0;
}

int FileIOManager::close()
{
    return close_file();
}

long FileIOManager::write(const char* buffer, unsigned long size)
{
    if (!_open || _failed)
        return -1;
    const long n = do_write(buffer, size);
    if (n < 0 || _failed)
        return -1;
    _size += static_cast<unsigned long>(n);
    if (_max_size > 0 && _size >= _max_size && !_in_block) {
        std::string first;
        {
            std::lock_guard<std::mutex> lock(_name_mutex);
            first = _first_name;
        }
        // A file that cannot be ended loses this write with the rest after
        // its last sync.
        if (close_file() != 0 && _failed)
            return -1;
        const int k = ++_file_number;
        const std::string next = numbered_name(first, k);
        if (open_file(next) != 0 && !_failed)
            fail("cannot begin the next file " + next + ": " + get_error());
    }
    return n;
}

long FileIOManager::write(const FileIODescriptor& descriptor, const char* buffer, unsigned long size)
{
    if (!_open || _failed)
        return -1;
    const long n = do_write(descriptor, buffer, size);
    return _failed ? -1 : n;
}

int FileIOManager::sync()
{
    if (_failed)
        return -1;
    if (!_open)
        return 0;
    const int rc = do_sync();
    return rc < 0 || _failed ? -1 : 0;
}

void FileIOManager::fail(const std::string& error)
{
    if (_failed.exchange(true))
        return;
    std::string name;
    {
        std::lock_guard<std::mutex> lock(_name_mutex);
        _error = error;
        name = _name;
    }
    const std::string note = failure_note();
    Ostrel::ostream log(LOG_ERROR);
    log << "Could not write the run file " << name << ": " << error << "; the run is no longer written" << note
        << std::endl;
}

void FileIOManager::set_error(const std::string& error)
{
    std::lock_guard<std::mutex> lock(_name_mutex);
    _error = error;
}

std::string FileIOManager::get_error() const
{
    std::lock_guard<std::mutex> lock(_name_mutex);
    return _error;
}

int FileIOManager::do_open(const char* name)
{
    if (_file)
        std::fclose(_file);
    // Created here, or not at all: another file of that name is not ours.
    _file = std::fopen(name, "wbx");
    if (!_file) {
        const int e = errno;
        set_error(std::strerror(e));
        Ostrel::ostream log(LOG_ERROR);
        log << "FileIOManager: cannot open " << name << ": " << std::strerror(e) << std::endl;
        return -1;
    }
    return 0;
}

int FileIOManager::do_close()
{
    if (!_file)
        return -1;
    const int rc = std::fclose(_file);
    const int e = errno;
    _file = nullptr;
    if (rc != 0)
        fail(std::strerror(e));
    if (_failed)
        keep_written_part();
    return rc == 0 && !_failed ? 0 : -1;
}

void FileIOManager::keep_written_part()
{
    const std::string name = get_file_name();
    struct stat st;
    const unsigned long on_disk = ::stat(name.c_str(), &st) == 0 ? static_cast<unsigned long>(st.st_size) : 0;
    unsigned long keep = std::min(_synced, on_disk);
    for (unsigned long end : _ends) {
        if (end > on_disk)
            break;
        keep = end;
    }
    _ends.clear();
    // Nothing of it reached the file: no empty file is left behind.
    if (keep == 0)
        ::unlink(name.c_str());
    else if (keep < on_disk)
        (void)::truncate(name.c_str(), static_cast<off_t>(keep));
}

long FileIOManager::do_write(const char* buffer, unsigned long size)
{
    if (!_file)
        return -1;
    if (size == 0)
        return 0;
    const size_t n = std::fwrite(buffer, 1, size, _file);
    if (n != size) {
        fail(std::strerror(errno));
        return -1;
    }
    _ends.push_back(_size.load() + n);
    // Bounded between syncs, which forget them.
    if (_ends.size() >= (1u << 20))
        do_sync();
    return static_cast<long>(n);
}

int FileIOManager::do_sync()
{
    if (!_file)
        return 0;
    if (std::fflush(_file) != 0) {
        fail(std::strerror(errno));
        return -1;
    }
    _synced = _size.load();
    _ends.clear();
    return 0;
}

long FileIOManager::do_write(const FileIODescriptor&, const char* buffer, unsigned long size)
{
    return write(buffer, size);
}

void FileIOManager::register_data_stream(int n, FileIODescriptor* descriptors)
{
    _streams.clear();
    for (int i = 0; descriptors && i < n; ++i)
        _streams.push_back(descriptors[i]);
}

void FileIOManager::set_header_func(BlockFunc f, void* data)
{
    _header = f;
    _header_data = data;
}

void FileIOManager::reset_header_func()
{
    _header = nullptr;
    _header_data = nullptr;
}

void FileIOManager::set_tail_func(BlockFunc f, void* data)
{
    _tail = f;
    _tail_data = data;
}

void FileIOManager::reset_tail_func()
{
    _tail = nullptr;
    _tail_data = nullptr;
}

double FileIOManager::relative_size() const
{
    if (_max_size == 0)
        return 0.0;
    const double r = static_cast<double>(_size.load()) / static_cast<double>(_max_size);
    return r > 1.0 ? 1.0 : r;
}

std::string FileIOManager::get_file_name() const
{
    std::lock_guard<std::mutex> lock(_name_mutex);
    return _name;
}

} // namespace Ostrel
