// Exact, exhaustive top-k search by cosine similarity, sequential and parallel.
//
// Ranking: higher score first; equal scores (-0.0 and +0.0 included) in store
// order; NaN scores after every number, among themselves in store order. This
// is a total order, so both searches give one answer and always agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "bounds.hpp"
#include "outcome.hpp"
#include "store.hpp"

namespace quillmere {

struct ScoredId {
    float score;
    std::uint64_t id;
};

Outcome<std::vector<ScoredId>> search(const Vectorstore& store, const float* query, std::size_t query_length,
                                      std::size_t top_k);

Outcome<std::vector<ScoredId>> parallel_search(const Vectorstore& store, const float* query,
                                               std::size_t query_length, std::size_t top_k,
                                               std::optional<std::size_t> n_threads);

std::string query_length_error(std::size_t length, std::size_t expected);

// Many queries at once (batch.cpp). `queries` holds `count` queries of
// vector_size() floats each, one after another; the caller has checked
// their lengths (batch_query_length_error() is the text for one that
// fails). `allowed`, when given, has one bit per entry, bit p % 8 of byte
// p / 8 for store position p: an entry whose bit is 0 never enters a result.
struct AllowedMask {
    const std::uint8_t* bits;
    std::size_t bytes;
};
std::string batch_query_length_error(std::size_t index, std::size_t length, std::size_t expected);

// Result i equals search(query i, top_k) over the allowed entries, bit for bit.
Outcome<std::vector<std::vector<ScoredId>>> search_batch(const Vectorstore& store, const float* queries,
                                                         std::size_t count, std::size_t top_k,
                                                         std::optional<std::size_t> n_threads,
                                                         std::optional<AllowedMask> allowed = std::nullopt);

// Result i holds every allowed entry whose score, widened to double, is at
// least min_score (never NaN), best first, equal scores in store order.
Outcome<std::vector<std::vector<ScoredId>>> range_search(const Vectorstore& store, const float* queries,
                                                         std::size_t count, double min_score,
                                                         std::optional<std::size_t> n_threads,
                                                         std::optional<AllowedMask> allowed = std::nullopt);

// How a parallel search divides n stored vectors among t threads: chunks of
// `size` vectors (the last one shorter), `count` of them.
struct ChunkPlan {
    std::size_t size;
    std::size_t count;
};
ChunkPlan plan_chunks(std::size_t n, std::size_t threads) noexcept;  // n >= 1

// The number of threads the process may usefully run: the affinity set (or
// the online processors), lowered to a control-group CPU quota; 4 when the
// platform cannot tell. Never 0.
std::size_t available_parallelism();

namespace detail {

struct Hit {
    float score;
    std::size_t position;
};

inline bool ranks_before(const Hit& a, const Hit& b) noexcept {
    const bool a_nan = a.score != a.score;
    const bool b_nan = b.score != b.score;
    if (a_nan != b_nan) return b_nan;
    if (!a_nan && a.score != b.score) return a.score > b.score;
    return a.position < b.position;
}

// How a scan runs: the instruction set of its passes, and how much it may
// skip. `Sketch` reads the sketch, then the high plane, then both planes of
// the blocks still in question; `Planes` starts at the high plane; `Full`
// scores every block exactly. Every combination gives the same hits, bit
// for bit. `Amx` is `Avx512` with the batch's sketch pass on AMX tiles.
enum class KernelId { Portable, Avx2, Avx512, Amx };
enum class ScanMode { Sketch, Planes, Full };

// Blocks each level read, for measurements.
struct ScanStats {
    std::size_t sketch_blocks = 0;  // in a batch: coarse bounds, from the batch pass
    std::size_t sketch_refined = 0;  // in a batch: blocks that passed them and got the fine sketch bound
    std::size_t plane_blocks = 0;
    std::size_t exact_blocks = 0;
};

struct ScanOptions {
    KernelId kernel;
    ScanMode mode;
    // Multiplies the proven bound of the first level read; only tests set it
    // below 1, to show that their data is sharp enough to break a bound that
    // is too small.
    double slack_scale = 1.0;
    ScanStats* stats = nullptr;  // counts blocks per level when set
    // A batch's scans take the blocks its coarse pass flagged, rather than
    // testing every lane of U again (the same blocks; false: the plain test).
    bool batch_flags = true;
    // A top-k scan keeps reading bounds through its first runs, whatever
    // share of blocks passes them (false: it may score the next run exactly
    // from the first).
    bool patient_start = true;
    // A scan reads its bounds in every run, even where they rule out too
    // little to pay, and never turns to exact scores instead (for measuring
    // what the bounds alone leave to read).
    bool keep_bounds = false;
};

// The process's choice, made once: the widest kernel the CPU supports and
// the three-level scan. QUILLMERE_KERNEL=portable|avx2|avx512 forces a
// narrower kernel (avx512: AMX off), QUILLMERE_AMX=off keeps AMX off,
// QUILLMERE_SCAN=planes the scan without the sketch and QUILLMERE_SCAN=full
// the full scan. QUILLMERE_BATCH_FLAGS=off: a batch's scans test every lane
// of the coarse bounds rather than take the coarse pass's flags.
const ScanOptions& default_scan_options() noexcept;
bool kernel_supported(KernelId kernel) noexcept;

// The query's part of the bounds, computed once per search.
PreparedQuery prepare_query(const float* query, std::size_t d, const ScanOptions& options);

// Scores the store positions [first, last) against the query and keeps the
// best `top_k` of them (sorted, best first) in `out`, which must have room.
void scan_range(const Vectorstore& store, const PreparedQuery& query, std::size_t top_k, std::size_t first,
                std::size_t last, std::vector<Hit>& out, const ScanOptions& options = default_scan_options());
void scan_range(const Vectorstore& store, const float* query, std::size_t top_k, std::size_t first,
                std::size_t last, std::vector<Hit>& out, const ScanOptions& options = default_scan_options());

// What a scan keeps: the best top_k hits, or (range) every hit whose score,
// widened to double, is at least min_score.
struct ScanGoal {
    std::size_t top_k;
    bool range;
    double min_score;
};

// Scans store positions [first, last) for `count` queries together
// (batch.cpp): outs[j] gets what scan_range() gives query j alone, or for a
// range goal every qualifying hit, sorted best first. `allowed` may be null.
void scan_batch(const Vectorstore& store, const PreparedQuery* queries, std::size_t count, const ScanGoal& goal,
                std::size_t first, std::size_t last, const std::uint8_t* allowed, std::vector<Hit>* outs,
                const ScanOptions& options = default_scan_options());

// The instruction set of a kernel's batch sketch pass.
const char* sketch_batch_name(KernelId kernel) noexcept;

// Which scoring kernel the process uses: "amx", "avx512", "avx2" or "portable".
const char* kernel_name() noexcept;

// Thread plumbing of the parallel search, exposed so tests can inject failures.
using SpawnFn = int (*)(void** handle, void* (*routine)(void*), void* arg);
using JoinFn = void (*)(void* handle);
struct ThreadOps {
    SpawnFn spawn;
    JoinFn join;
};
const ThreadOps& posix_threads() noexcept;

// Runs task(i) for i in [0, count) on one new thread each, started in order
// and joined in order. A spawn failure stops further starts. Every started
// thread is joined before this returns; then the first failure is reported.
std::optional<Error> run_on_threads(std::size_t count, void (*task)(void* context, std::size_t index),
                                    void* context, const ThreadOps& ops = posix_threads());

struct ParallelismSources {
    std::size_t affinity;               // CPUs in the affinity set, 0 when unknown
    long online;                        // online processors, <= 0 when unknown
    std::optional<std::size_t> quota;   // control-group CPU limit, if any
};
std::size_t combine_parallelism(const ParallelismSources& sources) noexcept;
ParallelismSources read_parallelism_sources();
// "max 100000" -> none; "150000 100000" -> 1; malformed -> none.
std::optional<std::size_t> parse_cpu_max(const std::string& text);
std::optional<std::size_t> quota_limit(long long quota, long long period) noexcept;

}  // namespace detail
}  // namespace quillmere
