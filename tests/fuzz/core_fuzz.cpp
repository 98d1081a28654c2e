// libFuzzer target for the core: every way of scanning a store must give the
// plain scalar answer, bit for bit and position for position.
//
// The input is a small program that builds a query and a store, so that a
// few bytes can make thousands of vectors, exact ties, near-ties a few ulps
// apart, values on the edges of the bfloat16 rounding, and the values the
// bound refuses (see decode()). Float bits come straight from the input.
//
// For each input the scalar metric scores every vector; a stable sort by
// score (descending, NaN last, ties by position) is the reference. Then
// search(), parallel_search(), and scan_range() over the whole store, over a
// range from the input and over the chunks of a parallel plan (merged as
// parallel_search merges) must match it, for every variant of scan_variants().
// The batch methods too: search_batch() and range_search() (from a min_score
// on a score the ranking holds, so that ties at it count), with and without
// a mask of allowed positions, and scan_batch() in every variant, over a
// batch of the query and two rows, against the same ranking of each.
// A mismatch prints what differs and aborts, which saves the input.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "metric.hpp"
#include "search.hpp"
#include "store.hpp"

using namespace quillmere;
using detail::Hit;
using detail::KernelId;
using detail::ScanOptions;

namespace {

// Every kernel the CPU has, each with every scan mode: a new mode is one more
// line here. `skips` marks the modes that may skip vectors by a bound.
struct Variant {
    std::string name;
    ScanOptions options;
    bool skips;
};
const std::vector<Variant>& scan_variants() {
    static const std::vector<Variant> variants = [] {
        std::vector<Variant> out;
        const std::pair<KernelId, const char*> kernels[] = {
            {KernelId::Portable, "portable"}, {KernelId::Avx2, "avx2"}, {KernelId::Avx512, "avx512"},
            {KernelId::Amx, "amx"}};
        for (const auto& [kernel, name] : kernels) {
            if (!detail::kernel_supported(kernel)) continue;
            out.push_back({std::string(name) + ", sketch first", {kernel, detail::ScanMode::Sketch}, true});
            out.push_back({std::string(name) + ", high plane first", {kernel, detail::ScanMode::Planes}, true});
            out.push_back({std::string(name) + ", full scan", {kernel, detail::ScanMode::Full}, false});
        }
        return out;
    }();
    return variants;
}

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : p_(data), end_(data + size) {}
    bool empty() const { return p_ == end_; }
    std::uint8_t u8() { return p_ < end_ ? *p_++ : 0; }
    std::uint16_t u16() {
        const std::uint16_t low = u8();
        return static_cast<std::uint16_t>(low | u8() << 8);
    }
    std::uint32_t u32() {
        const std::uint32_t low = u16();
        return low | static_cast<std::uint32_t>(u16()) << 16;
    }
    float f32() { return float_from_bits(u32()); }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
};

// Values that every branch of the bound treats differently.
const std::uint32_t kSpecial[16] = {
    0x00000000u, 0x80000000u, 0x3F800000u, 0xBF800000u, 0x00000001u, 0x000002CAu /* ~1e-42 */,
    0x00800000u /* smallest normal */, 0x1E3CE508u /* 1e-20 */, 0x2B800000u /* 2^-40 */,
    0x5E26A4CBu /* 3e18 */, 0x5F0AC723u /* 1e19 */, 0x7F7FFFFFu, 0x7F800000u, 0xFF800000u,
    0x7FC00001u, 0xFFA12345u,
};
constexpr std::size_t kMaxVectors = 4096;
constexpr std::size_t kMaxFloats = std::size_t{1} << 16;

struct Case {
    std::size_t d = 1, k = 0, threads = 0, first = 0, last = 0;
    std::vector<float> query;
    std::vector<std::vector<float>> rows;
};

// One vector from the op at the reader: raw bits, a splat with overrides, a
// nudged copy of a row or of the query, a row with its low halves on the
// bfloat16 rounding edges, a scaled row, or special values. `rows` empty and
// no query yet: copies fall back to raw bits.
std::vector<float> vector_op(Reader& in, std::uint8_t op, const Case& c, bool have_query) {
    const std::size_t d = c.d;
    const auto source = [&]() -> const std::vector<float>* {
        const std::uint16_t pick = in.u16();
        if (op % 8 == 7 || c.rows.empty()) return have_query ? &c.query : nullptr;
        return &c.rows[pick % c.rows.size()];
    };
    std::vector<float> v(d);
    switch (op % 8) {
        case 1: {
            std::fill(v.begin(), v.end(), in.f32());
            for (int n = in.u8() % 8; n > 0; --n) {
                float& x = v[in.u16() % d];
                x = in.f32();
            }
            return v;
        }
        case 2:
        case 7: {
            const auto* src = source();
            if (src == nullptr) break;
            v = *src;
            for (int n = in.u8() % 8; n > 0; --n) {
                float& x = v[in.u16() % d];
                x = float_from_bits(float_bits(x) + static_cast<std::uint32_t>(static_cast<std::int8_t>(in.u8())));
            }
            return v;
        }
        case 4: {
            const auto* src = source();
            if (src == nullptr) break;
            static const std::uint32_t low[4] = {0x7FFFu, 0x8000u, 0x0000u, 0xFFFFu};
            const std::uint32_t l = low[in.u8() % 4];
            for (std::size_t i = 0; i < d; ++i) v[i] = float_from_bits((float_bits((*src)[i]) & 0xFFFF0000u) | l);
            return v;
        }
        case 5: {
            const auto* src = source();
            if (src == nullptr) break;
            const int e = static_cast<std::int8_t>(in.u8());
            for (std::size_t i = 0; i < d; ++i) v[i] = std::ldexp((*src)[i], e);
            return v;
        }
        case 6:
            for (std::size_t i = 0; i < d; ++i) v[i] = float_from_bits(kSpecial[in.u8() % 16]);
            return v;
        default:
            break;
    }
    for (auto& x : v) x = in.f32();
    return v;
}

// Header: dimension, k, threads, a range; then the query's op and the rows'
// ops until the input ends. Op 3 repeats the last row up to 256 times, each
// copy nudged by a step of ulps at a moving component (step 0: exact copies).
Case decode(const std::uint8_t* data, std::size_t size) {
    Reader in(data, size);
    Case c;
    c.d = 1 + in.u16() % 300;
    const std::uint16_t kc = in.u16();
    // Mostly small k; the top bit asks for a large one, all ones for SIZE_MAX.
    c.k = kc == 0xFFFF ? std::numeric_limits<std::size_t>::max() : (kc & 0x8000) ? (kc & 0x7FFF) : kc % 41;
    c.threads = in.u8();
    const std::uint16_t a = in.u16(), b = in.u16();
    c.query = vector_op(in, in.u8(), c, false);
    const std::size_t max_rows = std::min(kMaxVectors, kMaxFloats / c.d);
    while (!in.empty() && c.rows.size() < max_rows) {
        const std::uint8_t op = in.u8();
        if (op % 8 == 3 && !c.rows.empty()) {
            const std::size_t copies = 1 + in.u8();
            const auto step = static_cast<std::int8_t>(in.u8());
            const std::vector<float> last = c.rows.back();
            for (std::size_t j = 0; j < copies && c.rows.size() < max_rows; ++j) {
                std::vector<float> v = last;
                float& x = v[j % c.d];
                x = float_from_bits(float_bits(x) + static_cast<std::uint32_t>(static_cast<int>(j) * step));
                c.rows.push_back(std::move(v));
            }
            continue;
        }
        c.rows.push_back(vector_op(in, op, c, true));
    }
    const std::size_t n = c.rows.size();
    c.first = std::min<std::size_t>(a % (n + 1), b % (n + 1));
    c.last = std::max<std::size_t>(a % (n + 1), b % (n + 1));
    return c;
}

// Ids that are not positions, so that a wrong id lookup shows.
constexpr std::uint64_t kIdFactor = 0x9E3779B97F4A7C15ull, kIdMask = 0x5A5A;
std::uint64_t id_of(std::size_t position) { return position * kIdFactor ^ kIdMask; }

// The reference ranking of every position: score descending, NaN after every
// number, ties (-0.0 and +0.0 included) in position order. The order is total,
// so the reference for a range is this ranking's entries in that range.
std::vector<Hit> ranking(const std::vector<float>& scores) {
    std::vector<Hit> hits;
    for (std::size_t i = 0; i < scores.size(); ++i) hits.push_back({scores[i], i});
    std::stable_sort(hits.begin(), hits.end(), [](const Hit& a, const Hit& b) {
        if (std::isnan(a.score) || std::isnan(b.score)) return !std::isnan(a.score) && std::isnan(b.score);
        return a.score > b.score;
    });
    return hits;
}

std::vector<Hit> best(const std::vector<Hit>& ranked, std::size_t first, std::size_t last, std::size_t k) {
    std::vector<Hit> hits;
    for (std::size_t i = 0; i < ranked.size() && hits.size() < k; ++i) {
        if (ranked[i].position >= first && ranked[i].position < last) hits.push_back(ranked[i]);
    }
    return hits;
}

bool same(const std::vector<Hit>& a, const std::vector<Hit>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Hit& x, const Hit& y) {
        return float_bits(x.score) == float_bits(y.score) && x.position == y.position;
    });
}

// Prints both lists (score bits@position) and aborts, which saves the input.
void expect_same(const char* what, const Case& c, const std::vector<Hit>& expected, const std::vector<Hit>& got) {
    if (same(expected, got)) return;
    std::fprintf(stderr, "MISMATCH in %s: d=%zu n=%zu k=%zu threads=%zu range=[%zu, %zu)\n", what, c.d,
                 c.rows.size(), c.k, c.threads, c.first, c.last);
    for (const auto* list : {&expected, &got}) {
        std::fprintf(stderr, list == &expected ? "expected:" : "got:     ");
        for (const Hit& h : *list) std::fprintf(stderr, " %08x@%zu", float_bits(h.score), h.position);
        std::fprintf(stderr, "\n");
    }
    std::abort();
}

std::vector<Hit> scan(const Vectorstore& store, const Case& c, std::size_t first, std::size_t last,
                      const ScanOptions& options) {
    std::vector<Hit> out;
    out.reserve(std::min(c.k, last - first));
    detail::scan_range(store, c.query.data(), c.k, first, last, out, options);
    return out;
}

// Results of the public searches, with ids mapped back to positions (an id
// that no position has maps past the end).
std::vector<Hit> positions(Outcome<std::vector<ScoredId>> found, std::size_t n) {
    if (!found.ok()) {
        std::fprintf(stderr, "search refused: %s\n", found.error().message.c_str());
        std::abort();
    }
    std::uint64_t inverse = kIdFactor;  // Newton's iteration for the inverse modulo 2^64
    for (int i = 0; i < 5; ++i) inverse *= 2 - kIdFactor * inverse;
    std::vector<Hit> hits;
    for (const ScoredId& s : found.value()) hits.push_back({s.score, std::min<std::size_t>(n, (s.id ^ kIdMask) * inverse)});
    return hits;
}

// How sharp the input is, for each bound: the first variant that starts at
// the sketch, and the first that starts at the high plane, with the bound of
// that level scaled down to 1/2, 9/10 and 99/100. A distinct branch for each
// level and scale that gives a wrong answer makes inputs that sit that close
// to either bound new coverage. QUILLMERE_FUZZ_SHARPNESS=1 prints the levels
// (0-3 each) of every input.
volatile int sharp_sink;
void probe_sharpness(const Vectorstore& store, const Case& c, const std::vector<Hit>& expected) {
    int level[2] = {0, 0};  // sketch first, high plane first
    bool probed[2] = {false, false};
    for (const Variant& variant : scan_variants()) {
        const int which = variant.options.mode == detail::ScanMode::Planes;
        if (!variant.skips || probed[which]) continue;
        probed[which] = true;
        ScanOptions options = variant.options;
        for (double scale : {0.5, 0.9, 0.99}) {
            options.slack_scale = scale;
            if (same(scan(store, c, 0, c.rows.size(), options), expected)) break;
            ++level[which];
        }
    }
    if (level[0] == 1) sharp_sink = 1;
    if (level[0] == 2) sharp_sink = 2;
    if (level[0] == 3) sharp_sink = 3;
    if (level[1] == 1) sharp_sink = 5;
    if (level[1] == 2) sharp_sink = 6;
    if (level[1] == 3) sharp_sink = 7;
    static const bool report = std::getenv("QUILLMERE_FUZZ_SHARPNESS") != nullptr;
    if (report) std::fprintf(stderr, "sharpness: sketch %d, high plane %d\n", level[0], level[1]);
}

// The batch: the query, then two rows as queries. Each query's expected
// top k, range and masked results come from its own reference ranking.
void check_batches(const Vectorstore& store, const Case& c, const std::vector<Hit>& ranked) {
    const std::size_t n = c.rows.size(), d = c.d;
    std::vector<std::vector<float>> queries{c.query};
    if (n > 0) {
        queries.push_back(c.rows[c.first % n]);
        queries.push_back(c.rows[c.last % n]);
    }
    std::vector<float> flat;
    std::vector<std::vector<Hit>> rankings{ranked};
    for (const auto& q : queries) flat.insert(flat.end(), q.begin(), q.end());
    for (std::size_t j = 1; j < queries.size(); ++j) {
        std::vector<float> scores(n);
        for (std::size_t i = 0; i < n; ++i) scores[i] = cosine_unchecked(queries[j].data(), c.rows[i].data(), d);
        rankings.push_back(ranking(scores));
    }
    // A mask from the input: positions whose id hash has a bit of `threads` set.
    std::vector<std::uint8_t> mask((n + 7) / 8);
    for (std::size_t p = 0; p < n; ++p) mask[p / 8] |= static_cast<std::uint8_t>(((id_of(p) >> 7) & c.threads & 0x3F) != 0) << (p % 8);
    const auto allowed = [&](std::size_t p) { return (mask[p / 8] >> (p % 8) & 1) != 0; };
    // min_score: query 0's k-th score when it is a number, else -inf.
    const std::size_t kth = std::min(c.k, n);
    const double min_score = kth > 0 && !std::isnan(ranked[kth - 1].score) ? ranked[kth - 1].score : -HUGE_VAL;
    const auto expected = [&](std::size_t j, bool range, bool masked) {
        std::vector<Hit> out;
        for (const Hit& h : rankings[j]) {
            if (masked && !allowed(h.position)) continue;
            if (range ? static_cast<double>(h.score) >= min_score : out.size() < c.k) out.push_back(h);
        }
        return out;
    };
    const AllowedMask whole{mask.data(), mask.size()};
    for (bool masked : {false, true}) {
        const auto on = masked ? std::optional<AllowedMask>(whole) : std::nullopt;
        auto top = search_batch(store, flat.data(), queries.size(), c.k, c.threads % 5, on);
        auto range = range_search(store, flat.data(), queries.size(), min_score, c.threads % 3, on);
        if (!top.ok() || !range.ok()) {
            std::fprintf(stderr, "batch refused\n");
            std::abort();
        }
        for (std::size_t j = 0; j < queries.size(); ++j) {
            expect_same("search_batch", c, expected(j, false, masked), positions(top.value()[j], n));
            expect_same("range_search", c, expected(j, true, masked), positions(range.value()[j], n));
        }
    }
    for (const Variant& variant : scan_variants()) {
        std::vector<detail::PreparedQuery> prepared;
        for (const auto& q : queries) prepared.push_back(detail::prepare_query(q.data(), d, variant.options));
        std::vector<std::vector<Hit>> outs(queries.size());
        for (auto& o : outs) o.reserve(std::min(c.k, n));
        detail::scan_batch(store, prepared.data(), queries.size(), {c.k, false, 0.0}, 0, n, mask.data(), outs.data(),
                           variant.options);
        for (std::size_t j = 0; j < queries.size(); ++j) expect_same(variant.name.c_str(), c, expected(j, false, true), outs[j]);
        detail::scan_batch(store, prepared.data(), queries.size(), {0, true, min_score}, 0, n, nullptr, outs.data(),
                           variant.options);
        for (std::size_t j = 0; j < queries.size(); ++j) expect_same(variant.name.c_str(), c, expected(j, true, false), outs[j]);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Case c = decode(data, size);
    const std::size_t n = c.rows.size();
    const std::size_t d = c.d;

    std::vector<float> scores(n);
    Vectorstore store(d);
    for (std::size_t i = 0; i < n; ++i) {
        scores[i] = cosine_unchecked(c.query.data(), c.rows[i].data(), d);
        store.insert(c.rows[i].data(), d, id_of(i));
    }
    const std::vector<Hit> ranked = ranking(scores);
    const std::vector<Hit> expected = best(ranked, 0, n, c.k);
    const std::vector<Hit> in_range = best(ranked, c.first, c.last, c.k);

    expect_same("search", c, expected, positions(search(store, c.query.data(), d, c.k), n));
    expect_same("parallel_search", c, expected,
                positions(parallel_search(store, c.query.data(), d, c.k, c.threads % 5), n));

    // A parallel plan from the input: each chunk on its own, then merged in chunk order.
    const ChunkPlan plan = n == 0 ? ChunkPlan{1, 0} : plan_chunks(n, c.threads);
    std::vector<std::vector<Hit>> chunks(plan.count);
    for (const Hit& hit : ranked) {
        auto& chunk = chunks[hit.position / plan.size];
        if (chunk.size() < c.k) chunk.push_back(hit);
    }
    for (const Variant& variant : scan_variants()) {
        const char* name = variant.name.c_str();
        const ScanOptions& options = variant.options;
        expect_same(name, c, expected, scan(store, c, 0, n, options));
        expect_same(name, c, in_range, scan(store, c, c.first, c.last, options));
        std::vector<Hit> merged;
        for (std::size_t i = 0; i < plan.count; ++i) {
            const std::size_t first = i * plan.size, last = std::min(n, first + plan.size);
            const std::vector<Hit> chunk = scan(store, c, first, last, options);
            expect_same(name, c, chunks[i], chunk);
            merged.insert(merged.end(), chunk.begin(), chunk.end());
        }
        std::sort(merged.begin(), merged.end(), detail::ranks_before);
        if (merged.size() > c.k) merged.resize(c.k);
        expect_same(name, c, expected, merged);
    }
    check_batches(store, c, ranked);
    probe_sharpness(store, c, expected);
    return 0;
}
