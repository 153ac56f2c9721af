#include "job/process_tuning.h"

#include <cstdlib>  // defines __GLIBC__ on glibc systems

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cpl_conv.h>
#include <gdal.h>

namespace pelvane {

void tune_process_for_strips()
{
    // Every strip allocates and frees the same large band buffers. Left to
    // its defaults, glibc maps each of them afresh and unmaps it on release,
    // so every strip pays a page fault per 4 KiB again (more than half the
    // time of a job without fill stages). Serving them from the heap and
    // keeping freed memory there lets the next strip reuse it; the peak stays
    // what one strip needs.
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);  // the largest glibc accepts
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
    // With an arena per thread, what a worker frees (its last band solve's
    // arrays) stays in its own arena for it alone, and the peak grows with
    // every thread that ever solved a band. In one arena all threads reuse
    // the same memory; the fill stages allocate a few large buffers per
    // chunk or band, so they hardly ever wait for each other's malloc.
    mallopt(M_ARENA_MAX, 1);
#endif

    // The job reads each block of its inputs about once and writes each
    // output block once per strip, so GDAL's default block cache (a share of
    // the machine's memory) only holds memory it never reuses. It must hold
    // the blocks of one strip window of one image in all bands (about 30 MB
    // for a tiled 8000-column, six-band Byte image), or every band read
    // decodes the blocks again; twice that is enough, unless the user chose
    // a size through GDAL_CACHEMAX.
    if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr)
        GDALSetCacheMax64(64LL * 1024 * 1024);
}

}  // namespace pelvane
