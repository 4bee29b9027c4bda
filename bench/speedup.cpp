// Times the fast search against the straightforward reference on the
// benchmark's workloads, in both of the module's modes, checks that their
// results are identical, and prints a table. Usage: tessel_speedup [max_n]
#include "packing_drivers.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace packing_drivers;

std::vector<rect_wh> workload(const std::string& name, const int n) {
    std::mt19937 rng(12345);
    const auto uniform = [&](const int lo, const int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<rect_wh> sizes;
    for (int i = 0; i < n; ++i) {
        if (name == "sprites") {
            sizes.emplace_back(uniform(8, 128), uniform(8, 128));
        } else if (name == "mixed") {
            const bool large = uniform(0, 9) == 0;
            sizes.emplace_back(large ? uniform(128, 512) : uniform(4, 64), large ? uniform(128, 512) : uniform(4, 64));
        } else {
            const rect_wh thin(uniform(1, 16), uniform(32, 256));
            sizes.push_back(i % 2 ? thin : rect_wh(thin.h, thin.w));
        }
    }
    return sizes;
}

template <class Run>
double median_ms(const Run& run, const int repeats) {
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int max_n = argc > 1 ? std::atoi(argv[1]) : 10000;
    const auto flipping = flipping_option::FLIPPING_ALLOWED;
    std::printf("| workload | n | mode | straightforward ms | fast ms | speed-up | identical |\n");
    std::printf("|---|---:|---|---:|---:|---:|---|\n");
    for (const std::string name : {"sprites", "mixed", "thin"}) {
        for (int n = 1000; n <= max_n; n *= 10) {
            const auto sizes = workload(name, n);
            for (const int texture : {0, 1024, 2048}) {
                const auto run = [&](const auto& packer) {
                    return texture == 0 ? single_bin(sizes, flipping, packer)
                                        : layered(sizes, texture, flipping, packer);
                };
                const int repeats = n <= 1000 ? 5 : 3;
                const double slow = median_ms([&] { run(reference_packer{}); }, repeats);
                const double fast = median_ms([&] { run(fast_packer{}); }, repeats);
                const bool identical = run(reference_packer{}) == run(fast_packer{});
                std::printf("| %s | %d | %s | %.1f | %.1f | %.1fx | %s |\n", name.c_str(), n,
                            texture == 0 ? "single bin" : ("layered " + std::to_string(texture)).c_str(), slow, fast,
                            slow / fast, identical ? "yes" : "NO");
                std::fflush(stdout);
                if (!identical) {
                    return 1;
                }
            }
        }
    }
    return 0;
}
