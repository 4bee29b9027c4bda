// Packs a few rectangles into the smallest bin the search finds, and prints
// where each one went.
#include <tessel/best_bin_finder.hpp>

#include <cstdio>
#include <vector>

int main() {
    // The records the packer reads sizes from and writes places into.
    std::vector<tessel::rect_xywhf> sprites = {
        {0, 0, 30, 10, false}, {0, 0, 16, 16, false}, {0, 0, 8, 40, false}, {0, 0, 12, 12, false}};

    // Called once per record as the chosen packing is written; either may
    // stop the packing early. Here every rectangle must fit.
    bool all_fit = true;
    const auto placed = [](tessel::rect_xywhf&) { return tessel::callback_decision::KEEP_PACKING; };
    const auto missed = [&all_fit](tessel::rect_xywhf&) {
        all_fit = false;
        return tessel::callback_decision::STOP_PACKING;
    };

    // A bin of at most 1024 x 1024, searched to the pixel, quarter turns allowed.
    using root = tessel::empty_spaces<true, tessel::indexed_empty_spaces>;
    const tessel::rect_wh bin = tessel::find_best_packing<root>(
        sprites, tessel::make_finder_input(1024, 1, placed, missed, tessel::flipping_option::FLIPPING_ALLOWED));
    if (!all_fit) {
        std::puts("the rectangles do not fit a 1024 x 1024 bin");
        return 1;
    }

    std::printf("bin %d x %d\n", bin.w, bin.h);
    for (const tessel::rect_xywhf& s : sprites) {
        std::printf("%d x %d at (%d, %d)%s\n", s.w, s.h, s.x, s.y, s.flipped ? ", turned" : "");
    }
    return 0;
}
