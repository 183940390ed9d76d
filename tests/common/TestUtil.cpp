#include "common/TestUtil.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <unistd.h>

namespace testutil {

const std::string& home()
{
    static const std::string h = [] {
        const char* v = std::getenv("HOME");
        return std::string(v ? v : "/tmp");
    }();
    return h;
}

std::string make_temp_dir(const std::string& tag)
{
    std::string pattern = home() + "/" + tag + "-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        throw std::runtime_error("mkdtemp failed for " + pattern);
    return pattern;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream os;
    os << in.rdbuf();
    return os.str();
}

void write_file(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

namespace {
std::string capture_fd(int fd, std::FILE* stream, const std::function<void()>& f)
{
    std::fflush(stream);
    char name[] = "/tmp/brisko-capture-XXXXXX";
    int tmp = mkstemp(name);
    if (tmp < 0)
        throw std::runtime_error("mkstemp failed");
    unlink(name);
    int saved = dup(fd);
    dup2(tmp, fd);
    try {
        f();
    } catch (...) {
        std::fflush(stream);
        dup2(saved, fd);
        close(saved);
        close(tmp);
        throw;
    }
    std::fflush(stream);
    std::cout.flush();
    dup2(saved, fd);
    close(saved);
    std::string out;
    lseek(tmp, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(tmp, buf, sizeof buf)) > 0)
        out.append(buf, static_cast<size_t>(n));
    close(tmp);
    return out;
}
} // namespace

std::string capture_stdout(const std::function<void()>& f)
{
    return capture_fd(STDOUT_FILENO, stdout, [&] {
        f();
        std::cout.flush();
    });
}

std::string capture_stderr(const std::function<void()>& f)
{
    return capture_fd(STDERR_FILENO, stderr, [&] {
        f();
        std::cerr.flush();
    });
}

bool wait_until(const std::function<bool()>& cond, double seconds)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

OneProcessor::OneProcessor()
{
    sched_getaffinity(0, sizeof all, &all);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int c = 0; c < CPU_SETSIZE; ++c)
        if (CPU_ISSET(c, &all)) {
            CPU_SET(c, &one);
            break;
        }
    sched_setaffinity(0, sizeof one, &one);
}

OneProcessor::~OneProcessor()
{
    sched_setaffinity(0, sizeof all, &all);
}

} // namespace testutil
