// Helpers shared by the tests.
#ifndef BRISKO_TEST_UTIL_H
#define BRISKO_TEST_UTIL_H

#include <functional>
#include <string>

#include <sched.h>

namespace testutil {

// The private home folder of this test process.
const std::string& home();

// A fresh, empty folder below the private home.
std::string make_temp_dir(const std::string& tag = "tmp");

std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& text);

// Runs f while standard output is captured and returns what it printed.
std::string capture_stdout(const std::function<void()>& f);
std::string capture_stderr(const std::function<void()>& f);

// Polls cond every millisecond until it holds or the time has passed.
bool wait_until(const std::function<bool()>& cond, double seconds);

// Keeps the calling thread on the first processor of those it may run on,
// as `taskset -c` would start it, until the object goes: the thread then
// has its processors back.
class OneProcessor {
public:
    OneProcessor();
    ~OneProcessor();
    OneProcessor(const OneProcessor&) = delete;
    OneProcessor& operator=(const OneProcessor&) = delete;

private:
    cpu_set_t all;
};

} // namespace testutil

#endif
