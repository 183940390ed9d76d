// Creating and extending the datasets of HDF5 run files. Every dataset of a
// run file grows by rows: rank 1 when it has one column, rank 2 with the
// column count as second dimension otherwise.
#ifndef BRISKO_DAQ_HDFUTILS_H
#define BRISKO_DAQ_HDFUTILS_H

#include <hdf5.h>

// Attaches to `dest` the attribute `name` holding one element of `type`
// read from `buf`. 0, or -1 when HDF5 refuses.
int add_attribute(hid_t dest, const char* name, hid_t type, const void* buf);

// Creates the dataset `path` (its groups must exist) of a copy of `type`,
// with 0 rows, unlimited rows of `ncol` columns, chunks of 256 rows and
// deflate level 1. The dataset, or a negative value on failure.
hid_t create_array(hid_t file, const char* path, hid_t type, int ncol);

// Writes `nrows` rows of `ncols` elements, contiguous in `buf`, at row
// `offset`, the dataset's extent becoming offset + nrows rows: rows below
// the current count are rewritten and rows past the new count dropped. The
// bytes are stored as they are (the dataset's own type is the memory type).
// `ncols` must be the dataset's column count, so that no more is read from
// `buf` than the caller laid out. 0, or -1 on failure.
int append_data(hid_t dataset, long offset, int ncols, const void* buf, long nrows);

#endif
