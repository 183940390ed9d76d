#include "daq/HDFUserData.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <iostream>

#include "daq/HDFChunkWriter.h"
#include "daq/HDFUtils.h"
#include "ostrel/Log.h"
#include "ostrel/StringUtils.h"

namespace {

const char* const letters = "chHiIlLfd";

int letter_size(char c)
{
    switch (c) {
    case 'c':
        return 1;
    case 'h':
    case 'H':
        return 2;
    case 'i':
    case 'I':
    case 'f':
        return 4;
    default:
        return 8;
    }
}

// The HDF5 type of one element; `order` is 0 (native), '<' or '>'.
hid_t letter_type(char c, char order)
{
    auto pick = [order](hid_t native, hid_t little, hid_t big) {
        return order == '<' ? little : order == '>' ? big : native;
    };
    switch (c) {
    case 'c':
        return pick(H5T_NATIVE_SCHAR, H5T_STD_B8LE, H5T_STD_B8BE);
    case 'h':
        return pick(H5T_NATIVE_INT16, H5T_STD_I16LE, H5T_STD_I16BE);
    case 'H':
        return pick(H5T_NATIVE_UINT16, H5T_STD_U16LE, H5T_STD_U16BE);
    case 'i':
        return pick(H5T_NATIVE_INT32, H5T_STD_I32LE, H5T_STD_I32BE);
    case 'I':
        return pick(H5T_NATIVE_UINT32, H5T_STD_U32LE, H5T_STD_U32BE);
    case 'l':
        return pick(H5T_NATIVE_INT64, H5T_STD_I64LE, H5T_STD_I64BE);
    case 'L':
        return pick(H5T_NATIVE_UINT64, H5T_STD_U64LE, H5T_STD_U64BE);
    case 'f':
        return pick(H5T_NATIVE_FLOAT, H5T_IEEE_F32LE, H5T_IEEE_F32BE);
    default:
        return pick(H5T_NATIVE_DOUBLE, H5T_IEEE_F64LE, H5T_IEEE_F64BE);
    }
}

bool is_order_mark(char c)
{
    return c == '=' || c == '<' || c == '>';
}

} // namespace

HDFUserData::HDFUserData(hid_t file, const std::string& group, const std::string& format)
    : split(false),
      fileid(-1),
      data_group(-1),
      data_type(-1),
      data_obj(-1),
      data_size(0),
      nevts(0),
      obj(nullptr)
{
    if (file >= 0)
        attach(file, group, format);
}

HDFUserData::~HDFUserData()
{
    close();
}

// Parsing ----------------------------------------------------------------------

int HDFUserData::parse_data(const std::string& format)
{
    components.clear();
    data_size = 0;
    data_name.clear();
    split = true;

    const std::string text = trim_str(format);
    std::string fields = text;
    const std::string::size_type brace = text.find('{');
    if (brace != std::string::npos) {
        if (text.back() != '}') {
            Ostrel::ostream log(Ostrel::LOG_ERROR);
            log << "HDFUserData::parse_data - Wrong format syntax. Opening brace without the "
                   "closing partner: "
                << format << std::endl;
            return 1;
        }
        data_name = trim_str(text.substr(0, brace));
        if (data_name.empty())
            data_name = "data";
        fields = text.substr(brace + 1, text.size() - brace - 2);
        split = false;
    }

    // Commas with nothing between them separate no field.
    std::vector<std::string> tokens;
    stringtok(tokens, fields, ",", true);
    tokens.erase(std::remove(tokens.begin(), tokens.end(), std::string()), tokens.end());
    if (tokens.empty())
        return 1;
    for (const std::string& token : tokens) {
        if (!parse_token(token))
            return 1;
    }
    return 0;
}

bool HDFUserData::parse_token(const std::string& token)
{
    Ostrel::ostream log(Ostrel::LOG_ERROR);
    const std::string::size_type slash = token.find('/');
    if (slash == std::string::npos) {
        log << "HDFUserData::parse_data: Token " << token << " does not have type defined"
            << std::endl;
        return false;
    }
    const std::string name = trim_str(token.substr(0, slash));
    const std::string type = trim_str(token.substr(slash + 1));

    std::string t = type;
    char order = 0;
    if (!t.empty() && is_order_mark(t[0])) {
        order = t[0] == '=' ? 0 : t[0];
        t.erase(0, 1);
    }
    if (std::find_if(t.begin(), t.end(), is_order_mark) != t.end())
        log << "HDFUserData::parse_data: Wrong syntax for the type: " << name << " -> " << type
            << std::endl;

    const std::string::size_type ndigits = t.find_first_not_of("0123456789");
    const std::string::size_type count_end = ndigits == std::string::npos ? t.size() : ndigits;
    if (count_end > 0 && count_end == t.size()) {
        log << "Wrong syntax for the type: " << name << " -> " << type
            << ". Apparently there is no type definition." << std::endl;
        return false;
    }
    if (t.find_first_of("0123456789", count_end) != std::string::npos) {
        std::cout << "Wrong syntax for the type: " << name << " -> " << type << std::endl;
        return false;
    }
    const std::string rest = t.substr(count_end);
    if (rest.empty() || !std::strchr(letters, rest[0])) {
        log << "HDFUserData::parse_data: Wrong syntax for the type: " << name << " -> " << type
            << std::endl;
        return false;
    }
    if (rest.size() > 1) {
        log << "HDFUserData::parse_data: Wrong syntax for type: " << type << std::endl
            << "    there are extra characters beyond the type" << std::endl;
        return false;
    }

    // A count or a row that does not fit an int would wrap the layout.
    const int size = letter_size(rest[0]);
    long long count = 1;
    if (count_end > 0)
        count = count_end > 10 ? LLONG_MAX : std::stoll(t.substr(0, count_end));
    const long long offset =
        data_size == 0 ? 0 : (static_cast<long long>(data_size) + size - 1) / size * size;
    if (count < 1 || count > INT_MAX || offset + count * size > INT_MAX) {
        log << "HDFUserData::parse_data: Wrong element count for the type: " << name << " -> "
            << type << std::endl;
        return false;
    }

    if (name.empty() || name.size() >= sizeof(FormatDef::name)) {
        log << "HDFUserData::parse_data: Token " << token
            << " needs a field name of 1 to 63 characters" << std::endl;
        return false;
    }
    for (const FormatDef& c : components) {
        if (name == c.name) {
            log << "HDFUserData::parse_data: Field " << name << " is defined twice" << std::endl;
            return false;
        }
    }

    FormatDef c;
    c.fmt = rest[0];
    std::memset(c.name, 0, sizeof c.name);
    std::memcpy(c.name, name.data(), name.size());
    c.size = size;
    c.len = static_cast<int>(count);
    c.align = size;
    c.offset = static_cast<int>(offset);
    c.type = letter_type(c.fmt, order);
    c.obj = -1;
    components.push_back(c);
    data_size = static_cast<int>(offset + count * size);
    return true;
}

// Datasets ---------------------------------------------------------------------

std::string HDFUserData::dataset_path(const std::string& name) const
{
    std::string path = gname.empty() || gname[0] != '/' ? "/" + gname : gname;
    if (path.back() != '/')
        path += '/';
    return path + name;
}

int HDFUserData::attach(hid_t file, const std::string& group, const std::string& format)
{
    close();
    nevts = 0;
    if (parse_data(format) != 0)
        return -1;
    const hid_t g = H5Gcreate2(file, group.c_str(), H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT);
    if (g < 0)
        return -1;
    fileid = file;
    gname = group;
    data_group = g;

    if (split) {
        for (FormatDef& c : components) {
            const std::string path = dataset_path(c.name);
            std::cout << path << "<" << c.fmt << ">[" << c.len << "] offset: " << c.offset
                      << " align " << c.align << std::endl;
            c.obj = create_array(file, path.c_str(), c.type, c.len);
        }
        return 0;
    }

    data_type = H5Tcreate(H5T_COMPOUND, static_cast<size_t>(data_size));
    if (data_type < 0)
        return 0;
    for (const FormatDef& c : components) {
        if (c.len == 1) {
            H5Tinsert(data_type, c.name, static_cast<size_t>(c.offset), c.type);
            continue;
        }
        const hsize_t n = static_cast<hsize_t>(c.len);
        const hid_t array = H5Tarray_create2(c.type, 1, &n);
        if (array >= 0) {
            H5Tinsert(data_type, c.name, static_cast<size_t>(c.offset), array);
            H5Tclose(array);
        }
    }
    data_obj = create_array(file, dataset_path(data_name).c_str(), data_type, 1);
    return 0;
}

int HDFUserData::write_data(const void* rows, int nrows, size_t nbytes)
{
    if (error() || nrows < 0)
        return -1;
    if (nrows == 0)
        return 0;
    const char* bytes = static_cast<const char*>(rows);
    if (!bytes)
        nbytes = 0;
    const size_t row = static_cast<size_t>(data_size);
    const size_t n = static_cast<size_t>(nrows);

    if (!writers.empty()) {
        buffer_data(bytes, n, nbytes);
        nevts += nrows;
        return rc_of_datasets();
    }

    int rc = 0;
    if (!split) {
        std::vector<char> padded;
        if (nbytes < n * row) {
            padded.assign(n * row, 0);
            if (nbytes)
                std::memcpy(padded.data(), bytes, nbytes);
            bytes = padded.data();
        }
        if (data_obj < 0 || append_data(data_obj, nevts, 1, bytes, nrows) < 0)
            rc = -1;
    } else {
        std::vector<char> column;
        for (const FormatDef& c : components) {
            const size_t width = static_cast<size_t>(c.len) * static_cast<size_t>(c.size);
            column.assign(n * width, 0);
            for (size_t r = 0; r < n; ++r) {
                const size_t at = r * row + static_cast<size_t>(c.offset);
                if (at < nbytes)
                    std::memcpy(&column[r * width], bytes + at, std::min(width, nbytes - at));
            }
            if (c.obj < 0 || append_data(c.obj, nevts, c.len, column.data(), nrows) < 0)
                rc = -1;
        }
    }
    nevts += nrows;
    return rc;
}

void HDFUserData::buffer_rows(HDFChunkPool* pool)
{
    if (error() || !writers.empty())
        return;
    if (!split) {
        if (data_obj >= 0)
            writers.push_back(std::make_unique<HDFChunkWriter>(data_obj, 1, static_cast<size_t>(data_size), pool));
        else
            writers.emplace_back();
        return;
    }
    for (const FormatDef& c : components) {
        const size_t width = static_cast<size_t>(c.len) * static_cast<size_t>(c.size);
        if (c.obj >= 0)
            writers.push_back(std::make_unique<HDFChunkWriter>(c.obj, c.len, width, pool));
        else
            writers.emplace_back();
    }
    for (const auto& w : writers) {
        if (w && w.get() != lead_writer())
            w->follow(lead_writer());
    }
}

void HDFUserData::buffer_data(const char* bytes, size_t n, size_t nbytes)
{
    const size_t row = static_cast<size_t>(data_size);
    if (!split) {
        if (!writers[0])
            return;
        // Bytes the caller did not give read as zeros.
        writers[0]->append_with(n, [bytes, nbytes, row](char* to, size_t first, size_t k) {
            const size_t at = first * row;
            const size_t have = at < nbytes ? std::min(k * row, nbytes - at) : 0;
            if (have)
                std::memcpy(to, bytes + at, have);
            std::memset(to + have, 0, k * row - have);
        });
        return;
    }
    for (size_t i = 0; i < components.size(); ++i) {
        if (!writers[i])
            continue;
        const FormatDef& c = components[i];
        const size_t width = static_cast<size_t>(c.len) * static_cast<size_t>(c.size);
        const size_t offset = static_cast<size_t>(c.offset);
        writers[i]->append_with(n, [bytes, nbytes, row, width, offset](char* to, size_t first, size_t k) {
            for (size_t r = 0; r < k; ++r, to += width) {
                const size_t at = (first + r) * row + offset;
                const size_t have = at < nbytes ? std::min(width, nbytes - at) : 0;
                if (have)
                    std::memcpy(to, bytes + at, have);
                std::memset(to + have, 0, width - have);
            }
        });
    }
}

int HDFUserData::rc_of_datasets() const
{
    for (const auto& w : writers) {
        if (!w)
            return -1;
    }
    return 0;
}

int HDFUserData::flush_rows(FlushRows what)
{
    int rc = 0;
    for (const auto& w : writers) {
        if (w && w->flush(what) < 0)
            rc = -1;
    }
    return rc;
}

const HDFChunkWriter* HDFUserData::lead_writer() const
{
    for (const auto& w : writers) {
        if (w)
            return w.get();
    }
    return nullptr;
}

void HDFUserData::close()
{
    if (error())
        return;
    flush_rows(FlushRows::last);
    writers.clear();
    if (split) {
        for (const FormatDef& c : components) {
            if (c.obj >= 0)
                H5Dclose(c.obj);
        }
        components.clear();
    } else {
        if (data_obj >= 0)
            H5Dclose(data_obj);
        if (data_type >= 0)
            H5Tclose(data_type);
        data_obj = -1;
        data_type = -1;
    }
    H5Gclose(data_group);
    data_group = -1;
    fileid = -1;
}
