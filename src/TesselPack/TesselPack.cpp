// The Python module TesselPack: one function, pack, over the shared driver
// (pack_driver.hpp). It runs on the calling thread, holds the interpreter
// lock throughout and prints one progress line per texture to stdout.
//
// A build carries one form of pack, chosen at compile time:
// - pack(rect_sizes, max_texture_size): max_texture_size 0 packs everything
//   into one bin as small as the search finds; any other value fills square
//   textures of that side, one layer after another. Rows are (x, y, layer,
//   flip).
// - with TESSEL_LEGACY_PACK, the earlier pack(rect_sizes): always one bin,
//   rows (x, y, flip).
#include "pack_driver.hpp"

#include <iostream>
#include <tuple>
#include <vector>

namespace py = pybind11;

namespace {

using pack_driver::pack_result;
using pack_driver::rect_sizes_arg;

const std::tuple<int, int, int> version{1, 0, 0};

struct stdout_hooks {
    template <class F, class G>
    tessel::rect_wh find(std::vector<tessel::rect_xywhf>& records, const tessel::finder_input<F, G>& input) {
        return tessel::find_best_packing<pack_driver::root_type>(records, input);
    }

    void attempt_done(std::size_t) {}

    void layer_done(const std::size_t remaining) {
        // A failed write (fd 1 closed, a reader gone) leaves the stream in an
        // error state that would silence every later line of the process.
        std::cout.clear();
        std::cout << "There remains " << remaining << " rectangles to pack." << std::endl;
    }
};

#ifndef TESSEL_LEGACY_PACK

pack_result pack(const rect_sizes_arg& rect_sizes, const int max_texture_size) {
    stdout_hooks hooks;
    return pack_driver::pack_rect_sizes(rect_sizes, max_texture_size, pack_driver::packing_options{}, hooks);
}

#else

pack_result pack(const rect_sizes_arg& rect_sizes) {
    stdout_hooks hooks;
    return pack_driver::single_bin_result(rect_sizes, 0, false, pack_driver::packing_options{}, hooks);
}

#endif

}  // namespace

PYBIND11_MODULE(TesselPack, m) {
    m.doc() = "TesselPack internal module for TesselTexturePacker";
    m.attr("__version__") = version;
#ifndef TESSEL_LEGACY_PACK
    m.def("pack", &pack, py::arg("rect_sizes"), py::arg("max_texture_size"),
          "Pack a (n,2) array representing an array of rectangles with attributes width, height. Return a (n,4) "
          "arrays with attributes x, y, layer, flip (bool), each layer being a different texture of maximum size "
          "'max_texture_size' (if it is greater than 0).");
#else
    m.def("pack", &pack, py::arg("rect_sizes"),
          "Pack a (n,2) array representing an array of rectangles with attributes width, height. Return a (n,3) "
          "array with attributes x, y, flip (bool).");
#endif
}
