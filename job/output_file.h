#pragma once

#include <string>

namespace pelvane {

// True when the folder of `path` exists and this process may create files in
// it. Paths on GDAL's virtual file systems (/vsimem/ and the like) pass:
// their folders need not exist, and creating the file is the only test.
bool output_folder_is_writable(const std::string& path);

// True when both paths name one file: the same file on disk where both exist
// (links and different spellings included), otherwise the same text.
bool same_file(const std::string& a, const std::string& b);

// Why the folder of `path` does not take new files ("the folder /data/x does
// not exist", "the folder /data/x may not be written"); "" when it does.
std::string output_folder_problem(const std::string& path);

// The output of one job under a temporary name in the output's own folder,
// so that a failed, stopped or killed job never leaves a partial image at the
// output path nor touches what is there. The job creates its dataset at
// temporary_path(), closes it and then calls commit(), which renames it over
// the output path. Until then the output path keeps whatever it held.
//
// Files GDAL writes beside the dataset (an .aux.xml, a world file) share the
// temporary name's prefix and follow it on commit. Whatever is left under
// that prefix is removed when the object is destroyed: destroy it only after
// the dataset is closed. All file calls go through GDAL's VSI layer, so
// /vsimem/ outputs work the same way.
class OutputFile {
public:
    explicit OutputFile(std::string output_path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& temporary_path() const { return temporary_path_; }

    // Renames the closed temporary file over the output path, then its side
    // files, and removes the side files of the image it replaced. Returns
    // false, with the output path as it was, when the first rename fails.
    bool commit();

private:
    void remove_temporary_files() const;

    std::string output_path_;
    std::string folder_;           // "" for the current folder
    std::string temporary_prefix_; // file name every temporary file starts with
    std::string temporary_path_;
};

}  // namespace pelvane
