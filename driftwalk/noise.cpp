#include "driftwalk/noise.hpp"

#include <cmath>

#include "core/thread_rand.hpp"

namespace driftwalk {
namespace {

constexpr double kCarryUnit = 0x1p-48;
constexpr double kWordScale = 0x1p-32;

}  // namespace

void swc_seed(SwcEngine &e, uint32_t s) {
  uint32_t z = s;
  for (int i = 0; i < SwcEngine::kLongLag; ++i) {
    // The first output gives the high 32 bits of the 48-bit word, the low 16 bits of the second
    // output the low 16 bits; both terms and their sum are exact.
    const double a = seeding_step(z);
    const double b = seeding_step(z) % 65536u;
    e.ring[i] = a * kWordScale + (b / 65536.0) * kWordScale;
  }
  e.carry = e.ring[SwcEngine::kLongLag - 1] == 0.0 ? kCarryUnit : 0.0;
  e.index = SwcEngine::kLongLag;
  e.steps = 0;
}

double swc_next(SwcEngine &e) {
  if (e.index < 0 || e.index >= SwcEngine::kRing) e.index = 0;
  const int i = e.index;
  const double xs = e.ring[(i + SwcEngine::kRing - SwcEngine::kShortLag) % SwcEngine::kRing];
  const double xr = e.ring[(i + SwcEngine::kRing - SwcEngine::kLongLag) % SwcEngine::kRing];
  const double t = xs - e.carry;
  double u = t - xr;
  if (xr > t) {
    u = u + 1.0;
    e.carry = kCarryUnit;
  } else {
    e.carry = 0.0;
  }
  e.ring[i] = u;
  e.index = i + 1;
  ++e.steps;
  return u;
}

double normal_draw(NormalSampler &p, SwcEngine &e) {
  double z;
  if (p.has_cached) {
    p.has_cached = false;
    z = p.cached;
  } else {
    double q1, q2, s;
    do {
      q1 = 2.0 * swc_next(e) - 1.0;
      q2 = 2.0 * swc_next(e) - 1.0;
      s = q2 * q2 + q1 * q1;
    } while (!(s > 0.0 && s < 1.0));
    const double f = std::sqrt((std::log(s) * -2.0) / s);
    p.cached = f * q2;
    p.has_cached = true;
    z = f * q1;
  }
  return z * p.sd + p.mean;
}

double gaussian_noise(double mean, double sd) {
  const uint32_t r = static_cast<uint32_t>(core::thread_rand());
  SwcEngine engine;
  swc_seed(engine, noise_seed(r));
  NormalSampler sampler;
  sampler.mean = mean;
  sampler.sd = sd;
  return normal_draw(sampler, engine);
}

}  // namespace driftwalk
