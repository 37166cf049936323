#include "vek_convertlines.h"

#include <array>
#include <cstdint>
#include <type_traits>

#include "platform/platdispatch.h"
#include "vek_clampround.h"
#include "vek_sampletype.h"

#if defined(__x86_64__) || defined(__i386__)
#define VEK_HAVE_AVX2_SET 1
#else
#define VEK_HAVE_AVX2_SET 0
#endif

namespace {

// Outputs of one width share a body: the bounds come in as values, and once v has been clamped
// to an unsigned type's bounds, rounding half away from zero is its rounding half up. 8- and
// 16-bit outputs round through a 32-bit integer and keep the low bytes. 32-bit integers keep
// their own bodies: AVX2 converts doubles to signed 32-bit lanes, not to 64-bit ones.
template <class D>
struct Store {
  static constexpr bool kNarrow = std::is_integral_v<D> && sizeof(D) <= 2;
  using Round = std::conditional_t<kNarrow, int32_t, D>;  // the type clamp_round works in
  using Write = std::conditional_t<kNarrow, std::conditional_t<sizeof(D) == 1, uint8_t, uint16_t>, D>;
};

// The loop itself, inlined into each set's entry below so that each is vectorised for its own
// instruction set. Plain double arithmetic, no contraction: every set gives the same bits.
template <int Form, class S, class R, class W>
[[gnu::always_inline]] inline void line_body(const void* source, void* destination, uint32_t n, double slope,
                                             double intercept, double high, double low) {
  const S* __restrict in = static_cast<const S*>(source);
  W* __restrict out = static_cast<W*>(destination);
  const R h = static_cast<R>(high);
  const R l = static_cast<R>(low);
  for (uint32_t i = 0; i < n; ++i) {
    const double s = static_cast<double>(in[i]);
    const double v = Form == 0 ? s + intercept : Form == 1 ? s * slope : s * slope + intercept;
    out[i] = static_cast<W>(clamp_round<R>(v, h, l));
  }
}

template <int Form, class S, class D>
void line_plain(const void* in, void* out, uint32_t n, double slope, double intercept, double high, double low) {
  line_body<Form, S, typename Store<D>::Round, typename Store<D>::Write>(in, out, n, slope, intercept, high, low);
}

#if VEK_HAVE_AVX2_SET
template <int Form, class S, class D>
__attribute__((target("avx2"))) void line_avx2(const void* in, void* out, uint32_t n, double slope, double intercept,
                                               double high, double low) {
  line_body<Form, S, typename Store<D>::Round, typename Store<D>::Write>(in, out, n, slope, intercept, high, low);
}
#endif

using Forms = std::array<VEK_ConvertLine, 3>;

// Outputs that share a body share its instances: the written type stands for both.
template <class D>
using Canonical = typename Store<D>::Write;

template <VEK_KernelSet Set, class S, class D>
constexpr Forms forms() {
  using C = Canonical<D>;
#if VEK_HAVE_AVX2_SET
  if constexpr (Set == VEK_KERNELS_AVX2) return {&line_avx2<0, S, C>, &line_avx2<1, S, C>, &line_avx2<2, S, C>};
#endif
  return {&line_plain<0, S, C>, &line_plain<1, S, C>, &line_plain<2, S, C>};
}

template <VEK_KernelSet Set, class S, class... D>
constexpr std::array<Forms, 8> row(VEK_TypeList<D...>) {
  return {forms<Set, S, D>()...};
}

template <VEK_KernelSet Set, class... S>
constexpr std::array<std::array<Forms, 8>, 8> table(VEK_TypeList<S...>) {
  return {row<Set, S>(VEK_SampleTypes{})...};
}

constexpr auto kPlain = table<VEK_KERNELS_PLAIN>(VEK_SampleTypes{});
#if VEK_HAVE_AVX2_SET
constexpr auto kAvx2 = table<VEK_KERNELS_AVX2>(VEK_SampleTypes{});
#endif

}  // namespace

bool vek_kernel_set_available(VEK_KernelSet set) {
  if (set == VEK_KERNELS_PLAIN) return true;
#if VEK_HAVE_AVX2_SET
  // libgcc's check includes the operating system's support for the wide registers.
  __builtin_cpu_init();
  return set == VEK_KERNELS_AVX2 && __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

VEK_KernelSet vek_kernel_set() {
  // A function-local static: made once, safely, by whichever thread comes first.
  static const VEK_KernelSet chosen = [] {
    if (PlatForcePlainKernels()) return VEK_KERNELS_PLAIN;
    return vek_kernel_set_available(VEK_KERNELS_AVX2) ? VEK_KERNELS_AVX2 : VEK_KERNELS_PLAIN;
  }();
  return chosen;
}

const VEK_ConvertLine* vek_convert_lines(VEK_KernelSet set, uint32_t source, uint32_t target) {
#if VEK_HAVE_AVX2_SET
  if (set == VEK_KERNELS_AVX2) return kAvx2[source][target].data();
#endif
  (void)set;
  return kPlain[source][target].data();
}

const VEK_ConvertLine* vek_convert_lines(uint32_t source, uint32_t target) {
  return vek_convert_lines(vek_kernel_set(), source, target);
}
