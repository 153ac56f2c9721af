#include "support/test_rasters.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

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

const double TEST_GEOTRANSFORM[6] = {285000.0, 30.0, 0.0, 9120000.0, 0.0, -30.0};

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

int open_dataset_count()
{
    GDALDatasetH* list = nullptr;
    int count = 0;
    GDALGetOpenDatasets(&list, &count);
    return count;
}

}  // namespace pelvane::test
