// A limit on the size of the files the process writes, as a full disk stops
// them, while the object lives: a write past it fails with EFBIG (SIGXFSZ,
// which would end the process, is ignored meanwhile).
#ifndef BRISKO_TESTS_FILE_SIZE_LIMIT_H
#define BRISKO_TESTS_FILE_SIZE_LIMIT_H

#include <csignal>

#include <sys/resource.h>

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &was);
        handler = std::signal(SIGXFSZ, SIG_IGN);
        const struct rlimit limit{bytes, was.rlim_max};
        setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        setrlimit(RLIMIT_FSIZE, &was);
        std::signal(SIGXFSZ, handler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    struct rlimit was {};
    void (*handler)(int) = SIG_DFL;
};

#endif
