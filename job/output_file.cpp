#include "job/output_file.h"

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <cpl_string.h>
#include <cpl_vsi.h>
#include <gdal_priv.h>

namespace pelvane {

namespace {

bool starts_with(const std::string& text, const std::string& prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string join(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : std::string(CPLFormFilename(folder.c_str(), name.c_str(), nullptr));
}

// The names in `folder` that start with `prefix`.
std::vector<std::string> names_starting_with(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    const CPLStringList listing(VSIReadDir(folder.empty() ? "." : folder.c_str()));
    for (int i = 0; i < listing.size(); ++i) {
        if (starts_with(listing[i], prefix))
            names.emplace_back(listing[i]);
    }
    return names;
}

// The files GDAL counts as part of the dataset at `path` besides the file
// itself (.aux.xml, overviews, world files), or none when it is no dataset.
std::vector<std::string> side_files_of(const std::string& path)
{
    std::vector<std::string> files;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    GDALDatasetUniquePtr old(GDALDataset::FromHandle(
        GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr)));
    CPLPopErrorHandler();
    if (!old)
        return files;
    const CPLStringList list(old->GetFileList());
    for (int i = 0; i < list.size(); ++i) {
        if (!EQUAL(list[i], path.c_str()))
            files.emplace_back(list[i]);
    }
    return files;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b)
{
    std::error_code ec;
    if (std::filesystem::exists(a, ec) && std::filesystem::exists(b, ec)) {
        const bool same = std::filesystem::equivalent(a, b, ec);
        if (!ec)
            return same;
    }
    return a == b;
}

bool output_folder_is_writable(const std::string& path)
{
    return output_folder_problem(path).empty();
}

std::string output_folder_problem(const std::string& path)
{
    if (starts_with(path, "/vsi"))
        return {};
    const std::string folder = CPLGetPath(path.c_str());
    const std::string checked = folder.empty() ? "." : folder;
    VSIStatBufL stat;
    if (VSIStatL(checked.c_str(), &stat) != 0)
        return "the folder " + checked + " does not exist";
    if (!VSI_ISDIR(stat.st_mode))
        return checked + " is not a folder";
    if (access(checked.c_str(), W_OK | X_OK) != 0)
        return "the folder " + checked + " may not be written";
    return {};
}

OutputFile::OutputFile(std::string output_path)
    : output_path_(std::move(output_path)), folder_(CPLGetPath(output_path_.c_str()))
{
    // The process id keeps two jobs writing to one folder apart, the counter
    // two jobs of one process; a name left by a killed job is skipped.
    static std::atomic<unsigned> counter{0};
    const std::string extension = CPLGetExtension(output_path_.c_str());
    for (;;) {
        temporary_prefix_ = std::string(CPLGetBasename(output_path_.c_str())) + ".pelvane-tmp-" +
                            std::to_string(getpid()) + "-" + std::to_string(counter++);
        temporary_path_ =
            join(folder_, temporary_prefix_ + (extension.empty() ? ".tmp" : "." + extension));
        VSIStatBufL stat;
        if (VSIStatL(temporary_path_.c_str(), &stat) != 0)
            break;
    }
}

OutputFile::~OutputFile()
{
    remove_temporary_files();
}

void OutputFile::remove_temporary_files() const
{
    for (const std::string& name : names_starting_with(folder_, temporary_prefix_ + "."))
        VSIUnlink(join(folder_, name).c_str());
}

bool OutputFile::commit()
{
    const std::vector<std::string> stale = side_files_of(output_path_);
    if (VSIRename(temporary_path_.c_str(), output_path_.c_str()) != 0)
        return false;

    // Side files follow: "<temporary file>.aux.xml" becomes "<output>.aux.xml",
    // "<temporary stem>.tfw" becomes "<output stem>.tfw".
    const std::string temporary_name = CPLGetFilename(temporary_path_.c_str());
    const std::string output_name = CPLGetFilename(output_path_.c_str());
    const std::string output_stem = CPLGetBasename(output_path_.c_str());
    std::vector<std::string> renamed;
    for (const std::string& name : names_starting_with(folder_, temporary_prefix_ + ".")) {
        const std::string target =
            starts_with(name, temporary_name)
                ? output_name + name.substr(temporary_name.size())
                : output_stem + name.substr(temporary_prefix_.size());
        const std::string to = join(folder_, target);
        if (VSIRename(join(folder_, name).c_str(), to.c_str()) == 0)
            renamed.push_back(to);
    }
    // Side files of the image replaced describe that image, not this one (GDAL
    // itself deletes them when it creates a dataset over another).
    for (const std::string& file : stale) {
        bool replaced = false;
        for (const std::string& to : renamed)
            replaced = replaced || EQUAL(to.c_str(), file.c_str());
        if (!replaced)
            VSIUnlink(file.c_str());
    }
    return true;
}

}  // namespace pelvane
