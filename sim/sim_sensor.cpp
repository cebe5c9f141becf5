// Raw frame generation: scene returns per pixel, computed once, turned into
// DCS samples per frame with the switched-on sensor errors.
#include "sim_sensor.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <sstream>
#include <string>

namespace kavro_sim {

namespace {

constexpr double k_pi = 3.14159265358979323846;

uint64_t splitmix64(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Independent streams from one seed: the sensor's fixed pattern, and one per frame.
uint64_t stream_seed(uint64_t seed, uint64_t stream) { return splitmix64(splitmix64(seed) ^ stream); }

constexpr uint64_t k_stream_fpn = 0xF1ED0001ull;
constexpr uint64_t k_stream_dead = 0xDEAD0002ull;
constexpr uint64_t k_stream_frame = 0xF4A30000ull << 32;

int image_row_to_sensor(int r, int h)
{
    return r < h / 2 ? 2 * (h / 2 - 1 - r) : 2 * (r - h / 2) + 1;
}

}  // namespace

bool sensor_errors_parse(const char* text, sensor_errors* out)
{
    sensor_errors e;
    std::stringstream ss(text ? text : "");
    std::string tok;
    while (std::getline(ss, tok, ',')) {
        if (tok.empty())
            continue;
        bool on = true;
        if (tok[0] == '-') {
            on = false;
            tok.erase(0, 1);
        }
        if (tok == "none") {
            e = sensor_errors{};
        } else if (tok == "all") {
            e.fpn = e.wiggle = e.drift = e.noise = e.ambient = e.saturation = e.empty = e.mixed =
                e.interference = on;
        } else if (tok == "fpn") {
            e.fpn = on;
        } else if (tok == "wiggle") {
            e.wiggle = on;
        } else if (tok == "drift") {
            e.drift = on;
        } else if (tok == "noise") {
            e.noise = on;
        } else if (tok == "ambient") {
            e.ambient = on;
        } else if (tok == "saturation") {
            e.saturation = on;
        } else if (tok == "empty") {
            e.empty = on;
        } else if (tok == "mixed") {
            e.mixed = on;
        } else if (tok == "interference") {
            e.interference = on;
        } else {
            return false;
        }
    }
    *out = e;
    return true;
}

uint32_t range_mm(uint32_t mod_freq)
{
    // Same single-precision arithmetic as the driver, so both agree to the mm.
    return mod_freq ? (uint32_t)(149896216576.0f / (float)mod_freq) : 0;
}

int sensor_row_to_image(int s, int h)
{
    int k = s / 2;
    return (s % 2 == 0) ? h / 2 - 1 - k : h / 2 + k;
}

camera::camera(const scene& sc, const sensor_cfg& cfg, const lens& ln)
    : cfg_(cfg), w_(ln.img_w), h_(ln.img_h), range_(range_mm(cfg.mod_freq))
{
    const int n = w_ * h_;
    const int sub = cfg_.err.mixed ? std::max(1, cfg_.mixed_subsamples) : 1;
    const double wsub = 1.0 / (sub * sub);
    truth_.assign(n, 0.0f);
    ret_ofs_.assign(n + 1, 0);
    rets_.reserve((size_t)n * (sub > 1 ? 2 : 1));
    const vec3 org{};

    auto trace = [&](double u, double v, double weight, float* truth) {
        vec3 dir;
        if (!lens_pixel_ray(ln, u, v, &dir))
            return;
        hit hi = scene_cast(sc, org, dir);
        if (!hi.ok)
            return;
        if (truth)
            *truth = (float)hi.t;
        double cos_inc = std::max(0.0, -dot(hi.normal, dir));
        double vig = std::pow(std::max(0.0, dir.z), cfg_.vignetting_exp);
        double dm = hi.t / 1000.0;
        ret r;
        r.dist_mm = (float)hi.t;
        r.geo = (float)(weight * hi.refl * cos_inc * vig / (dm * dm));
        r.amb_geo = (float)(weight * hi.refl * vig);
        rets_.push_back(r);
    };

    for (int y = 0; y < h_; ++y) {
        for (int x = 0; x < w_; ++x) {
            const int p = y * w_ + x;
            ret_ofs_[p] = (uint32_t)rets_.size();
            if (sub == 1) {
                trace(x, y, 1.0, &truth_[p]);
            } else {
                // The truth is the pixel's centre ray; the signal is the mix
                // of all sub-rays over the pixel's footprint.
                vec3 dir;
                if (lens_pixel_ray(ln, x, y, &dir)) {
                    hit hi = scene_cast(sc, org, dir);
                    if (hi.ok)
                        truth_[p] = (float)hi.t;
                }
                for (int j = 0; j < sub; ++j)
                    for (int i = 0; i < sub; ++i)
                        trace(x + (i + 0.5) / sub - 0.5, y + (j + 0.5) / sub - 0.5, wsub, nullptr);
            }
        }
    }
    ret_ofs_[n] = (uint32_t)rets_.size();

    // Fixed pattern: a smooth bowl with a tilt plus a per-pixel random part.
    fpn_.assign(n, 0.0f);
    if (cfg_.err.fpn) {
        std::mt19937_64 rng(stream_seed(cfg_.seed, k_stream_fpn));
        std::normal_distribution<double> nd(0.0, cfg_.fpn_random_mm);
        const double hw = w_ / 2.0, hh = h_ / 2.0;
        for (int y = 0; y < h_; ++y) {
            for (int x = 0; x < w_; ++x) {
                double xn = (x - hw) / hw, yn = (y - hh) / hh;
                double smooth = cfg_.fpn_smooth_mm * (0.6 * (xn * xn + yn * yn) / 2 + 0.4 * xn);
                fpn_[y * w_ + x] = (float)(smooth + nd(rng));
            }
        }
    }
    dead_.assign(n, 0);
    if (cfg_.err.empty) {
        std::mt19937_64 rng(stream_seed(cfg_.seed, k_stream_dead));
        std::uniform_real_distribution<double> ud(0.0, 1.0);
        for (int p = 0; p < n; ++p)
            dead_[p] = ud(rng) < cfg_.dead_fraction;
    }
}

float camera::amplitude(int pixel) const
{
    double g = 0;
    for (uint32_t j = ret_ofs_[pixel]; j < ret_ofs_[pixel + 1]; ++j)
        g += rets_[j].geo;
    return (float)(cfg_.amp_gain * g * cfg_.intg_us / 1000.0);
}

float camera::ambient(int pixel) const
{
    if (!cfg_.err.ambient)
        return 0.0f;
    double g = 0;
    for (uint32_t j = ret_ofs_[pixel]; j < ret_ofs_[pixel + 1]; ++j)
        g += rets_[j].amb_geo;
    return (float)(cfg_.ambient_dn * g * cfg_.intg_us / 1000.0);
}

double camera::wiggle_mm(double phase_dist_mm) const
{
    if (!cfg_.err.wiggle)
        return 0.0;
    double phi = 2 * k_pi * phase_dist_mm / range_;
    return cfg_.wiggle_mm * std::sin(cfg_.wiggle_harmonic * phi + cfg_.wiggle_phase);
}

void camera::temperatures(uint32_t frame_idx, int16_t* cb, int16_t* ib) const
{
    if (!cfg_.err.drift) {
        // Without the warm-up the sensor sits at the ambient temperature and
        // says so, like every real camera: it never reports 0 / 0. Its phase
        // still carries the drift of that temperature (drift_mm), which the
        // decoder takes out from the reported values.
        *cb = *ib = (int16_t)std::lround(cfg_.temp_ambient_c * 10.0);
        return;
    }
    double t = cfg_.warmup_start_s + (cfg_.fps > 0 ? frame_idx / cfg_.fps : 0.0);
    double rise = cfg_.warmup_tau_s > 0 ? 1.0 - std::exp(-t / cfg_.warmup_tau_s) : 1.0;
    *cb = (int16_t)std::lround((cfg_.temp_ambient_c + cfg_.temp_rise_cb_c * rise) * 10.0);
    *ib = (int16_t)std::lround((cfg_.temp_ambient_c + cfg_.temp_rise_ib_c * rise) * 10.0);
}

double camera::drift_mm(int16_t cb, int16_t ib) const
{
    return cfg_.drift_cb_mm * cb / 10.0 + cfg_.drift_ib_mm * ib / 10.0;
}

double camera::sample_var(double a, double amb) const
{
    if (!cfg_.err.noise)
        return 0.0;
    return cfg_.read_noise_dn * cfg_.read_noise_dn + cfg_.shot_gain * (a + amb);
}

double camera::dist_sigma_mm(double a, double amb) const
{
    if (a <= 0)
        return INFINITY;
    // Rounding to integer samples adds 1/12 DN^2 to each sample.
    double s = std::sqrt(sample_var(a, amb) + 1.0 / 12.0);
    // Four samples: two differences of length 2a, each with variance 2 s^2.
    // Two samples (format 4): offsets from mid-scale of length a, variance s^2.
    double sigma_phi = cfg_.format == 4 ? s / a : s / (std::sqrt(2.0) * a);
    return sigma_phi * range_ / (2 * k_pi);
}

void camera::render(uint32_t frame_idx, frame* out) const
{
    const int n = w_ * h_;
    const bool four = cfg_.format != 4;
    out->width = w_;
    out->height = h_;
    out->format = four ? 2 : 4;
    out->dcs_cnt = four ? 4 : 1;
    out->frame_idx = frame_idx;
    temperatures(frame_idx, &out->temp_cb, &out->temp_ib);
    out->raw.assign((size_t)n * out->dcs_cnt, 0);
    out->truth_mm = truth_;

    std::mt19937_64 rng(stream_seed(cfg_.seed, k_stream_frame | frame_idx));
    std::normal_distribution<double> nd(0.0, 1.0);
    std::uniform_real_distribution<double> ud(0.0, 2 * k_pi);

    // A second camera free-runs at a slightly different frequency: its light
    // reaches each sample with a phase that moves between the captures.
    double intf_psi[4] = {0, 0, 0, 0};
    if (cfg_.err.interference) {
        double psi0 = ud(rng), step = ud(rng);
        for (int k = 0; k < 4; ++k)
            intf_psi[k] = psi0 + k * step;
    }

    const double drift = drift_mm(out->temp_cb, out->temp_ib);
    const double tscale = cfg_.intg_us / 1000.0;
    const double to_phase = 2 * k_pi / range_;

    for (int y = 0; y < h_; ++y) {
        const int s = image_row_to_sensor(y, h_);
        // Format 4: sensor row pairs alternate between the first and the second sample.
        const int k4 = (s / 2) % 2;
        for (int x = 0; x < w_; ++x) {
            const int p = y * w_ + x;
            uint16_t* dst = &out->raw[(size_t)s * w_ + x];
            if (dead_[p])
                continue;  // every sample 0
            std::complex<double> sig(0, 0);
            double a_sum = 0, amb = 0;
            for (uint32_t j = ret_ofs_[p]; j < ret_ofs_[p + 1]; ++j) {
                const ret& r = rets_[j];
                double a = cfg_.amp_gain * r.geo * tscale;
                // The drift shifts the measured phase as a whole: it is added
                // after the wiggling, which depends on the distance alone.
                double d = r.dist_mm + cfg_.zero_offset_mm + fpn_[p];
                d += wiggle_mm(d) + drift;
                sig += std::polar(a, d * to_phase);
                a_sum += a;
                amb += r.amb_geo;
            }
            amb = cfg_.err.ambient ? cfg_.ambient_dn * amb * tscale : 0.0;
            const bool sat = cfg_.err.saturation && 2 * a_sum + amb > cfg_.full_well_dn;
            const double sd = std::sqrt(sample_var(a_sum, amb));
            const double a_intf = cfg_.err.interference ? cfg_.interference_ratio * a_sum : 0.0;
            auto sample = [&](int k) -> uint16_t {
                if (sat)
                    return 4095;
                // Re(sig * e^(-i k pi/2)): 2048 + a cos(phi - k pi / 2).
                double re = k == 0 ? sig.real() : k == 1 ? sig.imag() : k == 2 ? -sig.real() : -sig.imag();
                double v = 2048.0 + re + cfg_.ambient_leak * amb;
                if (a_intf > 0)
                    v += a_intf * std::cos(intf_psi[k]);
                if (sd > 0)
                    v += sd * nd(rng);
                v = std::nearbyint(v);
                return (uint16_t)std::clamp(v, 0.0, 4095.0);
            };
            if (four) {
                for (int k = 0; k < 4; ++k)
                    dst[(size_t)k * n] = sample(k);
            } else {
                *dst = sample(k4);
            }
        }
    }
}

}  // namespace kavro_sim
