#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gdal.h>

#include "job/job_host.h"

namespace pelvane::test {

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string path(const std::string& name) const { return (root_ / name).string(); }

private:
    std::filesystem::path root_;
};

// Sample value of band b (0-based) at column x, row y.
using SampleFn = std::function<double(int b, int x, int y)>;

// The same value everywhere.
inline SampleFn constant(double value)
{
    return [value](int, int, int) { return value; };
}

struct RasterShape {
    int width = 8;
    int height = 6;
    int bands = 1;
    GDALDataType type = GDT_Byte;
    bool georeferenced = true;  // a UTM projection and TEST_GEOTRANSFORM
    std::vector<std::string> creation_options;
};

inline RasterShape raster_shape(int width, int height, int bands = 1, GDALDataType type = GDT_Byte)
{
    RasterShape shape;
    shape.width = width;
    shape.height = height;
    shape.bands = bands;
    shape.type = type;
    return shape;
}

// Writes a GeoTIFF with GDAL's GTiff driver.
void write_tiff(const std::string& path, const RasterShape& shape, const SampleFn& sample);

// The same from band-sequential values (band 0 row by row, then band 1, ...).
template <typename T>
void write_tiff(const std::string& path, const RasterShape& shape, const std::vector<T>& values)
{
    const std::size_t plane = static_cast<std::size_t>(shape.width) * shape.height;
    write_tiff(path, shape, [&](int b, int x, int y) {
        return static_cast<double>(values.at(b * plane + static_cast<std::size_t>(y) * shape.width + x));
    });
}

// All samples of band b (1-based) as doubles, row by row.
std::vector<double> read_band(const std::string& path, int band);

// Every band of a raster as doubles, row by row.
struct Raster {
    int width = 0;
    int height = 0;
    std::vector<std::vector<double>> bands;

    std::size_t pixels() const { return static_cast<std::size_t>(width) * height; }
    std::vector<double*> pointers();
    std::vector<const double*> pointers() const;
    std::vector<double> band_sequential() const;  // band 1, then band 2, ...
};
Raster read_raster(const std::string& path);

// The job's write-back of a double to Byte: truncate toward zero, clamp, NaN -> 0.
double to_byte(double v);

// Compares `got` (each sample passed through `convert`) with `expected`
// sample by sample, reports the first few differences as failures and
// returns how many there are.
long long count_mismatches(const Raster& got, const Raster& expected,
                           double (*convert)(double) = nullptr);

// The geotransform GDAL reports (and whether it reports one) and the WKT.
struct Georeferencing {
    bool has_geotransform = false;
    double geotransform[6] = {};
    std::string wkt;
};
Georeferencing read_georeferencing(const std::string& path);

// The geotransform and projection write_tiff gives a georeferenced raster.
extern const double TEST_GEOTRANSFORM[6];
std::string test_projection_wkt();

// Every byte of a file, and the same as text.
std::vector<std::uint8_t> file_bytes(const std::string& path);
std::string file_text(const std::string& path);

// Runs a program with the arguments (each quoted for the shell), its standard
// output sent to out_path and its standard error to err_path, or to out_path
// as well when err_path is empty.
struct ProgramRun {
    int status = -1;  // the exit code, -1 when the program did not exit
    std::string out;
    std::string err;
};
ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& out_path, const std::string& err_path = "");

// Number of datasets GDAL holds open in this process.
int open_dataset_count();

// Number of file descriptors this process holds open.
int open_file_count();

// The bytes of every file under `folder` (links followed), keyed by the path
// relative to it: two snapshots are equal when no file was added, removed or
// changed.
std::map<std::string, std::vector<std::uint8_t>> snapshot_folder(const std::string& folder);

// A host that records what a job shows.
class RecordingHost : public JobHost {
public:
    void show_message(const std::string& text) override { messages.push_back(text); }
    void show_warning(const std::string& text) override { warnings.push_back(text); }
    int set_progress_position(int position) override
    {
        positions.push_back(position);
        const int previous = bar;
        bar = position;
        return previous;
    }

    std::vector<std::string> messages;
    std::vector<std::string> warnings;
    std::vector<int> positions;
    int bar = 0;
};

}  // namespace pelvane::test
