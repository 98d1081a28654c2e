// What each level of a search reads, and how fast each scan mode runs, from
// C++ without the interpreter: for every scan mode and kernel, the blocks
// that the sketch, the high plane and the exact pass read per query, the
// bytes that makes as a share of the store's 4·n·d, and the median time per
// query against a native read of the same 4·n·d bytes in the same run.
//
//     cmake -S . -B build/bench -DQUILLMERE_PYTHON=OFF -DQUILLMERE_BENCH=ON && cmake --build build/bench
//     build/bench/scan_levels random 1000000 128        # seeded standard-normal rows
//     build/bench/scan_levels npy bench/results/stdlib_minilm.npy
//
// Options after those: --queries Q (default 32), --top K[,K...] (default 10,100;
// the first with --least-similar),
// --batch 1 (also every query at once through the batch driver, one thread:
// what each level reads per query, and the time per query).
// --least-similar S[,S...] (a filter that allows only the share S of entries
// least similar to each query, the worst case for a filtered top k: the k best
// allowed entries sit among many allowed ones of about their score). For each
// share: the masked top-k scan's levels and time; the same with keep_bounds;
// and a range scan at the k-th allowed score that never gives up its bounds,
// which reads what any scan of these bounds must read, since a top-k scan's
// threshold never rises above that score. Times are against the unfiltered scan.
// Real embeddings hold their last Q rows out as queries.
#include <immintrin.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "search.hpp"
#include "store.hpp"

using namespace quillmere;

namespace {

__attribute__((target("avx512f"))) std::uint64_t read_floor(const char* p, std::size_t bytes) {
    __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (std::size_t i = 0; i + 512 <= bytes; i += 512) {
        a0 = _mm512_or_si512(a0, _mm512_loadu_si512(p + i));
        a1 = _mm512_or_si512(a1, _mm512_loadu_si512(p + i + 64));
        a2 = _mm512_or_si512(a2, _mm512_loadu_si512(p + i + 128));
        a3 = _mm512_or_si512(a3, _mm512_loadu_si512(p + i + 192));
        a4 = _mm512_or_si512(a4, _mm512_loadu_si512(p + i + 256));
        a5 = _mm512_or_si512(a5, _mm512_loadu_si512(p + i + 320));
        a6 = _mm512_or_si512(a6, _mm512_loadu_si512(p + i + 384));
        a7 = _mm512_or_si512(a7, _mm512_loadu_si512(p + i + 448));
    }
    a0 = _mm512_or_si512(_mm512_or_si512(_mm512_or_si512(a0, a1), _mm512_or_si512(a2, a3)),
                         _mm512_or_si512(_mm512_or_si512(a4, a5), _mm512_or_si512(a6, a7)));
    std::uint64_t w[8];
    std::memcpy(w, &a0, sizeof w);
    return w[0] | w[1] | w[2] | w[3] | w[4] | w[5] | w[6] | w[7];
}

__attribute__((target("avx2"))) std::uint64_t read_floor_avx2(const char* p, std::size_t bytes) {
    __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0, a4 = a0, a5 = a0, a6 = a0, a7 = a0;
    for (std::size_t i = 0; i + 256 <= bytes; i += 256) {
#define at(k) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + (k)))
        a0 = _mm256_or_si256(a0, at(0));
        a1 = _mm256_or_si256(a1, at(32));
        a2 = _mm256_or_si256(a2, at(64));
        a3 = _mm256_or_si256(a3, at(96));
        a4 = _mm256_or_si256(a4, at(128));
        a5 = _mm256_or_si256(a5, at(160));
        a6 = _mm256_or_si256(a6, at(192));
        a7 = _mm256_or_si256(a7, at(224));
#undef at
    }
    a0 = _mm256_or_si256(_mm256_or_si256(_mm256_or_si256(a0, a1), _mm256_or_si256(a2, a3)),
                         _mm256_or_si256(_mm256_or_si256(a4, a5), _mm256_or_si256(a6, a7)));
    std::uint64_t w[4];
    std::memcpy(w, &a0, sizeof w);
    return w[0] | w[1] | w[2] | w[3];
}

std::uint64_t native_read(const float* data, std::size_t count) {
    const auto* p = reinterpret_cast<const char*>(data);
    return __builtin_cpu_supports("avx512f") ? read_floor(p, count * 4) : read_floor_avx2(p, count * 4);
}

// A C-order float32 .npy of two dimensions.
std::vector<float> load_npy(const std::string& path, std::size_t& n, std::size_t& d) {
    std::ifstream in(path, std::ios::binary);
    char magic[8];
    in.read(magic, 8);
    if (!in || std::memcmp(magic, "\x93NUMPY", 6) != 0) throw std::runtime_error("not a .npy file: " + path);
    std::size_t header_length = 0;
    if (magic[6] == 1) {
        unsigned char b[2];
        in.read(reinterpret_cast<char*>(b), 2);
        header_length = b[0] | (b[1] << 8);
    } else {
        unsigned char b[4];
        in.read(reinterpret_cast<char*>(b), 4);
        header_length = b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<std::size_t>(b[3]) << 24);
    }
    std::string header(header_length, '\0');
    in.read(header.data(), static_cast<std::streamsize>(header_length));
    if (header.find("'<f4'") == std::string::npos || header.find("'fortran_order': False") == std::string::npos) {
        throw std::runtime_error("expected C-order float32: " + header);
    }
    const auto open = header.find('(', header.find("'shape'"));
    std::istringstream shape(header.substr(open + 1));
    char comma;
    shape >> n >> comma >> d;
    std::vector<float> rows(n * d);
    in.read(reinterpret_cast<char*>(rows.data()), static_cast<std::streamsize>(rows.size() * 4));
    if (!in) throw std::runtime_error("short .npy file: " + path);
    return rows;
}

// The floor reads a copy of the rows in memory aligned for transparent huge
// pages, as the store's own planes are (and as numpy's large arrays are):
// with small pages, TLB misses would slow the floor and flatter the searches.
struct HugeCopy {
    explicit HugeCopy(const std::vector<float>& rows) : bytes(rows.size() * sizeof(float)) {
        constexpr std::size_t kHuge = std::size_t{2} << 20;
        const std::size_t length = (bytes + kHuge - 1) / kHuge * kHuge;
        if (posix_memalign(reinterpret_cast<void**>(&data), kHuge, length) != 0) throw std::bad_alloc();
        madvise(data, length, MADV_HUGEPAGE);
        std::memcpy(data, rows.data(), bytes);
    }
    ~HugeCopy() { std::free(data); }
    float* data = nullptr;
    std::size_t bytes;
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Levels {
    double ms = 0, sketch = 0, planes = 0, exact = 0;
};

// Median time and mean share of blocks per level, over the queries, of a scan
// of one query under its mask.
template <class Scan>
Levels measure(std::size_t queries, std::size_t blocks, Scan&& scan) {
    std::vector<double> times;
    Levels levels;
    for (std::size_t q = 0; q < queries; ++q) {
        detail::ScanStats stats;
        const double start = now();
        scan(q, &stats);
        times.push_back(now() - start);
        levels.sketch += static_cast<double>(stats.sketch_blocks) / static_cast<double>(queries * blocks);
        levels.planes += static_cast<double>(stats.plane_blocks) / static_cast<double>(queries * blocks);
        levels.exact += static_cast<double>(stats.exact_blocks) / static_cast<double>(queries * blocks);
    }
    levels.ms = median(times) * 1e3;
    return levels;
}

void least_similar(const Vectorstore& store, const std::vector<float>& query_rows, std::size_t queries,
                   std::size_t k, const std::vector<double>& shares, const HugeCopy& floor_rows) {
    const std::size_t n = store.size(), d = store.vector_size(), blocks = (n + kLanes - 1) / kLanes;
    const detail::ScanOptions plain = detail::default_scan_options();
    // Each query's full ranking, once.
    std::vector<std::vector<detail::Hit>> rankings(queries);
    for (std::size_t q = 0; q < queries; ++q) {
        rankings[q].reserve(n);
        detail::scan_range(store, query_rows.data() + q * d, n, 0, n, rankings[q],
                           {plain.kernel, detail::ScanMode::Full});
    }
    const auto top = [&](const detail::ScanOptions& options, const std::vector<std::vector<std::uint8_t>>* masks) {
        return measure(queries, blocks, [&](std::size_t q, detail::ScanStats* stats) {
            detail::ScanOptions o = options;
            o.stats = stats;
            const detail::PreparedQuery prepared = detail::prepare_query(query_rows.data() + q * d, d, o);
            std::vector<detail::Hit> out;
            out.reserve(k);
            detail::scan_batch(store, &prepared, 1, {k, false, 0.0}, 0, n, masks ? (*masks)[q].data() : nullptr, &out, o);
        });
    };
    const Levels unfiltered = top(plain, nullptr);
    std::vector<double> floors;
    volatile std::uint64_t sink = 0;
    for (std::size_t q = 0; q < queries; ++q) {
        const double start = now();
        sink = sink + native_read(floor_rows.data, floor_rows.bytes / sizeof(float));
        floors.push_back(now() - start);
    }
    std::printf("%zu x %zu, top %zu, %zu queries, %s kernel; native read floor of 4nd %.3f ms; unfiltered %.3f ms "
                "(sketch %.4f planes %.4f exact %.5f of blocks)\n", n, d, k, queries, detail::kernel_name(),
                median(floors) * 1e3, unfiltered.ms, unfiltered.sketch, unfiltered.planes, unfiltered.exact);
    for (double share : shares) {
        const std::size_t allowed = std::max<std::size_t>(k, static_cast<std::size_t>(share * static_cast<double>(n)));
        std::vector<std::vector<std::uint8_t>> masks(queries, std::vector<std::uint8_t>((n + 7) / 8));
        std::vector<double> kth(queries);
        for (std::size_t q = 0; q < queries; ++q) {
            for (std::size_t i = n - allowed; i < n; ++i) {
                const std::size_t p = rankings[q][i].position;
                masks[q][p / 8] |= static_cast<std::uint8_t>(1u << (p % 8));
            }
            kth[q] = rankings[q][n - allowed + k - 1].score;
        }
        detail::ScanOptions kept = plain;
        kept.keep_bounds = true;
        detail::ScanOptions full = plain;
        full.mode = detail::ScanMode::Full;
        const Levels masked = top(plain, &masks), kept_masked = top(kept, &masks), exact = top(full, &masks);
        const Levels least = measure(queries, blocks, [&](std::size_t q, detail::ScanStats* stats) {
            detail::ScanOptions o = kept;
            o.stats = stats;
            const detail::PreparedQuery prepared = detail::prepare_query(query_rows.data() + q * d, d, o);
            std::vector<detail::Hit> out;
            detail::scan_batch(store, &prepared, 1, {0, true, kth[q]}, 0, n, masks[q].data(), &out, o);
        });
        const auto row = [&](const char* name, const Levels& l) {
            std::printf("  %-34s sketch %6.4f  planes %6.4f  exact %6.4f of blocks  %7.3f ms  %.2fx unfiltered\n",
                        name, l.sketch, l.planes, l.exact, l.ms, l.ms / unfiltered.ms);
        };
        std::printf("least similar %g%%:\n", share * 100);
        row("top k (as shipped)", masked);
        row("top k, keeping its bounds", kept_masked);
        row("range at the k-th allowed score", least);
        row("every allowed block scored exactly", exact);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: scan_levels random N D | npy FILE [--queries Q] [--top K,K]\n");
        return 2;
    }
    std::size_t queries = 32;
    bool batch = false;
    std::vector<std::size_t> tops{10, 100};
    std::vector<double> shares;
    const bool random = std::strcmp(argv[1], "random") == 0;
    for (int i = random ? 4 : 3; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--queries") == 0) queries = std::strtoul(argv[i + 1], nullptr, 10);
        if (std::strcmp(argv[i], "--batch") == 0) batch = std::strcmp(argv[i + 1], "0") != 0;
        if (std::strcmp(argv[i], "--least-similar") == 0) {
            std::istringstream list(argv[i + 1]);
            for (std::string share; std::getline(list, share, ',');) shares.push_back(std::stod(share));
        }
        if (std::strcmp(argv[i], "--top") == 0) {
            tops.clear();
            std::istringstream list(argv[i + 1]);
            for (std::string k; std::getline(list, k, ',');) tops.push_back(std::stoul(k));
        }
    }
    std::size_t n = 0, d = 0;
    std::vector<float> rows, query_rows;
    if (random) {
        n = std::strtoul(argv[2], nullptr, 10);
        d = std::strtoul(argv[3], nullptr, 10);
        std::mt19937 rng(1);
        std::normal_distribution<float> normal;
        rows.resize(n * d);
        for (auto& x : rows) x = normal(rng);
        query_rows.resize(queries * d);
        for (auto& x : query_rows) x = normal(rng);
    } else {
        rows = load_npy(argv[2], n, d);
        queries = std::min(queries, n / 2);
        n -= queries;
        query_rows.assign(rows.begin() + static_cast<std::ptrdiff_t>(n * d), rows.end());
        rows.resize(n * d);
    }
    Vectorstore store(d);
    for (std::size_t i = 0; i < n; ++i) store.insert(rows.data() + i * d, d, i);
    const HugeCopy floor_rows(rows);

    if (!shares.empty()) {
        least_similar(store, query_rows, std::min<std::size_t>(queries, 8), tops.front(), shares, floor_rows);
        return 0;
    }
    std::printf("%zu x %zu, %zu queries; kernels on this CPU:", n, d, queries);
    std::vector<detail::KernelId> kernels;
    for (auto k : {detail::KernelId::Amx, detail::KernelId::Avx512, detail::KernelId::Avx2, detail::KernelId::Portable}) {
        if (detail::kernel_supported(k)) kernels.push_back(k);
    }
    std::printf(" %zu\n", kernels.size());
    const double blocks = static_cast<double>(n / kLanes);
    const double sketch_row = static_cast<double>(sketch_groups(d) * kGroup);
    const char* kernel_names[] = {"portable", "avx2", "avx512", "amx"};
    const char* mode_names[] = {"sketch", "planes", "full"};
    for (auto kernel : kernels) {
        for (auto mode : {detail::ScanMode::Sketch, detail::ScanMode::Planes, detail::ScanMode::Full}) {
            for (std::size_t k : tops) {
                detail::ScanStats stats;
                detail::ScanOptions options{kernel, mode, 1.0, &stats};
                std::vector<detail::Hit> out;
                out.reserve(k);
                std::vector<double> times, floors;
                volatile std::uint64_t sink = 0;
                for (std::size_t q = 0; q < queries; ++q) {
                    double start = now();
                    sink = sink + native_read(floor_rows.data, rows.size());
                    floors.push_back(now() - start);
                    start = now();
                    detail::scan_range(store, query_rows.data() + q * d, k, 0, n, out, options);
                    times.push_back(now() - start);
                }
                const double per_query = static_cast<double>(queries);
                const double sketch = static_cast<double>(stats.sketch_blocks) / per_query / blocks;
                const double planes = static_cast<double>(stats.plane_blocks) / per_query / blocks;
                const double exact = static_cast<double>(stats.exact_blocks) / per_query / blocks;
                // Bytes per stored vector read by each level, against 4·d.
                const double share = (sketch * sketch_row + planes * 2.0 * d + exact * 4.0 * d) / (4.0 * d);
                std::printf("%-8s %-6s top %-4zu  sketch %6.4f  planes %6.4f  exact %7.5f of blocks  "
                            "reads %.3f of 4nd  %7.3f ms  %.2fx floor\n",
                            kernel_names[static_cast<int>(kernel)], mode_names[static_cast<int>(mode)], k, sketch,
                            planes, exact, share, median(times) * 1e3, median(floors) / median(times));
                if (!batch) continue;
                // The same queries at once. Each query's levels are counted
                // as its own scan read them; the sketch of a run is streamed
                // from memory once for the whole batch.
                detail::ScanStats batch_stats;
                const detail::ScanOptions batch_options{kernel, mode, 1.0, &batch_stats};
                std::vector<detail::PreparedQuery> prepared;
                for (std::size_t q = 0; q < queries; ++q) {
                    prepared.push_back(detail::prepare_query(query_rows.data() + q * d, d, batch_options));
                }
                std::vector<std::vector<detail::Hit>> outs(queries);
                for (auto& o : outs) o.reserve(k);
                double start = now();
                detail::scan_batch(store, prepared.data(), queries, detail::ScanGoal{k, false, 0.0}, 0, n, nullptr,
                                   outs.data(), batch_options);
                const double batch_time = (now() - start) / per_query;
                const double b_sketch = static_cast<double>(batch_stats.sketch_blocks) / per_query / blocks;
                const double b_planes = static_cast<double>(batch_stats.plane_blocks) / per_query / blocks;
                const double b_exact = static_cast<double>(batch_stats.exact_blocks) / per_query / blocks;
                std::printf("%-8s %-6s top %-4zu  batch of %zu, per query: sketch %6.4f  planes %6.4f  exact %7.5f "
                            "of blocks (fine sketch again %6.4f)  %7.3f ms  %.1fx the loop (sketch pass: %s)\n",
                            kernel_names[static_cast<int>(kernel)], mode_names[static_cast<int>(mode)], k, queries,
                            b_sketch, b_planes, b_exact, static_cast<double>(batch_stats.sketch_refined) / per_query / blocks,
                            batch_time * 1e3, median(times) / batch_time,
                            detail::sketch_batch_name(kernel));
            }
        }
    }
}
