// Throughput of the two import readers, the grammar parser and the exact scanner, over a tree of
// Python sources; whether their cost grows linearly with the input; and how much memory one large
// read takes beyond its text.
// Usage: parser_bench <directory> [rounds] [--corpus-only]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "minimal_parser/parser.hpp"
#include "scanner/scanner.hpp"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
namespace parser = modweave::minimal_parser;

std::vector<std::string> read_sources(const fs::path& root) {
    std::vector<std::string> sources;
    std::error_code error;
    for (fs::recursive_directory_iterator
             it(root, fs::directory_options::skip_permission_denied, error),
         end;
         it != end; it.increment(error)) {
        if (error) break;
        if (!it->is_regular_file(error) || it->path().extension() != ".py") continue;
        std::ifstream file(it->path(), std::ios::binary);
        std::string text(static_cast<std::size_t>(it->file_size(error)), '\0');
        file.read(text.data(), static_cast<std::streamsize>(text.size()));
        text.resize(static_cast<std::size_t>(file.gcount()));
        sources.push_back(std::move(text));
    }
    return sources;
}

// One of the readers: the name it reports under and the number of statements it finds in a text.
struct Reader {
    const char* name;
    std::size_t (*count)(const std::string& source);
};

const Reader readers[] = {
    {"parse", [](const std::string& source) { return parser::parse(source).size(); }},
    {"scan", [](const std::string& source) { return modweave::scanner::scan(source).size(); }},
};

// Best of `rounds` runs of reading every source once; returns seconds and the records found.
double best_time(const Reader& reader, const std::vector<std::string>& sources, int rounds,
                 std::size_t& records) {
    double best = 1e300;
    for (int round = 0; round < rounds; ++round) {
        records = 0;
        const auto start = Clock::now();
        for (const std::string& source : sources)
            records += reader.count(source);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        best = std::min(best, seconds);
    }
    return best;
}

// The process's peak resident size so far, in MB.
double peak_resident_megabytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

double megabytes_per_second(std::size_t bytes, double seconds) {
    return static_cast<double>(bytes) / 1e6 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <directory of .py files> [rounds]\n", argv[0]);
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    const std::vector<std::string> sources = read_sources(argv[1]);
    std::size_t total_bytes = 0;
    for (const std::string& source : sources)
        total_bytes += source.size();
    if (sources.empty()) {
        std::fprintf(stderr, "no .py files under %s\n", argv[1]);
        return 1;
    }

    for (const Reader& reader : readers) {
        std::size_t records = 0;
        const double seconds = best_time(reader, sources, rounds, records);
        std::printf("corpus: %zu files, %.1f MB, %zu import statements\n", sources.size(),
                    static_cast<double>(total_bytes) / 1e6, records);
        std::printf("%s: %.3f s, %.0f MB/s\n", reader.name, seconds,
                    megabytes_per_second(total_bytes, seconds));
    }
    if (argc > 3 && std::string(argv[3]) == "--corpus-only") return 0;

    // Linearity: the largest file repeated 1, 10 and 100 times should be read at the same rate.
    // The peak resident size only grows, so the reader that keeps less goes first: its growth is
    // then measured from the text's own peak, not from that of the other reader.
    const std::string& largest = *std::max_element(
        sources.begin(), sources.end(),
        [](const std::string& a, const std::string& b) { return a.size() < b.size(); });
    for (const Reader& reader : {readers[1], readers[0]}) {
        double base_rate = 0;
        for (const int copies : {1, 10, 100}) {
            std::string repeated;
            repeated.reserve(largest.size() * static_cast<std::size_t>(copies) + 1);
            for (int i = 0; i < copies; ++i)
                repeated += largest;
            std::vector<std::string> single;
            single.push_back(std::move(repeated));
            std::size_t found = 0;
            // Everything the read keeps beyond the text raises the peak; the text and the corpus
            // are already resident. Only the 100x text outgrows the peaks of the earlier runs.
            const double resident_before = peak_resident_megabytes();
            const double time = best_time(reader, single, rounds, found);
            const double growth = peak_resident_megabytes() - resident_before;
            const double rate = megabytes_per_second(single.front().size(), time);
            if (copies == 1) base_rate = rate;
            std::printf(
                "%s linearity: %3dx largest file (%.1f MB): %.4f s, %.0f MB/s (%.2f of 1x)\n",
                reader.name, copies, static_cast<double>(single.front().size()) / 1e6, time, rate,
                rate / base_rate);
            if (copies == 100) {
                std::printf("%s memory: peak grew by %.1f MB during the 100x reads (%zu records)\n",
                            reader.name, growth, found);
            }
        }
    }
    return 0;
}
