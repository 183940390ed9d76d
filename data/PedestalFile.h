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
    // What reading a file gave: `opened` false when it could not be opened;
    // `pairs` the channels read; `error` empty unless a line was wrong,
    // else the reason, naming the file and the line.
    struct Read {
        bool opened = false;
        size_t pairs = 0;
        std::string error;
    };
    // Reads whitespace-separated numbers in pairs, pedestal then noise, into
    // the first entries of the two lists; a pair may run over a line break.
    // Each word of a line must be one number as a stream reads it ("512.25",
    // "1.2345e-05"): a line that holds anything else is an error, and none
    // of its numbers is taken. Stops at the end of the file, at a wrong line,
    // or after the line that gives every entry of the shorter list its pair.
    static Read read(const std::string& file, std::vector<double>& ped, std::vector<double>& noise);

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
