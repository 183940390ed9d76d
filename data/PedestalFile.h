// The pedestal file (".ped"): plain text, one line per channel from channel
// 0 on, the pedestal, a blank and the noise, each as a stream prints a double
// by default (up to 6 significant digits, "512.25", "1234.57", "1.2345e-05",
// "0"). No header, no comments. The configuration reads it for a module's
// section, and the pedestal dialog writes and reads it.
#ifndef BRISKO_DATA_PEDESTALFILE_H
#define BRISKO_DATA_PEDESTALFILE_H

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

class PedestalFile {
public:
    // Reads whitespace-separated numbers in pairs, pedestal then noise, into
    // the first entries of the two lists; line breaks carry no meaning. Stops
    // at the end of the input, at the first text that is no number, or once
    // every entry of the shorter list has its pair. Returns the pairs read.
    static size_t read(std::istream& in, std::vector<double>& ped, std::vector<double>& noise);

    // What writing a file gave: `opened` false when the file could not be
    // created at all; `error` empty on success, else the reason.
    struct Written {
        bool opened = false;
        std::string error;
        explicit operator bool() const { return error.empty(); }
    };
    // Writes one line per entry of the shorter list. The file is replaced
    // only once the whole text is written: a failed write (a full disk)
    // leaves a file that was there as it was.
    static Written write(const std::string& file, const std::vector<double>& ped,
                         const std::vector<double>& noise);
};

#endif
