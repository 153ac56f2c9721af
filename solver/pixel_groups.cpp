#include "solver/pixel_groups.h"

#include <algorithm>

namespace pelvane {

void for_each_pixel_group(const unsigned char* mask, int width, int rows,
                          const std::function<void(const std::vector<std::size_t>&)>& visit)
{
    if (width < 1 || rows < 1) return;
    const std::size_t pixels = static_cast<std::size_t>(width) * static_cast<std::size_t>(rows);
    std::vector<unsigned char> visited(pixels, 0);
    std::vector<std::size_t> group, stack;
    for (std::size_t start = 0; start < pixels; ++start) {
        if (mask[start] == 0 || visited[start] != 0) continue;
        group.clear();
        stack.assign(1, start);
        visited[start] = 1;
        while (!stack.empty()) {
            const std::size_t q = stack.back();
            stack.pop_back();
            group.push_back(q);
            const int y = static_cast<int>(q / width), x = static_cast<int>(q % width);
            for (int yy = std::max(y - 1, 0); yy <= std::min(y + 1, rows - 1); ++yy)
                for (int xx = std::max(x - 1, 0); xx <= std::min(x + 1, width - 1); ++xx) {
                    const std::size_t r = static_cast<std::size_t>(yy) * width + xx;
                    if (mask[r] != 0 && visited[r] == 0) {
                        visited[r] = 1;
                        stack.push_back(r);
                    }
                }
        }
        visit(group);
    }
}

int label_group_pieces(const unsigned char* mask, int width, int rows, int piece, int* label)
{
    if (width < 1 || rows < 1) return 0;
    std::fill(label, label + static_cast<std::size_t>(width) * static_cast<std::size_t>(rows), -1);
    const std::size_t w = static_cast<std::size_t>(width), side = static_cast<std::size_t>(std::max(piece, 1));
    int count = 0;
    for_each_pixel_group(mask, width, rows, [&](const std::vector<std::size_t>& group) {
        std::size_t top = group.front() / w, left = group.front() % w, right = left;
        for (const std::size_t q : group) {
            top = std::min(top, q / w);
            left = std::min(left, q % w);
            right = std::max(right, q % w);
        }
        const std::size_t across = (right - left) / side + 1;
        std::size_t most = 0;
        for (const std::size_t q : group) {
            const std::size_t k = (q / w - top) / side * across + (q % w - left) / side;
            label[q] = count + static_cast<int>(k);
            most = std::max(most, k);
        }
        count += static_cast<int>(most) + 1;
    });
    return count;
}

}  // namespace pelvane
