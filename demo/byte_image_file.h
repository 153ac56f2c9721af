#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pelvane {

// A whole Byte image in memory with the georeferencing it came with.
// Pixels are band-sequential: band b, row r, column c at
// (b * height + r) * width + c. The demo's images are small, so whole-image
// buffers keep the generator simple.
struct ByteImage {
    int width = 0;
    int height = 0;
    int bands = 0;
    std::vector<std::uint8_t> pixels;
    bool has_geotransform = false;
    std::array<double, 6> geotransform{};
    std::string projection;  // WKT, empty when the source has none
};

// Reads every band of a Byte raster. Returns false with a message in `error`
// when the file cannot be opened or read, or its samples are not Byte.
bool read_byte_image(const std::string& path, ByteImage& image, std::string& error);

// Writes a DEFLATE-compressed GeoTIFF of `bands` bands from `pixels`
// (band-sequential, width x height as in `georef`) carrying the
// georeferencing of `georef`.
bool write_byte_geotiff(const std::string& path, const ByteImage& georef, int bands,
                        const std::vector<std::uint8_t>& pixels, std::string& error);

}  // namespace pelvane
