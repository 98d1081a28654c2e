// Reading stored vectors and ids back: every kernel gives the stored bits,
// over ranges that start and end inside blocks, across segment edges and
// inside the staged tail.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "readback.hpp"
#include "store.hpp"
#include "check.hpp"

using namespace quillmere;

using quillmere_test::checks;
using quillmere_test::failures;

// Bit patterns a float conversion or an arithmetic join would change: NaNs
// with payloads of both signs (quiet and signalling), signed zeros,
// subnormals, the extremes, and halves whose rounding carries or wraps.
static const std::uint32_t kSpecial[] = {
    0x7FC00001u, 0xFFBADBADu, 0x7F800001u, 0xFF800001u, 0x7FFFFFFFu, 0xFFFFFFFFu, 0x00000000u, 0x80000000u,
    0x00000001u, 0x807FFFFFu, 0x00007FFFu, 0x00008000u, 0x7F7FFFFFu, 0xFF7FFFFFu, 0x7F800000u, 0xFF800000u,
    0x3F807FFFu, 0x3F808000u, 0xFFFF7FFFu, 0xFFFF8000u, 0x80008000u,
};

static void test_round_trip(std::size_t d) {
    std::mt19937 rng(static_cast<unsigned>(d) + 1);
    // Segments hold 1, 2, 4 and 8 blocks: edges at 32, 96, 224 and 480; then a partial tail.
    const std::size_t n = 480 + 32 + 13;
    std::vector<std::uint32_t> data(n * d);
    for (std::size_t j = 0; j < data.size(); ++j) {
        data[j] = rng() % 3 == 0 ? kSpecial[rng() % (sizeof kSpecial / sizeof kSpecial[0])] : rng();
    }
    Vectorstore store(d);
    for (std::size_t p = 0; p < n; ++p) {
        std::vector<float> row(d);
        std::memcpy(row.data(), data.data() + p * d, d * sizeof(float));
        CHECK(!store.insert(row.data(), d, 0x9E3779B97F4A7C15ull * (p + 1)));
    }
    const std::size_t edges[] = {0, 1, 31, 32, 33, 95, 96, 97, 200, 224, 255, 480, 511, 512, 513, n - 1, n};
    for (detail::KernelId kernel : {detail::KernelId::Portable, detail::KernelId::Avx2, detail::KernelId::Avx512}) {
        if (!detail::kernel_supported(kernel)) continue;
        for (std::size_t first : edges) {
            for (std::size_t last : edges) {
                if (last < first) continue;
                // A sentinel after the range catches a write past its end.
                std::vector<std::uint32_t> out((last - first) * d + 1, 0xA5A5A5A5u);
                read_vectors(store, first, last, reinterpret_cast<float*>(out.data()), kernel);
                CHECK(std::memcmp(out.data(), data.data() + first * d, (last - first) * d * 4) == 0);
                CHECK(out.back() == 0xA5A5A5A5u);
            }
        }
    }
    for (std::size_t first : edges) {
        for (std::size_t last : edges) {
            if (last < first) continue;
            std::vector<std::uint64_t> ids(last - first + 1, 7);
            read_ids(store, first, last, ids.data());
            bool same = ids.back() == 7;
            for (std::size_t p = first; p < last; ++p) same = same && ids[p - first] == 0x9E3779B97F4A7C15ull * (p + 1);
            CHECK(same);
        }
    }
}

int main() {
    for (std::size_t d : {0u, 1u, 7u, 8u, 16u, 17u, 131u}) test_round_trip(d);
    std::printf("readback tests: %d checks, %d failed\n", checks, failures);
    return failures == 0 ? 0 : 1;
}
