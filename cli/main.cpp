#include <iostream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cpl_conv.h>
#include <gdal.h>

#include "cli/cli_host.h"
#include "cli/command_line.h"
#include "job/run_job.h"

namespace {

// Every strip allocates and frees the same large band buffers. Left to its
// defaults, glibc maps each of them afresh and unmaps it on release, so every
// strip pays a page fault per 4 KiB again (more than half the time of a job
// without fill stages). Serving them from the heap and keeping freed memory
// there lets the next strip reuse it; the peak stays what one strip needs.
void keep_strip_memory_for_reuse()
{
#ifdef __GLIBC__
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);  // the largest glibc accepts
    mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
#endif
}

// The job reads each block of its inputs about once and writes each output
// block once per strip, so GDAL's default block cache (a share of the
// machine's memory) only holds memory it never reuses. A few strips' worth is
// enough, unless the user chose a size through GDAL_CACHEMAX.
void size_block_cache()
{
    if (CPLGetConfigOption("GDAL_CACHEMAX", nullptr) == nullptr)
        GDALSetCacheMax64(256LL * 1024 * 1024);
}

}  // namespace

int main(int argc, char** argv)
{
    pelvane::CommandLine command;
    const int status = pelvane::parse_command_line(argc, argv, command, std::cout, std::cerr);
    if (status >= 0)
        return status;

    keep_strip_memory_for_reuse();
    size_block_cache();
    pelvane::CliHost host(std::cout, std::cerr, !command.quiet);
    const bool done = pelvane::run_job(command.settings, host, command.options);
    return done ? pelvane::EXIT_JOB_DONE : pelvane::EXIT_JOB_STOPPED;
}
