// tessel_atlas._engine: the packing engine's second entry point, place, for
// callers who need more than TesselPack.pack: turning can be switched off,
// the single bin's growth and the search resolution chosen, the six
// orderings searched on several threads, and progress reported to a Python
// callable instead of stdout. It shares pack's driver, so with its defaults
// it returns exactly what pack returns.
//
// The interpreter lock is released while the core searches; it is taken
// back after every texture and every single-bin attempt to report progress
// and to let a pending KeyboardInterrupt (or an exception from the progress
// callable) end the call. One search of many rectangles can take seconds,
// so on the main thread (the only one Python delivers signals to) a large
// search runs on a helper thread while the caller looks for signals every
// 20 ms, and stops the search when a handler raises. Nothing is printed.
#include <TesselPack/pack_driver.hpp>

#include <tessel/concurrent_search.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

using pack_driver::pack_result;
using pack_driver::rect_sizes_arg;

// One thread per ordering at most.
constexpr int max_threads = 6;
// Below this many rectangles starting threads costs about what they save
// (measured on two cores: 100 sprites about even, 200 sprites 1.4x faster
// on two threads, thin sprites at 200 still even).
constexpr std::size_t concurrent_min_rects = 200;
// Below this many rectangles a whole search takes a few tens of milliseconds
// at most, and a signal is seen soon enough between searches.
constexpr std::size_t watched_min_rects = 4096;
constexpr std::chrono::milliseconds signal_check_interval{20};

struct callback_hooks {
    int threads;
    py::object progress;
    bool on_main_thread;

    template <class F, class G>
    tessel::rect_wh search(std::vector<tessel::rect_xywhf>& records, const tessel::finder_input<F, G>& input) const {
        if (threads > 1 && records.size() >= concurrent_min_rects) {
            return tessel::find_best_packing_concurrently<pack_driver::root_type>(records, input, threads);
        }
        return tessel::find_best_packing<pack_driver::root_type>(records, input);
    }

    template <class F, class G>
    tessel::rect_wh find(std::vector<tessel::rect_xywhf>& records, const tessel::finder_input<F, G>& input) {
        if (!on_main_thread || records.size() < watched_min_rects) {
            const py::gil_scoped_release unlocked;
            return search(records, input);
        }
        std::atomic<bool> stop{false};
        tessel::finder_input<F, G> stoppable = input;
        stoppable.stop = &stop;
        bool interrupted = false;
        tessel::rect_wh bin;
        {
            const py::gil_scoped_release unlocked;
            auto searched = std::async(std::launch::async, [&] { return search(records, stoppable); });
            while (!interrupted && searched.wait_for(signal_check_interval) != std::future_status::ready) {
                const py::gil_scoped_acquire locked;
                interrupted = PyErr_CheckSignals() != 0;
            }
            stop = true;
            bin = searched.get();  // the search's own exceptions (out of memory) come through here
        }
        if (interrupted) {
            throw py::error_already_set();
        }
        return bin;
    }

    void step_done(const std::size_t remaining) {
        if (!progress.is_none()) {
            progress(remaining);
        }
        if (PyErr_CheckSignals() != 0) {
            throw py::error_already_set();
        }
    }

    void attempt_done(const std::size_t remaining) { step_done(remaining); }
    void layer_done(const std::size_t remaining) { step_done(remaining); }
};

// threads = 0: one per core, at most one per ordering, and at most
// TESSEL_NUM_THREADS where that is set.
int thread_count(const int threads) {
    if (threads > 0) {
        return std::min(threads, max_threads);
    }
    int count = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
    if (const char* const limit = std::getenv("TESSEL_NUM_THREADS")) {
        char* end = nullptr;
        const long value = std::strtol(limit, &end, 10);
        if (end == limit || *end != '\0' || value < 1) {
            throw py::value_error("TESSEL_NUM_THREADS must be a positive whole number (got '" + std::string(limit) +
                                  "')");
        }
        count = static_cast<int>(std::min<long>(count, value));
    }
    return std::min(count, max_threads);
}

pack_result place(const rect_sizes_arg& rect_sizes, const int max_texture_size, const bool allow_rotation,
                  const double growth, const int resolution, const int threads, const py::object& progress) {
    if (!(growth > 1.0 && growth <= 2.0)) {
        const auto text = py::repr(py::float_(growth)).cast<std::string>();
        throw py::value_error("growth must be above 1 and at most 2 (got " + text + ")");
    }
    if (resolution < 1) {
        throw py::value_error("resolution must be at least 1 (got " + std::to_string(resolution) + ")");
    }
    if (threads < 0) {
        throw py::value_error("threads must not be negative (got " + std::to_string(threads) + ")");
    }
    if (!progress.is_none() && !PyCallable_Check(progress.ptr())) {
        throw py::type_error("progress must be callable or None (got " +
                             py::str(py::type::of(progress).attr("__name__")).cast<std::string>() + ")");
    }

    pack_driver::packing_options options;
    options.flipping =
        allow_rotation ? tessel::flipping_option::FLIPPING_ALLOWED : tessel::flipping_option::NO_FLIPPING;
    options.growth = static_cast<float>(growth);
    options.search_resolution = resolution;
    const auto threading = py::module_::import("threading");
    const bool on_main_thread = threading.attr("current_thread")().is(threading.attr("main_thread")());
    callback_hooks hooks{thread_count(threads), progress, on_main_thread};
    return pack_driver::pack_rect_sizes(rect_sizes, max_texture_size, options, hooks);
}

}  // namespace

PYBIND11_MODULE(_engine, m) {
    m.doc() = "The packing engine behind tessel-atlas: place, TesselPack.pack with options.";
    m.def("place", &place, py::arg("rect_sizes"), py::arg("max_texture_size"), py::kw_only(),
          py::arg("allow_rotation") = true, py::arg("growth") = 1.1, py::arg("resolution") = 1,
          py::arg("threads") = 0, py::arg("progress") = py::none(),
          R"doc(Place rectangles into one bin or into square textures.

rect_sizes is an (n, 2) array of widths and heights (anything NumPy turns
into an integer array; floats are truncated). With max_texture_size 0 every
rectangle goes into one bin, grown from the square root of the total area
until all fit and then shrunk by the search; any other value fills square
textures of that side one after another.

Returns (placements, width, height): placements is an int32 array of shape
(n, 4), one row per input row, holding x, y, layer and flip (1 when the
rectangle lies turned a quarter turn, its footprint then h x w); width and
height are the bin's size, or max_texture_size twice. Rows of zero area are
not placed and read (-1, -1, 0, 0). With its defaults the result is exactly
that of TesselPack.pack.

Options (keyword only):
  allow_rotation  False never turns a rectangle.
  growth          factor by which the single bin's side grows between
                  attempts, in (1, 2]; smaller gives denser bins, more slowly.
  resolution      the bin-size search stops once its step is at most this
                  many pixels; larger is faster and gives looser bins.
  threads         threads for the six orderings' searches; 0 means one per
                  core, at most 6 and at most TESSEL_NUM_THREADS where set;
                  1 keeps to the calling thread. The result never depends
                  on it.
  progress        called after each texture and each single-bin attempt
                  with the number of rectangles still to place.

The interpreter lock is released while the search runs. Nothing is printed.

Raises RuntimeError for input the packer cannot take (the messages of
TesselPack.pack: wrong shape, negative sizes, sizes beyond 32 bits, a
rectangle larger than the texture, a bin beyond 46340), ValueError or
TypeError for bad option values, before any work; an exception from
progress, or KeyboardInterrupt, ends the call and propagates.)doc");
}
