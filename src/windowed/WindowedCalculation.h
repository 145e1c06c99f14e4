// WindowedCalculation: the stage that computes the raw per-window data of the
// windowed results from the samples in the waveform rings, on the CPU. The
// module runs it for every window that scheduleForCalculation accepts; the
// finishing stage (getResults) turns the raw data into PowerResultsGeneral.
//
// The window. A window of periodCount cycles at frequency f starts at
// position first and has the exact length W = periodCount x sampleRate / f
// samples (generally not a whole number). Its samples are the positions p with
// first <= p < first + W: the item's length N = ceil(W), or W itself when W
// is a whole number (within 1e-9 relative). Sums of samples, squares and
// voltage x current products (raw offsets 0-48) run over these N samples.
//
// The spectrum. Harmonics must fall on spectral lines exactly, so the FFT
// input covers exactly periodCount cycles:
// - a window of a whole number of samples whose only prime factors are 2, 3
//   and 5 is transformed as it is (FFT length N); the spectrum is then exact
//   (up to single-precision rounding);
// - any other window is resampled synchronously onto M points, M the smallest
//   multiple of 4 not below W whose only prime factors are 2, 3 and 5 (2160
//   for 10 cycles at 49.5 Hz and 10240 Hz), point j at position first + j x
//   W / M. The interpolator is a Kaiser-windowed sinc (beta 6) over the 24
//   samples around the point (11 before, 13 from the point's own on), its
//   coefficients taken from a table of 256 fractions of a sample and
//   interpolated linearly between them, so a window costs no sine or cosine
//   and windows of a new length every time (a tracked frequency) cost what
//   windows of one length cost. Within 11 samples of the window's ends, where
//   the 24 samples are not all inside the window, 6-point Lagrange
//   interpolation over the window's own samples takes over (no sample outside
//   the window is read). Each line k is divided by the interpolator's mean
//   response over the fractions at its frequency (tabulated once against the
//   frequency in radians per sample) where that is at least 0.5 and the line
//   is below half the sample rate. What the interpolator cannot do is tell a
//   component just below half the sample rate from its image just above it:
//   the images of components above about 0.43 times the sample rate come
//   through, into the groups near half the rate.
//   Measured (tests/WindowedCalculation_test.cpp checks it): 230 V with a
//   lone 1 % harmonic of any order up to 0.45 times the sample rate (at most
//   50) puts at most 0.041 % of the fundamental into any other group or
//   subgroup up to that order, at 4096, 5760, 6400 and 10240 Hz and 42.5,
//   50.5 and 57.5 Hz (IEC 61000-4-7 Class I allows 0.05 % for components
//   under 1 %); the harmonic itself reads within 1.2 % (Class I: 5 %). The
//   6-point Lagrange resampler used before put 0.065 % of the fundamental
//   into group 41 for a 1 % 40th at 6400 Hz and 50.5 Hz, and up to 0.27 % at
//   5760 Hz.
// Either way spectral line k lies at k x f / periodCount Hz, which is the
// item's dFrequency (for a resampled window this replaces sampleRate / M);
// the FFT length is the item's fftInputLength, and the window is refused when
// it exceeds the longest FFT the buffers are sized for. The FFT is the
// library's own (windowed/LaneFft.h): single precision, two real channels
// per SSE lane, eight channels per transform, plans kept for the last four
// lengths. The resampling, the transform, the split of the lines and the
// sums of samples run as AVX2 copies where the processor has AVX2
// (windowed/Kernels.h), bit for bit as the baseline ones. A window that
// holds a sample beyond 2^96 (finite, but enough to overflow the
// transform's single-precision sums) goes into the transform scaled down by
// one power of two for all its channels, and its lines are scaled back in
// double, so such samples give finite lines (a window scaled as a whole by
// a power of two gives lines scaled alike); every other window is
// transformed as it is. Results stored as floats (harmonics, spectra,
// harmonic powers) that exceed the largest float are inf, which is the
// float nearest to them (a power of 1e38 V times 1e38 A, for instance); the
// sums of samples, squares and products run in double and stay finite for
// every finite float sample.
//
// Spectral line k has the RMS phasor Z_k = X_k sqrt(2) / M (X_k the DFT sum),
// Z_0 = X_0 / M and, for even M, Z_{M/2} = X_{M/2} / M, so that the sum of
// |Z_k|^2 over all lines is the mean square of the FFT input.
//
// Raw data written per window (slot s of the raw record, items of the
// harmonic, distortion, spectrum and symmetric buffers):
// - spectrum sums (raw offsets 56, 64, 72): sum of |Z_k|^2 over all lines,
//   DC included; spectrum active power (104): sum of Re(Zu_k conj Zi_k);
//   spectrum reactive power (112): sum of Im(Zu_k conj Zi_k) (positive for a
//   current lagging its voltage);
// - harmonic arrays: element 0 the DC value (the mean, signed); element h >= 1
//   the RMS value of harmonic group h as IEC 61000-4-7 defines it: the lines
//   from hP - P/2 to hP + P/2 with half weight for the two border lines when P
//   = periodCount is even (10 cycles at 50 Hz: 9 lines plus two halves), the
//   P lines around hP when P is odd; lines beyond M / 2 count 0. With
//   harmonic subgroups enabled (harmonicSubgroupsEnabled), element h is the
//   harmonic subgroup instead: the lines hP - 1, hP and hP + 1 (the centre
//   line alone when P < 3, where the neighbours would be shared with the
//   next subgroup or be other harmonics), and every distortion sum below
//   runs over these subgroups (THDS and its partial sums);
// - inter-harmonic arrays: element h the RMS value of the centred
//   inter-harmonic subgroup between orders h and h + 1 (lines hP + 2 to
//   hP + P - 2; empty, so 0, when P < 4); element 0 lies between DC and the
//   fundamental;
// - angles (items 30-35): degrees in (-180, 180], the angle of the line hP,
//   that is the phase of the cosine of that order at the window's first
//   sample; so cos(angle of I1 - angle of U1) is the displacement power
//   factor;
// - per-harmonic powers (items 18-26) from the lines hP: active Re(Uh conj Ih),
//   reactive Im(Uh conj Ih), apparent |Uh| |Ih|; element 0 the DC power
//   Udc Idc (reactive 0, apparent its magnitude);
// - auxiliary group (items 27-29): the angle of the voltage minus the angle of
//   the current of order h, degrees in (-180, 180] (element 1 is the
//   fundamental's displacement angle; element 0 is 0);
// - distortion sums of the harmonic items (0-8), hmax = the smaller of
//   thdHighestHarmonic and the highest order of the window:
//   s0 = sum of G_h^2 for h = 2 .. hmax (THD), s1 the odd orders 3 .. hmax,
//   s2 the even orders 2 .. hmax, s3 = sum of h G_h^2 for h = 14 .. 40 (partial
//   weighted harmonic distortion, PWHD), s4 = sum of G_h^2 for h = 14 .. 40
//   (partial harmonic distortion, PHD) (the last two within the window's
//   orders);
// - distortion sums of the inter-harmonic items (9-17), over the subgroups
//   IH_h: s0 = sum of IH_h^2 for h = 1 .. hmax - 1 (between the fundamental
//   and order hmax), s1 the odd h, s2 the even h of these, s3 = sum of
//   h IH_h^2 for h = 14 .. 39, s4 = IH_0^2 (the subgroup below the
//   fundamental);
// - symmetrical components (three phases): the zero, positive and negative
//   sequence of the fundamental phasors (lines P) of the three voltages and
//   of the three currents, both turned by the angle of phase 1's voltage
//   fundamental (so the positive voltage sequence lies near the positive real
//   axis); the symmetric magnitude values are the squared magnitudes of these
//   sequences, so that voltageRms is |U0|, |U1|, |U2| and
//   voltageRmsUnbalance of the negative sequence is u2 = |U2| / |U1| x 100 %
//   (IEC 61000-4-30), of the zero sequence u0;
// - full FFT (static frequency): the phasors Z_0 .. Z_{M/2} of each channel;
// - signalling voltages (mains signalling, IEC 61000-4-30), with signalling
//   frequencies set: per voltage and frequency F, with x = F / dFrequency,
//   line round(x) alone when x lies within 0.01 of it (the frequency falls
//   on a line), else the root sum of squares of the four lines around it,
//   floor(x) - 1 to floor(x) + 2 (316.67 Hz at 50 Hz: the lines at 310,
//   315, 320 and 325 Hz); kept per results slot beside the raw record, not
//   in it, and handed out by getResults' caller through
//   PowerModule::getSignallingVoltages.
#ifndef POWERQUALITY_WINDOWED_WINDOWEDCALCULATION_H
#define POWERQUALITY_WINDOWED_WINDOWEDCALCULATION_H

#include <memory>
#include <vector>

#include "buffers/PowerBuffers.h"
#include "config/PowerConfig.h"
#include "scheduling/PowerResultsQueueItem.h"

class WindowedCalculation {
public:
    WindowedCalculation();
    ~WindowedCalculation();
    WindowedCalculation(const WindowedCalculation&) = delete;
    WindowedCalculation& operator=(const WindowedCalculation&) = delete;

    // Whether a window of a whole number N of samples is transformed as it
    // is (N has no prime factor above 5).
    static bool isDirectLength(unsigned long long samples);
    // FFT length of a resampled window of exact length W: the smallest
    // multiple of 4 not below W with no prime factor above 5 (at most the
    // power of two not below W); 0 for a W that is not positive or too long.
    static unsigned int resampledLength(double exactLength);

    // Computes the raw data of one window into slot `slot` of the buffers.
    // exactLength is the window's exact length W in samples; the item carries
    // its first sample, length, FFT length, period count, harmonic length and
    // the first indices of its harmonic and spectrum blocks.
    void calculate(const PowerConfig& config, PowerBuffers& buffers, const PowerResultsQueueItem& item,
                   double exactLength, unsigned int slot);

    // The signalling voltages of the window computed last into `slot`: the
    // RMS value of each signalling frequency (config.signallingFrequencies
    // when it was computed, F of them), phase p's voltage at p x F + j, NaN
    // where a line needed is DC or not below half the sample rate; empty
    // when none were set. Valid until the next calculate into that slot.
    const std::vector<double>& signallingVoltages(unsigned int slot) const;

private:
    struct State;
    std::unique_ptr<State> state;
};

#endif
