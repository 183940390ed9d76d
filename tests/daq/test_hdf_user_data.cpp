// Data-format descriptors: layouts, the HDF5 types and datasets they create,
// and rows written through them and through the HDF utilities.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <hdf5.h>
#include <zlib.h>

#include "common/TestUtil.h"
#include "daq/HDFChunkWriter.h"
#include "daq/HDFDeflate.h"
#include "daq/HDFUserData.h"
#include "daq/HDFUtils.h"

namespace {

// "name@offset:size*len" for every field, and the row size.
std::string layout(const HDFUserData& d)
{
    std::string out;
    for (const FormatDef& c : d.get_components())
        out += std::string(c.name) + "@" + std::to_string(c.offset) + ":" + std::to_string(c.size) +
               "*" + std::to_string(c.len) + " ";
    return out + "= " + std::to_string(d.get_row_size());
}

// HDF5's own error reports, where a test provokes a failure.
class QuietHDF5 {
public:
    QuietHDF5()
    {
        H5Eget_auto2(H5E_DEFAULT, &func, &data);
        H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    }
    ~QuietHDF5() { H5Eset_auto2(H5E_DEFAULT, func, data); }

private:
    H5E_auto2_t func = nullptr;
    void* data = nullptr;
};

class HDFFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string path = testutil::make_temp_dir("hdf") + "/run.h5";
        file = H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT);
        ASSERT_GE(file, 0);
        for (const char* g : {"/modules", "/modules/7", "/modules/8"})
            H5Gclose(H5Gcreate2(file, g, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT));
    }
    void TearDown() override { H5Fclose(file); }

    // The rows and columns of a dataset, and its bytes read with `mem`
    // (the dataset's own type when negative).
    std::vector<char> read(const char* name, hid_t mem = -1, hsize_t* dims = nullptr)
    {
        hid_t d = H5Dopen2(file, name, H5P_DEFAULT);
        hid_t own = H5Dget_type(d);
        hid_t s = H5Dget_space(d);
        if (dims) {
            dims[1] = 1;
            H5Sget_simple_extent_dims(s, dims, nullptr);
        }
        const size_t n = static_cast<size_t>(H5Sget_simple_extent_npoints(s));
        std::vector<char> out(n * H5Tget_size(mem >= 0 ? mem : own));
        if (n)
            H5Dread(d, mem >= 0 ? mem : own, H5S_ALL, H5S_ALL, H5P_DEFAULT, out.data());
        H5Sclose(s);
        H5Tclose(own);
        H5Dclose(d);
        return out;
    }
    // Every stored chunk of a dataset, by chunk order: its filter mask and
    // its bytes as the file holds them, a compressed chunk inflated (it is
    // the whole chunk's zlib stream, as the deflate filter reads it back).
    std::vector<std::pair<uint32_t, std::vector<char>>> stored_chunks(const char* name)
    {
        std::vector<std::pair<uint32_t, std::vector<char>>> out;
        hid_t d = H5Dopen2(file, name, H5P_DEFAULT);
        hid_t s = H5Dget_space(d);
        hid_t dcpl = H5Dget_create_plist(d);
        hid_t type = H5Dget_type(d);
        hsize_t dims[2] = {1, 1};
        H5Pget_chunk(dcpl, 2, dims);
        const uLongf chunk_bytes = static_cast<uLongf>(dims[0] * dims[1] * H5Tget_size(type));
        H5Tclose(type);
        H5Pclose(dcpl);
        hsize_t n = 0;
        H5Dget_num_chunks(d, s, &n);
        for (hsize_t i = 0; i < n; ++i) {
            hsize_t offset[2] = {0, 0};
            unsigned mask = 0;
            haddr_t addr = 0;
            hsize_t size = 0;
            H5Dget_chunk_info(d, s, i, offset, &mask, &addr, &size);
            std::vector<char> bytes(size);
            uint32_t read_mask = 0;
            H5Dread_chunk(d, H5P_DEFAULT, offset, &read_mask, bytes.data());
            if (read_mask == 0) {
                std::vector<char> raw(chunk_bytes);
                uLongf got = chunk_bytes;
                const int rc = uncompress(reinterpret_cast<Bytef*>(raw.data()), &got,
                                          reinterpret_cast<const Bytef*>(bytes.data()), bytes.size());
                EXPECT_EQ(Z_OK, rc) << name << " chunk " << i;
                EXPECT_EQ(chunk_bytes, got) << name << " chunk " << i;
                bytes = std::move(raw);
            }
            out.emplace_back(read_mask, std::move(bytes));
        }
        H5Sclose(s);
        H5Dclose(d);
        return out;
    }

    template <class T>
    std::vector<T> values(const char* name, hid_t mem)
    {
        const std::vector<char> bytes = read(name, mem);
        std::vector<T> out(bytes.size() / sizeof(T));
        std::memcpy(out.data(), bytes.data(), bytes.size());
        return out;
    }

    hid_t file = -1;
};

// The rows of the format "a/d,b/I,v/3H" (or its compound form).
#pragma pack(push, 1)
struct SplitRow {
    double a;
    uint32_t b;
    uint16_t v[3];
};
#pragma pack(pop)

// `n` rows of `width` bytes that differ from row to row yet compress.
std::vector<char> rows_of(size_t n, size_t width, unsigned seed = 1)
{
    std::vector<char> out(n * width);
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t r = i / width;
        out[i] = static_cast<char>((r * 7 + (i % width) * 3 + seed) % 61 + (r / 256) % 3);
    }
    return out;
}

} // namespace

TEST(HDFUserDataTest, LayoutsAndTypesOfFormats)
{
    HDFUserData d(-1, "g", "");
    EXPECT_TRUE(d.error());
    const struct {
        const char* format;
        const char* layout;
        const char* name;   // null: split form
    } cases[] = {
        {"board {temp/d,time/I,evtcnt/H,nchan/H}",
         "temp@0:8*1 time@8:4*1 evtcnt@12:2*1 nchan@14:2*1 = 16", "board"},
        {"x {a/c,b/i}", "a@0:1*1 b@4:4*1 = 8", "x"},
        {"x {a/i,b/c}", "a@0:4*1 b@4:1*1 = 5", "x"},
        {"  {adc/128H}  ", "adc@0:2*128 = 256", "data"},
        {"a/>d, b/<2i ,c/3c", "a@0:8*1 b@8:4*2 c@16:1*3 = 19", nullptr},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(0, d.parse_data(c.format)) << c.format;
        EXPECT_EQ(c.layout, layout(d));
        EXPECT_EQ(c.name == nullptr, d.is_split());
        EXPECT_EQ(c.name ? c.name : "", d.get_data_name());
    }
    const auto& split = d.get_components();
    EXPECT_GT(H5Tequal(H5T_IEEE_F64BE, split[0].type), 0);
    EXPECT_GT(H5Tequal(H5T_STD_I32LE, split[1].type), 0);
    EXPECT_GT(H5Tequal(H5T_NATIVE_SCHAR, split[2].type), 0);
    ASSERT_EQ(0, d.parse_data("{a/H,b/=l,c/<c,d/>f}"));
    EXPECT_GT(H5Tequal(H5T_NATIVE_UINT16, d.get_components()[0].type), 0);
    EXPECT_GT(H5Tequal(H5T_NATIVE_INT64, d.get_components()[1].type), 0);
    EXPECT_GT(H5Tequal(H5T_STD_B8LE, d.get_components()[2].type), 0);
    EXPECT_GT(H5Tequal(H5T_IEEE_F32BE, d.get_components()[3].type), 0);
}

TEST(HDFUserDataTest, SyntaxErrorsAreReportedInTheirOwnWords)
{
    HDFUserData d(-1, "g", "");
    const struct {
        const char* format;
        const char* message;
    } cases[] = {
        {"x {a/d", "HDFUserData::parse_data - Wrong format syntax. Opening brace without the "
                   "closing partner: x {a/d\n"},
        {"x {a}", "HDFUserData::parse_data: Token a does not have type defined\n"},
        {"x {a/dd}", "HDFUserData::parse_data: Wrong syntax for type: dd\n"
                     "    there are extra characters beyond the type\n"},
        {"x {y {z/d}}", "HDFUserData::parse_data: Wrong syntax for type: d}\n"
                        "    there are extra characters beyond the type\n"},
        {"x {a/q}", "HDFUserData::parse_data: Wrong syntax for the type: a -> q\n"},
        {"a/d2", "Wrong syntax for the type: a -> d2\n"},
        {"a/12", "Wrong syntax for the type: a -> 12. Apparently there is no type definition.\n"},
        {"a/2<i", "HDFUserData::parse_data: Wrong syntax for the type: a -> 2<i\n"
                  "HDFUserData::parse_data: Wrong syntax for the type: a -> 2<i\n"},
        {"", ""},
        {"x { , }", ""},
        {"a/0d", "HDFUserData::parse_data: Wrong element count for the type: a -> 0d\n"},
        {"a/300000000d", "HDFUserData::parse_data: Wrong element count for the type: a -> "
                         "300000000d\n"},
        {"/d", "HDFUserData::parse_data: Token /d needs a field name of 1 to 63 characters\n"},
        {"a/d,a/i", "HDFUserData::parse_data: Field a is defined twice\n"},
    };
    for (const auto& c : cases) {
        int rc = 0;
        EXPECT_EQ(c.message, testutil::capture_stdout([&] { rc = d.parse_data(c.format); }));
        EXPECT_EQ(1, rc) << c.format;
    }
    // The fields before the error remain; names hold 63 characters.
    testutil::capture_stdout([&] { d.parse_data("x {a/d,b/H,c/q,e/i}"); });
    EXPECT_EQ("a@0:8*1 b@8:2*1 = 10", layout(d));
    EXPECT_EQ(0, d.parse_data(std::string(63, 'n') + "/d"));
    testutil::capture_stdout([&] { EXPECT_EQ(1, d.parse_data(std::string(64, 'n') + "/d")); });
}

TEST_F(HDFFileTest, CompoundRowsReadBackAndAppendsExtend)
{
#pragma pack(push, 1)
    struct Row {
        double temp;
        uint32_t time;
        uint16_t evtcnt;
        int16_t adc[2];
    };
#pragma pack(pop)
    HDFUserData d(file, "/modules/7/data", "board {temp/d,time/I,evtcnt/H,adc/2h}");
    ASSERT_FALSE(d.error());
    ASSERT_EQ(static_cast<int>(sizeof(Row)), d.get_row_size());

    hid_t ds = H5Dopen2(file, "/modules/7/data/board", H5P_DEFAULT);
    hid_t t = H5Dget_type(ds);
    ASSERT_EQ(4, H5Tget_nmembers(t));
    const char* names[] = {"temp", "time", "evtcnt", "adc"};
    const size_t offsets[] = {0, 8, 12, 14};
    const H5T_class_t classes[] = {H5T_FLOAT, H5T_INTEGER, H5T_INTEGER, H5T_ARRAY};
    for (unsigned i = 0; i < 4; ++i) {
        char* name = H5Tget_member_name(t, i);
        EXPECT_STREQ(names[i], name);
        H5free_memory(name);
        EXPECT_EQ(offsets[i], H5Tget_member_offset(t, i));
        EXPECT_EQ(classes[i], H5Tget_member_class(t, i));
    }
    hid_t array = H5Tget_member_type(t, 3);
    hsize_t len = 0;
    H5Tget_array_dims2(array, &len);
    EXPECT_EQ(2u, len);
    H5Tclose(array);
    H5Tclose(t);
    H5Dclose(ds);

    const Row first[3] = {{1.5, 10, 1, {-1, 1}}, {2.5, 20, 2, {-2, 2}}, {3.5, 30, 3, {-3, 3}}};
    EXPECT_EQ(0, d.write_data(first, 3, sizeof first));
    EXPECT_EQ(0, d.write_data(first + 1, 1, sizeof(Row)));
    EXPECT_EQ(0, d.write_data(first, 0, 0));
    EXPECT_EQ(4, d.get_nevts());
    d.close();
    EXPECT_TRUE(d.error());
    d.close();

    hsize_t dims[2];
    const std::vector<char> rows = read("/modules/7/data/board", -1, dims);
    EXPECT_EQ(4u, dims[0]);
    ASSERT_EQ(4 * sizeof(Row), rows.size());
    EXPECT_EQ(0, std::memcmp(first, rows.data(), sizeof first));
    EXPECT_EQ(0, std::memcmp(first + 1, rows.data() + 3 * sizeof(Row), sizeof(Row)));
}

TEST_F(HDFFileTest, SplitFormStoresEachFieldOfEveryRow)
{
    HDFUserData d(-1, "", "");
    const std::string out = testutil::capture_stdout(
        [&] { ASSERT_EQ(0, d.attach(file, "/modules/7/data", "a/d,b/I,v/3H")); });
    EXPECT_EQ("/modules/7/data/a<d>[1] offset: 0 align 8\n"
              "/modules/7/data/b<I>[1] offset: 8 align 4\n"
              "/modules/7/data/v<H>[3] offset: 12 align 2\n",
              out);
    const SplitRow rows[2] = {{1.25, 7, {1, 2, 3}}, {2.5, 9, {4, 5, 6}}};
    EXPECT_EQ(0, d.write_data(rows, 2, sizeof rows));
    d.close();
    hsize_t dims[2];
    read("/modules/7/data/v", -1, dims);
    EXPECT_EQ(2u, dims[0]);
    EXPECT_EQ(3u, dims[1]);
    EXPECT_EQ((std::vector<double>{1.25, 2.5}),
              values<double>("/modules/7/data/a", H5T_NATIVE_DOUBLE));
    EXPECT_EQ((std::vector<uint32_t>{7, 9}),
              values<uint32_t>("/modules/7/data/b", H5T_NATIVE_UINT32));
    EXPECT_EQ((std::vector<uint16_t>{1, 2, 3, 4, 5, 6}),
              values<uint16_t>("/modules/7/data/v", H5T_NATIVE_UINT16));
}

TEST_F(HDFFileTest, ShortRowsAreNeverReadPastTheirEnd)
{
    // Two rows of 12 bytes need 24; the module handed 20.
    std::unique_ptr<char[]> rows(new char[20]);
    for (int i = 0; i < 20; ++i)
        rows[i] = static_cast<char>(i + 1);
    HDFUserData compound(file, "/modules/7/data", "x {a/d,b/I}");
    EXPECT_EQ(0, compound.write_data(rows.get(), 2, 20));
    EXPECT_EQ(0, compound.write_data(nullptr, 1, 0));
    compound.close();
    const std::vector<char> back = read("/modules/7/data/x");
    ASSERT_EQ(36u, back.size());
    for (int i = 0; i < 36; ++i)
        EXPECT_EQ(i < 20 ? i + 1 : 0, back[i]) << i;

    HDFUserData split(-1, "", "");
    testutil::capture_stdout([&] { split.attach(file, "/modules/8/data", "a/d,b/I"); });
    EXPECT_EQ(0, split.write_data(rows.get(), 2, 20));
    split.close();
    const std::vector<char> b = read("/modules/8/data/b");
    EXPECT_EQ((std::vector<char>{9, 10, 11, 12, 0, 0, 0, 0}), b);
    EXPECT_EQ(13, read("/modules/8/data/a").at(8));
}

TEST_F(HDFFileTest, FailuresCreateNothingAndWriteNothing)
{
    QuietHDF5 quiet;
    HDFUserData d(-1, "", "");
    testutil::capture_stdout([&] { EXPECT_EQ(-1, d.attach(file, "/modules/7/data", "x {a/q}")); });
    EXPECT_EQ(-1, d.attach(file, "/modules/7/data", ""));
    EXPECT_LE(H5Lexists(file, "/modules/7/data", H5P_DEFAULT), 0);
    EXPECT_EQ(-1, d.write_data("abcd", 1, 4));
    EXPECT_TRUE(HDFUserData(file, "/modules/9/data", "{a/d}").error());   // no parent group

    // Attaching again starts a new stream.
    const double one = 1;
    ASSERT_EQ(0, d.attach(file, "/modules/7/data", "{a/d}"));
    EXPECT_EQ(0, d.write_data(&one, 1, sizeof one));
    ASSERT_EQ(0, d.attach(file, "/modules/8/data", "{a/d}"));
    EXPECT_EQ(0, d.get_nevts());
    EXPECT_EQ(-1, d.write_data(&one, -1, sizeof one));
}

TEST_F(HDFFileTest, UtilitiesExtendRewriteAndAttach)
{
    hid_t ds = create_array(file, "/values", H5T_NATIVE_INT32, 1);
    ASSERT_GE(ds, 0);
    const int32_t a[3] = {1, 2, 3}, b[2] = {4, 5};
    EXPECT_EQ(0, append_data(ds, 0, 1, a, 3));
    EXPECT_EQ(0, append_data(ds, 3, 1, b, 2));
    EXPECT_EQ(0, append_data(ds, 1, 1, b, 1));   // rewrites row 1, ends after it
    EXPECT_EQ(0, append_data(ds, 3, 1, a, 1));   // row 2 keeps the fill value
    EXPECT_EQ(0, append_data(ds, 0, 1, a, 0));   // nothing, not a truncation
    {
        QuietHDF5 quiet;
        EXPECT_EQ(-1, append_data(ds, -1, 1, a, 1));
        EXPECT_EQ(-1, append_data(ds, 0, 3, a, 1));   // not the dataset's columns
    }
    H5Dflush(ds);
    EXPECT_EQ((std::vector<int32_t>{1, 4, 0, 1}), values<int32_t>("/values", H5T_NATIVE_INT32));
    H5Dclose(ds);

    hid_t grid = create_array(file, "/grid", H5T_NATIVE_DOUBLE, 3);
    const double rows[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(0, append_data(grid, 0, 3, rows, 2));
    {
        QuietHDF5 quiet;
        EXPECT_EQ(-1, append_data(grid, 2, 2, rows, 1));   // fewer columns
    }
    hid_t dcpl = H5Dget_create_plist(grid);
    hsize_t chunk[2] = {0, 0};
    unsigned flags = 0, level = 0;
    size_t nvalues = 1;
    EXPECT_EQ(2, H5Pget_chunk(dcpl, 2, chunk));
    EXPECT_EQ(256u, chunk[0]);
    EXPECT_EQ(3u, chunk[1]);
    EXPECT_GE(H5Pget_filter_by_id2(dcpl, H5Z_FILTER_DEFLATE, &flags, &nvalues, &level, 0, nullptr,
                                   nullptr),
              0);
    EXPECT_EQ(1u, level);
    H5Pclose(dcpl);
    H5Dflush(grid);
    hsize_t dims[2];
    read("/grid", -1, dims);
    EXPECT_EQ(2u, dims[0]);
    EXPECT_EQ((std::vector<double>{1, 2, 3, 4, 5, 6}), values<double>("/grid", H5T_NATIVE_DOUBLE));
    H5Dclose(grid);

    hid_t g = H5Gopen2(file, "/modules", H5P_DEFAULT);
    const uint32_t word = 0xCAFE;
    EXPECT_EQ(0, add_attribute(g, "setup", H5T_NATIVE_UINT32, &word));
    uint32_t back = 0;
    hid_t attr = H5Aopen(g, "setup", H5P_DEFAULT);
    H5Aread(attr, H5T_NATIVE_UINT32, &back);
    EXPECT_EQ(word, back);
    H5Aclose(attr);
    H5Gclose(g);
}

TEST_F(HDFFileTest, ChunkWriterRowsAroundChunkEndsReadBackAsAppended)
{
    // Without a spare processor the shared pool has no workers either.
    HDFChunkPool& pool = *HDFChunkPool::shared();
    EXPECT_EQ(HDFChunkPool::default_threads() > 0, pool.available());
    HDFChunkPool none(0);
    EXPECT_FALSE(none.available());
    // One column of doubles (rank 1) and five 16-bit columns (rank 2), each
    // written by the workers, without them, and once through append_data.
    struct Kind {
        const char* name;
        hid_t type;
        int ncols;
        size_t width;
    };
    for (const Kind& k : {Kind{"d", H5T_NATIVE_DOUBLE, 1, 8}, Kind{"h", H5T_NATIVE_UINT16, 5, 10}}) {
        for (size_t n : {0, 1, 255, 256, 257, 4097, 10 * 256 + 3}) {
            const std::vector<char> rows = rows_of(n, k.width);
            const std::string stem = std::string("/") + k.name + std::to_string(n);
            const std::string ref = stem + "ref";
            hid_t plain = create_array(file, ref.c_str(), k.type, k.ncols);
            ASSERT_EQ(0, append_data(plain, 0, k.ncols, rows.data(), static_cast<long>(n)));
            H5Dclose(plain);
            for (HDFChunkPool* p : {&pool, &none}) {
                const std::string name = stem + (p == &pool ? "pool" : "none");
                hid_t ds = create_array(file, name.c_str(), k.type, k.ncols);
                {
                    HDFChunkWriter w(ds, k.ncols, k.width, p);
                    // Pieces of uneven length, across chunk ends.
                    for (size_t at = 0, piece = 1; at < n; at += piece, piece = piece * 3 % 700 + 1)
                        w.append(rows.data() + at * k.width, std::min(piece, n - at));
                    EXPECT_EQ(static_cast<long>(n), w.rows());
                    EXPECT_EQ(0, w.flush());
                }
                H5Dclose(ds);
                hsize_t dims[2];
                EXPECT_EQ(rows, read(name.c_str(), -1, dims)) << name;
                EXPECT_EQ(n, dims[0]) << name;
                // The chunks hold what the library's own filter stores,
                // compressed where it compresses.
                EXPECT_EQ(stored_chunks(ref.c_str()), stored_chunks(name.c_str())) << name;
            }
        }
    }
}

// Several writers' threads share one pool of fewer workers, as run managers
// share the process's pool: every job comes back compressed from its own
// rows, whether it was waited for, polled for or still waiting when the
// pool ends.
TEST(HDFChunkPool, JobsOfSeveralThreadsComeBackCompressedFromTheirOwnRows)
{
    constexpr int threads = 4;
    constexpr int per_thread = 90;
    std::vector<std::vector<std::unique_ptr<HDFChunkJob>>> jobs(threads);
    {
        HDFChunkPool pool(2);
        ASSERT_TRUE(pool.available());
        std::vector<std::thread> writers;
        for (int t = 0; t < threads; ++t) {
            writers.emplace_back([&pool, &mine = jobs[t], t] {
                std::mt19937 random(static_cast<unsigned>(t));
                for (int i = 0; i < per_thread; ++i) {
                    auto job = std::make_unique<HDFChunkJob>();
                    // Small and large jobs, as the event times beside a stream.
                    job->raw.resize(i % 2 ? 2048 : 256 * 282);
                    for (char& b : job->raw)
                        b = static_cast<char>(random() % 7 + 'a' + t);
                    ASSERT_TRUE(pool.submit(job.get()));
                    mine.push_back(std::move(job));
                    // Taken back at once, polled, or left to the pool's end.
                    if (i % 3 == 0) {
                        pool.take_back(*mine.back());
                    } else if (i % 3 == 1) {
                        while (!pool.finished(*mine.back()))
                            std::this_thread::yield();
                    }
                }
            });
        }
        for (std::thread& w : writers)
            w.join();
    }
    for (const auto& mine : jobs) {
        for (const auto& job : mine) {
            ASSERT_TRUE(job->done);
            ASSERT_TRUE(job->compressed);
            std::vector<char> back(job->raw.size());
            uLongf size = static_cast<uLongf>(back.size());
            ASSERT_EQ(Z_OK, uncompress(reinterpret_cast<Bytef*>(back.data()), &size, job->packed.data(),
                                       static_cast<uLong>(job->packed_size)));
            ASSERT_EQ(job->raw, back);
        }
    }
}

// Rows that change what they look like in the middle of a run: a detector
// at rest, bytes that do not compress, a constant, then another detector.
// Every chunk reads back through the library's own filter, and once the
// writer has seen a stretch's rows its chunks are about as small as level 1
// makes them on their own.
TEST_F(HDFFileTest, ChunksOfRowsThatChangeReadBackAndStaySmall)
{
    HDFChunkPool& pool = *HDFChunkPool::shared();
    if (!pool.available())
        GTEST_SKIP() << "no spare processor for the workers";
    constexpr int ncols = 64;
    constexpr size_t width = 2 * ncols;
    constexpr size_t stretch = 40;   // chunks
    constexpr size_t rows_per = HDFChunkWriter::chunk_rows * stretch;
    std::mt19937 random(5);
    std::normal_distribution<double> noise(0.0, 3.0);
    std::vector<uint16_t> values;
    for (int kind = 0; kind < 4; ++kind) {
        for (size_t r = 0; r < rows_per; ++r) {
            for (int c = 0; c < ncols; ++c) {
                const double pedestal = kind == 0 ? 480 + c % 40 : 3000 + 7 * c;
                values.push_back(kind == 1   ? static_cast<uint16_t>(random())
                                 : kind == 2 ? 1234
                                             : static_cast<uint16_t>(std::lround(pedestal + noise(random))));
            }
        }
    }
    hid_t ds = create_array(file, "/changing", H5T_NATIVE_UINT16, ncols);
    {
        HDFChunkWriter w(ds, ncols, width, &pool);
        for (size_t at = 0; at < values.size(); at += 97 * ncols)
            w.append(values.data() + at, std::min<size_t>(97, (values.size() - at) / ncols));
        EXPECT_EQ(0, w.flush(FlushRows::last));
    }
    H5Dclose(ds);
    const std::vector<char> back = read("/changing");
    ASSERT_EQ(values.size() * 2, back.size());
    EXPECT_EQ(0, std::memcmp(values.data(), back.data(), back.size()));

    hid_t d = H5Dopen2(file, "/changing", H5P_DEFAULT);
    hid_t space = H5Dget_space(d);
    const size_t chunk_bytes = HDFChunkWriter::chunk_rows * width;
    std::vector<unsigned char> packed(deflate_room(chunk_bytes));
    for (int kind = 0; kind < 4; ++kind) {
        size_t stored = 0, alone = 0;
        // The second half of the stretch: the writer has had its time to
        // learn the rows.
        for (size_t k = stretch / 2; k < stretch; ++k) {
            const size_t chunk = kind * stretch + k;
            hsize_t offset[2] = {chunk * HDFChunkWriter::chunk_rows, 0};
            hsize_t size = 0;
            ASSERT_GE(H5Dget_chunk_storage_size(d, offset, &size), 0);
            stored += size;
            const size_t level1 = deflate_chunk(values.data() + offset[0] * ncols, chunk_bytes, packed.data(), packed.size());
            alone += level1 > 0 ? level1 : chunk_bytes;
        }
        EXPECT_LE(stored, alone + alone / 10 + chunk_bytes / 100 * stretch / 2) << "stretch " << kind;
    }
    H5Sclose(space);
    H5Dclose(d);
}

TEST_F(HDFFileTest, ChunkFlushedPartlyIsWrittenWholeOnceFull)
{
    HDFChunkPool& pool = *HDFChunkPool::shared();
    const size_t width = 40;
    const std::vector<char> rows = rows_of(1000, width, 5);
    hid_t ds = create_array(file, "/grid", H5T_NATIVE_DOUBLE, 5);
    HDFChunkWriter w(ds, 5, width, &pool);
    size_t at = 0;
    // Flushes at 100, 101 and 200 rows into the first chunk, then at 40
    // rows into the fourth, each followed by a file flush as a run makes.
    for (size_t upto : {100, 101, 200, 808, 1000}) {
        w.append(rows.data() + at * width, upto - at);
        at = upto;
        EXPECT_EQ(0, w.flush());
        H5Fflush(file, H5F_SCOPE_GLOBAL);
        hsize_t dims[2];
        const std::vector<char> back = read("/grid", -1, dims);
        EXPECT_EQ(upto, dims[0]);
        EXPECT_EQ(std::vector<char>(rows.begin(), rows.begin() + static_cast<long>(upto * width)), back) << upto;
    }
    H5Dclose(ds);

    hid_t ref = create_array(file, "/ref", H5T_NATIVE_DOUBLE, 5);
    ASSERT_EQ(0, append_data(ref, 0, 5, rows.data(), 1000));
    H5Dclose(ref);
    EXPECT_EQ(stored_chunks("/ref"), stored_chunks("/grid"));
}

TEST_F(HDFFileTest, ChunkFlushedOftenIsWrittenOverInPlaceAndCompressedAtTheEnd)
{
    // Rows that do not compress, a flush after each: the copies the first
    // chunk leaves behind soon add up to its size, and from then on it is
    // stored uncompressed, always at one place, until it is full.
    const size_t width = 40;
    std::vector<char> rows(300 * width);
    std::mt19937 random(7);
    for (char& c : rows)
        c = static_cast<char>(random());
    hid_t ds = create_array(file, "/slow", H5T_NATIVE_DOUBLE, 5);
    {
        HDFChunkWriter w(ds, 5, width, HDFChunkPool::shared());
        haddr_t raw_at = HADDR_UNDEF;
        int raw_flushes = 0;
        for (size_t n = 1; n <= rows.size() / width; ++n) {
            w.append(rows.data() + (n - 1) * width, 1);
            ASSERT_EQ(0, w.flush());
            if (n >= HDFChunkWriter::chunk_rows)
                continue;
            const hsize_t first[2] = {0, 0};
            unsigned mask = 0;
            haddr_t addr = HADDR_UNDEF;
            hsize_t size = 0;
            ASSERT_GE(H5Dget_chunk_info_by_coord(ds, first, &mask, &addr, &size), 0);
            if (mask == 1) {
                raw_at = raw_at == HADDR_UNDEF ? addr : raw_at;
                EXPECT_EQ(raw_at, addr) << n;
                EXPECT_EQ(HDFChunkWriter::chunk_rows * width, size) << n;
                ++raw_flushes;
            } else {
                EXPECT_EQ(HADDR_UNDEF, raw_at) << "compressed again after " << n << " rows";
            }
        }
        EXPECT_GT(raw_flushes, 200);
        EXPECT_EQ(0, w.flush(FlushRows::last));
    }
    H5Dclose(ds);
    hid_t ref = create_array(file, "/ref", H5T_NATIVE_DOUBLE, 5);
    ASSERT_EQ(0, append_data(ref, 0, 5, rows.data(), 300));
    H5Dclose(ref);
    EXPECT_EQ(read("/ref"), read("/slow"));
    EXPECT_EQ(stored_chunks("/ref"), stored_chunks("/slow"));
}

TEST_F(HDFFileTest, BufferedStreamsStoreWhatDirectWritesStore)
{
    std::vector<SplitRow> rows(700);
    for (size_t i = 0; i < rows.size(); ++i)
        rows[i] = {0.5 * static_cast<double>(i), static_cast<uint32_t>(3 * i),
                   {static_cast<uint16_t>(i), static_cast<uint16_t>(i + 1), static_cast<uint16_t>(i & 7)}};
    const size_t bytes = rows.size() * sizeof(SplitRow) - 6;   // the last row handed short
    HDFChunkPool& pool = *HDFChunkPool::shared();
    for (const char* format : {"x {a/d,b/I,v/3H}", "a/d,b/I,v/3H"}) {
        for (const char* group : {"/modules/7/data", "/modules/8/data"}) {
            HDFUserData d(-1, "", "");
            testutil::capture_stdout([&] { ASSERT_EQ(0, d.attach(file, group, format)); });
            const bool buffered = group[9] == '8';
            if (buffered)
                d.buffer_rows(&pool);
            const char* from = reinterpret_cast<const char*>(rows.data());
            size_t done = 0;
            for (int n : {1, 299, 1, 256, 143}) {
                EXPECT_EQ(0, d.write_data(from + done * sizeof(SplitRow), n, bytes - done * sizeof(SplitRow)));
                done += static_cast<size_t>(n);
            }
            EXPECT_EQ(700, d.get_nevts());
            if (buffered) {
                EXPECT_EQ(0, d.flush_rows());
            }
            d.close();
        }
        for (const char* name : {"x", "a", "b", "v"}) {
            const std::string direct = std::string("/modules/7/data/") + name;
            const std::string buffered = std::string("/modules/8/data/") + name;
            if (H5Lexists(file, direct.c_str(), H5P_DEFAULT) <= 0)
                continue;
            EXPECT_EQ(read(direct.c_str()), read(buffered.c_str())) << format << " " << name;
            EXPECT_EQ(stored_chunks(direct.c_str()), stored_chunks(buffered.c_str())) << format << " " << name;
        }
        H5Ldelete(file, "/modules/7/data", H5P_DEFAULT);
        H5Ldelete(file, "/modules/8/data", H5P_DEFAULT);
    }
}
