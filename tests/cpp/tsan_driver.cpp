// Drives the core's parallel search from several threads at once, for a
// build with -fsanitize=thread.
//
// Reader threads share one store and one set of queries, as the Python
// binding allows under shared borrows: each runs parallel_search with many
// thread counts (none, 0, 1, small, odd, more than the entries, the largest
// count) interleaved with sequential searches, and compares every answer with
// the sequential search computed before the readers started. The stores
// include ties, signed zeros, NaN and infinite components and zero vectors,
// whose ranking is total, so the two searches must agree on every list.
// Thread start failures and failing workers are exercised concurrently too:
// every started worker must be joined before the call returns (the sanitizer
// reports a thread that outlives it).
//
// Exit status 0 when every answer matched; 1 otherwise. Races are reported by
// the sanitizer itself (run with TSAN_OPTIONS=halt_on_error=1).
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "search.hpp"
#include "store.hpp"

using namespace quillmere;

namespace {

std::atomic<int> mismatches{0};
std::atomic<long> comparisons{0};

bool same_bits(float a, float b) {
    std::uint32_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y || (std::isnan(a) && std::isnan(b));
}

bool same(const std::vector<ScoredId>& a, const std::vector<ScoredId>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].id != b[i].id || !same_bits(a[i].score, b[i].score)) return false;
    }
    return true;
}

struct Fixture {
    Vectorstore store;
    std::vector<std::vector<float>> queries;
    std::vector<std::size_t> top_ks;
    // expected[q][k]: the sequential answer.
    std::vector<std::vector<std::vector<ScoredId>>> expected;
};

Fixture make_fixture(std::size_t n, std::size_t d, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> uniform(-2.0f, 2.0f);
    Fixture f{Vectorstore(d), {}, {0, 1, 5, 33, n / 2, n, n + 7}, {}};
    std::vector<float> previous(d, 1.0f);
    for (std::size_t i = 0; i < n; ++i) {
        std::vector<float> v(d);
        const unsigned kind = rng() % 16;
        for (auto& x : v) x = uniform(rng);
        if (kind == 0) v = previous;                                    // tie with the previous entry
        if (kind == 1) std::fill(v.begin(), v.end(), 0.0f);             // zero vector: scores +0.0
        if (kind == 2 && d > 0) v[rng() % d] = std::nanf("");           // NaN score
        if (kind == 3 && d > 0) v[0] = std::numeric_limits<float>::infinity();
        if (kind == 4) for (auto& x : v) x = -0.0f;                     // negative zeros
        previous = v;
        if (f.store.insert(v.data(), v.size(), rng() % (n / 3 + 1))) throw std::runtime_error("insert refused");
    }
    for (int q = 0; q < 6; ++q) {
        std::vector<float> v(d);
        for (auto& x : v) x = uniform(rng);
        if (q == 4) std::fill(v.begin(), v.end(), 0.0f);
        if (q == 5 && d > 1) v[1] = -0.0f;
        f.queries.push_back(v);
    }
    for (const auto& q : f.queries) {
        std::vector<std::vector<ScoredId>> per_k;
        for (std::size_t k : f.top_ks) {
            auto r = search(f.store, q.data(), q.size(), k);
            if (!r.ok()) throw std::runtime_error(r.error().message);
            per_k.push_back(r.value());
        }
        f.expected.push_back(per_k);
    }
    return f;
}

void check(const Fixture& f, std::size_t qi, std::size_t ki, std::optional<std::size_t> threads,
           const char* label) {
    const auto& q = f.queries[qi];
    auto r = threads ? parallel_search(f.store, q.data(), q.size(), f.top_ks[ki], threads)
                     : search(f.store, q.data(), q.size(), f.top_ks[ki]);
    ++comparisons;
    if (!r.ok() || !same(r.value(), f.expected[qi][ki])) {
        ++mismatches;
        std::fprintf(stderr, "%s: query %zu top_k %zu threads %zu: %s\n", label, qi, f.top_ks[ki],
                     threads ? *threads : std::size_t{0}, r.ok() ? "different answer" : r.error().message.c_str());
    }
}

void reader(const Fixture& f, unsigned seed, const std::vector<std::optional<std::size_t>>& counts) {
    std::mt19937 rng(seed);
    for (int round = 0; round < 3; ++round) {
        for (const auto& threads : counts) {
            const std::size_t qi = rng() % f.queries.size();
            const std::size_t ki = rng() % f.top_ks.size();
            check(f, qi, ki, threads, "parallel_search");
            check(f, qi, ki, std::nullopt, "search");
        }
    }
    // Every query at once, its workers beside the other readers' threads.
    std::vector<float> flat;
    for (const auto& q : f.queries) flat.insert(flat.end(), q.begin(), q.end());
    const std::size_t ki = rng() % f.top_ks.size();
    auto batch = search_batch(f.store, flat.data(), f.queries.size(), f.top_ks[ki], 1 + rng() % 4);
    for (std::size_t qi = 0; qi < f.queries.size(); ++qi) {
        ++comparisons;
        if (!batch.ok() || !same(batch.value()[qi], f.expected[qi][ki])) {
            ++mismatches;
            std::fprintf(stderr, "search_batch: query %zu top_k %zu: different answer\n", qi, f.top_ks[ki]);
        }
    }
    // The default thread count, which reads the platform's parallelism concurrently.
    const auto& q = f.queries[0];
    auto r = parallel_search(f.store, q.data(), q.size(), f.top_ks.back(), std::nullopt);
    ++comparisons;
    if (!r.ok() || !same(r.value(), f.expected[0].back())) {
        ++mismatches;
        std::fprintf(stderr, "parallel_search with the default thread count: different answer\n");
    }
}

// Thread start failures and failing workers, from several threads at once.
std::atomic<int> spawned{0};

int spawn_some(void** handle, void* (*routine)(void*), void* arg) {
    // Every fourth start fails, the others start real threads.
    if (spawned.fetch_add(1) % 4 == 3) return EAGAIN;
    return detail::posix_threads().spawn(handle, routine, arg);
}

void join_real(void* handle) { detail::posix_threads().join(handle); }

void touch_task(void* context, std::size_t index) {
    auto* cells = static_cast<std::vector<int>*>(context);
    (*cells)[index] += 1;  // each worker owns its own cell
}

void failing_task(void* context, std::size_t index) {
    touch_task(context, index);
    if (index % 2 == 1) throw std::runtime_error("worker failure");
}

void failure_paths(unsigned seed) {
    std::mt19937 rng(seed);
    const detail::ThreadOps flaky{spawn_some, join_real};
    for (int round = 0; round < 20; ++round) {
        const std::size_t count = 1 + rng() % 6;
        std::vector<int> cells(count, 0);
        auto failure = detail::run_on_threads(count, touch_task, &cells, flaky);
        int touched = 0;
        for (int c : cells) touched += c;
        // A start failure stops further starts; the workers that did start ran exactly once.
        if (failure && failure->kind != ErrorKind::Panic) ++mismatches;
        if (!failure && touched != static_cast<int>(count)) ++mismatches;
        for (int c : cells) {
            if (c > 1) ++mismatches;
        }
        std::vector<int> more(count, 0);
        auto failed = detail::run_on_threads(count, failing_task, &more);
        if ((count > 1) != failed.has_value()) ++mismatches;
        for (int c : more) {
            if (c != 1) ++mismatches;  // every worker ran, failing ones included
        }
        comparisons += 2;
    }
}

}  // namespace

int main() {
    const std::size_t max = std::numeric_limits<std::size_t>::max();
    // A store of many blocks and several segments' worth of boundaries, and a small one that
    // the largest thread counts split into one worker per entry.
    const Fixture large = make_fixture(2500, 24, 1);
    const Fixture small = make_fixture(70, 5, 2);
    const Fixture empty_vectors = make_fixture(40, 0, 3);
    const std::vector<std::optional<std::size_t>> large_counts = {0, 1, 2, 3, 4, 5, 7, 8, 13, 31, 32, 33, 64};
    const std::vector<std::optional<std::size_t>> small_counts = {0, 1, 2, 3, 9, 69, 70, 71, 1000, max};

    std::vector<std::thread> threads;
    for (unsigned r = 0; r < 4; ++r) {
        threads.emplace_back(reader, std::cref(large), 10 + r, std::cref(large_counts));
        threads.emplace_back(reader, std::cref(small), 20 + r, std::cref(small_counts));
    }
    threads.emplace_back(reader, std::cref(empty_vectors), 30, std::cref(small_counts));
    threads.emplace_back(failure_paths, 40);
    threads.emplace_back(failure_paths, 41);
    for (auto& t : threads) t.join();

    std::printf("tsan driver: %ld comparisons, %d mismatches\n", comparisons.load(), mismatches.load());
    return mismatches.load() == 0 ? 0 : 1;
}
