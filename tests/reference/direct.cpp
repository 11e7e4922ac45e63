#include "reference/direct.hpp"

#include <cmath>

#include "core/random/thread_rand.hpp"

namespace reference {
namespace {

struct Engine {
  int32_t index = 0;
  double ring[24] = {};
  double carry = 0.0;
};

uint32_t seeding_step(uint32_t &z) {
  z = static_cast<uint32_t>(uint64_t{40014} * z % 2147483563u);
  return z;
}

void seed(Engine &e, uint32_t s) {
  uint32_t z = s;
  for (int i = 0; i < 12; ++i) {
    const double a = seeding_step(z);
    const double b = seeding_step(z) % 65536u;
    e.ring[i] = a * 0x1p-32 + (b / 65536.0) * 0x1p-32;
  }
  e.carry = e.ring[11] == 0.0 ? 0x1p-48 : 0.0;
  e.index = 12;
}

double next(Engine &e) {
  if (e.index < 0 || e.index >= 24) e.index = 0;
  const int i = e.index;
  const double xs = e.ring[(i - 5 + 24) % 24];
  const double xr = e.ring[(i - 12 + 24) % 24];
  const double t = xs - e.carry;
  double u = t - xr;
  if (xr > t) {
    u = u + 1.0;
    e.carry = 0x1p-48;
  } else {
    e.carry = 0.0;
  }
  e.ring[i] = u;
  e.index = i + 1;
  return u;
}

struct Sampler {
  double mean, sd;
  bool has_cached = false;
  double cached = 0.0;
};

double draw(Sampler &p, Engine &e) {
  double z;
  if (p.has_cached) {
    p.has_cached = false;
    z = p.cached;
  } else {
    double q1, q2, s;
    do {
      const double u1 = next(e);
      q1 = 2.0 * u1 - 1.0;
      const double u2 = next(e);
      q2 = 2.0 * u2 - 1.0;
      s = q2 * q2 + q1 * q1;
    } while (!(0.0 < s && s < 1.0));
    const double f = std::sqrt((std::log(s) * -2.0) / s);
    p.cached = f * q2;
    p.has_cached = true;
    z = f * q1;
  }
  return z * p.sd + p.mean;
}

}  // namespace

double gaussian_noise(double mean, double sd) {
  Engine engine;
  const uint32_t r = static_cast<uint32_t>(core::thread_rand());
  uint32_t s = (r + 100u) % 2147483563u;
  if (s == 0) s = 1;
  seed(engine, s);
  Sampler sampler{mean, sd};
  return draw(sampler, engine);
}

void random_permutation(int32_t n, int32_t *p) {
  for (int32_t j = 0; j < n; ++j) {
    const int32_t k = core::thread_rand() % (j + 1);
    p[j] = p[k];
    p[k] = j;
  }
}

}  // namespace reference
