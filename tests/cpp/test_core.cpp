// Tests of the core that need no interpreter: the metric's bit patterns,
// chunk arithmetic, thread failures and the parallelism rule.
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <stdexcept>
#include <tuple>
#include <string>
#include <vector>

#include "bounds.hpp"
#include "metric.hpp"
#include "passes.hpp"
#include "search.hpp"
#include "store.hpp"
#include "topk.hpp"

#include "check.hpp"

using namespace quillmere;

using quillmere_test::checks;
using quillmere_test::failures;

static std::uint32_t bits(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

static float score(std::vector<float> a, std::vector<float> b) {
    auto r = cosine_similarity(a.data(), a.size(), b.data(), b.size());
    return r.ok() ? r.value() : std::numeric_limits<float>::quiet_NaN();
}

static void test_metric() {
    CHECK(static_cast<double>(score({1, 2, 3}, {4, 5, 6})) == 0.9746317863464355);
    CHECK(static_cast<double>(score({3, 4}, {4, 3})) == 0.9599999785423279);
    CHECK(static_cast<double>(score({1, 1}, {1, 1})) == 1.0000001192092896);
    CHECK(static_cast<double>(score({1, 2, 3}, {-1, -2, -3})) == -0.9999999403953552);
    CHECK(score({1}, {-1}) == -1.0f);
    CHECK(score({2, 0}, {1, 0}) == 1.0f);
    CHECK(bits(score({-1, 0}, {0, -1})) == 0x80000000u);
    CHECK(bits(score({1, 0}, {0, 1})) == 0u);
    CHECK(bits(score({}, {})) == 0u);
    CHECK(bits(score({0, 0}, {NAN, 1})) == 0u);
    CHECK(bits(score({1e-30f}, {1e-30f})) == 0u);
    CHECK(score({1e20f}, {1}) == 0.0f);
    CHECK(std::isnan(score({1e20f}, {1e20f})));
    CHECK(std::isnan(score({INFINITY}, {1})));
    const float a[] = {1, 2};
    const float b[] = {1, 2, 3};
    auto mismatch = cosine_similarity(a, 2, b, 3);
    CHECK(!mismatch.ok() && mismatch.error().message == "vectors have different dimensions (2 vs 3)");
}

// Every kernel score equals the scalar metric's bits, including in blocks
// that a chunk enters or leaves in the middle.
static void test_kernel_matches_metric() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(-3, 3);
    for (std::size_t d : {0u, 1u, 3u, 17u, 64u}) {
        Vectorstore store(d);
        std::vector<std::vector<float>> rows;
        for (int i = 0; i < 100; ++i) {
            std::vector<float> row(d);
            for (auto& v : row) v = static_cast<float>(pick(rng)) * 0.37f;
            store.insert(row.data(), row.size(), static_cast<std::uint64_t>(i));
            rows.push_back(row);
        }
        std::vector<float> query(d);
        for (auto& v : query) v = static_cast<float>(pick(rng)) * 1.1f;
        auto all = search(store, query.data(), d, 1000);
        CHECK(all.ok() && all.value().size() == 100);
        for (const auto& hit : all.value()) {
            const auto& row = rows[hit.id];
            CHECK(bits(hit.score) == bits(cosine_unchecked(query.data(), row.data(), d)));
        }
        for (std::size_t first : {0u, 5u, 31u, 32u, 33u}) {
            for (std::size_t last : {first, first + 1, first + 30, std::size_t{100}}) {
                if (last > 100 || last < first) continue;
                std::vector<detail::Hit> hits;
                hits.reserve(last - first);
                detail::scan_range(store, query.data(), 1000, first, last, hits);
                CHECK(hits.size() == last - first);
                for (const auto& h : hits) {
                    CHECK(h.position >= first && h.position < last);
                    CHECK(bits(h.score) == bits(cosine_unchecked(query.data(), rows[h.position].data(), d)));
                }
            }
        }
    }
}

static void test_chunk_plan() {
    struct Case { std::size_t n, t, size, count; };
    const Case cases[] = {
        {10, 4, 3, 4}, {10, 6, 2, 5}, {10, 3, 4, 3}, {3, 8, 1, 3}, {10, 1, 10, 1}, {10, 0, 10, 1},
        {1, std::numeric_limits<std::size_t>::max(), 1, 1},
        {std::numeric_limits<std::size_t>::max(), 2, std::numeric_limits<std::size_t>::max() / 2 + 1, 2},
    };
    for (const auto& c : cases) {
        const ChunkPlan plan = plan_chunks(c.n, c.t);
        CHECK(plan.size == c.size);
        CHECK(plan.count == c.count);
    }
}

static void noop_task(void*, std::size_t) {}

static int spawned = 0;
static int joined = 0;
static int spawn_after_two(void** handle, void* (*routine)(void*), void* arg) {
    if (spawned == 2) return EAGAIN;
    ++spawned;
    routine(arg);  // run inline: the test only counts
    *handle = nullptr;
    return 0;
}
static void count_join(void*) { ++joined; }

static void failing_task(void*, std::size_t index) {
    if (index == 1) throw std::runtime_error("worker failed");
}

static void test_thread_failures() {
    detail::ThreadOps ops{spawn_after_two, count_join};
    auto spawn_failure = detail::run_on_threads(5, noop_task, nullptr, ops);
    CHECK(spawn_failure && spawn_failure->kind == ErrorKind::Panic);
    CHECK(spawn_failure && spawn_failure->message.rfind("failed to spawn thread: ", 0) == 0);
    CHECK(spawned == 2 && joined == 2);  // no further starts; every started worker joined

    auto worker_failure = detail::run_on_threads(3, failing_task, nullptr);
    CHECK(worker_failure && worker_failure->kind == ErrorKind::Panic);
    CHECK(worker_failure &&
          worker_failure->message == "called `Result::unwrap()` on an `Err` value: Any { .. }");
    CHECK(!detail::run_on_threads(4, noop_task, nullptr));
}

static void test_parallelism_rule() {
    using detail::ParallelismSources;
    CHECK(detail::combine_parallelism(ParallelismSources{8, 16, std::nullopt}) == 8);
    CHECK(detail::combine_parallelism(ParallelismSources{0, 16, std::nullopt}) == 16);
    CHECK(detail::combine_parallelism(ParallelismSources{8, 16, 2}) == 2);
    CHECK(detail::combine_parallelism(ParallelismSources{8, 16, 0}) == 1);
    CHECK(detail::combine_parallelism(ParallelismSources{0, -1, std::nullopt}) == 4);
    CHECK(detail::combine_parallelism(ParallelismSources{0, 0, 3}) == 4);
    CHECK(!detail::parse_cpu_max("max 100000\n"));
    CHECK(detail::parse_cpu_max("150000 100000\n") == std::optional<std::size_t>(1));
    CHECK(detail::parse_cpu_max("50000 100000") == std::optional<std::size_t>(1));
    CHECK(detail::parse_cpu_max("400000 100000") == std::optional<std::size_t>(4));
    CHECK(!detail::parse_cpu_max(""));
    CHECK(!detail::parse_cpu_max("abc 100"));
    CHECK(!detail::quota_limit(-1, 100000));
    CHECK(detail::quota_limit(250000, 100000) == std::optional<std::size_t>(2));

    // A process pinned to one CPU reports 1.
    cpu_set_t original;
    CHECK(sched_getaffinity(0, sizeof original, &original) == 0);
    int first_cpu = 0;
    while (!CPU_ISSET(first_cpu, &original)) ++first_cpu;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(first_cpu, &one);
    CHECK(sched_setaffinity(0, sizeof one, &one) == 0);
    CHECK(available_parallelism() == 1);
    CHECK(sched_setaffinity(0, sizeof original, &original) == 0);
    CHECK(available_parallelism() >= 1);
}

// Skipping blocks by the high plane must never change a hit. The stores are
// built to sit on the bound: same-sign components whose low halves are
// 0x7FFF (the largest rounding of the high half, all in one direction)
// scored against a threshold just inside it, scores a few ulps apart, and every kind of value
// the bound must refuse (zeros, subnormals, huge, infinite and NaN).
static float rounded_down_most(float x) { return float_from_bits((float_bits(x) & 0xFFFF0000u) | 0x7FFFu); }

// The two planes give back every bit pattern, also where rounding the high
// half carries into the exponent or wraps around (negative NaNs).
static void test_halves_join_exactly() {
    std::mt19937 rng(5);
    std::vector<std::uint32_t> patterns{0u, 0x7FFFu, 0x8000u, 0x3F807FFFu, 0x3F808000u, 0x7F7FFFFFu, 0x7F800001u,
                                        0x80008000u, 0xFFFF7FFFu, 0xFFFF8000u, 0xFFFFFFFFu};
    for (int i = 0; i < 1000; ++i) patterns.push_back(static_cast<std::uint32_t>(rng()));
    for (std::uint32_t b : patterns) {
        CHECK(float_bits(join_halves(high_half(b), static_cast<std::uint16_t>(b))) == b);
    }
}

static std::vector<std::vector<float>> stress_rows(int kind, std::size_t d, std::mt19937& rng) {
    std::uniform_real_distribution<float> unit(0.5f, 1.5f);
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> rows;
    const std::vector<float> base = [&] {
        std::vector<float> v(d);
        for (auto& x : v) x = unit(rng);
        return v;
    }();
    // Stores hold at least 64 entries per best entry for every k tested (the
    // bounds are not read otherwise), and the identical store is long enough
    // (over 64 + k blocks, with a partly filled tail) for deferring to give up
    // and score its list at once.
    const std::size_t count = kind == 4 ? 3205 : 2600;
    // Sketch codes of a vector whose largest magnitude is 1 are steps of
    // 1/127; a component just below a midpoint rounds down by almost half a
    // step, the largest error, in the same direction for every sign.
    const auto below_midpoint = [](int code) { return (static_cast<float>(code) + 0.5f - 0x1p-10f) / 127.0f; };
    for (std::size_t n = 0; n < count; ++n) {
        std::vector<float> row(d);
        for (std::size_t i = 0; i < d; ++i) {
            switch (kind) {
                case 0:  // a block of near-parallel rows, then parallel rows that truncation hides most
                    row[i] = n < 40 ? (i == 0 ? 1.3f : 1.0f) : rounded_down_most(1.0f + static_cast<float>(n % 5) * 0x1p-7f);
                    break;
                case 1:  // random magnitudes, every high half rounded down by almost half a unit
                    row[i] = rounded_down_most(unit(rng) * std::ldexp(1.0f, static_cast<int>(rng() % 9) - 4));
                    break;
                case 2:  // one vector moved by a few ulps: scores within ulps of each other
                    row[i] = std::nextafter(base[i], rng() % 2 ? 2.0f : 0.0f);
                    if (rng() % 3 == 0) row[i] = base[i];
                    break;
                case 3:  // values the bound does not cover, mixed with ordinary rows
                    switch ((n / 32 + n) % 9) {
                        case 0: row[i] = 0.0f; break;
                        case 1: row[i] = 1e-42f * static_cast<float>(1 + rng() % 50); break;
                        case 2: row[i] = normal(rng) * 1e-20f; break;
                        case 3: row[i] = normal(rng) * 3e18f; break;
                        case 4: row[i] = i == n % d ? INFINITY : normal(rng); break;
                        case 5: row[i] = i == n % d ? NAN : normal(rng); break;
                        case 6: row[i] = normal(rng) * 1e30f; break;
                        default: row[i] = normal(rng); break;
                    }
                    break;
                case 4:  // all identical, but for a different tail that ranks first
                    row[i] = n + 5 < count ? base[i] : 1.0f;
                    break;
                case 5:  // the largest component sets the scale, every other one sits below a midpoint
                    row[i] = i == n % d ? 1.0f : below_midpoint(static_cast<int>(rng() % 254) - 127);
                    break;
                default:  // one large component, of either sign, among small ones below midpoints;
                    // as queries (rows 3 and 650), every digit errs by almost half a step the same
                    // way, and the constant rows line their codes up with those errors, where the
                    // Cauchy-Schwarz bound on the digits' errors is sharp
                    row[i] = n % 101 == 50 ? 1.0f : i == 0 ? (n % 2 ? -1.0f : 1.0f) : below_midpoint(static_cast<int>(rng() % 9));
            }
        }
        rows.push_back(row);
    }
    return rows;
}

static std::vector<std::vector<float>> stress_queries(std::size_t d, const std::vector<std::vector<float>>& rows,
                                                      std::mt19937& rng) {
    std::normal_distribution<float> normal;
    std::vector<std::vector<float>> queries{std::vector<float>(d, 1.0f), rows[3], rows[650],
                                            std::vector<float>(d, 0.0f), std::vector<float>(d, 1e-25f),
                                            std::vector<float>(d, 4e18f)};
    std::vector<float> random(d), nan_query(d, 1.0f);
    for (auto& x : random) x = normal(rng);
    nan_query[0] = NAN;
    queries.push_back(random);
    queries.push_back(nan_query);
    return queries;
}

static std::vector<std::pair<std::uint32_t, std::size_t>> hit_bits(const std::vector<detail::Hit>& hits) {
    std::vector<std::pair<std::uint32_t, std::size_t>> out;
    for (const auto& h : hits) out.emplace_back(bits(h.score), h.position);
    return out;
}

// A batch gives each query what its own scan gives; a range goal gives the
// full ranking down to min_score (equality qualifies); a mask gives the
// full ranking of the allowed entries. Every kernel and mode, the sketch
// bound shrunk too (to count breaks), several ranges.
static void check_batches(const Vectorstore& store, const std::vector<std::vector<float>>& queries, int& breaks) {
    using detail::ScanMode;
    const std::size_t n = store.size(), d = store.vector_size(), count = queries.size();
    std::vector<std::uint8_t> allowed((n + 7) / 8);
    for (std::size_t p = 0; p < n; ++p) {
        const bool on = (p / 32) % 3 != 1 && (p * 2654435761u) % 7 < 3;  // every third block wholly off
        allowed[p / 8] |= static_cast<std::uint8_t>(on << (p % 8));
    }
    const auto is_allowed = [&](std::size_t p) { return (allowed[p / 8] >> (p % 8) & 1) != 0; };
    std::vector<std::vector<detail::Hit>> full(count);
    for (std::size_t j = 0; j < count; ++j) {
        full[j].reserve(n);
        detail::scan_range(store, queries[j].data(), n, 0, n, full[j], {detail::KernelId::Portable, ScanMode::Full});
    }
    for (auto kernel : {detail::KernelId::Portable, detail::KernelId::Avx2, detail::KernelId::Avx512, detail::KernelId::Amx}) {
        if (!detail::kernel_supported(kernel)) continue;
        for (ScanMode mode : {ScanMode::Sketch, ScanMode::Planes, ScanMode::Full}) {
            for (auto [scale, flags, keep] : {std::tuple{1.0, true, false}, {1.0, false, false}, {1.0, true, true},
                                              {0.9, true, false}}) {
                // flags false: the scans test every lane of the coarse bounds themselves,
                // and may score a run exactly from the first; keep: they never give up the bounds.
                detail::ScanOptions options{kernel, mode, scale};
                options.batch_flags = flags;
                options.patient_start = flags;
                options.keep_bounds = keep;
                std::vector<detail::PreparedQuery> prepared;
                for (const auto& q : queries) prepared.push_back(detail::prepare_query(q.data(), d, options));
                std::vector<std::vector<detail::Hit>> outs(count);
                for (std::size_t k : {1u, 10u}) {
                    for (auto [first, last] : {std::pair<std::size_t, std::size_t>{0, n}, {5, n - 7}}) {
                        for (auto& o : outs) o.reserve(k);
                        const std::uint8_t* const masks[] = {nullptr, allowed.data()};
                        for (const std::uint8_t* mask : masks) {
                            detail::scan_batch(store, prepared.data(), count, {k, false, 0.0}, first, last, mask,
                                               outs.data(), options);
                            for (std::size_t j = 0; j < count; ++j) {
                                std::vector<detail::Hit> expected;
                                for (const auto& h : full[j]) {
                                    if (expected.size() < k && h.position >= first && h.position < last &&
                                        (mask == nullptr || is_allowed(h.position))) {
                                        expected.push_back(h);
                                    }
                                }
                                if (scale == 1.0) CHECK(hit_bits(outs[j]) == hit_bits(expected));
                                breaks += hit_bits(outs[j]) != hit_bits(expected);
                            }
                        }
                    }
                }
                // Ranges: from query 0's 10th score (ties at it included), and from -inf.
                for (double min_score : {static_cast<double>(full[0][std::min<std::size_t>(9, n - 1)].score), -HUGE_VAL}) {
                    if (std::isnan(min_score) || scale != 1.0) continue;
                    detail::scan_batch(store, prepared.data(), count, {0, true, min_score}, 0, n, allowed.data(),
                                       outs.data(), options);
                    for (std::size_t j = 0; j < count; ++j) {
                        std::vector<detail::Hit> expected;
                        for (const auto& h : full[j]) {
                            if (static_cast<double>(h.score) >= min_score && is_allowed(h.position)) expected.push_back(h);
                        }
                        CHECK(hit_bits(outs[j]) == hit_bits(expected));
                    }
                }
            }
        }
    }
}

static void test_pruning_matches_full_scan() {
    using detail::ScanMode;
    std::mt19937 rng(3);
    int sharp_breaks[3] = {0, 0, 0};  // sketch, planes, batch
    for (int kind = 0; kind < 7; ++kind) {
        for (std::size_t d : {1u, 7u, 64u, 200u}) {
            const auto rows = stress_rows(kind, d, rng);
            Vectorstore store(d);
            for (std::size_t n = 0; n < rows.size(); ++n) store.insert(rows[n].data(), d, n);
            const auto queries = stress_queries(d, rows, rng);
            check_batches(store, queries, sharp_breaks[2]);
            for (const auto& query : queries) {
                for (std::size_t k : {1u, 3u, 10u, 40u}) {
                    for (auto [first, last] : {std::pair<std::size_t, std::size_t>{0, rows.size()}, {5, rows.size() - 7}, {64, 1300}}) {
                        std::vector<detail::Hit> expected, got, weak;
                        expected.reserve(k);
                        got.reserve(k);
                        weak.reserve(k);
                        for (auto kernel : {detail::KernelId::Portable, detail::KernelId::Avx2, detail::KernelId::Avx512, detail::KernelId::Amx}) {
                            if (!detail::kernel_supported(kernel)) continue;
                            detail::scan_range(store, query.data(), k, first, last, expected, {kernel, ScanMode::Full});
                            for (ScanMode mode : {ScanMode::Sketch, ScanMode::Planes}) {
                                detail::scan_range(store, query.data(), k, first, last, got, {kernel, mode});
                                CHECK(hit_bits(got) == hit_bits(expected));
                                // The scan that may go exact from its first run.
                                detail::ScanOptions hasty{kernel, mode};
                                hasty.patient_start = false;
                                detail::scan_range(store, query.data(), k, first, last, got, hasty);
                                CHECK(hit_bits(got) == hit_bits(expected));
                                // And the one that never gives up its bounds.
                                detail::ScanOptions kept{kernel, mode};
                                kept.keep_bounds = true;
                                detail::scan_range(store, query.data(), k, first, last, got, kept);
                                CHECK(hit_bits(got) == hit_bits(expected));
                                detail::scan_range(store, query.data(), k, first, last, weak, {kernel, mode, 0.9});
                                sharp_breaks[mode == ScanMode::Planes] += hit_bits(weak) != hit_bits(expected);
                            }
                        }
                    }
                }
            }
        }
    }
    // Each level's bound, 10% too small, must go wrong somewhere, or the data proves nothing.
    std::printf("bounds 10%% too small broke %d batch scans\n", sharp_breaks[2]);
    CHECK(sharp_breaks[2] > 0);
    std::printf("bounds 10%% too small broke %d sketch and %d plane scans\n", sharp_breaks[0], sharp_breaks[1]);
    CHECK(sharp_breaks[0] > 0);
    CHECK(sharp_breaks[1] > 0);
}

// Every path gives a NaN score the same bits, whichever NaNs (payloads,
// signs, inf * 0) the query and the stored vector bring into its sums.
static void test_nan_scores_have_one_pattern() {
    const std::uint32_t nans[] = {0x7FC00001u, 0xFFC00000u, 0x7FA12345u, 0xFFBFFFFFu};
    std::mt19937 rng(11);
    const auto value = [&] {
        const unsigned pick = rng() % 4;
        return pick == 0 ? float_from_bits(nans[rng() % 4]) : pick == 1 ? INFINITY : pick == 2 ? 0.0f : 1.5f;
    };
    const std::size_t d = 3, n = 70;  // two sealed blocks and a staged tail
    std::vector<std::vector<float>> rows(n, std::vector<float>(d));
    Vectorstore store(d);
    for (std::size_t i = 0; i < n; ++i) {
        for (auto& x : rows[i]) x = value();
        store.insert(rows[i].data(), d, i);
    }
    for (int round = 0; round < 20; ++round) {
        std::vector<float> query(d);
        for (auto& x : query) x = value();
        const auto expect_metric = [&](float score, std::size_t position) {
            const float metric = cosine_unchecked(query.data(), rows[position].data(), d);
            CHECK(bits(score) == bits(metric));
            CHECK(!std::isnan(metric) || bits(metric) == 0x7FC00000u);
        };
        for (auto kernel : {detail::KernelId::Portable, detail::KernelId::Avx2, detail::KernelId::Avx512, detail::KernelId::Amx}) {
            if (!detail::kernel_supported(kernel)) continue;
            for (auto mode : {detail::ScanMode::Sketch, detail::ScanMode::Planes, detail::ScanMode::Full}) {
                std::vector<detail::Hit> hits;
                hits.reserve(n);
                detail::scan_range(store, query.data(), n, 0, n, hits, {kernel, mode});
                for (const auto& h : hits) expect_metric(h.score, h.position);
            }
        }
        auto found = parallel_search(store, query.data(), d, n, 3);
        for (const auto& hit : found.value()) expect_metric(hit.score, hit.id);
    }
}

// The heap's per-block test never refuses a block that holds a lane which
// would enter, in whatever order blocks come, and is exact for blocks after
// the worst hit's position (where stores of ties and NaN rely on it).
static void test_block_entry_test() {
    const float values[] = {NAN, -0.0f, 0.0f, 0.5f, 1.0f, -1.0f};
    std::mt19937 rng(5);
    for (int round = 0; round < 200; ++round) {
        const std::size_t k = 1 + rng() % 5, blocks = 12;
        std::vector<std::size_t> order(blocks);
        for (std::size_t b = 0; b < blocks; ++b) order[b] = b;
        std::shuffle(order.begin(), order.end(), rng);
        std::vector<detail::Hit> hits;
        hits.reserve(k);
        detail::BoundedHeap heap(hits, k);
        for (std::size_t b : order) {
            float scores[kLanes];
            const unsigned spread = 1 + rng() % 6;  // few values: many ties
            for (auto& x : scores) x = values[rng() % spread];
            const std::size_t base = b * kLanes;
            bool enters = hits.size() < k;
            for (std::size_t l = 0; l < kLanes && !enters; ++l) {
                enters = detail::ranks_before(detail::Hit{scores[l], base + l}, hits.front());
            }
            const bool after = hits.size() == k && base > hits.front().position;
            const bool may = heap.block_may_enter(scores, base);
            CHECK(may || !enters);
            if (after) CHECK(may == enters);
            heap.offer_block(scores, base, ~0u);
        }
    }
}

// Every lane's bounds, straight from each kernel's passes: L - C <= s <= U + C
// for the exact score s, on stores built to sit on each bound, from above
// and from below. High halves: low halves 0x7FFF (the high half rounded down
// by all but 2^-16 of its largest error) or 0x8000 (a tie, rounded up by
// exactly the largest error). Sketch codes: one component sets the scale,
// every other one sits just below (or above) a midpoint between codes, and
// the query leaves that first component out. The data must stay sharp: the
// largest |s - t| above 0.98 of the sketch's z and 0.999 of the plane's.
struct LaneCheck {
    double worst_sketch = 0.0, worst_planes = 0.0;  // largest |s - t| / z seen
    int outside = 0;                                 // lanes with s outside [L - C, U + C]
};

static std::vector<float> sitting_row(bool planes, bool above, std::size_t d, std::mt19937& rng) {
    std::vector<float> row(d);
    for (std::size_t i = 0; i < d; ++i) {
        if (planes) {
            // Positive, any exponent in [2^-4, 2^4), 7 random mantissa bits below an all-ones top
            // bit pattern that never carries into the exponent.
            const std::uint32_t high = ((123u + rng() % 8) << 7) | (rng() % 0x7Fu);
            row[i] = float_from_bits((high << 16) | (above ? 0x7FFFu : 0x8000u));
        } else {
            const int code = static_cast<int>(rng() % 126);
            row[i] = i == 0 ? 1.0f : (static_cast<float>(code) + (above ? 0.5f - 0x1p-10f : 0.5f + 0x1p-10f)) / 127.0f;
        }
    }
    return row;
}

static LaneCheck check_lanes(detail::KernelId kernel, std::size_t d, const std::vector<std::vector<float>>& rows,
                             const std::vector<float>& query) {
    Vectorstore store(d);
    for (std::size_t n = 0; n < rows.size(); ++n) store.insert(rows[n].data(), d, n);
    const detail::PreparedQuery q = detail::prepare_query(query.data(), d, {kernel, detail::ScanMode::Sketch});
    CHECK(q.bounded);
    const detail::Passes& passes = detail::passes_for(kernel);
    LaneCheck out;
    for (const Segment& segment : store.segments()) {
        // Whole blocks only: the vectors of a partly filled one are staged.
        const std::size_t blocks = std::min(segment.blocks, (rows.size() - segment.first) / kLanes);
        const detail::SegmentView seg{segment.hi(), segment.lo(),
                                      reinterpret_cast<const std::uint8_t*>(segment.sketch()), segment.roots(),
                                      segment.unit_scales()};
        std::vector<std::uint32_t> list(blocks);
        for (std::size_t b = 0; b < blocks; ++b) list[b] = static_cast<std::uint32_t>(b);
        std::vector<float> upper(blocks * kLanes), lower(blocks * kLanes);
        for (int level = 0; level < 2; ++level) {
            if (level == 0) {
                passes.sketch(q, seg, 0, blocks, upper.data(), lower.data());
            } else {
                // A threshold of -inf makes every block compute each lane's own z.
                passes.planes(q, seg, list.data(), blocks, -HUGE_VALF, upper.data(), lower.data());
            }
            for (std::size_t n = 0; n < blocks * kLanes; ++n) {
                const double s = cosine_unchecked(query.data(), rows[segment.first + n].data(), d);
                const double u = upper[n], l = lower[n], t = (u + l) / 2, z = (u - l) / 2;
                out.outside += !(l - q.slack <= s && s <= u + q.slack);
                double& worst = level == 0 ? out.worst_sketch : out.worst_planes;
                worst = std::max(worst, std::fabs(s - t) / z);
            }
        }
    }
    return out;
}

static void test_lane_bounds_sit_on_the_data() {
    std::mt19937 rng(17);
    const std::size_t d = 64;
    std::vector<float> query(d, 1.0f);
    query[0] = 0.0f;  // the scale component, whose code is exact
    for (auto kernel : {detail::KernelId::Portable, detail::KernelId::Avx2, detail::KernelId::Avx512}) {
        if (!detail::kernel_supported(kernel)) continue;
        for (bool planes : {false, true}) {
            for (bool above : {true, false}) {
                std::vector<std::vector<float>> rows;
                for (std::size_t n = 0; n < 2 * kLanes; ++n) rows.push_back(sitting_row(planes, above, d, rng));
                const LaneCheck c = check_lanes(kernel, d, rows, query);
                CHECK(c.outside == 0);
                if (planes) CHECK(c.worst_planes > 0.999);
                if (!planes) CHECK(c.worst_sketch > 0.98);
            }
        }
    }
}

// The sketch bound where its additive part matters most (bounds.cpp, S4): d = 2,
// the query on the second component alone, so the first (the scale, coded
// exactly) adds no slack, and the second just off a midpoint between codes,
// scores near +-1 at scales from 2^-20 to 2^20. The bound as shipped must
// hold on every lane.
static void test_sketch_bound_where_its_additive_part_counts() {
    std::mt19937 rng(99);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const auto scale = [&] { return std::ldexp(0.5f + unit(rng), static_cast<int>(rng() % 40) - 20); };
    for (int round = 0; round < 200; ++round) {
        const std::vector<float> query{0.0f, scale()};
        std::vector<std::vector<float>> rows;
        for (std::size_t n = 0; n < kLanes; ++n) {
            const float code = static_cast<float>(100 + rng() % 27);
            const float off = (rng() % 2 ? 1.0f : -1.0f) * std::ldexp(unit(rng), -12);
            const float x = scale();
            rows.push_back({x, (rng() % 2 ? x : -x) * (code + 0.5f + off) / 127.0f});
        }
        for (auto kernel : {detail::KernelId::Portable, detail::KernelId::Avx2, detail::KernelId::Avx512}) {
            if (detail::kernel_supported(kernel)) CHECK(check_lanes(kernel, 2, rows, query).outside == 0);
        }
    }
}

// A tie at the k-th place between blocks of two segments, decided only by
// store order. Two copies of a vector that sits on the plane bound (low
// halves 0x7FFF, U about its exact score) lie in blocks 4 and 10; block 10
// also holds a decoy whose bound is larger (low halves 0x8000: its exact score
// is at the bottom of its interval) but whose score is lower. Deferred blocks
// go best bound first, so block 10 is scored first and block 4 is then tested
// against the tie score: it must still be read, and its copy must win. The
// plane bound scaled to 0.999 must skip it, or the data would prove nothing.
static void test_deferred_tie_across_segments() {
    const std::size_t d = 8, blocks = 16;
    const std::vector<float> query(d, 1.0f);
    const std::vector<float> copy(d, float_from_bits(0x3F807FFFu));
    std::vector<float> decoy(d), filler(d);
    for (std::size_t i = 0; i < d; ++i) {
        decoy[i] = float_from_bits(i < d / 2 ? 0x3F808000u : 0x3F908000u);  // 1 + 2^-8 and 1.125 + 2^-8
        filler[i] = i % 2 ? -1.0f : 1.0f;
    }
    const std::size_t first_copy = 4 * kLanes + 5, second_copy = 10 * kLanes + 7, decoy_at = 10 * kLanes + 3;
    Vectorstore store(d);
    for (std::size_t n = 0; n < blocks * kLanes; ++n) {
        const auto& row = n == first_copy || n == second_copy ? copy : n == decoy_at ? decoy : filler;
        store.insert(row.data(), d, n);
    }
    const auto segment_of = [&](std::size_t position) {
        std::size_t index = 0;
        while (position >= store.segments()[index].first + store.segments()[index].blocks * kLanes) ++index;
        return index;
    };
    CHECK(segment_of(first_copy) != segment_of(second_copy));
    const float tie = cosine_unchecked(query.data(), copy.data(), d);
    CHECK(cosine_unchecked(query.data(), decoy.data(), d) < tie);
    for (auto kernel : {detail::KernelId::Portable, detail::KernelId::Avx2, detail::KernelId::Avx512}) {
        if (!detail::kernel_supported(kernel)) continue;
        // The decoy's plane bound is the larger, so block 10 goes first.
        const detail::ScanOptions planes{kernel, detail::ScanMode::Planes};
        const detail::PreparedQuery q = detail::prepare_query(query.data(), d, planes);
        const Segment& seg10 = store.segments()[segment_of(decoy_at)];
        const detail::SegmentView view{seg10.hi(), seg10.lo(), reinterpret_cast<const std::uint8_t*>(seg10.sketch()),
                                       seg10.roots(), seg10.unit_scales()};
        const auto block10 = static_cast<std::uint32_t>((decoy_at - seg10.first) / kLanes);
        float upper[kLanes], lower[kLanes];
        detail::passes_for(kernel).planes(q, view, &block10, 1, -HUGE_VALF, upper, lower);
        CHECK(upper[decoy_at % kLanes] > upper[second_copy % kLanes]);
        for (auto mode : {detail::ScanMode::Sketch, detail::ScanMode::Planes, detail::ScanMode::Full}) {
            std::vector<detail::Hit> hits;
            hits.reserve(1);
            detail::scan_range(store, query.data(), 1, 0, store.size(), hits, {kernel, mode});
            CHECK(hits.size() == 1 && hits[0].position == first_copy && bits(hits[0].score) == bits(tie));
        }
        std::vector<detail::Hit> weak;
        weak.reserve(1);
        detail::scan_range(store, query.data(), 1, 0, store.size(), weak, {kernel, detail::ScanMode::Planes, 0.999});
        CHECK(weak.size() == 1 && weak[0].position == second_copy);
    }
}

static void test_store_and_search() {
    Vectorstore store(2);
    const float a[] = {1, 0}, c[] = {0, 1}, short_one[] = {1};
    CHECK(!store.insert(a, 2, 7));
    CHECK(!store.insert(a, 2, 3));
    auto refused = store.insert(short_one, 1, 9);
    CHECK(refused && refused->message == "vector has length 1 but vectorstore expects 2");
    CHECK(!store.insert(c, 2, 5));
    CHECK(store.size() == 3);
    auto found = search(store, a, 2, 3);
    CHECK(found.ok() && found.value().size() == 3);
    CHECK(found.value()[0].id == 7 && found.value()[1].id == 3 && found.value()[2].id == 5);
    auto wrong = search(store, short_one, 1, 3);
    CHECK(!wrong.ok() && wrong.error().message == "query has length 1 but vectorstore expects 2");
    for (std::size_t t : {0u, 1u, 2u, 3u, 8u}) {
        auto par = parallel_search(store, a, 2, 2, t);
        CHECK(par.ok() && par.value().size() == 2 && par.value()[0].id == 7 && par.value()[1].id == 3);
    }
}

int main() {
    test_metric();
    test_kernel_matches_metric();
    test_chunk_plan();
    test_thread_failures();
    test_parallelism_rule();
    test_store_and_search();
    test_halves_join_exactly();
    test_block_entry_test();
    test_pruning_matches_full_scan();
    test_lane_bounds_sit_on_the_data();
    test_sketch_bound_where_its_additive_part_counts();
    test_deferred_tie_across_segments();
    test_nan_scores_have_one_pattern();
    std::printf("core tests (%s kernel): %d checks, %d failed\n", detail::kernel_name(), checks, failures);
    return failures == 0 ? 0 : 1;
}
