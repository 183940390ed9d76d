#include "daq/HDFUtils.h"

namespace {

// Closes whichever of the identifiers were created.
void close_ids(hid_t space, hid_t plist, hid_t type)
{
    if (space >= 0)
        H5Sclose(space);
    if (plist >= 0)
        H5Pclose(plist);
    if (type >= 0)
        H5Tclose(type);
}

} // namespace

int add_attribute(hid_t dest, const char* name, hid_t type, const void* buf)
{
    const hsize_t one = 1;
    const hid_t space = H5Screate_simple(1, &one, nullptr);
    if (space < 0)
        return -1;
    const hid_t attr = H5Acreate2(dest, name, type, space, H5P_DEFAULT, H5P_DEFAULT);
    herr_t rc = -1;
    if (attr >= 0) {
        rc = H5Awrite(attr, type, buf);
        H5Aclose(attr);
    }
    H5Sclose(space);
    return rc < 0 ? -1 : 0;
}

hid_t create_array(hid_t file, const char* path, hid_t type, int ncol)
{
    const int rank = ncol > 1 ? 2 : 1;
    const hsize_t cols = ncol > 1 ? static_cast<hsize_t>(ncol) : 1;
    const hsize_t dims[2] = {0, cols};
    const hsize_t maxdims[2] = {H5S_UNLIMITED, cols};
    const hsize_t chunk[2] = {256, cols};

    const hid_t space = H5Screate_simple(rank, dims, maxdims);
    const hid_t dcpl = H5Pcreate(H5P_DATASET_CREATE);
    const hid_t copy = H5Tcopy(type);
    hid_t dataset = -1;
    if (space >= 0 && dcpl >= 0 && copy >= 0 && H5Pset_chunk(dcpl, rank, chunk) >= 0 &&
        H5Pset_deflate(dcpl, 1) >= 0)
        dataset = H5Dcreate2(file, path, copy, space, H5P_DEFAULT, dcpl, H5P_DEFAULT);
    close_ids(space, dcpl, copy);
    return dataset;
}

int append_data(hid_t dataset, long offset, int ncols, const void* buf, long nrows)
{
    if (offset < 0 || nrows < 0 || (nrows > 0 && !buf))
        return -1;
    if (nrows == 0)
        return 0;
    const int rank = ncols > 1 ? 2 : 1;
    const hsize_t cols = ncols > 1 ? static_cast<hsize_t>(ncols) : 1;

    // A column count other than the dataset's would read past the rows the
    // caller laid out, or drop columns of the rows already stored.
    const hid_t current = H5Dget_space(dataset);
    if (current < 0)
        return -1;
    hsize_t dims[2] = {0, 0};
    const bool fits = H5Sget_simple_extent_ndims(current) == rank &&
                      H5Sget_simple_extent_dims(current, dims, nullptr) == rank &&
                      (rank == 1 || dims[1] == cols);
    H5Sclose(current);
    if (!fits)
        return -1;

    const hsize_t extent[2] = {static_cast<hsize_t>(offset) + static_cast<hsize_t>(nrows), cols};
    if (H5Dset_extent(dataset, extent) < 0)
        return -1;
    const hsize_t start[2] = {static_cast<hsize_t>(offset), 0};
    const hsize_t count[2] = {static_cast<hsize_t>(nrows), cols};
    const hid_t file_space = H5Dget_space(dataset);
    const hid_t mem_space = H5Screate_simple(rank, count, nullptr);
    const hid_t type = H5Dget_type(dataset);
    herr_t rc = -1;
    if (file_space >= 0 && mem_space >= 0 && type >= 0 &&
        H5Sselect_hyperslab(file_space, H5S_SELECT_SET, start, nullptr, count, nullptr) >= 0)
        rc = H5Dwrite(dataset, type, mem_space, file_space, H5P_DEFAULT, buf);
    close_ids(file_space, -1, type);
    close_ids(mem_space, -1, -1);
    return rc < 0 ? -1 : 0;
}
