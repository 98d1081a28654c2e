// Many queries per read of the store: exact top-k and range search for a
// batch of queries.
//
// Each query keeps its own scan (scan.cpp): its threshold, lower-bound heap,
// deferred blocks, and the plane and exact passes over the few blocks that
// survive its bounds. What the queries share is the first level: the driver
// walks the runs of blocks once, and for each run computes the sketch bounds
// of a group of queries in one batch pass (passes.cpp), which reads each
// block's codes once for the whole group, then hands each query its bounds.
// A query whose scan has stopped reading bounds (scan.cpp: where they cannot
// rule blocks out) takes the run on its own. Integer sketch sums are exact,
// so every query gets the bits that it gets alone, and so does its answer.
//
// Memory: per query its scan state (O(top_k + deferred blocks)); per worker
// one group's bounds for one run. There is never a score per (entry, query).
//
// Threads: like parallel_search, the store is cut into one chunk per
// worker; each worker runs every query over its chunk, and the calling
// thread merges each query's chunk results in chunk order. The order of
// ranking is total, so the merge gives the answer of one scan. A batch of
// at least 16 queries per worker is shared by queries instead, each worker
// scanning the whole store. With one worker the calling thread does it.
// By default a call that reads little starts fewer workers than the
// machine has (default_workers()); an explicit n_threads is taken as given.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string>

#include "passes.hpp"
#include "scan.hpp"
#include "search.hpp"

namespace quillmere {

using detail::Hit;

namespace detail {
namespace {

// Queries whose sketch bounds one batch pass computes together: the AMX
// tile's 16 rows, and a group's bounds for one run (U and L, 2 * 16 * 8 KiB) stay
// in the second-level cache beside the run's codes.
constexpr std::size_t kBatchGroup = 16;

}  // namespace

void scan_batch(const Vectorstore& store, const PreparedQuery* queries, std::size_t count, const ScanGoal& goal,
                std::size_t first, std::size_t last, const std::uint8_t* allowed, std::vector<Hit>* outs,
                const ScanOptions& options) {
    for (std::size_t j = 0; j < count; ++j) outs[j].clear();
    if (count == 0 || first >= last || (!goal.range && goal.top_k == 0)) return;
    auto scratch = std::make_unique<ScanScratch>();
    if (count == 1) {
        // Alone, a query streams the sketch at the speed of memory either
        // way: its own scan is the one-query search.
        Scan(store, queries[0], goal, first, last, allowed, outs[0], options, *scratch).run();
        return;
    }
    std::vector<Scan> scans;
    scans.reserve(count);
    for (std::size_t j = 0; j < count; ++j) {
        scans.emplace_back(store, queries[j], goal, first, last, allowed, outs[j], options, *scratch);
    }
    const Passes& passes = passes_for(options.kernel);
    constexpr std::size_t kStride = kRun * kLanes;
    std::vector<float> upper(kBatchGroup * kStride), lower(kBatchGroup * kStride);
    std::vector<std::size_t> coarse, fine;
    coarse.reserve(count);
    fine.reserve(count);
    const PreparedQuery* group[kBatchGroup];
    float limits[kBatchGroup];
    std::uint64_t passing[kBatchGroup];
    for_each_run(store, first, last, [&](std::size_t segment, std::size_t begin, std::size_t stop) {
        coarse.clear();
        fine.clear();
        for (std::size_t j = 0; j < count; ++j) {
            switch (scans[j].wants()) {
                case Scan::Wants::Coarse: coarse.push_back(j); break;
                case Scan::Wants::Fine: fine.push_back(j); break;
                case Scan::Wants::Nothing: scans[j].take_run(segment, begin, stop, nullptr, nullptr); break;
            }
        }
        const SegmentView seg = segment_view(store.segments()[segment]);
        for (const bool is_fine : {false, true}) {
            const std::vector<std::size_t>& waiting = is_fine ? fine : coarse;
            for (std::size_t g = 0; g < waiting.size(); g += kBatchGroup) {
                const std::size_t size = std::min(kBatchGroup, waiting.size() - g);
                for (std::size_t i = 0; i < size; ++i) {
                    group[i] = &queries[waiting[g + i]];
                    limits[i] = scans[waiting[g + i]].limit();
                    passing[i] = 0;
                }
                for_each_live_range(store, segment, begin, stop, first, last, allowed, [&](std::size_t b, std::size_t e) {
                    const std::size_t at = (b - begin) * kLanes;
                    if (is_fine) {
                        passes.sketch_batch_fine(group, size, seg, b, e, upper.data() + at, lower.data() + at, kStride);
                    } else {
                        passes.sketch_batch(group, size, seg, b, e, upper.data() + at, kStride, limits, passing, begin);
                    }
                });
                for (std::size_t i = 0; i < size; ++i) {
                    scans[waiting[g + i]].take_run(segment, begin, stop, upper.data() + i * kStride,
                                                   is_fine ? lower.data() + i * kStride : nullptr, passing[i]);
                }
            }
        }
    });
    for (Scan& scan : scans) scan.finish();
}

}  // namespace detail

std::string batch_query_length_error(std::size_t index, std::size_t length, std::size_t expected) {
    return "query " + std::to_string(index) + " has length " + std::to_string(length) + " but vectorstore expects " +
           std::to_string(expected);
}

namespace {

// Queries per worker from which the workers share the queries rather than the store.
constexpr std::size_t kQueriesPerShare = 16;

// A worker started for one call costs about what reading the sketch of a
// few hundred blocks does (0.1 ms on the 2-core machine measured: one
// query over 2,000 entries took 0.05 ms on the calling thread and 0.14 ms
// on two workers). By default a call gets at most one worker for each
// kBlocksPerWorker blocks it reads, counted over its queries.
constexpr std::size_t kBlocksPerWorker = 256;

// The blocks a scan may read: those holding an allowed entry (a block's 32
// bits are 4 bytes of the mask), or all of them.
std::size_t blocks_to_read(std::size_t n, const std::uint8_t* allowed) noexcept {
    const std::size_t blocks = (n + kLanes - 1) / kLanes;
    if (allowed == nullptr) return blocks;
    static_assert(kLanes == 32, "a block's bits are 4 bytes of the mask");
    const std::size_t bytes = n / 8 + (n % 8 != 0);
    std::size_t live = 0;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::uint8_t any = 0;
        for (std::size_t i = 4 * b; i < std::min(bytes, 4 * b + 4); ++i) any |= allowed[i];
        live += any != 0;
    }
    return live;
}

// The default worker count for `count` queries: the process's parallelism,
// fewer where the scans would read too little to repay starting them.
std::size_t default_workers(std::size_t n, std::size_t count, const std::uint8_t* allowed) {
    const std::size_t cpus = available_parallelism();
    if (cpus <= 1) return cpus;  // nothing to choose: the mask need not be read
    const std::size_t blocks = blocks_to_read(n, allowed);
    const std::size_t worth =
        blocks != 0 && count > SIZE_MAX / blocks ? SIZE_MAX : std::max<std::size_t>(1, blocks * count / kBlocksPerWorker);
    return std::min(cpus, worth);
}

// How the work is shared: each worker takes every query over one chunk of
// the store, or, when each would still hold a full batch group, one share
// of the queries over the whole store; then each query's thresholds see the
// whole store, as one query's do, and the sketch is read once per worker.
struct BatchJob {
    const Vectorstore* store;
    const detail::PreparedQuery* queries;
    std::size_t count;
    detail::ScanGoal goal;
    const std::uint8_t* allowed;
    std::size_t n;
    bool by_queries;
    ChunkPlan plan;  // of the queries or of the store
    std::vector<std::vector<Hit>>* per_task;  // plan.count * count lists, task-major
};

void scan_share(void* context, std::size_t index) {
    const auto& job = *static_cast<const BatchJob*>(context);
    std::vector<Hit>* outs = job.per_task->data() + index * job.count;
    const std::size_t first = index * job.plan.size;
    if (job.by_queries) {
        const std::size_t last = std::min(job.count, first + job.plan.size);
        detail::scan_batch(*job.store, job.queries + first, last - first, job.goal, 0, job.n, job.allowed,
                           outs + first);
    } else {
        detail::scan_batch(*job.store, job.queries, job.count, job.goal, first, std::min(job.n, first + job.plan.size),
                           job.allowed, outs);
    }
}

Outcome<std::vector<std::vector<ScoredId>>> run_batch(const Vectorstore& store, const float* queries,
                                                      std::size_t count, const detail::ScanGoal& goal,
                                                      std::optional<std::size_t> n_threads,
                                                      std::optional<AllowedMask> allowed) {
    const std::size_t n = store.size();
    if (allowed && allowed->bytes != n / 8 + (n % 8 != 0)) {
        return Error{ErrorKind::Value, "allowed has length " + std::to_string(allowed->bytes) +
                                           " but vectorstore expects " + std::to_string(n / 8 + (n % 8 != 0)) +
                                           " (one bit for each of its " + std::to_string(n) + " entries)"};
    }
    std::vector<std::vector<ScoredId>> results(count);
    if (count == 0 || n == 0 || (!goal.range && goal.top_k == 0)) return results;
    const std::size_t d = store.vector_size();
    const detail::ScanOptions& options = detail::default_scan_options();
    std::vector<detail::PreparedQuery> prepared;
    prepared.reserve(count);
    for (std::size_t j = 0; j < count; ++j) prepared.push_back(detail::prepare_query(queries + j * d, d, options));

    // Every buffer a top-k scan fills is allocated here, before any thread
    // starts; a range scan's lists grow in the workers, which report an
    // exhausted heap after every join.
    std::size_t threads = n_threads ? *n_threads : default_workers(n, count, allowed ? allowed->bits : nullptr);
    if (threads == 0) threads = 1;
    const bool by_queries = count / threads >= kQueriesPerShare;
    const ChunkPlan plan = plan_chunks(by_queries ? count : n, threads);
    std::vector<std::vector<Hit>> per_task(plan.count * count);
    if (!goal.range) {
        for (std::size_t i = 0; i < plan.count; ++i) {
            const std::size_t first = i * plan.size;
            for (std::size_t j = 0; j < count; ++j) {
                if (by_queries && (j < first || j >= first + plan.size)) continue;
                per_task[i * count + j].reserve(std::min(goal.top_k, by_queries ? n : std::min(n, first + plan.size) - first));
            }
        }
    }
    BatchJob job{&store, prepared.data(), count, goal, allowed ? allowed->bits : nullptr, n, by_queries, plan, &per_task};
    if (plan.count == 1) {
        scan_share(&job, 0);  // one thread: this one, rather than one started and joined
    } else if (auto failure = detail::run_on_threads(plan.count, scan_share, &job)) {
        return *failure;
    }

    std::vector<Hit> merged;
    for (std::size_t j = 0; j < count; ++j) {
        merged.clear();
        for (std::size_t i = 0; i < plan.count; ++i) {
            const auto& hits = per_task[i * count + j];
            merged.insert(merged.end(), hits.begin(), hits.end());
        }
        const std::size_t keep = goal.range ? merged.size() : std::min(goal.top_k, merged.size());
        if (plan.count > 1 && !by_queries) std::partial_sort(merged.begin(), merged.begin() + keep, merged.end(), detail::ranks_before);
        results[j].reserve(keep);
        for (std::size_t i = 0; i < keep; ++i) results[j].push_back({merged[i].score, store.id_at(merged[i].position)});
    }
    return results;
}

}  // namespace

Outcome<std::vector<std::vector<ScoredId>>> search_batch(const Vectorstore& store, const float* queries,
                                                         std::size_t count, std::size_t top_k,
                                                         std::optional<std::size_t> n_threads,
                                                         std::optional<AllowedMask> allowed) {
    return run_batch(store, queries, count, detail::ScanGoal{top_k, false, 0.0}, n_threads, allowed);
}

Outcome<std::vector<std::vector<ScoredId>>> range_search(const Vectorstore& store, const float* queries,
                                                         std::size_t count, double min_score,
                                                         std::optional<std::size_t> n_threads,
                                                         std::optional<AllowedMask> allowed) {
    if (std::isnan(min_score)) return Error{ErrorKind::Value, "min_score must not be NaN"};
    return run_batch(store, queries, count, detail::ScanGoal{0, true, min_score}, n_threads, allowed);
}

}  // namespace quillmere
