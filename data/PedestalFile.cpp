#include "data/PedestalFile.h"

#include <algorithm>
#include <istream>
#include <sstream>

#include <gio/gio.h>

size_t PedestalFile::read(std::istream& in, std::vector<double>& ped, std::vector<double>& noise)
{
    const size_t n = std::min(ped.size(), noise.size());
    size_t i = 0;
    double p = 0.0;
    double s = 0.0;
    // Only whole pairs count: a pedestal without its noise is left out.
    while (i < n && in >> p >> s) {
        ped[i] = p;
        noise[i] = s;
        ++i;
    }
    return i;
}

PedestalFile::Written PedestalFile::write(const std::string& file, const std::vector<double>& ped,
                                          const std::vector<double>& noise)
{
    std::ostringstream text;
    const size_t n = std::min(ped.size(), noise.size());
    for (size_t i = 0; i < n; ++i)
        text << ped[i] << ' ' << noise[i] << '\n';
    const std::string bytes = text.str();

    Written result;
    GError* error = nullptr;
    GFile* target = g_file_new_for_path(file.c_str());
    // Written beside the file and moved in place when closed.
    GFileOutputStream* out =
        file.empty() ? nullptr
                     : g_file_replace(target, nullptr, FALSE, G_FILE_CREATE_NONE, nullptr, &error);
    if (out) {
        result.opened = true;
        gsize written = 0;
        GOutputStream* stream = G_OUTPUT_STREAM(out);
        const bool ok =
            g_output_stream_write_all(stream, bytes.data(), bytes.size(), &written, nullptr, &error) &&
            g_output_stream_close(stream, nullptr, &error);
        if (!ok) {
            // Closing a stream that failed drops what it wrote beside the file.
            GCancellable* cancel = g_cancellable_new();
            g_cancellable_cancel(cancel);
            g_output_stream_close(stream, cancel, nullptr);
            g_object_unref(cancel);
        }
        g_object_unref(out);
    }
    if (error) {
        result.error = error->message;
        g_error_free(error);
    } else if (!result.opened) {
        result.error = "no file name";
    }
    g_object_unref(target);
    return result;
}
