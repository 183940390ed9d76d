// Where a download reports its progress.
#ifndef BRISKO_GUI_UPDATECHECK_APPDOWNLOADPROGRESS_H
#define BRISKO_GUI_UPDATECHECK_APPDOWNLOADPROGRESS_H

#include <string>

// The download's thread calls set_file_name, set_file_size and
// set_progress while it runs. A sink read from another thread meanwhile
// keeps its figure so that both threads may reach it (the window's sink
// keeps it atomic and shows it from the main loop).
class AppDownloadProgress {
public:
    AppDownloadProgress() = default;
    AppDownloadProgress(const AppDownloadProgress&) = delete;
    AppDownloadProgress& operator=(const AppDownloadProgress&) = delete;
    virtual ~AppDownloadProgress();
    // The fraction done, 0 to 1.
    virtual void set_progress(double fraction);
    virtual double get_progress();

    void set_file_name(const std::string& name) { file_name = name; }
    void set_file_size(double size) { file_size = size; }

    std::string file_name;
    std::string file_path;
    double file_size = 0;
};

#endif
