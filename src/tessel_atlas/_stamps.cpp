// tessel_atlas._stamps: the stamps of many files at once, for a run that
// tells which of a project's sprites were saved since the last build.
//
// What it does: stats each path (following links, as os.stat does) on
// several threads, with the interpreter lock released, and gives each
// file's stamp as the text resaved.py records, "size mtime_ns ctime_ns
// inode", with the numbers os.stat gives.
//
// What it does not: run anywhere but Linux (the module is built there
// only; elsewhere the same loop runs on os.stat), or tell why a stat
// failed.
//
// Costs: a stat per path and a short string each. On 20,000 sprites it
// takes about a third of os.stat's time in a Python loop on two cores,
// most of which went to making os.stat_result's fields.
#include <pybind11/pybind11.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace py = pybind11;

namespace {

// Seconds and nanoseconds as one count of nanoseconds, in full: a time
// past 2262 does not fit 64 bits, and os.stat's would be exact.
std::string nanoseconds(const timespec& time) {
    __int128 total = static_cast<__int128>(time.tv_sec) * 1000000000 + time.tv_nsec;
    const bool negative = total < 0;
    unsigned __int128 left = negative ? -static_cast<unsigned __int128>(total) : static_cast<unsigned __int128>(total);
    char digits[48];
    char* end = digits + sizeof digits;
    char* at = end;
    do {
        *--at = static_cast<char>('0' + static_cast<int>(left % 10));
        left /= 10;
    } while (left != 0);
    if (negative) {
        *--at = '-';
    }
    return std::string(at, end);
}

// A file's stamp; "" where it changed at or after `recent` ns, too close to
// tell a second change by; nothing where it cannot be statted.
bool stamp(const std::string& path, __int128 recent, std::string& text) {
    struct stat info {};
    if (path.find('\0') != std::string::npos || ::stat(path.c_str(), &info) != 0) {
        return false;
    }
    auto ns = [](const timespec& time) { return static_cast<__int128>(time.tv_sec) * 1000000000 + time.tv_nsec; };
    if (std::max(ns(info.st_mtim), ns(info.st_ctim)) >= recent) {
        text.clear();
        return true;
    }
    text = std::to_string(static_cast<long long>(info.st_size)) + ' ' + nanoseconds(info.st_mtim) + ' ' +
           nanoseconds(info.st_ctim) + ' ' + std::to_string(static_cast<unsigned long long>(info.st_ino));
    return true;
}

py::list stamp_texts(const py::list& paths, long long recent, int threads) {
    const std::size_t count = paths.size();
    std::vector<std::string> encoded(count);
    for (std::size_t i = 0; i < count; ++i) {
        // As os.stat encodes a path: the file system's encoding, undecodable bytes carried through.
        const py::object bytes = py::reinterpret_steal<py::object>(PyUnicode_EncodeFSDefault(paths[i].ptr()));
        if (!bytes) {
            throw py::error_already_set();
        }
        encoded[i] = py::cast<std::string>(bytes);
    }
    std::vector<std::string> texts(count);
    std::vector<char> found(count, 0);
    {
        const py::gil_scoped_release unlocked;
        const std::size_t workers = std::clamp<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)), 1,
                                                            std::max<std::size_t>(count / 1024, 1));
        auto work = [&](std::size_t first, std::size_t last) {
            for (std::size_t i = first; i < last; ++i) {
                found[i] = stamp(encoded[i], recent, texts[i]);
            }
        };
        std::vector<std::thread> helpers;
        for (std::size_t w = 1; w < workers; ++w) {
            helpers.emplace_back(work, count * w / workers, count * (w + 1) / workers);
        }
        work(0, count / workers);
        for (auto& helper : helpers) {
            helper.join();
        }
    }
    py::list result(count);
    for (std::size_t i = 0; i < count; ++i) {
        result[i] = found[i] ? py::object(py::str(texts[i])) : py::object(py::none());
    }
    return result;
}

}  // namespace

PYBIND11_MODULE(_stamps, m) {
    m.doc() = "The stamps of many files at once (Linux).";
    m.def("stamp_texts", &stamp_texts, py::arg("paths"), py::arg("recent"), py::arg("threads"),
          "Each path's stamp as text, \"size mtime_ns ctime_ns inode\" as os.stat gives them; \"\" where the "
          "file was modified or changed at or after `recent` ns; None where it cannot be statted.");
}
