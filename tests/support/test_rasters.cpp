#include "support/test_rasters.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cpl_string.h>
#include <gdal_priv.h>
#include <ogr_spatialref.h>

namespace pelvane::test {

TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "pelvane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder");
    root_ = pattern;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
}

// Fractional, so that a copy through integers or floats would show.
const double TEST_GEOTRANSFORM[6] = {288776.25, 28.5, 0.0, 9120760.75, 0.0, -28.5};

std::string test_projection_wkt()
{
    OGRSpatialReference srs;
    srs.importFromEPSG(32725);
    char* wkt = nullptr;
    srs.exportToWkt(&wkt);
    std::string text = wkt;
    CPLFree(wkt);
    return text;
}

void write_tiff(const std::string& path, const RasterShape& shape, const SampleFn& sample)
{
    GDALAllRegister();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
    CPLStringList options;
    for (const std::string& option : shape.creation_options)
        options.AddString(option.c_str());
    GDALDatasetUniquePtr ds(driver->Create(path.c_str(), shape.width, shape.height, shape.bands,
                                           shape.type, options.List()));
    if (!ds)
        throw std::runtime_error("cannot create " + path);
    if (shape.georeferenced) {
        double gt[6];
        std::copy(TEST_GEOTRANSFORM, TEST_GEOTRANSFORM + 6, gt);
        ds->SetGeoTransform(gt);
        ds->SetProjection(test_projection_wkt().c_str());
    }
    std::vector<double> values(static_cast<std::size_t>(shape.width) * shape.height);
    for (int b = 0; b < shape.bands; ++b) {
        for (int y = 0; y < shape.height; ++y)
            for (int x = 0; x < shape.width; ++x)
                values[static_cast<std::size_t>(y) * shape.width + x] = sample(b, x, y);
        if (ds->GetRasterBand(b + 1)->RasterIO(GF_Write, 0, 0, shape.width, shape.height,
                                               values.data(), shape.width, shape.height,
                                               GDT_Float64, 0, 0, nullptr) != CE_None)
            throw std::runtime_error("cannot write " + path);
    }
}

std::vector<double> read_band(const std::string& path, int band)
{
    GDALAllRegister();
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!ds)
        throw std::runtime_error("cannot open " + path);
    const int w = ds->GetRasterXSize();
    const int h = ds->GetRasterYSize();
    std::vector<double> values(static_cast<std::size_t>(w) * h);
    if (ds->GetRasterBand(band)->RasterIO(GF_Read, 0, 0, w, h, values.data(), w, h, GDT_Float64,
                                          0, 0, nullptr) != CE_None)
        throw std::runtime_error("cannot read " + path);
    return values;
}

Raster read_raster(const std::string& path)
{
    GDALAllRegister();
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!ds)
        throw std::runtime_error("cannot open " + path);
    Raster r;
    r.width = ds->GetRasterXSize();
    r.height = ds->GetRasterYSize();
    r.bands.assign(ds->GetRasterCount(), std::vector<double>(r.pixels()));
    for (std::size_t b = 0; b < r.bands.size(); ++b)
        if (ds->GetRasterBand(static_cast<int>(b) + 1)->RasterIO(
                GF_Read, 0, 0, r.width, r.height, r.bands[b].data(), r.width, r.height, GDT_Float64,
                0, 0, nullptr) != CE_None)
            throw std::runtime_error("cannot read " + path);
    return r;
}

std::vector<double*> Raster::pointers()
{
    std::vector<double*> p;
    for (auto& b : bands) p.push_back(b.data());
    return p;
}

std::vector<const double*> Raster::pointers() const
{
    std::vector<const double*> p;
    for (const auto& b : bands) p.push_back(b.data());
    return p;
}

std::vector<double> Raster::band_sequential() const
{
    std::vector<double> all;
    for (const auto& b : bands) all.insert(all.end(), b.begin(), b.end());
    return all;
}

double to_byte(double v)
{
    if (std::isnan(v)) return 0.0;
    v = std::trunc(v);
    return v < 0.0 ? 0.0 : (v > 255.0 ? 255.0 : v);
}

long long count_mismatches(const Raster& got, const Raster& expected, double (*convert)(double))
{
    EXPECT_EQ(got.width, expected.width);
    EXPECT_EQ(got.height, expected.height);
    if (got.bands.size() != expected.bands.size() || got.pixels() != expected.pixels()) {
        ADD_FAILURE() << "the rasters differ in shape";
        return -1;
    }
    long long mismatches = 0;
    for (std::size_t b = 0; b < expected.bands.size(); ++b)
        for (std::size_t i = 0; i < expected.bands[b].size(); ++i) {
            const double raw = got.bands[b][i];
            const double have = convert != nullptr ? convert(raw) : raw;
            const double want = expected.bands[b][i];
            if (have == want || (std::isnan(have) && std::isnan(want))) continue;
            if (++mismatches <= 10)
                ADD_FAILURE() << "band " << b + 1 << " row " << i / expected.width << " col "
                              << i % expected.width << ": " << raw << " -> " << have
                              << ", expected " << want;
        }
    return mismatches;
}

Georeferencing read_georeferencing(const std::string& path)
{
    GDALDatasetUniquePtr ds(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!ds)
        throw std::runtime_error("cannot open " + path);
    Georeferencing g;
    g.has_geotransform = ds->GetGeoTransform(g.geotransform) == CE_None;
    const char* wkt = ds->GetProjectionRef();
    g.wkt = wkt != nullptr ? wkt : "";
    return g;
}

std::vector<std::uint8_t> file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string file_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ProgramRun run_program(const std::string& program, const std::vector<std::string>& arguments,
                       const std::string& out_path, const std::string& err_path)
{
    std::string command = "'" + program + "'";
    for (const std::string& a : arguments) command += " '" + a + "'";
    command += " >'" + out_path + "' 2>" + (err_path.empty() ? "&1" : "'" + err_path + "'");
    const int raw = std::system(command.c_str());
    ProgramRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = file_text(out_path);
    if (!err_path.empty()) run.err = file_text(err_path);
    return run;
}

int open_dataset_count()
{
    GDALDatasetH* list = nullptr;
    int count = 0;
    GDALGetOpenDatasets(&list, &count);
    return count;
}

int open_file_count()
{
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

std::map<std::string, std::vector<std::uint8_t>> snapshot_folder(const std::string& folder)
{
    std::map<std::string, std::vector<std::uint8_t>> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder)) {
        if (!entry.is_directory())
            files[std::filesystem::relative(entry.path(), folder).string()] =
                file_bytes(entry.path().string());
    }
    return files;
}

}  // namespace pelvane::test
