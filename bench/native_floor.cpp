// The read floor of the benchmark: one core streaming a buffer once, as fast
// as a plain native loop can. Eight independent accumulators keep enough
// loads in flight; the widest vector set the CPU has is chosen at run time.
// bench/run.py compiles this with the C++ compiler that builds the module and
// calls it through ctypes.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

// One loop per vector width, each compiled for its own instruction set.
#define QUILLMERE_READ_LOOP(name, target_set, V, zero, bit_or, load)                                 \
    __attribute__((target(target_set))) std::uint64_t name(const char* p, std::size_t bytes) {      \
        constexpr std::size_t kStep = 8 * sizeof(V);                                                 \
        V a0 = zero, a1 = zero, a2 = zero, a3 = zero, a4 = zero, a5 = zero, a6 = zero, a7 = zero;    \
        for (std::size_t i = 0; i + kStep <= bytes; i += kStep) {                                    \
            a0 = bit_or(a0, load(p + i));                                                            \
            a1 = bit_or(a1, load(p + i + sizeof(V)));                                                \
            a2 = bit_or(a2, load(p + i + 2 * sizeof(V)));                                            \
            a3 = bit_or(a3, load(p + i + 3 * sizeof(V)));                                            \
            a4 = bit_or(a4, load(p + i + 4 * sizeof(V)));                                            \
            a5 = bit_or(a5, load(p + i + 5 * sizeof(V)));                                            \
            a6 = bit_or(a6, load(p + i + 6 * sizeof(V)));                                            \
            a7 = bit_or(a7, load(p + i + 7 * sizeof(V)));                                            \
        }                                                                                            \
        const V all = bit_or(bit_or(bit_or(a0, a1), bit_or(a2, a3)), bit_or(bit_or(a4, a5), bit_or(a6, a7))); \
        std::uint64_t words[sizeof(V) / 8];                                                          \
        std::memcpy(words, &all, sizeof all);                                                        \
        std::uint64_t out = 0;                                                                       \
        for (std::uint64_t w : words) out |= w;                                                      \
        return out;                                                                                  \
    }

#define LOAD512(at) _mm512_loadu_si512(at)
#define LOAD256(at) _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at))
#define LOAD128(at) _mm_loadu_si128(reinterpret_cast<const __m128i*>(at))
QUILLMERE_READ_LOOP(read_avx512, "avx512f", __m512i, _mm512_setzero_si512(), _mm512_or_si512, LOAD512)
QUILLMERE_READ_LOOP(read_avx2, "avx2", __m256i, _mm256_setzero_si256(), _mm256_or_si256, LOAD256)
QUILLMERE_READ_LOOP(read_sse2, "sse2", __m128i, _mm_setzero_si128(), _mm_or_si128, LOAD128)

using Reader = std::uint64_t (*)(const char*, std::size_t);

struct Loop {
    const char* name;
    Reader read;
};

Loop pick() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return {"avx512", read_avx512};
    if (__builtin_cpu_supports("avx2")) return {"avx2", read_avx2};
    return {"sse2", read_sse2};
}

const Loop& chosen() {
    static const Loop loop = pick();
    return loop;
}

}  // namespace

extern "C" {

// Which loop read_floor() runs: "avx512", "avx2" or "sse2".
const char* floor_loop() { return chosen().name; }

// Reads every byte of [p, p + bytes) once (the tail past a multiple of 8
// vectors is left out: at most 511 bytes) and returns their bitwise or, so
// that no load can be optimised away.
std::uint64_t read_floor(const void* p, std::size_t bytes) {
    return chosen().read(static_cast<const char*>(p), bytes);
}

// The same with `threads` threads, each reading one contiguous share: what
// several cores read together (a parallel search's floor).
std::uint64_t read_floor_threads(const void* p, std::size_t bytes, std::size_t threads) {
    const char* c = static_cast<const char*>(p);
    const std::size_t share = (bytes / threads + 511) / 512 * 512;
    std::vector<std::uint64_t> results(threads, 0);
    std::vector<std::thread> workers;
    for (std::size_t t = 0; t < threads && t * share < bytes; ++t) {
        const std::size_t length = t * share + share < bytes ? share : bytes - t * share;
        workers.emplace_back([&results, c, t, share, length] { results[t] = chosen().read(c + t * share, length); });
    }
    std::uint64_t out = 0;
    for (std::size_t t = 0; t < workers.size(); ++t) {
        workers[t].join();
        out |= results[t];
    }
    return out;
}

// The copy floor: memcpy of `bytes` from `src` into `dst` (a warm buffer).
void copy_floor(void* dst, const void* src, std::size_t bytes) {
    std::memcpy(dst, src, bytes);
    asm volatile("" : : "r"(dst) : "memory");
}

// memcpy into fresh memory from malloc, freed afterwards: what a copy that
// returns new memory pays, the first touch of every page included.
int copy_fresh_floor(const void* src, std::size_t bytes) {
    void* dst = std::malloc(bytes);
    if (dst == nullptr) return -1;
    std::memcpy(dst, src, bytes);
    asm volatile("" : : "r"(dst) : "memory");  // the copy may not be optimised away
    std::free(dst);
    return 0;
}
}
