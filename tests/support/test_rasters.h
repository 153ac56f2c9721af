#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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

struct RasterShape {
    int width = 8;
    int height = 6;
    int bands = 1;
    GDALDataType type = GDT_Byte;
    bool georeferenced = true;  // a UTM projection and a 30 m geotransform
    std::vector<std::string> creation_options;
};

// Writes a GeoTIFF with GDAL's GTiff driver.
void write_tiff(const std::string& path, const RasterShape& shape, const SampleFn& sample);

// All samples of band b (1-based) as doubles, row by row.
std::vector<double> read_band(const std::string& path, int band);

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

// Every byte of a file.
std::vector<std::uint8_t> file_bytes(const std::string& path);

// Number of datasets GDAL holds open in this process.
int open_dataset_count();

// A host that records what a job shows.
class RecordingHost : public JobHost {
public:
    void show_message(const std::string& text) override { messages.push_back(text); }
    int set_progress_position(int position) override
    {
        positions.push_back(position);
        const int previous = bar;
        bar = position;
        return previous;
    }

    std::vector<std::string> messages;
    std::vector<int> positions;
    int bar = 0;
};

}  // namespace pelvane::test
