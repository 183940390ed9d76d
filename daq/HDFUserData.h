// The rows a module delivers to an HDF5 run file, described by its data
// format text:
//
//     name {field/type,field/type,...}    one compound dataset "name"
//                                         ("data" when the name is empty)
//     field/type,field/type,...           one dataset per field
//
// A type is an optional byte-order mark ("=" native, "<" little-endian,
// ">" big-endian), an optional element count and one letter: c (8-bit
// character), h/H (signed/unsigned 16-bit), i/I (32-bit), l/L (64-bit),
// f (32-bit float) or d (64-bit float). Fields are laid out in order, each
// at the next multiple of its element size; the row is not padded at the
// end. The order mark only names the byte order of the stored bytes, which
// are written as the module lays them out.
#ifndef BRISKO_DAQ_HDFUSERDATA_H
#define BRISKO_DAQ_HDFUSERDATA_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <hdf5.h>

#include "daq/HDFChunkWriter.h"

namespace Ostrel {
class Module;
}

// One field of a row.
struct FormatDef {
    char fmt;         // type letter
    char name[64];    // field name, at most 63 characters
    int size;         // bytes of one element
    int len;          // number of elements
    int align;        // alignment, equal to size
    int offset;       // byte offset in the row
    hid_t type;       // element type
    hid_t obj;        // the field's dataset in the split form, else -1
};

class HDFUserData {
public:
    // Attaches at once when `file` is an open file (not -1).
    HDFUserData(hid_t file, const std::string& group, const std::string& format);
    HDFUserData(const HDFUserData&) = delete;
    HDFUserData& operator=(const HDFUserData&) = delete;
    ~HDFUserData();

    // Parses the format into the component list and the row layout. 0 on
    // success; 1 on a syntax error, which is reported (the components
    // parsed before it remain) or, for an empty field list, not.
    int parse_data(const std::string& format);

    // Parses, creates the group `group` in the file (its parent groups must
    // exist) and the datasets, with no rows. 0, or -1 when the format does
    // not parse or the group cannot be created (nothing is created then).
    // A stream that was attached lets go of its former objects first.
    int attach(hid_t file, const std::string& group, const std::string& format);

    // Appends `nrows` rows of the row size to the datasets. `rows` holds
    // `nbytes` readable bytes: when they are fewer than the rows need, the
    // bytes missing read as zeros, so nothing is read past the caller's
    // buffer. The row count grows by `nrows` even when a dataset refuses
    // the rows (its rows stay at the fill value 0), so that rows keep their
    // numbers. 0, or -1 when the stream is not attached or a dataset
    // refused the rows.
    int write_data(const void* rows, int nrows, size_t nbytes);

    // From now until the stream is attached again or closed, write_data
    // keeps the rows in memory and they reach the file a chunk at a time
    // (HDFChunkWriter), full chunks compressed by `pool` when it is given;
    // flush_rows and close write out what waits. For an attached stream.
    void buffer_rows(HDFChunkPool* pool);
    // Writes the rows that wait in memory, as HDFChunkWriter::flush; the
    // first writer made leads the others. 0, or -1 when a dataset refused
    // rows since the last flush.
    int flush_rows(FlushRows what = FlushRows::all);
    // That first writer: null before buffer_rows or without a dataset.
    const HDFChunkWriter* lead_writer() const;

    // Writes the rows that wait, closes the datasets and the group; the
    // file stays open.
    void close();
    // True while the stream is not attached.
    bool error() const { return data_group < 0; }

    long get_nevts() const { return nevts; }
    int get_row_size() const { return data_size; }
    bool is_split() const { return split; }
    // The compound dataset's name.
    const std::string& get_data_name() const { return data_name; }
    const std::vector<FormatDef>& get_components() const { return components; }

    // The module whose stream this is; not owned.
    void set_obj(Ostrel::Module* object) { obj = object; }
    Ostrel::Module* get_object() const { return obj; }

private:
    // Parses one "name/type" token and appends its component; false after
    // reporting what is wrong.
    bool parse_token(const std::string& token);
    std::string dataset_path(const std::string& name) const;
    // Hands `n` rows (`nbytes` of them readable) to the chunk writers.
    void buffer_data(const char* bytes, size_t n, size_t nbytes);
    // -1 when a dataset of the stream was not made, as write_data reports.
    int rc_of_datasets() const;

    bool split;
    hid_t fileid;
    hid_t data_group;
    hid_t data_type;
    hid_t data_obj;
    int data_size;
    long nevts;
    std::string gname;
    std::string data_name;
    std::vector<FormatDef> components;
    // While rows are buffered: one per dataset, in the order of
    // `components` when split; null for a dataset that was not made.
    std::vector<std::unique_ptr<HDFChunkWriter>> writers;
    Ostrel::Module* obj;
};

#endif
