// The file driver of HDF5 run files: plain POSIX file access, laid out as
// the library's default driver lays out its files, that never hands the
// library a failed write. A thread of each file's makes its writes.
//
// The library cannot close what it failed to write: a dataset or file whose
// close fails stays half released and brings the process down when the
// library shuts down. So the first write that fails (a full disk, a file
// size limit) is kept in the write state and reported to the library as
// done, and every later write, and the truncation at close, is dropped
// without touching the file. The file keeps what it held when the write
// failed; the writer looks at the write state after its calls and stops.
// A failure of the writing thread reaches the state at the library's next
// call on the file, and at its next flush at the latest.
#ifndef BRISKO_DAQ_HDFFILEDRIVER_H
#define BRISKO_DAQ_HDFFILEDRIVER_H

#include <string>

#include <hdf5.h>

// What became of the writes of one file. Written by the thread that calls
// the library on the file.
struct HDFWriteState {
    int error = 0;        // errno of the first failed write
    int open_error = 0;   // errno of the last attempt to open, 0 when it opened
    bool failed() const { return error != 0; }
    std::string reason() const;
    std::string open_reason() const;
};

// A new file-access property list for files opened through the driver,
// which report into `state` (it must live as long as the files). Negative
// when the driver cannot be registered.
hid_t hdf_file_access(HDFWriteState* state);

#endif
