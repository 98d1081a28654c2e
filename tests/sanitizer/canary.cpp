// Deliberate defects, built with the same sanitizer flags as the extension and
// loaded into the same kind of interpreter process, so that the sanitizer run
// can prove before it starts that each kind of report is actually produced
// and caught: a leak whose allocation is made in code of the namespace
// quillmere (as every allocation of the module is), a heap buffer overflow
// and undefined behaviour.
#include <cstdlib>
#include <vector>

namespace quillmere::sanitizer_canary {

__attribute__((noinline)) void leak() {
    std::vector<float>* volatile lost = new std::vector<float>(256, 1.0f);
    (void)lost;  // the only pointer to it goes with this frame
}

__attribute__((noinline)) int overflow(int index) {
    std::vector<int> values(4, 7);
    return values.data()[index];
}

__attribute__((noinline)) int undefined(int big) {
    return big + 1;
}

}  // namespace quillmere::sanitizer_canary

extern "C" {
void canary_leak() { quillmere::sanitizer_canary::leak(); }
int canary_overflow() { return quillmere::sanitizer_canary::overflow(4); }
int canary_undefined() { return quillmere::sanitizer_canary::undefined(2147483647); }
}
