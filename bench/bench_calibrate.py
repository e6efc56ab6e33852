"""Lens calibration from rendered skies: how well the lens comes back, and what it does to a fix.

Every case starts from a first guess whose focal is 3 % long and whose principal point is
20 px off (+20, -20), and calibrates from one frame and from five frames of the same
camera (different places, instants and rolls). The five lenses:

- pinhole 1920x1080, focal 2200 (pinhole catalog);
- pinhole 1280x960, focal 4000 (pinhole catalog);
- ideal 180-degree fisheye 1024x1024 (allsky catalog), guessed as a 174.8-degree one, whose
  derived focal is 3 % long;
- distorted 180-degree fisheye 1024x1024, focal 330, k1 = -0.03, k2 = 0.004, rendered by
  synthesize_scene as a calibrated fisheye and guessed as the same ideal fisheye as above
  (distortion unknown);
- distorted pinhole 1920x1080, focal 1700 (65 degrees across the diagonal) with radial
  distortion r_d = r (1 + K1 rho^2 + K2 rho^4), rho = r / focal, K1 = -0.08, K2 = 0.01: the
  stars of a rendered pinhole scene moved by that distortion and handed over as centroids
  (this bench's own renderer), calibrated with fit_distortion=True as the calibrated-fisheye
  polynomial.

Figures per case: the fitted focal's relative error (median and 90th percentile over the
runs), the centre error in pixels, the residual rms, calibration time, the fix error
(nautical miles, median over the frames) with the first-guess lens, the fitted lens and
the true lens on the same frames, and the errors in the calibration's own standard errors
(median |focal error| / sigma, and of the larger of the two centre coordinates' ratios;
honest standard errors give about 0.67 and 1.0). Frames get times_utc and up_cam. A second table gives
the focal error of one-frame calibrations without times_utc and up_cam (the bias of
refraction and aberration), a third how guesses 8 to 20 % off (beyond the default 5 %
tolerance) fare: refused, or the true lens found anyway, never another lens; and a fourth
the lens check of a fix (Fix.plate_scale_ratio) with the focal off by 0, +-0.2 % and 1 %.
Prints figures only.

    python bench/bench_calibrate.py [runs]       # runs per case (default 10)
"""

import statistics
import sys
import time

import numpy as np

import stelvane
import stelvane.catalogs

FOCAL_OFF = 1.03
CENTRE_OFF = (20.0, -20.0)
PIXEL_NOISE_ARCMIN = 0.3
BACKGROUND = 30.0
PLACES = [(48.5, 11.25), (-33.9, 151.2), (19.4, -99.1), (64.1, -21.9), (0.5, 32.6), (35.7, 139.7),
          (-54.8, -68.3), (51.5, -0.1), (40.4, -3.7), (-23.5, -46.6), (61.2, -149.9), (28.6, 77.2)]
TIMES = [(2024, 4, 1, 22, 0, 0), (2023, 12, 24, 22, 0, 0), (2025, 7, 1, 1, 30, 0), (2024, 10, 5, 19, 45, 0),
         (2024, 1, 15, 3, 10, 0), (2025, 2, 28, 23, 50, 0)]
BROWN = (-0.08, 0.01)
WRONG_SCALES = (1.08, 1.12, 1.2, 1 / 1.08, 1 / 1.12, 1 / 1.2)


class Lens:
    """One bench lens: how to render a frame, the first guess, and the true lens for a fix."""

    def __init__(self, name, catalog, width, height, focal, fov=None, k=(0.0, 0.0, 0.0, 0.0), brown=None):
        self.name, self.catalog, self.width, self.height = name, catalog, width, height
        self.focal, self.fov, self.k, self.brown = focal, fov, k, brown

    @property
    def fisheye(self):
        return self.fov is not None

    def true_focal(self):
        if self.fisheye and self.focal is None:
            return min(self.width, self.height) / 2 / np.radians(self.fov / 2)
        return self.focal

    def render(self, n):
        lat, lon = PLACES[n % len(PLACES)]
        utc = TIMES[n % len(TIMES)]
        jd = stelvane.julian_date(*utc)
        k1, k2, k3, k4 = self.k
        scene = stelvane.synthesize_scene(
            self.catalog, lat, lon, jd, 37.0 * n, self.width, self.height, self.focal, 6.0, PIXEL_NOISE_ARCMIN,
            0.0, BACKGROUND, 1000 + n, fisheye_fov_deg=self.fov, k1=k1, k2=k2, k3=k3, k4=k4)
        return Frame(self, scene, utc, (lat, lon))

    def guess(self):
        """The first guess: focal 3 % long, centre off by CENTRE_OFF."""
        cx, cy = self.width / 2 + CENTRE_OFF[0], self.height / 2 + CENTRE_OFF[1]
        if self.fisheye:
            # The ideal fisheye whose derived focal is 3 % long: a field 3 % narrower.
            fov = 2 * np.degrees(min(self.width, self.height) / 2 / (FOCAL_OFF * self.true_focal()))
            return dict(focal_px=None, cx=cx, cy=cy, fisheye_fov_deg=fov)
        extra = dict(fit_distortion=True) if self.brown else {}
        return dict(focal_px=FOCAL_OFF * self.focal, cx=cx, cy=cy, **extra)

    def true_kwargs(self):
        cx, cy = self.width / 2, self.height / 2
        if not self.fisheye:
            return dict(focal_px=self.focal, cx=cx, cy=cy)
        k1, k2, k3, k4 = self.k
        return dict(focal_px=self.focal, cx=cx, cy=cy, fisheye_fov_deg=self.fov, k1=k1, k2=k2, k3=k3, k4=k4)


class Frame:
    def __init__(self, lens, scene, utc, place):
        self.lens, self.scene, self.utc, self.place = lens, scene, utc, place
        if lens.brown:
            # This bench's renderer of a distorted pinhole: the rendered stars moved radially.
            cx, cy = lens.width / 2, lens.height / 2
            xy = np.array(scene.star_pixels)
            rho2 = ((xy[:, 0] - cx) ** 2 + (xy[:, 1] - cy) ** 2) / lens.focal ** 2
            factor = 1 + BROWN[0] * rho2 + BROWN[1] * rho2 ** 2
            moved = np.c_[cx + (xy[:, 0] - cx) * factor, cy + (xy[:, 1] - cy) * factor]
            inside = (moved[:, 0] > 5) & (moved[:, 0] < lens.width - 5) & (moved[:, 1] > 5) & (moved[:, 1] < lens.height - 5)
            flux = 1000.0 - np.arange(len(xy))
            self.source = [tuple(v) for v in np.c_[moved, flux][inside]]
            self.undistorted = [tuple(v) for v in np.c_[xy, flux][inside]]
        else:
            self.source = scene.pixels

    def calibration_frame(self):
        return self.source

    def fix_error_nm(self, **lens):
        try:
            if self.lens.brown and lens.get("undistorted"):
                lens.pop("undistorted")
                fix = stelvane.resolve_from_centroids(self.undistorted, up_cam=self.scene.up_cam, utc=self.utc,
                                                      catalog=self.lens.catalog, **lens)
            elif self.lens.brown:
                fix = stelvane.resolve_from_centroids(self.source, up_cam=self.scene.up_cam, utc=self.utc,
                                                      catalog=self.lens.catalog, **lens)
            else:
                fix = stelvane.resolve_fix(self.source, up_cam=self.scene.up_cam, utc=self.utc,
                                           catalog=self.lens.catalog, **lens)
        except stelvane.StelvaneError:
            return float("nan")
        return stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, *self.place)


def calibrate(lens, frames, with_sky_data=True):
    extra = dict(width=lens.width, height=lens.height) if lens.brown else {}
    if with_sky_data:
        extra.update(times_utc=[f.utc for f in frames], up_cam=[f.scene.up_cam for f in frames])
    t0 = time.perf_counter()
    try:
        cal = stelvane.calibrate_camera([f.calibration_frame() for f in frames], lens.catalog, **lens.guess(), **extra)
    except stelvane.StelvaneError as err:
        return None, time.perf_counter() - t0, str(err)
    return cal, time.perf_counter() - t0, ""


def pct(values, q):
    values = [v for v in values if np.isfinite(v)]
    return float(np.percentile(values, q)) if values else float("nan")


def run_case(lens, runs, n_frames):
    focal_err, centre_err, rms, seconds, fix_guess, fix_fit, fix_true, failures = [], [], [], [], [], [], [], []
    z_focal, z_centre = [], []
    guess_kwargs = lens.guess()
    guess_kwargs.pop("fit_distortion", None)
    true_kwargs = lens.true_kwargs()
    for run in range(runs):
        frames = [lens.render(run * n_frames + i) for i in range(n_frames)]
        cal, dt, err = calibrate(lens, frames)
        seconds.append(dt)
        if cal is None:
            failures.append(err)
            continue
        focal_err.append(abs(cal.focal_px / lens.true_focal() - 1))
        centre_err.append(float(np.hypot(cal.cx - lens.width / 2, cal.cy - lens.height / 2)))
        sigma = dict(zip(cal.parameter_names, cal.standard_errors))
        z_focal.append(abs(cal.focal_px - lens.true_focal()) / sigma["focal_px"])
        z_centre.append(max(abs(cal.cx - lens.width / 2) / sigma["cx"], abs(cal.cy - lens.height / 2) / sigma["cy"]))
        rms.append(cal.residual_rms_px)
        for f in frames:
            fix_guess.append(f.fix_error_nm(**guess_kwargs))
            fix_fit.append(f.fix_error_nm(**cal.solve_kwargs()))
            fix_true.append(f.fix_error_nm(**true_kwargs, undistorted=True) if lens.brown else f.fix_error_nm(**true_kwargs))
    return dict(focal_med=pct(focal_err, 50) * 100, focal_p90=pct(focal_err, 90) * 100, centre_med=pct(centre_err, 50),
                centre_p90=pct(centre_err, 90), rms=pct(rms, 50), s_med=pct(seconds, 50), s_max=max(seconds),
                fix_guess=pct(fix_guess, 50), fix_guess_solved=np.mean(np.isfinite(fix_guess)) if fix_guess else 0,
                fix_fit=pct(fix_fit, 50), fix_fit_p90=pct(fix_fit, 90), fix_true=pct(fix_true, 50),
                fix_true_p90=pct(fix_true, 90), ok=runs - len(failures), runs=runs, failures=failures,
                z_focal=pct(z_focal, 50), z_centre=pct(z_centre, 50))


def lenses():
    pinhole, allsky = stelvane.catalogs.load("pinhole"), stelvane.catalogs.load("allsky")
    return [
        Lens("pinhole 1920x1080 f2200", pinhole, 1920, 1080, 2200.0),
        Lens("pinhole 1280x960 f4000", pinhole, 1280, 960, 4000.0),
        Lens("fisheye 180 1024x1024", allsky, 1024, 1024, None, fov=180.0),
        Lens("distorted fisheye 1024", allsky, 1024, 1024, 330.0, fov=180.0, k=(-0.03, 0.004, 0.0, 0.0)),
        Lens("distorted pinhole 1920", pinhole, 1920, 1080, 1700.0, brown=BROWN),
    ]


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    print(f"runs per case: {runs}; focal {FOCAL_OFF:.2f}x, centre off {CENTRE_OFF} px; times_utc and up_cam given")
    print(f"{'case':26} {'frames':>6} {'ok':>5} {'focal err %':>16} {'centre px':>12} {'rms px':>7} "
          f"{'time s':>11} {'fix nm guess':>14} {'fix nm fitted':>14} {'fix nm true':>12} {'err/sigma f, c':>15}")
    for lens in lenses():
        for n_frames in (1, 5):
            r = run_case(lens, runs if n_frames == 1 else max(runs // 2, 2), n_frames)
            print(f"{lens.name:26} {n_frames:6d} {r['ok']:2d}/{r['runs']:<2d} "
                  f"{r['focal_med']:7.4f} /{r['focal_p90']:7.4f} {r['centre_med']:5.2f} /{r['centre_p90']:5.2f} "
                  f"{r['rms']:7.3f} {r['s_med']:5.2f} /{r['s_max']:4.2f} "
                  f"{r['fix_guess']:7.2f} ({100 * r['fix_guess_solved']:3.0f}%) {r['fix_fit']:6.2f} /{r['fix_fit_p90']:6.2f} "
                  f"{r['fix_true']:5.2f} /{r['fix_true_p90']:5.2f} {r['z_focal']:6.2f} {r['z_centre']:6.2f}")
            for failure in sorted(set(r["failures"])):
                print(f"    refused: {failure}")
    print("\nwithout times_utc and up_cam (one frame): the bias of refraction and aberration")
    print(f"{'case':26} {'focal err % (signed median)':>28} {'centre px':>10}")
    for lens in lenses():
        signed, centre = [], []
        for run in range(runs):
            frame = lens.render(run)
            cal, _, _ = calibrate(lens, [frame], with_sky_data=False)
            if cal is not None:
                signed.append(cal.focal_px / lens.true_focal() - 1)
                centre.append(float(np.hypot(cal.cx - lens.width / 2, cal.cy - lens.height / 2)))
        print(f"{lens.name:26} {100 * statistics.median(signed):+28.4f} {statistics.median(centre):10.2f}")
    wrong_scale_trials(runs)
    lens_check(runs)


def lens_check(runs):
    """The plate-scale ratio of fixes made with the true lens's focal scaled by 1 + error: how far from 1 it
    reads, in its own standard errors, beside how many frames solve and how far off their fixes are."""
    print("\nthe lens check of a fix: plate_scale_ratio with the focal off by the error (median over frames)")
    print(f"{'case':26} {'focal error':>11} {'ratio':>9} {'want':>9} {'sigma':>9} {'|ratio-1|/sigma':>16} "
          f"{'> 3 sigma':>10} {'solved':>7} {'fix nm':>7} {'max nm':>7}")
    for lens in lenses()[:3]:
        frames = [lens.render(200 + n) for n in range(runs)]
        for error in (0.0, 0.002, -0.002, 0.01):
            kwargs = lens.true_kwargs()
            kwargs["focal_px"] = lens.true_focal() * (1 + error)
            if lens.fisheye:
                kwargs.update(fisheye_fov_deg=lens.fov, k4=1e-30)  # the equidistant lens with this focal
            ratios, sigmas, miss_nm = [], [], []
            for f in frames:
                try:
                    fix = stelvane.resolve_fix(f.source, up_cam=f.scene.up_cam, utc=f.utc, catalog=lens.catalog,
                                               **kwargs)
                except stelvane.StelvaneError:
                    continue
                ratios.append(fix.plate_scale_ratio)
                sigmas.append(fix.plate_scale_ratio_sigma)
                miss_nm.append(stelvane.great_circle_nm(fix.latitude_deg, fix.longitude_deg, *f.place))
            head = f"{lens.name:26} {100 * error:+10.1f}%"
            solved = f"{len(ratios):4d}/{runs}"
            if not ratios:
                print(f"{head} {'-':>9} {1 / (1 + error):9.5f} {'-':>9} {'-':>16} {'-':>10} {solved} {'-':>7} {'-':>7}")
                continue
            r, sg = np.array(ratios), np.array(sigmas)
            z = np.abs(r - 1) / sg
            print(f"{head} {np.median(r):9.5f} {1 / (1 + error):9.5f} {np.median(sg):9.5f} {np.median(z):16.1f} "
                  f"{np.mean(z > 3) * 100:9.0f}% {solved} {np.median(miss_nm):7.2f} {max(miss_nm):7.2f}")


def wrong_scale_trials(runs):
    """Guesses beyond the 5 % scale tolerance: each must be refused or find the true lens, never another."""
    print("\nguesses beyond the scale tolerance (focal x " + ", ".join(f"{s:.2f}" for s in WRONG_SCALES) + ")")
    print(f"{'case':26} {'trials':>7} {'refused':>8} {'true lens':>10} {'wrong lens':>11}")
    for lens in lenses()[:4]:
        refused = right = wrong = 0
        for n in range(runs):
            frame = lens.render(100 + n)
            for scale in WRONG_SCALES:
                guess = lens.guess()
                if lens.fisheye:
                    guess["fisheye_fov_deg"] = 2 * np.degrees(min(lens.width, lens.height) / 2 /
                                                              (scale * lens.true_focal()))
                else:
                    guess["focal_px"] = scale * lens.focal
                try:
                    cal = stelvane.calibrate_camera([frame.source], lens.catalog, **guess, times_utc=[frame.utc],
                                                    up_cam=frame.scene.up_cam)
                except stelvane.CalibrationError:
                    refused += 1
                    continue
                if abs(cal.focal_px / lens.true_focal() - 1) < 0.002:
                    right += 1
                else:
                    wrong += 1
        print(f"{lens.name:26} {refused + right + wrong:7d} {refused:8d} {right:10d} {wrong:11d}")


if __name__ == "__main__":
    main()
