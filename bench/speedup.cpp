// Times the fast search against the straightforward reference on the
// benchmark's workloads, in both of the module's modes, checks that their
// results are identical, and prints a table. Usage: tessel_speedup [max_n]
#include "packing_drivers.hpp"

#include <tessel/concurrent_search.hpp>

#include <algorithm>
#include <array>
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

// Time of each ordering's bin-size search, summed over the attempts of a
// single-bin run: the search is what several threads share out, one
// ordering each, so the slowest ordering bounds a six-core run.
void print_ordering_times(const int max_n) {
    std::printf("| workload | n | sorting ms | ordering 0 ms | 1 | 2 | 3 | 4 | 5 | all six ms | slowest / all |\n");
    std::printf("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (const std::string name : {"sprites", "mixed", "thin"}) {
        for (int n = 10000; n <= max_n; n *= 10) {
            std::array<double, 6> search_ms{};
            double sort_ms = 0;
            const auto timing_packer = [&](std::vector<rect_xywhf>& records, int limit, auto& on_inserted,
                                           auto& on_not_inserted, flipping_option flipping) {
                fast_root root{rect_wh()};
                root.flipping_mode = flipping;
                const auto orderings = tessel::default_orderings<rect_xywhf>();
                for (std::size_t i = 0; i < search_ms.size(); ++i) {
                    std::vector<rect_xywhf*> order;
                    auto start = std::chrono::steady_clock::now();
                    tessel::collect_subjects(order, records);
                    tessel::with_element(orderings, i, [&](const auto& c) { std::sort(order.begin(), order.end(), c); });
                    auto sorted = std::chrono::steady_clock::now();
                    tessel::best_packing_for_ordering(root, order, rect_wh(limit, limit), 1);
                    sort_ms += std::chrono::duration<double, std::milli>(sorted - start).count();
                    search_ms[i] +=
                        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sorted).count();
                }
                return fast_packer{}(records, limit, on_inserted, on_not_inserted, flipping);
            };
            single_bin(workload(name, n), flipping_option::FLIPPING_ALLOWED, timing_packer);
            double all = 0;
            double slowest = 0;
            std::printf("| %s | %d | %.1f |", name.c_str(), n, sort_ms);
            for (const double ms : search_ms) {
                std::printf(" %.1f |", ms);
                all += ms;
                slowest = std::max(slowest, ms);
            }
            std::printf(" %.1f | %.2f |\n", all, slowest / all);
            std::fflush(stdout);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::string(argv[1]) == "--orderings") {
        print_ordering_times(std::atoi(argv[2]));
        return 0;
    }
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
