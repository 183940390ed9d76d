#include "ostrel/FileIOManager.h"

#include <cerrno>
#include <cstring>

#include "ostrel/Log.h"

namespace Ostrel {

namespace {

// The name of the k-th file of a run: "_NNN" before the extension of the
// last path component.
std::string numbered_name(const std::string& first, int k)
{
    if (k <= 0)
        return first;
    char num[32];
    std::snprintf(num, sizeof num, "_%03d", k);
    const size_t slash = first.rfind('/');
    const size_t dot = first.rfind('.');
    const size_t base = slash == std::string::npos ? 0 : slash + 1;
    if (dot == std::string::npos || dot <= base)
        return first + num;
    return first.substr(0, dot) + num + first.substr(dot);
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

int FileIOManager::open_file(const std::string& name)
{
    if (do_open(name.c_str()) != 0)
        return -1;
    {
        std::lock_guard<std::mutex> lock(_name_mutex);
        _name = name;
    }
    _size = 0;
    _open = true;
    call_block_func(_header, _header_data);
    return 0;
}

int FileIOManager::close_file()
{
    if (!_open)
        return -1;
    call_block_func(_tail, _tail_data);
    _open = false;
    return do_close();
}

int FileIOManager::open(const char* name)
{
    if (!name || !*name)
        return -1;
    if (_open)
        close_file();
    {
        std::lock_guard<std::mutex> lock(_name_mutex);
        _first_name = name;
    }
    _file_number = 0;
    return open_file(name);
}

int FileIOManager::close()
{
    return close_file();
}

long FileIOManager::write(const char* buffer, unsigned long size)
{
    if (!_open)
        return -1;
    const long n = do_write(buffer, size);
    if (n < 0)
        return n;
    _size += static_cast<unsigned long>(n);
    if (_max_size > 0 && _size >= _max_size && !_in_block) {
        std::string first;
        {
            std::lock_guard<std::mutex> lock(_name_mutex);
            first = _first_name;
        }
        close_file();
        const int k = ++_file_number;
        if (open_file(numbered_name(first, k)) != 0) {
            Ostrel::ostream log(LOG_ERROR);
            log << "FileIOManager: could not open " << numbered_name(first, k) << std::endl;
        }
    }
    return n;
}

long FileIOManager::write(const FileIODescriptor& descriptor, const char* buffer, unsigned long size)
{
    if (!_open)
        return -1;
    return do_write(descriptor, buffer, size);
}

int FileIOManager::do_open(const char* name)
{
    if (_file)
        std::fclose(_file);
    _file = std::fopen(name, "wb");
    if (!_file) {
        Ostrel::ostream log(LOG_ERROR);
        log << "FileIOManager: cannot open " << name << ": " << std::strerror(errno) << std::endl;
        return -1;
    }
    return 0;
}

int FileIOManager::do_close()
{
    if (!_file)
        return -1;
    const int rc = std::fclose(_file);
    _file = nullptr;
    return rc == 0 ? 0 : -1;
}

long FileIOManager::do_write(const char* buffer, unsigned long size)
{
    if (!_file)
        return -1;
    if (size == 0)
        return 0;
    const size_t n = std::fwrite(buffer, 1, size, _file);
    return n == size ? static_cast<long>(n) : -1;
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
