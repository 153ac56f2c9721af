#include "demo/mirrored_tiling.h"

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

namespace pelvane {
namespace {

TEST(MirroredTiling, IndexRunsForwardThenBackAcrossCopies)
{
    struct Case {
        int extent;
        std::vector<int> expected;  // for positions 0, 1, 2, ...
    };
    const Case cases[] = {
        {3, {0, 1, 2, 2, 1, 0, 0, 1, 2, 2}},
        {2, {0, 1, 1, 0, 0, 1, 1}},
        {1, {0, 0, 0, 0}},
    };
    for (const Case& c : cases)
        for (int position = 0; position < static_cast<int>(c.expected.size()); ++position)
            EXPECT_EQ(mirrored_index(position, c.extent), c.expected[position])
                << "extent " << c.extent << ", position " << position;
    // The demo image's size: the fourth copy starts unflipped again.
    EXPECT_EQ(mirrored_index(3 * 349, 349), 348);
    EXPECT_EQ(mirrored_index(4 * 349 + 5, 349), 5);
}

// Two bands of 3 x 2 pixels; band 2 is band 1 plus 10.
const std::vector<std::uint8_t> kSource = {1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 15, 16};

TEST(MirroredTiling, LaysMirroredCopiesOfEveryBand)
{
    const std::vector<std::uint8_t> band1 = {
        1, 2, 3, 3, 2, 1, 1,
        4, 5, 6, 6, 5, 4, 4,
        4, 5, 6, 6, 5, 4, 4,
        1, 2, 3, 3, 2, 1, 1,
        1, 2, 3, 3, 2, 1, 1,
    };
    std::vector<std::uint8_t> expected = band1;
    for (std::uint8_t value : band1)
        expected.push_back(static_cast<std::uint8_t>(value + 10));
    EXPECT_EQ(mirrored_tiling(kSource.data(), 3, 2, 2, 7, 5), expected);
}

TEST(MirroredTiling, SourceSizeIsTheSourceAndSmallerSizesItsCorner)
{
    EXPECT_EQ(mirrored_tiling(kSource.data(), 3, 2, 2, 3, 2), kSource);
    EXPECT_EQ(mirrored_tiling(kSource.data(), 3, 2, 2, 2, 1), (std::vector<std::uint8_t>{1, 2, 11, 12}));
}

}  // namespace
}  // namespace pelvane
