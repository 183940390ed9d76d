// The update check: the versions list of the download area, the comparison
// with this program's version, and the download of a newer release, with
// libcurl and without the toolkit.
#ifndef BRISKO_GUI_UPDATECHECK_APPUPDATECHECK_H
#define BRISKO_GUI_UPDATECHECK_APPUPDATECHECK_H

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <mutex>
#include <ostream>
#include <string>

#include <curl/curl.h>
#include <glib.h>

#include "gui/updatecheck/AppDownloadProgress.h"

// One checker does one transfer at a time on its own libcurl handle: the
// check and the download run either on the caller's thread or on one
// worker thread of the checker's (the *_async calls), never both at once.
// Transfers speak http and https only, give up on a server that does not
// answer within 10 s or sends nothing for 30 s, and count only a 2xx answer
// as success.
class AppUpdateCheck {
public:
    // The download area: TELLUM_UPDATE_URI when it is set, else a stand-in
    // for the maker's server that never resolves; the versions list is
    // server_uri + "/versions.txt".
    static std::string server_uri;

    explicit AppUpdateCheck(AppDownloadProgress* P = nullptr);
    AppUpdateCheck(const AppUpdateCheck&) = delete;
    AppUpdateCheck& operator=(const AppUpdateCheck&) = delete;
    // Cancels a worker that still runs and joins it.
    virtual ~AppUpdateCheck();

    // 1 when the versions list names a newer release for Linux (its file
    // is kept for download_update), else 0; also 0 when the list cannot be
    // fetched, is larger than 1 MiB or its Linux line does not read, and
    // then failure() says so.
    int check_for_update();
    // What the last check gave.
    int newer_release() const { return found; }
    // Why the last check or download failed, as a sentence for the
    // operator; empty after one that went well.
    const std::string& failure() const { return failed; }
    // Downloads the file of the last check into the download folder under
    // its name, or the name with a number added when that is taken: an
    // existing file is never replaced. A name that is empty, hidden
    // (leading ".") or not a plain file name is refused. 0 on success or
    // when there is nothing to download, -1 on failure or cancel, and then
    // no file is left behind.
    int download_update();
    // The folder downloads go into, made when missing: the one set here,
    // else the user's download folder as GLib names it; empty when there
    // is neither, and then a download fails.
    std::string download_folder() const;
    void set_download_folder(const std::string& folder) { chosen_folder = folder; }
    // Whether the name may be written in the download folder.
    static bool plain_file_name(const std::string& name);

    // The same on the worker thread ("update_check", "download_async");
    // nothing when the worker is busy.
    void check_for_update_async();
    void download_update_async();
    // Asks the worker to stop; the transfer stops at its next progress
    // report, within a second or so.
    void cancel_download();
    // True when no worker runs (it may still wait to be joined).
    bool finished() const { return !running.load(); }
    // Waits for the worker and gives its result (0 when none ran); the
    // cancel request is cleared.
    int join();
    bool have_to_stop() const { return stop_download.load(); }

    static const char* get_application_name();
    // The last component of the file the check found; "" before.
    std::string get_filename() const;
    std::string get_file_path() const { return path_file; }
    void set_file_path(const std::string& path) { path_file = path; }

    void set_file_name(const std::string& name);
    void set_file_size(double size);
    void set_progress(double fraction);
    double get_progress();
    void set_progress_obj(AppDownloadProgress* P) { prg = P; }
    AppDownloadProgress* get_progress_obj() const { return prg; }

    // One transfer into the file or the stream; the libcurl result (0 for
    // success, CURLE_HTTP_RETURNED_ERROR for an answer that is not 2xx).
    // A stream transfer with a limit fails once more bytes than that come.
    int download(const std::string& url, FILE* out, bool show_progress);
    int download(const std::string& url, std::ostream& out, bool show_progress, size_t limit = 0);

protected:
    std::string path_uri;    // the release file, relative to server_uri
    std::string path_file;   // where the download went
    AppDownloadProgress* prg;

private:
    int check_versions();
    int save_download();
    using WriteCallback = size_t (*)(char* data, size_t size, size_t count, void* target);
    int do_download(const std::string& url, WriteCallback write, void* target, bool show_progress);
    static int transfer_info(void* self, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t);
    enum class Job { check, download };
    void start(Job work);
    static gpointer run_job(gpointer self);

    CURL* curl;
    std::mutex transfer_mutex;    // one transfer at a time on it
    bool report_progress = false; // of the transfer under way
    std::string transfer_failure; // why the last transfer failed

    // Written by the thread that checks or downloads, read once it is done.
    std::string failed;
    std::string chosen_folder;

    std::mutex thread_mutex;
    GThread* thread = nullptr;
    Job job = Job::check;
    std::atomic<bool> running{false};
    std::atomic<bool> stop_download{false};
    std::atomic<int> result{0};
    int found = 0;
};

#endif
