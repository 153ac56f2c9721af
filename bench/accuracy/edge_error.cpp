// The refined fill's estimated standard errors where both images miss a
// pixel, for checking them against a case's truth (error_check.py):
//
//   pelvane-edge-error FILLED TARGET_MASK FILL_MASK ERROR
//
// FILLED is a refined fill of the case (pelvane-cli --refine): its pixels
// valid in the target or filled by Sarnic are what the stage reads, as in the
// job (rounded to the output's type here). ERROR receives one Float32 band per
// band of FILLED: the standard error at the pixels missing in both images
// (mask files non-zero in both), 0 elsewhere. The whole image is one strip.
#include <cstdio>
#include <string>
#include <vector>

#include <gdal_priv.h>

#include "job/band_stack.h"
#include "job/edge_fill_stage.h"
#include "job/job_host.h"
#include "job/worker_pool.h"

namespace {

class QuietHost : public pelvane::JobHost {
public:
    void show_message(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    int set_progress_position(int position) override { return position; }
};

int fail(const std::string& text)
{
    std::fprintf(stderr, "pelvane-edge-error: %s\n", text.c_str());
    return 1;
}

std::vector<unsigned char> read_mask(const char* path, int width, int height)
{
    GDALDatasetUniquePtr file(GDALDataset::Open(path, GDAL_OF_RASTER));
    if (!file || file->GetRasterXSize() != width || file->GetRasterYSize() != height) return {};
    std::vector<unsigned char> mask(static_cast<std::size_t>(width) * height);
    if (file->GetRasterBand(1)->RasterIO(GF_Read, 0, 0, width, height, mask.data(), width, height,
                                         GDT_Byte, 0, 0, nullptr) != CE_None)
        return {};
    return mask;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) return fail("usage: pelvane-edge-error FILLED TARGET_MASK FILL_MASK ERROR");
    GDALAllRegister();
    GDALDatasetUniquePtr filled_file(GDALDataset::Open(argv[1], GDAL_OF_RASTER));
    if (!filled_file) return fail(std::string("cannot read ") + argv[1]);
    const int width = filled_file->GetRasterXSize(), height = filled_file->GetRasterYSize();
    const int bands = filled_file->GetRasterCount();
    const std::size_t pixels = static_cast<std::size_t>(width) * height;
    pelvane::BandStack filled(bands, pixels), error(bands, pixels);
    if (!pelvane::read_band_stack(*filled_file, 0, height, width, filled))
        return fail(std::string("cannot read ") + argv[1]);
    const std::vector<unsigned char> target_gap = read_mask(argv[2], width, height);
    const std::vector<unsigned char> fill_gap = read_mask(argv[3], width, height);
    if (target_gap.empty() || fill_gap.empty()) return fail("cannot read the masks, or not the image's size");
    std::vector<unsigned char> holes(pixels), sites(pixels);
    for (std::size_t p = 0; p < pixels; ++p) {
        holes[p] = target_gap[p] != 0 && fill_gap[p] != 0;
        sites[p] = target_gap[p] == 0;
    }

    QuietHost host;
    pelvane::WorkerPool pool(pelvane::hardware_threads());
    const pelvane::EdgeFillBuffers buffers{filled, holes.data(), width, height, &error, sites.data()};
    run_edge_fill_stage(pool, host, buffers);

    GDALDriver* gtiff = GetGDALDriverManager()->GetDriverByName("GTiff");
    GDALDatasetUniquePtr out(gtiff->Create(argv[4], width, height, bands, GDT_Float32, nullptr));
    if (!out) return fail(std::string("cannot create ") + argv[4]);
    for (int b = 0; b < bands; ++b)
        if (out->GetRasterBand(b + 1)->RasterIO(GF_Write, 0, 0, width, height, error.band(b), width,
                                                height, GDT_Float64, 0, 0, nullptr) != CE_None)
            return fail(std::string("cannot write ") + argv[4]);
    CPLErrorReset();
    out.reset();  // the last blocks are written on closing
    if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal)
        return fail(std::string("cannot write ") + argv[4]);
    return 0;
}
