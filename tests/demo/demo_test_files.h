#pragma once

// Helpers shared by the demo's tests: a scratch folder, small GeoTIFFs and
// running the demo's programs.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

#include <gdal_priv.h>
#include <gtest/gtest.h>

namespace pelvane::demo_test {

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& name)
    {
        path_ = std::filesystem::temp_directory_path() /
                ("pelvane-demo-test-" + name + "-" + std::to_string(::getpid()));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// A UTM geotransform and projection, as a real scene carries.
inline const double kGeoTransform[6] = {288776.25, 28.5, 0.0, 9120760.75, 0.0, -28.5};

inline std::string utm_projection()
{
    OGRSpatialReference srs;
    srs.importFromEPSG(31985);
    char* wkt = nullptr;
    srs.exportToWkt(&wkt);
    std::string text = wkt;
    CPLFree(wkt);
    return text;
}

// Writes a georeferenced GeoTIFF from band-sequential values.
template <typename T>
void write_geotiff(const std::string& path, int width, int height, int bands, GDALDataType type,
                   const std::vector<T>& values)
{
    GDALAllRegister();
    GDALDriver* driver = GetGDALDriverManager()->GetDriverByName("GTiff");
    ASSERT_NE(driver, nullptr);
    GDALDatasetUniquePtr dataset(driver->Create(path.c_str(), width, height, bands, type, nullptr));
    ASSERT_TRUE(dataset);
    double geotransform[6];
    std::copy(std::begin(kGeoTransform), std::end(kGeoTransform), geotransform);
    dataset->SetGeoTransform(geotransform);
    dataset->SetProjection(utm_projection().c_str());
    GDALDataType buffer_type = sizeof(T) == 1 ? GDT_Byte : GDT_Float64;
    ASSERT_EQ(dataset->RasterIO(GF_Write, 0, 0, width, height, const_cast<T*>(values.data()), width, height,
                                buffer_type, bands, nullptr, 0, 0, 0, nullptr),
              CE_None);
}

// Reads every band of a raster as doubles, band-sequential.
inline std::vector<double> read_all(const std::string& path)
{
    GDALAllRegister();
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!dataset)
        return {};
    int width = dataset->GetRasterXSize(), height = dataset->GetRasterYSize(), bands = dataset->GetRasterCount();
    std::vector<double> values(static_cast<size_t>(width) * height * bands);
    if (dataset->RasterIO(GF_Read, 0, 0, width, height, values.data(), width, height, GDT_Float64, bands, nullptr,
                          0, 0, 0, nullptr) != CE_None)
        return {};
    return values;
}

struct RunResult {
    int exit_code = -1;
    std::string output;  // standard output and standard error
};

// Runs a program with its arguments (quoted for the shell).
inline RunResult run_program(const std::string& program, const std::vector<std::string>& arguments,
                             const std::string& log_path)
{
    std::string command = "'" + program + "'";
    for (const std::string& argument : arguments)
        command += " '" + argument + "'";
    command += " >'" + log_path + "' 2>&1";
    int status = std::system(command.c_str());
    RunResult result;
    result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream log(log_path);
    std::stringstream text;
    text << log.rdbuf();
    result.output = text.str();
    return result;
}

}  // namespace pelvane::demo_test
