#include "gui/updatecheck/AppUpdateCheck.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <tuple>

#include <fcntl.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include "config/PathUtils.h"
#include "gui/updatecheck/Version.h"
#include "ostrel/Log.h"

namespace {

// The maker's download server is not known to this build: the default is
// a name that never resolves, so that nothing is fetched from a stranger.
const char default_server[] = "https://downloads.korvane.example/downloads/software";
const char application_name[] = "KorvaneTellum";
const auto this_version = std::make_tuple(tellum_version::major, tellum_version::minor, tellum_version::micro,
                                          tellum_version::release);

const size_t versions_limit = 1 << 20;

std::string initial_server_uri()
{
    std::string uri = g_getenv("TELLUM_UPDATE_URI") ? g_getenv("TELLUM_UPDATE_URI") : "";
    if (uri.empty())
        uri = default_server;
    while (uri.size() > 1 && uri.back() == '/')
        uri.pop_back();
    return uri;
}

struct StreamTarget {
    std::ostream* out;
    size_t limit;
    size_t taken;
};

size_t write_stream(char* data, size_t size, size_t count, void* target)
{
    auto* t = static_cast<StreamTarget*>(target);
    const size_t n = size * count;
    t->taken += n;
    if (t->limit && t->taken > t->limit)
        return 0;
    t->out->write(data, static_cast<std::streamsize>(n));
    return n;
}

size_t write_file(char* data, size_t size, size_t count, void* target)
{
    return std::fwrite(data, size, count, static_cast<FILE*>(target)) * size;
}

// Moves the finished download to `wanted`, or to the first free name of
// stem-1.ext, stem-2.ext, ... beside it, without ever replacing a file.
// The name it got, or empty after a failure.
std::string claim_name(const std::string& temp, const std::string& wanted)
{
    const auto parts = PathUtils::splitext(wanted);
    for (unsigned k = 0; k < 10000; ++k) {
        const std::string name = k ? parts.first + "-" + std::to_string(k) + parts.second : wanted;
        if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0)
            return name;
        if (errno == EEXIST)
            continue;
        if (errno != EINVAL && errno != ENOSYS)
            return std::string();
        // A file system without the no-replace rename: a link fails as well
        // when the name is taken.
        if (::link(temp.c_str(), name.c_str()) == 0) {
            g_unlink(temp.c_str());
            return name;
        }
        if (errno != EEXIST)
            return std::string();
    }
    return std::string();
}

} // namespace

std::string AppUpdateCheck::server_uri = initial_server_uri();

AppUpdateCheck::AppUpdateCheck(AppDownloadProgress* P) : prg(P)
{
    static const CURLcode global = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)global;
    curl = curl_easy_init();
}

AppUpdateCheck::~AppUpdateCheck()
{
    cancel_download();
    join();
    if (curl)
        curl_easy_cleanup(curl);
}

const char* AppUpdateCheck::get_application_name()
{
    return application_name;
}

std::string AppUpdateCheck::get_filename() const
{
    return path_uri.empty() ? std::string() : PathUtils::base_name(PathUtils::normpath(path_uri));
}

void AppUpdateCheck::set_file_name(const std::string& name)
{
    if (prg)
        prg->set_file_name(name);
}

void AppUpdateCheck::set_file_size(double size)
{
    if (prg)
        prg->set_file_size(size);
}

void AppUpdateCheck::set_progress(double fraction)
{
    if (prg)
        prg->set_progress(fraction);
}

double AppUpdateCheck::get_progress()
{
    return prg ? prg->get_progress() : 0.0;
}

// ---- transfers -------------------------------------------------------------

int AppUpdateCheck::download(const std::string& url, FILE* out, bool show_progress)
{
    return do_download(url, &write_file, out, show_progress);
}

int AppUpdateCheck::download(const std::string& url, std::ostream& out, bool show_progress, size_t limit)
{
    StreamTarget target{&out, limit, 0};
    return do_download(url, &write_stream, &target, show_progress);
}

int AppUpdateCheck::do_download(const std::string& url, WriteCallback write, void* target, bool show_progress)
{
    if (!curl)
        return CURLE_FAILED_INIT;
    std::lock_guard<std::mutex> lock(transfer_mutex);
    // Options stay on the handle: each transfer starts from none.
    curl_easy_reset(curl);
    report_progress = show_progress;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 10L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "deflate");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(curl, CURLOPT_FAILONERROR, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, target);
    // Also without progress reports: the cancel request is polled here.
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &AppUpdateCheck::transfer_info);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

    char detail[CURL_ERROR_SIZE] = "";
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);

    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    long os_error = 0;
    curl_easy_getinfo(curl, CURLINFO_OS_ERRNO, &os_error);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, nullptr);
    if (rc == CURLE_OK && (status < 200 || status > 299))
        rc = CURLE_HTTP_RETURNED_ERROR;
    transfer_failure.clear();
    if (rc != CURLE_OK) {
        // libcurl's words, its detail and the system's, each once.
        std::string why = curl_easy_strerror(rc);
        if (*detail && std::string(detail).find(why) != std::string::npos)
            why = detail;
        else if (*detail)
            why += std::string(": ") + detail;
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        const std::string system = os_error ? g_strerror(static_cast<int>(os_error)) : "";
        if (!system.empty() && why.find(system) == std::string::npos)
            why += " (" + system + ")";
        if (status && why.find(std::to_string(status)) == std::string::npos)
            why += " (HTTP status " + std::to_string(status) + ")";
        transfer_failure = why;
        std::cout << "Transfer of " << url << " failed: " << why << std::endl;
    }
    return rc;
}

int AppUpdateCheck::transfer_info(void* data, curl_off_t total, curl_off_t now, curl_off_t, curl_off_t)
{
    auto* self = static_cast<AppUpdateCheck*>(data);
    if (self->stop_download.load()) {
        std::cout << "have to stop download" << std::endl;
        return 1;
    }
    if (self->report_progress && total > 0) {
        self->set_file_size(static_cast<double>(total));
        self->set_progress(static_cast<double>(now) / static_cast<double>(total));
    }
    return 0;
}

// ---- check -----------------------------------------------------------------

int AppUpdateCheck::check_for_update()
{
    failed.clear();
    found = check_versions();
    return found;
}

int AppUpdateCheck::check_versions()
{
    std::ostringstream list;
    const std::string url = server_uri + "/versions.txt";
    const int rc = download(url, list, false, versions_limit);
    // Only the limit makes the list's writer fail.
    if (rc == CURLE_WRITE_ERROR) {
        failed = "The list of versions " + url + " could not be read: it is larger than 1 MiB.";
        return 0;
    }
    if (rc != CURLE_OK) {
        failed = "The list of versions " + url + " could not be fetched: " + transfer_failure + ".";
        return 0;
    }
    const std::string text = list.str();
    for (size_t from = 0;;) {
        const size_t at = text.find(application_name, from);
        if (at == std::string::npos)
            return 0;
        const size_t end = text.find('\n', at);
        std::istringstream line(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
        std::string name, platform, file;
        int major = 0, minor = 0, micro = 0, release = 0;
        line >> name >> major;
        line.get();
        line >> minor;
        line.get();
        line >> micro;
        line.get();
        line >> release >> platform >> file;
        if (line.fail()) {
            std::cout << "Problems reading line" << std::endl;
            failed = "The list of versions " + url + " could not be read: its line \"" + line.str() +
                     "\" is not a name, a version, a platform and a file.";
            return 0;
        }
        if (platform != "linux") {
            // The last line ends the list, newline or not.
            if (end == std::string::npos)
                return 0;
            from = end + 1;
            continue;
        }
        path_uri = file;
        return std::make_tuple(major, minor, micro, release) > this_version ? 1 : 0;
    }
}

// ---- download --------------------------------------------------------------

bool AppUpdateCheck::plain_file_name(const std::string& name)
{
    if (name.empty() || name[0] == '.')
        return false;
    for (const char c : name)
        if (c == '/' || c == '\\' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

std::string AppUpdateCheck::download_folder() const
{
    if (!chosen_folder.empty())
        return chosen_folder;
    const char* downloads = g_get_user_special_dir(G_USER_DIRECTORY_DOWNLOAD);
    return downloads ? downloads : "";
}

int AppUpdateCheck::download_update()
{
    failed.clear();
    if (path_uri.empty())
        return 0;
    const int rc = save_download();
    if (rc != 0)
        Ostrel::ostream(Ostrel::LOG_ERROR) << "Could not download the update file: " << failed << std::endl;
    return rc;
}

int AppUpdateCheck::save_download()
{
    const std::string url = server_uri + "/" + path_uri;
    // The name comes from the server: it may only name a file of its own
    // in the download folder, never one such as .profile.
    const std::string name = get_filename();
    if (!plain_file_name(name)) {
        const bool hidden = name.size() > 1 && name[0] == '.' && name != "..";
        failed = "The file name \"" + name + "\" of the versions list is refused: " +
                 (name.empty() || name == "/" ? "it is empty." : hidden ? "it is hidden." : "it is not a plain file name.");
        return -1;
    }
    const std::string folder = download_folder();
    if (folder.empty()) {
        failed = "There is no download folder to save " + name + " in.";
        return -1;
    }
    if (g_mkdir_with_parents(folder.c_str(), 0755) != 0) {
        failed = "The download folder " + folder + " cannot be made: " + g_strerror(errno) + ".";
        return -1;
    }
    const std::string destination = PathUtils::join(folder, name);

    // Written beside the destination under a name nobody else has, so that
    // nothing is replaced and a failure leaves nothing half written.
    std::string temp = PathUtils::join(folder, "." + name + ".part-XXXXXX");
    const int fd = g_mkstemp_full(&temp[0], O_RDWR, 0666);
    FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
    if (!out) {
        failed = "Nothing can be written in " + folder + ": " + g_strerror(errno) + ".";
        if (fd >= 0) {
            ::close(fd);
            g_unlink(temp.c_str());
        }
        return -1;
    }
    set_file_name(name);
    path_file = destination;

    const int rc = download(url, out, true);
    const bool written = std::fclose(out) == 0;
    const std::string saved = rc == CURLE_OK && written ? claim_name(temp, destination) : std::string();
    if (saved.empty()) {
        g_unlink(temp.c_str());
        failed = rc != CURLE_OK ? "The transfer of " + url + " failed: " + transfer_failure + "."
                                : "The file could not be saved in " + folder + ".";
        return -1;
    }
    path_file = saved;
    if (prg)
        prg->file_path = saved;
    return 0;
}

// ---- worker ----------------------------------------------------------------

void AppUpdateCheck::check_for_update_async()
{
    start(Job::check);
}

void AppUpdateCheck::download_update_async()
{
    start(Job::download);
}

void AppUpdateCheck::start(Job work)
{
    std::lock_guard<std::mutex> lock(thread_mutex);
    if (thread)
        return;
    stop_download = false;
    job = work;
    running = true;
    thread = g_thread_new(work == Job::check ? "update_check" : "download_async", &AppUpdateCheck::run_job, this);
}

gpointer AppUpdateCheck::run_job(gpointer data)
{
    auto* self = static_cast<AppUpdateCheck*>(data);
    self->result = self->job == Job::check ? self->check_for_update() : self->download_update();
    self->running = false;
    return nullptr;
}

void AppUpdateCheck::cancel_download()
{
    std::lock_guard<std::mutex> lock(thread_mutex);
    if (thread)
        stop_download = true;
}

int AppUpdateCheck::join()
{
    std::lock_guard<std::mutex> lock(thread_mutex);
    if (thread) {
        g_thread_join(thread);
        thread = nullptr;
    }
    stop_download = false;
    return result.load();
}
