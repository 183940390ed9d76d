#include "data/PedestalFile.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include <gio/gio.h>

namespace {

// No line of a pedestal file comes near this; a longer one is no line of
// numbers, and is not kept in memory.
const std::streamsize longest_line = 4096;

// The word as one number, read as the stream reads numbers of a valid file.
bool whole_number(const std::string& word, double& value)
{
    std::istringstream is(word);
    return is >> value && is.peek() == std::char_traits<char>::eof();
}

// The word as a message may show it: short, and text a label can draw.
std::string shown(const std::string& word)
{
    const size_t most = 24;
    gchar* valid = g_utf8_make_valid(word.c_str(), static_cast<gssize>(std::min(word.size(), most)));
    std::string text = valid;
    g_free(valid);
    return word.size() > most ? text + "..." : text;
}

} // namespace

PedestalFile::Read PedestalFile::read(const std::string& file, std::vector<double>& ped,
                                      std::vector<double>& noise)
{
    Read result;
    std::ifstream in(file);
    if (!in)
        return result;
    result.opened = true;
    const size_t n = std::min(ped.size(), noise.size());
    // A pedestal whose noise is on a later line.
    bool pending = false;
    double pedestal = 0.0;
    std::vector<double> numbers;
    char line[longest_line];
    size_t number = 1;
    for (; result.pairs < n && in.getline(line, sizeof line); ++number) {
        numbers.clear();
        // The whole line, a zero byte in it included.
        const std::streamsize got = in.gcount();
        std::istringstream words(std::string(line, static_cast<size_t>(in.eof() ? got : got - 1)));
        std::string word;
        while (words >> word) {
            double v = 0.0;
            if (!whole_number(word, v)) {
                result.error = file + ", line " + std::to_string(number) + ": \"" + shown(word) + "\" is not a number";
                return result;
            }
            numbers.push_back(v);
        }
        for (double v : numbers) {
            if (result.pairs == n)
                break;
            if (!pending) {
                pedestal = v;
                pending = true;
                continue;
            }
            ped[result.pairs] = pedestal;
            noise[result.pairs] = v;
            ++result.pairs;
            pending = false;
        }
    }
    if (in.fail() && !in.eof())
        result.error = file + ", line " + std::to_string(number) + ": longer than " +
                       std::to_string(longest_line - 1) + " characters";
    return result;
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
