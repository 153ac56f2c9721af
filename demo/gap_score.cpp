#include "demo/gap_score.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <gdal_priv.h>

#include "demo/demo_scene.h"

namespace pelvane {

GapScore make_gap_score(int bands)
{
    GapScore score;
    score.bands = bands;
    score.all.sum_squares.assign(bands, 0.0);
    score.fill_valid.sum_squares.assign(bands, 0.0);
    score.both_missing.sum_squares.assign(bands, 0.0);
    return score;
}

namespace {

void add_pixel(ClassErrors& errors, const double* truth, const double* filled, long long pixels, long long p,
               int bands)
{
    ++errors.pixels;
    for (int b = 0; b < bands; ++b) {
        double difference = filled[b * pixels + p] - truth[b * pixels + p];
        errors.sum_squares[b] += difference * difference;
    }
}

}  // namespace

void add_to_gap_score(GapScore& score, const double* truth, const double* filled, const std::uint8_t* gaps,
                      long long pixels)
{
    for (long long p = 0; p < pixels; ++p) {
        if (gaps[p] == GAP_NONE) {
            for (int b = 0; b < score.bands; ++b) {
                if (filled[b * pixels + p] != truth[b * pixels + p]) {
                    ++score.changed_outside_gaps;
                    break;
                }
            }
            continue;
        }
        add_pixel(score.all, truth, filled, pixels, p, score.bands);
        if (gaps[p] == GAP_FILL_VALID)
            add_pixel(score.fill_valid, truth, filled, pixels, p, score.bands);
        else if (gaps[p] == GAP_BOTH_MISSING)
            add_pixel(score.both_missing, truth, filled, pixels, p, score.bands);
    }
}

double band_rmse(const ClassErrors& errors, int band)
{
    if (errors.pixels == 0)
        return std::numeric_limits<double>::quiet_NaN();
    return std::sqrt(errors.sum_squares[band] / static_cast<double>(errors.pixels));
}

double pooled_rmse(const ClassErrors& errors)
{
    if (errors.pixels == 0)
        return std::numeric_limits<double>::quiet_NaN();
    double total = 0.0;
    for (double sum : errors.sum_squares)
        total += sum;
    return std::sqrt(total / (static_cast<double>(errors.pixels) * errors.sum_squares.size()));
}

namespace {

GDALDatasetUniquePtr open_raster(const std::string& path, std::string& error)
{
    GDALDatasetUniquePtr dataset(GDALDataset::Open(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY));
    if (!dataset)
        error = "cannot open " + path;
    return dataset;
}

bool read_rows(GDALDataset& dataset, int first_row, int rows, int bands, std::vector<double>& buffer)
{
    int width = dataset.GetRasterXSize();
    buffer.resize(static_cast<size_t>(width) * rows * bands);
    // Band-sequential: the default spacing of a dataset read.
    return dataset.RasterIO(GF_Read, 0, first_row, width, rows, buffer.data(), width, rows, GDT_Float64, bands,
                            nullptr, 0, 0, 0, nullptr) == CE_None;
}

}  // namespace

bool score_image_files(const std::string& truth_path, const std::string& filled_path,
                       const std::string& gaps_path, GapScore& score, std::string& error)
{
    GDALAllRegister();
    GDALDatasetUniquePtr truth = open_raster(truth_path, error);
    if (!truth)
        return false;
    GDALDatasetUniquePtr filled = open_raster(filled_path, error);
    if (!filled)
        return false;
    GDALDatasetUniquePtr gaps = open_raster(gaps_path, error);
    if (!gaps)
        return false;

    int width = truth->GetRasterXSize();
    int height = truth->GetRasterYSize();
    int bands = truth->GetRasterCount();
    for (GDALDataset* other : {filled.get(), gaps.get()}) {
        if (other->GetRasterXSize() != width || other->GetRasterYSize() != height) {
            error = "the images differ in size";
            return false;
        }
    }
    if (filled->GetRasterCount() != bands) {
        error = "the truth and the filled image differ in band count";
        return false;
    }
    if (bands < 1 || gaps->GetRasterCount() < 1) {
        error = "an image has no bands";
        return false;
    }

    score = make_gap_score(bands);
    const int block_rows = 256;
    std::vector<double> truth_rows, filled_rows, gap_rows;
    std::vector<std::uint8_t> gap_codes;
    for (int row = 0; row < height; row += block_rows) {
        int rows = std::min(block_rows, height - row);
        if (!read_rows(*truth, row, rows, bands, truth_rows) || !read_rows(*filled, row, rows, bands, filled_rows) ||
            !read_rows(*gaps, row, rows, 1, gap_rows)) {
            error = "cannot read the images";
            return false;
        }
        gap_codes.resize(gap_rows.size());
        for (size_t i = 0; i < gap_rows.size(); ++i)
            gap_codes[i] = static_cast<std::uint8_t>(std::clamp(gap_rows[i], 0.0, 255.0));
        add_to_gap_score(score, truth_rows.data(), filled_rows.data(), gap_codes.data(),
                         static_cast<long long>(width) * rows);
    }
    return true;
}

}  // namespace pelvane
